#include "numerics/sparse_lu/machine_constants.h"

#include <array>
#include <bit>

#include "numerics/sparse_lu/slu_print.h"
#include "platform/exit_code.h"

namespace {

constexpr std::array<std::int64_t, 10> kSingle = {2, 24, 8, 1, 1, -23, -24, -149, -126, 127};
constexpr std::array<std::int64_t, 10> kDouble = {2, 53, 11, 1, 1, -52, -53, -1074, -1022, 1023};
constexpr std::array<std::uint64_t, 5> kRealBits = {
    0x3CB0000000000002u,  // 2.220446049250314e-16
    0x3CA0000000000006u,  // 1.110223024625158e-16
    0x0010000000000001u,  // 2.225073858507202e-308
    0x0010000000000001u,
    0x7FEFFFFFFFFFFFFBu,  // 1.797693134862315e+308
};

[[noreturn]] void OutOfRange() {
  SluWriteAlways("ID05A-F-out of range");
  platform::ExitWithStatus(status::kGeneralFailure);
}

template <std::size_t Size>
std::size_t IndexInto(std::int64_t k) {
  if (k < 1 || k > static_cast<std::int64_t>(Size)) OutOfRange();
  return static_cast<std::size_t>(k - 1);
}

}  // namespace

std::int64_t IntegerConstantSingle(const std::int64_t* K) {
  return kSingle[IndexInto<kSingle.size()>(*K)];
}

std::int64_t IntegerConstantDouble(const std::int64_t* K) {
  return kDouble[IndexInto<kDouble.size()>(*K)];
}

double RealConstantDouble(const std::int64_t* K) {
  return std::bit_cast<double>(kRealBits[IndexInto<kRealBits.size()>(*K)]);
}
