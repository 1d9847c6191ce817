#include "results/manager/assign_value.h"

#include <atomic>

#include "foundation/persistence/binary_stream.h"

namespace {
std::atomic<std::uint64_t> g_serial{0};
}  // namespace

SimAssignValue::SimAssignValue(std::uint32_t kind_code, const SUValue* value, double real_value,
                               std::uint32_t code, AssignableVariable* target,
                               std::uint32_t pattern_bits, std::uint32_t mask_bits)
    : serial(g_serial.fetch_add(1)), variable(target), word(0), kind(0), pattern(pattern_bits),
      mask(mask_bits) {
  switch (kind_code) {
    case 1:
    case 4:
      typed.SetType(kind_code == 1 ? SUValue::kLogical : SUValue::kInteger);
      if (value != nullptr) typed.Assign(*value);
      kind = kind_code;
      break;
    case 2:
      word = code;
      kind = kind_code;
      return;
    case 24:
      real = real_value;
      kind = kind_code;
      break;
    case 68:
      typed.SetType(SUValue::kString);
      if (value != nullptr) typed.Assign(*value);
      kind = kind_code;
      break;
    case 255:
      if (value != nullptr) typed.Assign(*value);
      kind = kind_code;
      break;
    default:
      break;
  }
  if (variable != nullptr) word = variable->Flags();
}

Status SimAssignValue::WriteToMessage(BvuBinaryStream& out) const {
  Status s = out.PutUInt8(static_cast<std::uint8_t>(kind));
  if (status::IsFailure(s)) return s;
  switch (kind) {
    case 24:
      s = out.PutDouble(real);
      break;
    case 1:
    case 4:
    case 68:
    case 255:
      s = out.PutUInt16(typed.type);
      if (status::IsSuccess(s)) s = typed.WriteBinary(out, false);
      break;
    default:
      break;
  }
  if (status::IsSuccess(s)) s = out.PutUInt32(pattern);
  if (status::IsSuccess(s)) s = out.PutUInt32(mask);
  return s;
}
