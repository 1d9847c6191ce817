// Readers of the expression layouts that earlier versions stored under other
// class ids (100 to 111). Each derives from the class it stands for, reads
// the old virtual-stream body, and hands the restore an object of the
// current class in its place, so no object of an old class outlives its
// restore. Nothing writes the old layouts.
#pragma once

#include <cstdint>

#include "expr/tree/binary_expression.h"
#include "expr/tree/expression.h"
#include "expr/tree/list_expression.h"
#include "expr/tree/proc_call_expression.h"
#include "expr/tree/unary_expression.h"
#include "expr/tree/var_ref_expression.h"
#include "foundation/persistence/persistence.h"

namespace oldclass {
inline constexpr std::uint16_t kVarRef = 100;
inline constexpr std::uint16_t kHomList = 101;
inline constexpr std::uint16_t kProcIOList = 103;
inline constexpr std::uint16_t kProcCall = 104;
inline constexpr std::uint16_t kTerminal = 106;
inline constexpr std::uint16_t kUnary = 107;
inline constexpr std::uint16_t kBinary = 108;
inline constexpr std::uint16_t kList = 110;
inline constexpr std::uint16_t kVariable = 111;
}  // namespace oldclass

// Does nothing; calling it keeps the readers' registrations in the program.
void EnsureOldLayoutReadersRegistered();

// The operator row of an old 16-bit code: the first row whose persisted
// code, as a signed byte, equals it; kEmptyRow when none does.
std::uint16_t RowForOldCode(std::uint16_t code);

// What every reader shares: its old class id while it is being read, and
// saves and a binary-file restore that do nothing.
template <typename Current, std::uint16_t kOldId>
class OldLayoutReader : public Current {
 public:
  std::uint16_t ClassId() const override { return kOldId; }
  void RestoreFromFile(ClFileStream&) override {}
  void SaveToVStream(Clvostream&) const override {}
  void SaveToFile(ClFileStream&) const override {}
  // A reader never holds what its restore read, only what its own
  // construction made: disposed of after a failed restore, it frees that.
  void DetachForDisposal() override {}

 protected:
  // Takes the old header, copies it to `fresh` (a node of the current class
  // holding the body read) and hands `fresh` to the restore in its place.
  void HandOver(Expression* fresh, std::uint16_t op, std::uint16_t type, std::uint16_t error,
                std::uint16_t flags) {
    this->op_ = op;
    this->type_ = type;
    this->SetErrorCode(error);
    this->SetFlags(flags);
    Expression::CopyHeader(*fresh, *this);
    ReplaceRestoredObject(this, fresh);
  }
};

#define VANTOR_OLD_READER(Old, Current, id)               \
  class Old : public OldLayoutReader<Current, id> {       \
   public:                                                \
    void RestoreFromVStream(Clvistream& stream) override; \
  }

VANTOR_OLD_READER(OldVarRefExpression, VarRefExpression, oldclass::kVarRef);
VANTOR_OLD_READER(OldHomListExpression, HomListExpression, oldclass::kHomList);
VANTOR_OLD_READER(OldProcIOListExpression, ProcIOListExpression, oldclass::kProcIOList);
VANTOR_OLD_READER(OldProcCallExpression, ProcCallExpression, oldclass::kProcCall);
VANTOR_OLD_READER(OldTerminalExpression, TerminalExpression, oldclass::kTerminal);
VANTOR_OLD_READER(OldUnaryExpression, UnaryExpression, oldclass::kUnary);
VANTOR_OLD_READER(OldBinaryExpression, BinaryExpression, oldclass::kBinary);
VANTOR_OLD_READER(OldListExpression, ListExpression, oldclass::kList);
VANTOR_OLD_READER(OldVariableExpression, VariableExpression, oldclass::kVariable);

#undef VANTOR_OLD_READER
