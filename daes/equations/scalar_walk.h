// Every scalar under a row element, in the flat order of the element's
// ElementAt (an array's members in order, first dimension outermost), with
// its flat index: linear in the scalars, where asking ElementAt for each
// index walks the array again every time.
#pragma once

#include <cstdint>

#include "daes/equations/row_element.h"

namespace daes {

namespace detail {
template <class F>
void WalkScalars(DAESRowElement* element, F& f, std::int32_t* index) {
  if (element->ElementKind() == kScalarElement) {
    f(element, (*index)++);
    return;
  }
  for (std::int32_t i = 0; i < element->ElementCount(); ++i) {
    DAESRowElement* member = element->AsRowElement(i);
    if (member == nullptr || member == element) {
      ++*index;  // an empty slot still takes its place
      continue;
    }
    WalkScalars(member, f, index);
  }
}
}  // namespace detail

// f(scalar, flat index) for each scalar; nothing for a null element.
template <class F>
void ForEachScalar(DAESRowElement* element, F&& f) {
  if (element == nullptr) return;
  std::int32_t index = 0;
  detail::WalkScalars(element, f, &index);
}

}  // namespace daes
