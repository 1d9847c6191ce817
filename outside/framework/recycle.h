// Work arrays a system gives back when it goes, for the next system to
// take: a flowsheet makes and drops many systems of one size, and fresh
// pages for every one cost more than its factorisation. The bin keeps a
// bounded number of large arrays; small ones are not worth keeping.
#pragma once

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <vector>

namespace kvs {

template <class T>
class RecycleBin {
 public:
  // A vector with room for `size` when the bin had one, holding what it
  // held when given back: resizing it then writes no zeros over entries the
  // caller is about to overwrite anyway.
  static std::vector<T> Take(std::size_t size) {
    std::lock_guard<std::mutex> lock(mutex());
    auto& kept = bin();
    auto best = kept.end();
    for (auto it = kept.begin(); it != kept.end(); ++it) {
      if (it->capacity() >= size && (best == kept.end() || it->capacity() < best->capacity())) {
        best = it;
      }
    }
    if (best == kept.end()) return {};
    std::vector<T> out = std::move(*best);
    kept.erase(best);
    return out;
  }
  static void Give(std::vector<T>&& v) {
    const std::size_t bytes = v.capacity() * sizeof(T);
    if (bytes < kSmallest || bytes > kLargest) return;
    std::lock_guard<std::mutex> lock(mutex());
    auto& kept = bin();
    if (kept.size() >= kMostKept) kept.erase(kept.begin());  // the oldest goes
    kept.push_back(std::move(v));
  }

 private:
  static constexpr std::size_t kSmallest = 64 * 1024;
  static constexpr std::size_t kLargest = 16 * 1024 * 1024;
  static constexpr std::size_t kMostKept = 24;
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  static std::vector<std::vector<T>>& bin() {
    static std::vector<std::vector<T>> kept;
    return kept;
  }
};

// Takes a recycled vector into `v` when it has none of its own yet.
template <class T>
void Reuse(std::vector<T>& v, std::size_t size) {
  if (v.capacity() < size) {
    std::vector<T> taken = RecycleBin<T>::Take(size);
    if (taken.capacity() >= size) v.swap(taken);
    RecycleBin<T>::Give(std::move(taken));
  }
}

template <class... V>
void GiveBack(V&... v) {
  (RecycleBin<typename V::value_type>::Give(std::move(v)), ...);
}

}  // namespace kvs
