// How the option table's lists grow: room for 4 at first, then by their
// capacity but by at most 4096 entries (by 8 from none). A failed growth
// leaves the list as it was.
#pragma once

#include <algorithm>
#include <cstddef>
#include <new>
#include <utility>
#include <vector>

template <typename T>
void ReserveFirstRoom(std::vector<T>& list) {
  try {
    list.reserve(4);
  } catch (const std::bad_alloc&) {
  }
}

template <typename T>
bool AppendGrowing(std::vector<T>& list, T entry) {
  try {
    if (list.size() == list.capacity()) {
      const std::size_t capacity = list.capacity();
      list.reserve(capacity == 0 ? 8 : capacity + std::min<std::size_t>(capacity, 4096));
    }
    list.push_back(std::move(entry));
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}
