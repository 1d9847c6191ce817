// Structural analysis of a specification: which variables are over- or
// under-determined and which equations are involved, found by a
// priority-driven maximum matching of equations to variables.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/status.h"

class BvuBinaryStream;
class BvuDirectoryNode;
class DAESSolverBlock;

inline constexpr Status kPartitionSingular = 0x80310295u;
inline constexpr Status kPartitionInitialKnown = 0x80310296u;
inline constexpr Status kPartitionUnderClass4 = 0x80310297u;
inline constexpr Status kPartitionRequestedUnder = 0x80310299u;
inline constexpr Status kPartitionOutOfMemory = 0x80310213u;
inline constexpr Status kPartitionFixedOutput = 0xA031FFFFu;
inline constexpr Status kPartitionBadRequest = 0x8000020Fu;

// Variable codes of the analysis.
enum PartitionCode : std::int32_t {
  kCodeUnderClass4 = -5,
  kCodeKnown = -4,
  kCodeMustBeFree = -3,
  kCodeInitialUnmatched = -2,
  kCodeOff = 0,
  kCodeFree = 1,
  kCodeResult = 2,
};

// What the kernel works on: E equations, V variables, the incidence as
// (variable, equation) pairs, 1-based, grouped by equation.
struct PartitionKernelInput {
  std::int32_t equations = 0;
  std::int32_t variables = 0;
  std::vector<std::int32_t> incidence_variable;
  std::vector<std::int32_t> incidence_equation;
  std::vector<std::int16_t> must_be_free;
  std::vector<std::int32_t> partner;  // 1-based, 0 when none
};

struct PartitionKernelResult {
  std::int32_t failure = 0;  // 0, -1 or -2
  std::int32_t count = 0;    // E - F at the end
  std::int32_t rank = 0;     // of the first pass's second matching
  std::vector<std::uint8_t> involved;
  std::vector<std::int32_t> free_equations;  // 1-based
};

// The kernel; method 2 is the only one (any other does nothing). Codes are
// updated in place.
void PartitionKernel(std::int32_t method, const PartitionKernelInput& in,
                     std::vector<std::int32_t>& codes, PartitionKernelResult* out);

// Answers the analyse-specification request for the block; the status is
// also the reply's first item.
Status Partition(DAESSolverBlock* block, BvuBinaryStream& request, BvuDirectoryNode* tree,
                 BvuBinaryStream& reply);
