// Small builders of typed values for the tests of this folder.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <sstream>
#include <string>

#include "foundation/values/typed_value.h"

namespace tv {

inline SUValue Int(std::int32_t v) { return SUValue::ConstructInt(v, SUValue::kInteger); }
inline SUValue Logical(bool v) { return SUValue::ConstructInt(v ? 1 : 0, SUValue::kLogical); }
inline SUValue Spec(std::int32_t v) { return SUValue::ConstructInt(v, SUValue::kSpecification); }

inline SUValue Real(double v) {
  SUValue x;
  x.SetReal(v);
  return x;
}

inline SUValue Str(const char* text) {
  SUValue x;
  x.SetString(text);
  return x;
}

inline SUValue Name(const char* text) {
  SUValue x;
  x.SetType(SUValue::kName);
  x.SetString(text);
  return x;
}

inline SUValue IntSet(std::initializer_list<std::int32_t> items,
                      std::uint16_t code = SUValue::kIntSet) {
  SUValue x;
  x.SetType(code);
  for (std::int32_t v : items) x.AddInt(v);
  return x;
}

inline SUValue StrSet(std::initializer_list<const char*> items,
                      std::uint16_t code = SUValue::kStringSet) {
  SUValue x;
  x.SetType(code);
  for (const char* t : items) x.AddString(t);
  return x;
}

inline SUValue EmptySet(std::uint16_t code = SUValue::kEmptySet) {
  SUValue x;
  x.SetType(code);
  return x;
}

// A one-dimensional array of the given elements (as SetElement appends them).
inline SUValue ArrayOf(std::initializer_list<const SUValue*> items) {
  SUValue x;
  x.Resize(0);
  for (const SUValue* item : items) x.SetElement(x.count, *item);
  return x;
}

inline SUValue IntArray(std::initializer_list<std::int32_t> items,
                        std::uint16_t code = SUValue::kOneDimension | SUValue::kInteger) {
  SUValue x;
  x.SetType(code);
  for (std::int32_t v : items) {
    const SUValue item = Int(v);
    x.SetElement(x.count, item);
  }
  x.status = SUValue::kValid;
  return x;
}

// left op= right for op one of + - * / (for sets: union, difference,
// intersection, symmetric difference).
inline void Apply(SUValue& left, char op, const SUValue& right) {
  if (op == '+') {
    left.Add(right);
  } else if (op == '-') {
    left.Subtract(right);
  } else if (op == '*') {
    left.MultiplyBy(right);
  } else {
    left.DivideBy(right);
  }
}

inline std::string Printed(const SUValue& v) {
  std::ostringstream out;
  v.Print(out);
  return out.str();
}

// The payload as printed, whatever the status.
inline std::string Shown(SUValue& v) {
  const std::int16_t kept = v.status;
  v.status = SUValue::kValid;
  std::string text = Printed(v);
  v.status = kept;
  return text;
}

}  // namespace tv
