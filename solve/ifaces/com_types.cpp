#include "solve/ifaces/com_types.h"

VARIANT VariantOfInt(std::int32_t value) {
  VARIANT v{};
  v.vt = kVariantInt32;
  v.lVal = value;
  return v;
}

VARIANT VariantOfReal(double value) {
  VARIANT v{};
  v.vt = kVariantDouble;
  v.dblVal = value;
  return v;
}
