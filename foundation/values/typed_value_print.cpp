// The printed form of SUValue.
#include <ostream>

#include "foundation/values/typed_value.h"

namespace {

const char* SpecificationName(std::int32_t value) {
  switch (value) {
    case SUValue::kFree:
      return "Free";
    case SUValue::kInitial:
      return "Initial";
    case SUValue::kFixed:
      return "Fixed";
    case SUValue::kRateInitial:
      return "RateInitial";
    case SUValue::kObjective:
      return "Objective";
    case SUValue::kVary:
      return "Vary";
    default:
      return "";
  }
}

void PrintQuoted(std::ostream& out, const char* text) { out << '"' << (text ? text : "") << '"'; }

}  // namespace

void SUValue::Print(std::ostream& out) const {
  if (status == kUnknown) {
    out << '?';
    return;
  }
  if (status != kValid) {
    out << '!';
    return;
  }
  if (IsArray()) {
    out << '<';
    for (std::int32_t i = 0; i < count; ++i) {
      if (i > 0) out << ',';
      payload.elements[i].Print(out);
    }
    out << '>';
    return;
  }
  if (IsSet()) {
    out << '[';
    for (std::int32_t i = 0; i < count && Kind() != kNoType; ++i) {
      if (i > 0) out << ',';
      if (Kind() == kInteger) {
        out << payload.ints[i];
      } else {
        PrintQuoted(out, payload.strings[i].Text());
      }
    }
    out << ']';
    return;
  }
  switch (type) {
    case kNoType:
      out << "notype";
      break;
    case kInteger:
      out << payload.integer;
      break;
    case kLogical:
      out << (payload.integer ? "True" : "False");
      break;
    case kReal:
      out << payload.real;
      break;
    case kString:
      PrintQuoted(out, payload.text);
      break;
    case kName:
      out << (payload.text ? payload.text : "");
      break;
    case kSpecification:
      out << SpecificationName(payload.integer);
      break;
    default:
      break;
  }
}

void PrintSUValue(std::ostream& out, const SUValue* value) {
  if (!value) {
    out << '!';
    return;
  }
  value->Print(out);
}
