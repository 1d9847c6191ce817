// Comparisons of SUValue and the case-insensitive text order they rest on.
#include "foundation/values/typed_value.h"

#include <array>
#include <optional>

namespace {

constexpr std::array<unsigned char, 256> AsciiLowerCase() {
  std::array<unsigned char, 256> table{};
  for (int c = 0; c < 256; ++c) {
    table[c] = static_cast<unsigned char>((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c);
  }
  return table;
}

// Constant-initialised, so comparisons made before start-up code runs fold too.
constinit std::array<unsigned char, 256> g_lower_case = AsciiLowerCase();

enum class Relation { kEqual, kNotEqual, kLess, kLessEqual, kGreater, kGreaterEqual };

bool IsNumber(std::uint16_t code) {
  return code == SUValue::kInteger || code == SUValue::kLogical || code == SUValue::kReal ||
         code == SUValue::kSpecification;
}

bool IsText(std::uint16_t code) { return code == SUValue::kString || code == SUValue::kName; }

bool IsUnknownKindSet(std::uint16_t code) {
  return code == SUValue::kEmptySet || code == SUValue::kEmptyOrderedSet;
}

template <typename T>
bool Holds(Relation relation, T a, T b) {
  switch (relation) {
    case Relation::kEqual:
      return a == b;
    case Relation::kNotEqual:
      return a != b;
    case Relation::kLess:
      return a < b;
    case Relation::kLessEqual:
      return a <= b;
    case Relation::kGreater:
      return a > b;
    case Relation::kGreaterEqual:
      return a >= b;
  }
  return false;
}

const char* TextOf(const SUValue& v) { return v.payload.text ? v.payload.text : ""; }

double AsDouble(const SUValue& v) {
  return v.type == SUValue::kReal ? v.payload.real : v.payload.integer;
}

bool Contains(const SUValue& set, const SUValue& other, std::int32_t i) {
  return other.Kind() == SUValue::kInteger ? set.FindInt(other.payload.ints[i]) > 0
                                           : set.FindString(other.payload.strings[i].Text()) > 0;
}

// Every element of `part` is in `whole`.
bool IsSubset(const SUValue& part, const SUValue& whole) {
  for (std::int32_t i = 0; i < part.count; ++i) {
    if (!Contains(whole, part, i)) return false;
  }
  return true;
}

// Equality looks at the right operand: a sorted one is matched position by
// position, an ordered one by membership of its elements in the left.
bool SetsEqual(const SUValue& left, const SUValue& right) {
  if (left.count != right.count) return false;
  if (right.count == 0) return true;
  if (right.type == SUValue::kOrderedIntSet || right.type == SUValue::kOrderedStringSet) {
    return IsSubset(right, left);
  }
  for (std::int32_t i = 0; i < right.count; ++i) {
    const bool same = right.Kind() == SUValue::kInteger
                          ? left.payload.ints[i] == right.payload.ints[i]
                          : SUValue::CompareCI(left.payload.strings[i].Text(),
                                               right.payload.strings[i].Text()) == 0;
    if (!same) return false;
  }
  return true;
}

std::optional<bool> CompareSets(const SUValue& left, const SUValue& right, Relation relation) {
  if (!IsUnknownKindSet(left.type) && !IsUnknownKindSet(right.type) &&
      left.Kind() != right.Kind()) {
    return std::nullopt;
  }
  switch (relation) {
    case Relation::kEqual:
      return SetsEqual(left, right);
    case Relation::kNotEqual:
      return !SetsEqual(left, right);
    case Relation::kLess:
      return left.count < right.count && IsSubset(left, right);
    case Relation::kLessEqual:
      return IsSubset(left, right);
    case Relation::kGreater:
      return left.count > right.count && IsSubset(right, left);
    case Relation::kGreaterEqual:
      return IsSubset(right, left);
  }
  return std::nullopt;
}

// A set meets a scalar in two rules only: an integer equals an integer set
// that holds exactly that integer, and a set is greater than or equal to
// each of its members.
std::optional<bool> CompareSetWithScalar(const SUValue& left, const SUValue& right,
                                         Relation relation) {
  const SUValue& set = left.IsSet() ? left : right;
  const SUValue& scalar = left.IsSet() ? right : left;
  if ((relation == Relation::kEqual || relation == Relation::kNotEqual) &&
      scalar.type == SUValue::kInteger && set.Kind() == SUValue::kInteger) {
    const bool equal = set.count == 1 && set.payload.ints[0] == scalar.payload.integer;
    return relation == Relation::kEqual ? equal : !equal;
  }
  if (relation != Relation::kGreaterEqual || !left.IsSet()) return std::nullopt;
  if (IsNumber(right.type) && right.type != SUValue::kReal && set.Kind() == SUValue::kInteger) {
    return set.FindInt(right.payload.integer) > 0;
  }
  if (IsText(right.type) && set.Kind() == SUValue::kString) {
    return set.FindString(TextOf(right)) > 0;
  }
  return std::nullopt;
}

std::optional<bool> Compare(const SUValue& left, const SUValue& right, Relation relation);

std::optional<bool> CompareArrays(const SUValue& left, const SUValue& right, Relation relation) {
  if (relation == Relation::kNotEqual) {
    if (left.count != right.count) return true;
    for (std::int32_t i = 0; i < left.count; ++i) {
      if (Compare(left.payload.elements[i], right.payload.elements[i], relation).value_or(false)) {
        return true;
      }
    }
    return false;
  }
  if (left.count != right.count) return false;
  for (std::int32_t i = 0; i < left.count; ++i) {
    if (!Compare(left.payload.elements[i], right.payload.elements[i], relation).value_or(false)) {
      return false;
    }
  }
  return true;
}

std::optional<bool> Compare(const SUValue& left, const SUValue& right, Relation relation) {
  if (left.IsArray() || right.IsArray()) {
    if (left.IsArray() && right.IsArray()) return CompareArrays(left, right, relation);
    return std::nullopt;
  }
  if (left.IsSet() && right.IsSet()) return CompareSets(left, right, relation);
  if (left.IsSet() || right.IsSet()) return CompareSetWithScalar(left, right, relation);
  if (left.type == SUValue::kReal || right.type == SUValue::kReal) {
    if (IsNumber(left.type) && IsNumber(right.type)) {
      return Holds(relation, AsDouble(left), AsDouble(right));  // NaN: only "not equal" holds
    }
    return std::nullopt;
  }
  if (IsNumber(left.type) && IsNumber(right.type)) {
    return Holds(relation, left.payload.integer, right.payload.integer);
  }
  // A logical meets a text as the word "true" or "false".
  const char* left_text = IsText(left.type) ? TextOf(left) : nullptr;
  const char* right_text = IsText(right.type) ? TextOf(right) : nullptr;
  if (left.type == SUValue::kLogical && right_text) {
    left_text = left.payload.integer ? "true" : "false";
  }
  if (right.type == SUValue::kLogical && left_text) {
    right_text = right.payload.integer ? "true" : "false";
  }
  if ((IsText(left.type) || left.type == SUValue::kLogical) &&
      (IsText(right.type) || right.type == SUValue::kLogical) && left_text && right_text) {
    return Holds(relation, SUValue::CompareCI(left_text, right_text), 0);
  }
  return std::nullopt;
}

}  // namespace

void BuildLowerCaseTable() { g_lower_case = AsciiLowerCase(); }

std::int32_t SUValue::CompareCI(const char* a, const char* b) {
  const auto* p = reinterpret_cast<const unsigned char*>(a ? a : "");
  const auto* q = reinterpret_cast<const unsigned char*>(b ? b : "");
  for (;; ++p, ++q) {
    const int difference = g_lower_case[*p] - g_lower_case[*q];
    if (difference != 0 || *p == 0) return difference;
  }
}

bool SUValue::IsEqual(const SUValue& v) const {
  return Compare(*this, v, Relation::kEqual).value_or(false);
}
bool SUValue::IsNotEqual(const SUValue& v) const {
  return Compare(*this, v, Relation::kNotEqual).value_or(false);
}
bool SUValue::IsLess(const SUValue& v) const {
  return Compare(*this, v, Relation::kLess).value_or(false);
}
bool SUValue::IsLessEqual(const SUValue& v) const {
  return Compare(*this, v, Relation::kLessEqual).value_or(false);
}
bool SUValue::IsGreater(const SUValue& v) const {
  return Compare(*this, v, Relation::kGreater).value_or(false);
}
bool SUValue::IsGreaterEqual(const SUValue& v) const {
  return Compare(*this, v, Relation::kGreaterEqual).value_or(false);
}

bool SUValue::EqualsText(const char* text) const {
  switch (type) {
    case kLogical:
      if (CompareCI(text, "true") == 0) return payload.integer != 0;
      if (CompareCI(text, "false") == 0) return payload.integer == 0;
      return false;
    case kString:
    case kName:
      return CompareCI(payload.text, text) == 0;
    case kStringSet:
    case kOrderedStringSet:
      return count == 1 && FindString(text) > 0;
    default:
      return false;
  }
}
