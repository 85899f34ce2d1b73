// The structure that holds a member, from the member's address: the one
// way this program goes from a loop or bus callback's argument to its own
// record.
#pragma once

#include <stddef.h>

template <typename Outer, typename Member>
Outer *outer_of(Member *member, size_t offset) {
  return reinterpret_cast<Outer *>(reinterpret_cast<char *>(member) - offset);
}
