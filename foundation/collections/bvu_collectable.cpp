#include "foundation/collections/bvu_collectable.h"

#include <ostream>

void BvuCollectable::Print(std::ostream& out) { out << GetNameText(0) << '\n'; }
