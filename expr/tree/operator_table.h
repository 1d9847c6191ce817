// The process-wide operator table: one row per operator of the expression
// language, in the order of the operator index that every node carries. A
// row says how the operator is spelled, which one-byte code it has in every
// stored and transmitted form, how many operands it takes, which types it
// yields and accepts, and which algebraic properties the simplifier may use.
#pragma once

#include <cstdint>

// Operator rows, by index.
enum EOp : std::uint16_t {
  kNop,
  kTerm,
  kVec,
  kSubId,
  kNot,
  kAnd,
  kOr,
  kXor,
  kEq,
  kGt,
  kLt,
  kGe,
  kLe,
  kNe,
  kPlus,
  kMinus,
  kFloat,
  kRound,
  kTruncate,
  kAdd,
  kSub,
  kMul,
  kDiv,
  kMod,
  kPow,
  kSlice,
  kSin,
  kCos,
  kTan,
  kASin,
  kACos,
  kATan,
  kSinh,
  kCosh,
  kTanh,
  kSqrt,
  kExp,
  kLoge,
  kLog10,
  kAbs,
  kSqr,
  kSign,
  kDeRef,
  kDeriv,
  kSigma,
  kProd,
  kMaxList,
  kMinList,
  kTrans,
  kUnion,
  kDiff,
  kIntSect,
  kSymDiff,
  kIn,
  kSize,
  kTime,
  kRunMode,
  kDelay,
  kMatmul,
  kConcat,
  kForEach,
  kAssignment,
  kConv2,
  kUnionFn,
  kDiffFn,
  kISectFn,
  kSymDiffFn,
  kInput,
  kStrInput,
  kIntInput,
  kInsEnd,
  kOutput,
  kStrOutput,
  kIntOutput,
  kOutsEnd,
  kRealFun,
  kStrFun,
  kIntFun,
  kSEq,
  kSGt,
  kSLt,
  kSGe,
  kSLe,
  kSNe,
  kIEq,
  kIGt,
  kILt,
  kIGe,
  kILe,
  kINe,
  kIPlus,
  kIMinus,
  kIAdd,
  kISub,
  kIMul,
  kIAbs,
  kISqr,
  kSysFun,
  kMax,
  kMin,
  kURnd,
  kNRnd,
  kTermI,
  kTermS,
  kConv2R,
  kConv2S,
  kConv2I,
  kDeRefS,
  kDeRefI,
  kEmptyRow,  // the closing row; also what an unknown code maps to
  kOperatorRows
};

// Row flags.
namespace opflag {
inline constexpr std::uint16_t kFoldable = 0x0001;
inline constexpr std::uint16_t kNestedRewrite = 0x0002;
inline constexpr std::uint16_t kConverts = 0x0004;
inline constexpr std::uint16_t kAssociative = 0x0008;
inline constexpr std::uint16_t kCommutative = 0x0010;
inline constexpr std::uint16_t kZeroIdentity = 0x0020;
inline constexpr std::uint16_t kOneIdentity = 0x0040;
inline constexpr std::uint16_t kZeroAbsorbs = 0x0080;
inline constexpr std::uint16_t kOneAbsorbs = 0x0100;
inline constexpr std::uint16_t kTranscendental = 0x0200;
inline constexpr std::uint16_t kAggregate = 0x0400;
}  // namespace opflag

// Print forms.
inline constexpr std::uint8_t kPrintSpecial = 0;
inline constexpr std::uint8_t kPrintFunction = 1;
inline constexpr std::uint8_t kPrintInfix = 2;

struct OperatorRow {
  const char* name;
  const char* modelling;
  const char* cpp;  // null where no C++ form exists
  std::uint8_t code;
  std::uint8_t operands;
  std::uint8_t print_form;
  std::uint16_t result_type;
  std::uint16_t operand_types[2];
  std::int16_t string_variant;  // -1 for none
  std::int16_t integer_variant;
  std::uint16_t flags;
};

extern const OperatorRow OperatorTable[kOperatorRows];

// The row whose persisted code is `code`; kEmptyRow when none has it.
std::uint16_t RowForCode(std::uint8_t code);

inline const OperatorRow& Row(std::uint16_t op) {
  return OperatorTable[op < kOperatorRows ? op : std::uint16_t{kEmptyRow}];
}

// Folding of the transcendental rows (flag 0x0200) is allowed while this is on.
extern bool TranscendentalFoldingSwitch;
