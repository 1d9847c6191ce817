// Arithmetic, joining of names and strings, set algebra, integer ranges and
// reductions of SUValue, each in place on the left operand.
#include "foundation/values/typed_value.h"

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

namespace {

// Integer results wrap in 32 bits; unsigned arithmetic keeps that defined.
std::int32_t Wrapped(std::uint32_t bits) { return static_cast<std::int32_t>(bits); }

std::int32_t WrappedSum(std::int32_t a, std::int32_t b) {
  return Wrapped(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

std::int32_t WrappedProduct(std::int32_t a, std::int32_t b) {
  return Wrapped(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}

bool IsIntegerLike(std::uint16_t code) {
  return code == SUValue::kInteger || code == SUValue::kLogical || code == SUValue::kSpecification;
}

bool IsUnknownKindSet(std::uint16_t code) {
  return code == SUValue::kEmptySet || code == SUValue::kEmptyOrderedSet;
}

template <typename Visit>
void ForEachLeaf(const SUValue& value, Visit& visit) {
  if (!value.IsArray()) {
    visit(value);
    return;
  }
  for (std::int32_t i = 0; i < value.count; ++i) ForEachLeaf(value.payload.elements[i], visit);
}

}  // namespace

// --- dispatch on the right operand ---

void SUValue::Combine(Op op, const SUValue& value) {
  if (&value == this) {
    const SUValue copy(value);
    Combine(op, copy);
    return;
  }
  if (op == Op::kAdd && type == kName && value.type == kName) {
    // Joining paths: "a" and "b" give "a.b"; an empty side gives the other.
    const char* left = payload.text ? payload.text : "";
    const char* right = value.payload.text ? value.payload.text : "";
    if (*left == '\0') {
      StoreText(right);
    } else if (*right != '\0') {
      StoreText((std::string(left) + "." + right).c_str());
    }
    return;
  }
  if (IsArray() || value.IsArray()) {
    status = kTypeClash;
  } else if (value.IsSet()) {
    SetOp(op, value);
  } else if (IsIntegerLike(value.type)) {
    IntOp(op, value.payload.integer);
  } else if (value.type == kReal) {
    RealOp(op, value.payload.real);
  } else if (value.type == kString || value.type == kName) {
    TextOp(op, value.payload.text);
  } else {
    status = kTypeClash;
  }
}

void SUValue::Add(const SUValue& value) { Combine(Op::kAdd, value); }
void SUValue::Subtract(const SUValue& value) { Combine(Op::kSubtract, value); }
void SUValue::MultiplyBy(const SUValue& value) { Combine(Op::kMultiply, value); }
void SUValue::DivideBy(const SUValue& value) { Combine(Op::kDivide, value); }
void SUValue::AddInt(std::int32_t value) { IntOp(Op::kAdd, value); }
void SUValue::AddReal(double value) { RealOp(Op::kAdd, value); }
void SUValue::AddString(const char* text) { TextOp(Op::kAdd, text); }
void SUValue::SubtractInt(std::int32_t value) { IntOp(Op::kSubtract, value); }
void SUValue::SubtractString(const char* text) { TextOp(Op::kSubtract, text); }
void SUValue::MultiplyByInt(std::int32_t value) { IntOp(Op::kMultiply, value); }
void SUValue::DivideByInt(std::int32_t value) { IntOp(Op::kDivide, value); }
void SUValue::DivideByString(const char* text) { TextOp(Op::kDivide, text); }

// --- by the left operand ---

// A set meeting one element of the given kind; false when nothing is left
// to do (a set of the other kind gets -3).
bool SUValue::PrepareElementKind(Op op, std::uint16_t kind) {
  const bool grows = op == Op::kAdd || op == Op::kDivide;
  if (grows ? !AdoptElementKind(kind) : (Kind() != kind && !IsUnknownKindSet(type))) {
    status = kSetClash;
    return false;
  }
  return !IsUnknownKindSet(type);
}

// Union keeps the element, difference removes it, intersection keeps only
// it, symmetric difference toggles it. True when it is still to be inserted.
bool SUValue::ApplyToElement(Op op, std::int32_t found) {
  switch (op) {
    case Op::kAdd:
      return found <= 0;
    case Op::kSubtract:
      if (found > 0) RemoveAt(found - 1);
      return false;
    case Op::kMultiply:
      for (std::int32_t i = count - 1; i >= 0; --i) {
        if (i != found - 1) RemoveAt(i);
      }
      return false;
    case Op::kDivide:
      if (found > 0) RemoveAt(found - 1);
      return found <= 0;
  }
  return false;
}

void SUValue::IntOp(Op op, std::int32_t value) {
  if (IsSet()) {
    if (PrepareElementKind(op, kInteger) && ApplyToElement(op, FindInt(value))) InsertInt(value);
    return;
  }
  switch (type) {
    case kNoType:
    case kInteger:
    case kLogical:
    case kSpecification: {
      const std::int32_t left = type == kNoType ? 0 : payload.integer;
      std::int32_t result = 0;
      switch (op) {
        case Op::kAdd:
          result = WrappedSum(left, value);
          break;
        case Op::kSubtract:
          result = Wrapped(static_cast<std::uint32_t>(left) - static_cast<std::uint32_t>(value));
          break;
        case Op::kMultiply:
          result = WrappedProduct(left, value);
          break;
        case Op::kDivide:
          // Neither has a 32-bit result, and the processor would trap on both.
          if (value == 0 || (left == std::numeric_limits<std::int32_t>::min() && value == -1)) {
            status = kTypeClash;
            return;
          }
          result = left / value;
          break;
      }
      if (type == kNoType) {
        type = kInteger;
        status = kValid;
      }
      payload.integer = result;
      return;
    }
    case kReal:
      RealOp(op, value);
      return;
    case kName:
      if (op == Op::kAdd) {
        AppendIndex(std::to_string(value).c_str());
        return;
      }
      break;
    default:
      break;
  }
  status = kTypeClash;
}

void SUValue::RealOp(Op op, double value) {
  if (type == kNoType) {
    type = kReal;
    payload.real = 0.0;
    status = kValid;
  }
  if (type == kReal) {
    switch (op) {
      case Op::kAdd:
        payload.real += value;
        break;
      case Op::kSubtract:
        payload.real -= value;
        break;
      case Op::kMultiply:
        payload.real *= value;
        break;
      case Op::kDivide:
        payload.real /= value;
        break;
    }
    return;
  }
  if (type == kName && op == Op::kAdd) {
    char index[32];
    std::snprintf(index, sizeof index, "%g", value);
    AppendIndex(index);
    return;
  }
  status = kTypeClash;
}

void SUValue::TextOp(Op op, const char* text) {
  if (!text) text = "";
  if (IsSet()) {
    if (PrepareElementKind(op, kString) && ApplyToElement(op, FindString(text))) InsertText(text);
    return;
  }
  if (op != Op::kAdd) {
    status = kTypeClash;
  } else if (type == kString) {
    StoreText((std::string(payload.text ? payload.text : "") + text).c_str());
  } else if (type == kName) {
    // A key index is quoted; on an empty name the key becomes the name.
    if (!payload.text || *payload.text == '\0') {
      StoreText(text);
    } else {
      AppendIndex(std::string("\"").append(text).append("\"").c_str());
    }
  } else {
    status = kTypeClash;
  }
}

// "a" becomes "a(index)"; "a(1)" becomes "a(1,index)"; an empty name stays.
void SUValue::AppendIndex(const char* index) {
  if (!payload.text || *payload.text == '\0') return;
  std::string joined(payload.text);
  if (joined.back() == ')') {
    joined.back() = ',';
  } else {
    joined += '(';
  }
  joined += index;
  joined += ')';
  StoreText(joined.c_str());
}

void SUValue::SetOp(Op op, const SUValue& value) {
  if (!IsSet()) {
    status = kTypeClash;
    return;
  }
  if (IsUnknownKindSet(value.type)) {
    if (op == Op::kMultiply) ClearSet();
    return;
  }
  if (!PrepareElementKind(op, value.Kind())) return;
  const bool integers = Kind() == kInteger;
  if (op == Op::kMultiply) {
    for (std::int32_t i = count - 1; i >= 0; --i) {
      const bool kept = integers ? value.FindInt(payload.ints[i]) > 0
                                 : value.FindString(payload.strings[i].Text()) > 0;
      if (!kept) RemoveAt(i);
    }
    return;
  }
  for (std::int32_t i = 0; i < value.count; ++i) {
    const std::int32_t found =
        integers ? FindInt(value.payload.ints[i]) : FindString(value.payload.strings[i].Text());
    if (ApplyToElement(op, found)) {
      if (integers) {
        InsertInt(value.payload.ints[i]);
      } else {
        InsertString(value.payload.strings[i]);
      }
    }
  }
}

void SUValue::MakeIntRange(std::int32_t a, std::int32_t b) {
  const std::int64_t n = b < a ? 0 : static_cast<std::int64_t>(b) - a + 1;
  // Beyond this the slot count no longer fits the capacity arithmetic.
  if (n > std::numeric_limits<std::int32_t>::max() - 3) {
    status = kTypeClash;
    return;
  }
  SetType(kIntSet);
  InitSet(static_cast<std::int32_t>(n));
  for (std::int64_t i = 0; i < n; ++i) payload.ints[i] = static_cast<std::int32_t>(a + i);
  count = static_cast<std::int32_t>(n);
}

// --- reductions ---

template <typename Accumulate>
void SUValue::ReduceNumbers(const SUValue& array, bool as_real, Accumulate accumulate) {
  bool any = false;
  bool clash = false;
  bool real = as_real;
  auto survey = [&](const SUValue& leaf) {
    if (leaf.type == kReal) {
      real = true;
    } else if (!IsIntegerLike(leaf.type)) {
      clash = true;
    }
    any = true;
  };
  ForEachLeaf(array, survey);
  if (clash) {
    status = kTypeClash;
    return;
  }
  SUValue result;
  if (any) {
    bool first = true;
    double real_total = 0.0;
    std::int32_t int_total = 0;
    auto fold = [&](const SUValue& leaf) {
      const double as_double = leaf.type == kReal ? leaf.payload.real : leaf.payload.integer;
      accumulate(first, real_total, as_double, int_total, leaf.payload.integer);
      first = false;
    };
    ForEachLeaf(array, fold);
    if (real) {
      result.SetReal(real_total);
    } else {
      result.SetInt(int_total);
    }
  }
  TakeFrom(result);
}

void SUValue::SumOf(const SUValue& array) {
  ReduceNumbers(array, false,
                [](bool, double& real, double x, std::int32_t& integer, std::int32_t n) {
                  real += x;
                  integer = WrappedSum(integer, n);
                });
}

void SUValue::ProductOf(const SUValue& array) {
  ReduceNumbers(array, false,
                [](bool first, double& real, double x, std::int32_t& integer, std::int32_t n) {
                  real = first ? x : real * x;
                  integer = first ? n : WrappedProduct(integer, n);
                });
}

void SUValue::MaxOf(const SUValue& array) {
  ReduceNumbers(array, true, [](bool first, double& best, double x, std::int32_t&, std::int32_t) {
    if (first || x > best) best = x;
  });
}

void SUValue::MinOf(const SUValue& array) {
  ReduceNumbers(array, true, [](bool first, double& best, double x, std::int32_t&, std::int32_t) {
    if (first || x < best) best = x;
  });
}

template <typename Fold>
void SUValue::ReduceScalars(const SUValue& array, Fold combine) {
  SUValue result;
  bool first = true;
  auto fold = [&](const SUValue& leaf) {
    if (first) {
      result.Assign(leaf);
      first = false;
    } else {
      combine(result, leaf);
    }
  };
  ForEachLeaf(array, fold);
  TakeFrom(result);
}

void SUValue::UnionOf(const SUValue& array) {
  ReduceScalars(array, [](SUValue& result, const SUValue& leaf) { result.Add(leaf); });
}

void SUValue::IntersectionOf(const SUValue& array) {
  ReduceScalars(array, [](SUValue& result, const SUValue& leaf) { result.MultiplyBy(leaf); });
}

void SUValue::DifferenceOf(const SUValue& array) {
  ReduceScalars(array, [](SUValue& result, const SUValue& leaf) { result.Subtract(leaf); });
}

void SUValue::SymmetricDifferenceOf(const SUValue& array) {
  ReduceScalars(array, [](SUValue& result, const SUValue& leaf) { result.DivideBy(leaf); });
}
