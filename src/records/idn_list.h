// Lists of record numbers (IDNs), as searches and links produce them.
//
// A search's list is kept in descending order (highest IDN first) without
// duplicates; combining two such lists keeps that order. Link lists are
// ascending where their functions say so.
#pragma once

#include <cstdint>
#include <vector>

namespace corvanta::records {

using IdnList = std::vector<std::uint32_t>;

// Sorts descending and removes duplicates.
void idl_sort_unique(IdnList& list);

// Combines two descending lists into `target` (which may be `a` or `b`):
// 'A' or 'U' intersection, 'O' union, 'N' the IDNs of a that b lacks.
void idl_combine(IdnList& target, const IdnList& a, const IdnList& b, char op);

}  // namespace corvanta::records
