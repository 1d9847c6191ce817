// One call of a user procedure as the equations of the call share it: the
// argument layouts, the value arrays the tape packs, the call with its
// needCall rule, fail codes and statuses, and the derivatives the procedure
// gives (one row of input derivatives per output, negated).
#pragma once

#include <cstdint>
#include <vector>

#include "daes/procedures/proc_def.h"
#include "expr/tape/tape.h"

class BvuNameable;
class ProcCallExpression;
class ProcIOListExpression;

namespace procstatus {
inline constexpr Status kWarning = 0x4031002Fu;
inline constexpr Status kError = 0x80310031u;
inline constexpr Status kSevere = 0xA0310032u;
inline constexpr Status kIndefinite = 0x8031028Fu;
inline constexpr Status kArguments = 0xA031FFFFu;
}  // namespace procstatus

// Options of the definition read by the call.
namespace procflag {
inline constexpr std::uint32_t kOutputsIn = 0x40;
inline constexpr std::uint32_t kReturnsInputs = 0x80;
inline constexpr std::uint32_t kAlwaysCheck = 0x200;
inline constexpr std::uint32_t kEveryEvaluation = 0x800;
}  // namespace procflag

// Slots are 8 bytes: one per real or integer element, five per text.
inline constexpr std::int32_t kTextSlots = 5;

// The derivative entries of 8 bytes one call may keep (ProcCallData::
// EntryBound); a call above it is refused. A call of a million input and
// output pairs keeps at most five entries per pair (its input entry, the
// dense block, the pattern's pair and value, an output's own entry): what
// it holds, however it gives its derivatives, stays allowed.
inline constexpr std::int64_t kMaxProcDerivativeEntries = std::int64_t{5} << 20;
// The same over all calls of a model: a call that would pass it is refused.
inline constexpr std::int64_t kMaxModelProcDerivativeEntries = 4 * kMaxProcDerivativeEntries;

struct ProcArgLayout {
  std::vector<double> values;
  std::vector<ProcInt> offsets;            // slots before each argument (+1 for FORTRAN)
  std::vector<ProcInt> sizes;              // per array argument the count of each level; 0 closes
  std::vector<void*> addresses;            // each element's first slot
  std::vector<std::int32_t> kinds;         // 1, or 5 for a text argument
  std::vector<std::int32_t> elements;      // elements of each argument
  std::vector<std::uint16_t> types;        // each argument's element type
  std::vector<std::vector<ProcInt>> dims;  // each argument's level counts
  std::vector<std::int32_t> output_starts;
  std::int32_t element_count = 0;
  bool fortran = false;
  std::int32_t ArgumentCount() const { return static_cast<std::int32_t>(offsets.size()); }
  std::int32_t SlotCount() const { return static_cast<std::int32_t>(values.size()); }
  // The place, among argument k's elements, of its element e counted
  // row-major (as the tape packs): column-major in the FORTRAN layout.
  std::int32_t Place(std::int32_t k, std::int32_t e) const;
  // The first value slot of that element, and the element's number among
  // all elements of the list.
  std::int32_t SlotOf(std::int32_t k, std::int32_t e) const;
  std::int32_t ElementNumber(std::int32_t k, std::int32_t e) const;
  // The values as the procedure sees them: FORTRAN texts blank-padded and
  // arrays column-major. Into `out` (resized).
  void Arrange(const std::vector<double>& packed, std::vector<double>* out) const;
  // Back from the procedure's arrangement into the tape's.
  void Restore(const std::vector<double>& arranged, std::vector<double>* out) const;
  bool NeedsArranging() const;
};

// The element count of an array value (product of its levels, 0 at an empty
// level) and its depth; each level's count goes to *levels. Answers the
// scalar type code, or 0 after "FATAL ERROR: Empty array in procedure
// argument list!" for a level without element data.
std::uint16_t ArrayElementCount(const SUValue& value, std::int32_t* count, std::int32_t* depth,
                                std::vector<ProcInt>* levels);

class ProcCallData {
 public:
  // The context is the call's compiled tape over its variables (inputs
  // first); `equation` names the call in messages.
  ProcCallData(ProcCallExpression* call, ExprADContext* context, DAESProcDef* definition,
               BvuNameable* equation);

  // Lays out both argument lists; 0 or 0xA031FFFF (also, with a message,
  // for an EntryBound above kMaxProcDerivativeEntries).
  Status BuildCallLayouts(bool with_derivatives);
  Status BuildLayout(ProcIOListExpression* list, ProcArgLayout* layout, std::int32_t outputs);

  // Task 0 residual, 1 precall, 2 postcall, 3 derivatives, 4 both, 5 and 6.
  Status CallProcedure(std::int32_t task, std::int32_t* need_call);
  // Modes 1, 2, 5 and 6 of the problem's procedure-call pass.
  Status Precall(std::int32_t mode);
  // The pre-call's line (PrintLevel above 2) for a procedure that takes one.
  void TellPrecall();
  // The values the procedure left: inputs copied back (when asked), outputs
  // finite. The first failure.
  Status CheckCallResults(bool inputs);
  // The call is made again at the next evaluation.
  void Reset() {
    flags_ &= ~kCurrent;
    last_task_ = -1;
  }

  bool Fortran() const { return (flags_ & kFortran) != 0; }
  bool OutputsCurrent() const { return (flags_ & kCurrent) != 0; }
  std::int32_t LastTask() const { return last_task_; }
  Status LastStatus() const { return last_status_; }
  std::int32_t InputElementCount() const { return input_.element_count; }
  std::int32_t OutputElementCount() const { return output_.element_count; }
  const ProcArgLayout& Inputs() const { return input_; }
  const ProcArgLayout& Outputs() const { return output_; }
  // The value at an output slot position (in the tape's order).
  double Output(std::int32_t position) const;
  // The residual's derivatives for one output, one per input element in
  // the procedure's order (ElementNumber): the procedure's derivatives
  // negated below interface 3, as given from 3 on. Null without.
  const double* DerivativeRow(std::int32_t output) const;
  DAESProcDef* Definition() const { return definition_; }
  // Compiled evaluation leaves the call to the engine: the newer interface,
  // and a call that returns its inputs.
  bool KeptInterpreted() const;
  ExprADContext* Context() const { return context_; }
  const char* ProcedureName() const;
  // Output variable minus output for interface 3 and later, else the other way.
  double Residual(double variable, std::int32_t position) const;
  std::int32_t PatternCount() const { return static_cast<std::int32_t>(pattern_values_.size()); }
  // The derivative entries of 8 bytes the call may come to keep, from its
  // layouts: one per input and output element pair in the input variables,
  // one per output in its own row, and with the procedure's own derivatives
  // their dense block, and from interface 3 on the pattern's values and its
  // pairs of two 4-byte numbers.
  std::int64_t EntryBound() const;
  // The entries of the dense block and the pattern held now.
  std::int64_t HeldEntries() const {
    return static_cast<std::int64_t>(derivatives_.size() + pattern_values_.size());
  }
  std::int32_t WorkLength() const { return static_cast<std::int32_t>(work_.size()); }
  ProcInt PropertiesId() const { return properties_id_; }

 private:
  static constexpr std::uint32_t kCurrent = 0x1;
  static constexpr std::uint32_t kFortran = 0x2;
  Status Report(const char* format, Status status);

  ProcCallExpression* call_;
  ExprADContext* context_;
  DAESProcDef* definition_;
  BvuNameable* equation_;
  ProcArgLayout input_;
  ProcArgLayout output_;
  // The inputs and outputs as passed, when the layout needs arranging.
  std::vector<double> call_inputs_;
  std::vector<double> call_outputs_;
  std::vector<double> work_;
  std::vector<double> derivatives_;
  // The new interface's sparse pattern: 1-based (output, input) pairs.
  std::vector<ProcInt> pattern_pairs_;
  std::vector<double> pattern_values_;
  std::uint32_t flags_ = 0;
  Status last_status_ = 0;
  std::int32_t last_task_ = -1;
  bool inputs_current_ = false;
  ProcInt properties_id_ = 0;
};
