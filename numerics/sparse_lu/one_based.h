// A view that addresses a caller's array from 1, so that the routines read
// like their definitions: entry k of the view is element k-1 of the array.
#pragma once

#include <cstdint>

namespace slu {

template <typename T>
class OneBased {
 public:
  OneBased() = default;
  explicit OneBased(T* data) : data_(data) {}
  T& operator[](std::int64_t k) const { return data_[k - 1]; }
  // The array from entry k on.
  T* From(std::int64_t k) const { return data_ + (k - 1); }

 private:
  T* data_ = nullptr;
};

using IntView = OneBased<std::int64_t>;
using RealView = OneBased<double>;

}  // namespace slu
