// Result codes of the database manager. Their texts live in the message
// files of the installation (group "Common").
#pragma once

#include <cstdint>

namespace corvanta::dbm {

inline constexpr std::int32_t kMissingArgument = -203;  // or no control data
inline constexpr std::int32_t kNoSuchFile = -204;       // file number outside 1..999, or absent
inline constexpr std::int32_t kOutOfMemory = -205;
inline constexpr std::int32_t kCannotOpen = -206;  // base file cannot be opened
inline constexpr std::int32_t kCannotClose = -207;
inline constexpr std::int32_t kBadVersion = -208;
inline constexpr std::int32_t kNotInitialised = -209;
inline constexpr std::int32_t kPoolDamaged = -210;  // ERROR "E" and mode "U"
inline constexpr std::int32_t kPoolInUse = -211;    // OPEN "O", or open here in another mode
inline constexpr std::int32_t kReadError = -212;
inline constexpr std::int32_t kWriteError = -213;
inline constexpr std::int32_t kValueTooLong = -214;
inline constexpr std::int32_t kIndexInconsistent = -216;
inline constexpr std::int32_t kWrongBlock = -217;      // another file or level than expected
inline constexpr std::int32_t kWrongBlockType = -218;  // control-area block of the wrong type
inline constexpr std::int32_t kBadRecordPointer = -219;
inline constexpr std::int32_t kTooManyLevels = -220;
inline constexpr std::int32_t kNegativeFree = -221;
inline constexpr std::int32_t kBadFreeChain = -222;
inline constexpr std::int32_t kBadBufferKind = -223;
inline constexpr std::int32_t kBadBlockNumber = -224;
inline constexpr std::int32_t kCannotExtend = -225;
inline constexpr std::int32_t kCannotOpenJournal = -226;  // save file cannot be opened or closed
inline constexpr std::int32_t kCannotCloseJournal = -227;
inline constexpr std::int32_t kJournalDamaged = -228;  // a journal record is damaged
inline constexpr std::int32_t kJournalFull = -229;     // save file full or not writable
inline constexpr std::int32_t kNoPosition = -231;      // GET or PREV without position or key
inline constexpr std::int32_t kRecordExists = -232;    // INSERT over a record in a journalled pool
inline constexpr std::int32_t kNoContinuation = -233;
inline constexpr std::int32_t kInvalidFileParameters = -234;  // also: missing key or result
inline constexpr std::int32_t kFileNotEmpty = -236;

}  // namespace corvanta::dbm
