#include "foundation/collections/list_elem.h"

#include <ostream>

const char* BvuListElem::GetNameText(std::int32_t) { return ""; }

void BvuListElem::PrintAddress(std::ostream& out) {
  out << '[' << static_cast<const void*>(this) << ']';
}
