#include "records/idn_list.h"

#include <algorithm>
#include <functional>
#include <iterator>

namespace corvanta::records {

void idl_sort_unique(IdnList& list) {
  std::sort(list.begin(), list.end(), std::greater<>());
  list.erase(std::unique(list.begin(), list.end()), list.end());
}

void idl_combine(IdnList& target, const IdnList& a, const IdnList& b, char op) {
  IdnList out;
  const auto desc = std::greater<>();
  switch (op) {
    case 'A':
    case 'U':
      std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out), desc);
      break;
    case 'O': std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out), desc); break;
    case 'N':
      std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out), desc);
      break;
    default: out = a; break;
  }
  target = std::move(out);
}

}  // namespace corvanta::records
