// The setup tables: each pool's store of library policy, and the lookups
// that the circulation jobs make in it.
//
// An entry is one keyed record of the pool's setup file, an 18-byte key and
// a text value of at most 200 characters ("NAME=VALUE, NAME=VALUE"):
//
//   key bytes 0-4    sub-library, left-aligned, blank-filled; "#####" when
//                    none is given (or one of six or more characters), blank
//                    for an empty one
//             5-7    block code (OPN, WDY, ... below); blank for a name
//                    outside the list
//             8-17   entry key, left-aligned, blank-filled; a key of more
//                    than ten characters leaves the field blank
//
// The setup file's text form (written by SETUP_EXP, read by SETUP_IMP and
// SETUP_LOD): an empty line and "(" block name, sub-library, ")" before
// each block ("(PeriodHB1)"; a "#####" sub-library is not written), then one
// line "KEY = VALUE" per entry.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "dbm/dbm.h"
#include "util/result.h"

namespace corvanta::records {

inline constexpr std::size_t kSetupKeyLength = 18;
inline constexpr std::size_t kSetupValueLength = 200;
inline constexpr std::size_t kSetupSublibLength = 5;
inline constexpr std::size_t kSetupEntryLength = 10;

using SetupKey = std::array<unsigned char, kSetupKeyLength>;

// The block's three-letter code for its name (without regard to case); ""
// for a name outside the list.
std::string_view setup_block_code(std::string_view name);
// The block's name for its code; "" for an unknown code.
std::string_view setup_block_name(std::string_view code);

// The key of an entry; std::nullopt as sub-library stands for none.
SetupKey setup_key(std::optional<std::string_view> sublib, std::string_view block, std::string_view entry);

// An entry as read: key parts without their trailing blanks, the block by
// its name.
struct SetupEntry {
  std::string sublib;
  std::string block;
  std::string entry;
  std::string value;
};
SetupEntry split_setup_key(const SetupKey& key);

// The entries of one setup file of one open pool.
class SetupStore {
 public:
  SetupStore(dbm::Dbm& dbm, std::string pool, int file) : dbm_(dbm), pool_(std::move(pool)), file_(file) {}

  // One entry; `value` is empty unless the result is 0 (1: no such entry).
  ResultCode read(std::optional<std::string_view> sublib, std::string_view block, std::string_view entry,
                  std::string& value);
  // Values longer than 200 characters are cut.
  ResultCode load(std::optional<std::string_view> sublib, std::string_view block, std::string_view entry,
                  std::string_view value);
  ResultCode insert(std::optional<std::string_view> sublib, std::string_view block, std::string_view entry,
                    std::string_view value);
  // 1 when the entry does not exist.
  ResultCode update(std::optional<std::string_view> sublib, std::string_view block, std::string_view entry,
                    std::string_view value);
  ResultCode remove(std::optional<std::string_view> sublib, std::string_view block, std::string_view entry);

  // Walking in key order: first() positions at the first key not below the
  // block's first key, next() reads on. 0 with `out` filled, 1 at the end,
  // or the failure.
  ResultCode first(std::optional<std::string_view> sublib, std::string_view block, SetupEntry& out);
  ResultCode next(SetupEntry& out);
  // Whether the entry the walk stands on belongs to that sub-library and
  // block (compared without regard to case).
  bool in_block(std::optional<std::string_view> sublib, std::string_view block) const;

  // Deletes every entry of the block; the number deleted in `count`.
  ResultCode delete_block(std::optional<std::string_view> sublib, std::string_view block, std::size_t& count);

  // Writes the entries in key order in the text form: all of them, or those
  // of one sub-library and/or one block (an empty filter takes all).
  // `write` takes each piece of text and returns false when it could not
  // be written (the export then ends with -16).
  ResultCode export_text(std::string_view sublib, std::string_view block,
                         const std::function<bool(std::string_view)>& write, std::size_t& count);
  // Stores the entries of the text form, read line by line through
  // `next_line` (false at the end), each with load(); `convert`, when
  // given, changes each value before it is stored. The first entry that
  // cannot be stored ends the import with its code.
  ResultCode import_text(const std::function<bool(std::string&)>& next_line,
                         const std::function<std::string(std::string_view)>& convert, std::size_t& count);

 private:
  // SET at `key`: the walk's first entry not below it.
  ResultCode position(const SetupKey& key, SetupEntry& out);
  ResultCode walk_result(ResultCode rc, SetupEntry& out);

  dbm::Dbm& dbm_;
  std::string pool_;
  int file_;
  SetupKey key_{};
  dbm::Position position_;
  std::array<unsigned char, kSetupValueLength> value_{};
  std::size_t last_length_ = 0;
};

// The sub-library part of the key of entries without a sub-library.
inline constexpr std::string_view kGeneralSublib = "#####";

// The circulation jobs' view of the policy of one sub-library. Every lookup
// tries its keys under the sub-library first and, when none of them has an
// entry, under the general entries ("#####"). Without a store (no current
// pool) every lookup gives the empty text, as does an entry that cannot be
// read.
class PolicyLookup {
 public:
  PolicyLookup(SetupStore* store, std::string_view sublib);

  // The entry's value, unchanged key.
  std::string lookup(std::string_view block, std::string_view key) const;
  // BBII, ##II, BB## and #### for a four-character status key; "##" for a
  // two-character one; else the key and the key with "##" for its first two
  // characters.
  std::string lookup_status(std::string_view block, std::string_view key) const;
  // The key, then "####" in place of its first four characters (a date
  // keyed by month and day behind "####" holds every year).
  std::string lookup_prefix(std::string_view block, std::string_view key) const;
  // The item `name` of a value (without regard to case); the first item's
  // value when `name` is empty; "" when it is absent.
  static std::string item(std::string_view value, std::string_view name);
  std::string value_status(std::string_view block, std::string_view key, std::string_view name) const {
    return item(lookup_status(block, key), name);
  }
  // Whether the library is closed on `date` (YYYYMMDD): by its Opening
  // entry, else by the Weekdays entry of its weekday.
  bool closed(std::string_view date) const;
  // The item `name` of the Reminder rule for a loan's two status codes and
  // the reminders sent so far, tried as BBIIn, ##IIn, BB##n and ####n: the
  // first that is not empty.
  std::string reminder_item(std::string_view status1, std::string_view status2, int sent,
                            std::string_view name) const;

 private:
  using Scope = std::optional<std::string_view>;  // a sub-library, or none for the general entries
  std::string lookup_in(Scope scope, std::string_view block, std::string_view key) const;
  // The chain of keys tried under the sub-library; when it finds nothing,
  // under the general entries.
  template <typename Chain>
  std::string sublib_then_general(Chain chain) const;
  SetupStore* store_;
  std::string sublib_;
};

}  // namespace corvanta::records
