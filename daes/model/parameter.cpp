#include "daes/model/parameter.h"

#include <cmath>
#include <iomanip>
#include <ostream>
#include <vector>

#include "daes/model/services.h"
#include "daes/problem/problem.h"
#include "foundation/persistence/binary_stream.h"
#include "framework/messaging/message.h"

namespace {
constexpr std::uint32_t kDescriptionSize = 256;
}

DAESParameter::DAESParameter(const char* name, BvuDirectoryNode* parent, std::int32_t tag)
    : BvuDirectoryNode(parent, name) {
  flags_ = 0x180;
  switch (tag) {
    case 16:
      value_.SetType(SUValue::kInteger);
      value_.SetInt(0);
      break;
    case 17:
      value_.SetType(SUValue::kString);
      value_.SetString("");
      break;
    case 19:
      value_.SetType(SUValue::kReal);
      value_.SetReal(0.0);
      break;
    case 23:
      value_.SetType(SUValue::kLogical);
      value_.SetInt(0);
      break;
    case 26:
      value_.SetType(SUValue::kStringSet);
      break;
    case 27:
      value_.SetType(SUValue::kIntSet);
      break;
    default:
      break;
  }
  value_.status = SUValue::kValid;
}

DAESParameter::~DAESParameter() {
  if (DAESProblemManagerServices* manager = daes::ProblemManagerServices()) {
    manager->ForgetVariable(this);
  }
}

Status DAESParameter::SetValue(double value) {
  if (value_.Kind() == SUValue::kInteger) {
    const double truncated = std::trunc(value);
    if (!(std::fabs(truncated) < 2147483648.0)) return daes::kNotImplemented;
    const auto n = static_cast<std::int32_t>(truncated);
    if (value_.payload.integer == n) return 0;
    value_.SetInt(n);
  } else if (value_.Kind() == SUValue::kReal) {
    if (value_.payload.real == value) return 0;
    value_.SetReal(value);
  } else {
    return daes::kNotImplemented;
  }
  ValueChanged();
  return 0;
}

Status DAESParameter::SendParameterValue() {
  auto* message = new DseMessage(86, DseMessage::kRequest);
  Status s = message->PutUInt16(11);
  if (status::IsSuccess(s)) s = message->PutString(GetNameText());
  if (status::IsSuccess(s)) s = value_.WriteBinary(*message, true);
  if (status::IsFailure(s)) {
    delete message;
    return s;
  }
  return daes::SendNotice(message);
}

void DAESParameter::PrintParameter(std::ostream& out) {
  out << std::setw(12) << GetNameText() << "  ";
  value_.Print(out);
}

Status DAESParameter::ApplyToSubtree(void*, void*, std::int32_t, std::int32_t, void* problem) {
  if (problem != nullptr && (flags_ & daes::kNotStoredWithState) == 0) {
    static_cast<DAESProblem*>(problem)->AddParameter(this);
  }
  return 0;
}

Status DAESParameter::NumberLeaves(std::uint32_t* counter) {
  sequence_ = ++*counter;
  daes::SetSequenceCounter(*counter);
  return 0;
}

Status DAESParameter::ReadItemBody(BvuBinaryStream& stream, void*) {
  Status result = 0;
  for (;;) {
    std::uint8_t tag = 0;
    Status s = stream.GetUInt8(&tag);
    if (status::IsFailure(s)) return s;
    if (tag == 0) return result;
    switch (tag) {
      case 1: {
        if (value_.type == SUValue::kNoType) break;  // nothing travels for it
        SUValue read;
        s = read.ReadBinary(stream, value_.type);
        if (status::IsSuccess(s)) value_.Assign(read);
        break;
      }
      case 6: {
        std::uint32_t flags = 0;
        s = stream.GetUInt32(&flags);
        if (status::IsSuccess(s)) SetFlags(flags);
        break;
      }
      case 18: {
        char text[kDescriptionSize];
        s = daes::ReadBoundedText(stream, text, kDescriptionSize);
        if (status::IsSuccess(s) && text[0] != 0) SetDescription(text);
        break;
      }
      default:
        if (status::IsSuccess(result)) result = daes::kNotImplemented;
        continue;
    }
    // A short body or an oversized text leaves the stream out of step.
    if (status::IsFailure(s)) return s;
  }
}
