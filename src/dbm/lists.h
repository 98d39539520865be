// Lists: per key, a sorted set of fixed-size items with counters.
//
// An item is ITEMLEN bytes: byte 0 counts further additions of the same
// value (0 to 254), bytes 1 to ITEMLEN - 1 are the value. An item passed
// in to be added brings its own counter: it stands for that many further
// additions, so that a list read out and added again keeps its counters
// (0, the usual case, adds the value once). Items stand in
// descending order of their values, no value twice. A short list lives in
// the file's part of the index entry (its length in the tail); a longer one
// in pieces in data blocks (values.h), split when they grow past a block
// and brought back into the entry when one piece is left that fits.
#pragma once

#include <span>

#include "dbm/values.h"

namespace corvanta::dbm {

// The key is absent for the file (cursor on the key): creates the list with
// one item. `mode` is the write letter: W insert, L load, D delete (nothing).
ResultCode list_new(Values& values, Index& index, KeyCursor& c, char mode,
                    std::span<const unsigned char> item);
// The key is present: adds the item or counts it on (W, L, U), or counts
// it down by one and removes it (D, whatever its byte 0; 1 when it is not
// there).
ResultCode list_existing(Values& values, Index& index, KeyCursor& c, char mode,
                         std::span<const unsigned char> item);

// Whether adding `item` would be refused without changing anything: -214
// for a new value in a fixed list that holds no more values (or whose
// entry part is too short for an item); 0 otherwise. `present` tells
// whether the key is present for the file (the cursor is on it).
ResultCode list_refusal(Values& values, const KeyCursor& c, bool present,
                        std::span<const unsigned char> item);

}  // namespace corvanta::dbm
