#include "daes/blocks/block_kinds.h"

#include "daes/problem/solver_equation.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/group_method.h"
#include "foundation/interfaces/integrator_proxy.h"
#include "foundation/messages/su_print.h"

DAESSolverBlock* DAESTornBlock::DecomposeExternally(BlockDecomposer* decomposer, Status* status) {
  if (status != nullptr) *status = 0;
  if (inner_ != nullptr) return inner_;
  DAESSolverBlock* result = nullptr;
  const Status s =
      decomposer != nullptr ? decomposer->Decompose(this, &result) : daes::kBlockUnsupported;
  if (status != nullptr) *status = s;
  if (status::IsFailure(s) || result == nullptr) {
    delete result;
    return nullptr;
  }
  inner_ = result;
  return inner_;
}

void DAESTornBlock::PrintGroups(std::uint32_t, std::int32_t* printed) {
  if (inner_ != nullptr) inner_->ReportIndeterminate(GetGroupNumber(), printed);
}

void DAESTornBlock::AnnounceSolve(DAESBlock* sub_group) {
  UnifiedIntegratorProxy* integrator = GetCurrentIntegrator();
  if (integrator == nullptr || !integrator->ShouldAnnounce(sub_group)) return;
  std::int32_t number = static_cast<std::int32_t>(sub_group->GetGroupNumber());
  std::int32_t torn = static_cast<std::int32_t>(GetGroupNumber());
  std::int32_t rows = static_cast<std::int32_t>(sub_group->GroupRowCount());
  const char* name = daes::KindName(sub_group->GroupKind(), sub_group->GroupRowCount());
  if (rows >= 2) {
    SuPrint(0, "Solving sub-group %d of torn group %d, type %s, size %d", &number, &torn, name,
            &rows);
  } else {
    SuPrint(0, "Solving sub-group %d of torn group %d of type %s", &number, &torn, name);
  }
}

Status DAESTornBlock::ReleaseWorkspace() {
  return inner_ != nullptr ? inner_->ReleaseWorkspace() : daes::kBlockUnsupported;
}

void DAESTornBlock::Reset() {
  if (inner_ != nullptr) inner_->Reset();
  DAESSolverBlock::Reset();
}

void DAESTornBlock::ResetTree() {
  if (inner_ != nullptr) inner_->ResetTree();
}

Status DAESTornBlock::AllocTornValues(std::uint32_t k) {
  if (k == 0) {
    std::vector<double>().swap(torn_values_);
    return 0;
  }
  try {
    torn_values_.assign(static_cast<std::size_t>(ProcedureRows()) * k, 0.0);
  } catch (const std::bad_alloc&) {
    return daes::kBlockOutOfMemory;
  }
  return 0;
}

std::int32_t DAESSingleBlock::InsertVariable(DAESVarTableEntry* variable, std::int32_t* position) {
  *position = 0;
  if (variable_ == nullptr) {
    variable_ = variable;
    return 0;
  }
  if (variable_ == variable) return 1;
  *position = -1;
  return -1;
}

Status DAESSingleBlock::AddRow(QLNRow* row) {
  if (equation_ != nullptr && equation_ != row) delete equation_;
  equation_ = row;
  return 0;
}

Status DAESSingleBlock::WriteEquationFunction(CodeWriterContext& context) {
  EquationCodeWriter* w =
      context.writer_of && equation_ != nullptr ? context.writer_of(equation_) : nullptr;
  if (w == nullptr) return daes::kBlockUnsupported;
  w->Prepare();
  w->WriteHead(GetGroupNumber());
  w->WriteCaseLabel(3);
  w->WriteResetState();
  if (context.residual_label) w->WriteCaseLabel(0);
  w->WriteResidual();
  w->WriteText("break;\n");
  if (!context.no_jacobian) {
    w->WriteCaseLabel(1);
    w->WriteJacobian();
    w->WriteText("break;\n");
    w->WriteCaseLabel(2);
    w->WriteColumnPattern();
    w->WriteText("break;\n");
  }
  return w->WriteEnd();
}

Status DAESExplicitBlock::Solve(std::uint8_t flags, std::uint32_t mode, std::uint32_t count,
                                Status* options) {
  SetSolved(false);
  QLNGroupMethod* method = GetGroupMethod(kGroupExplicit);
  if (method == nullptr) return daes::kBlockUnsupported;
  const Status s = method->Solve(this, flags, mode, count, options);
  if (status::IsSuccess(s)) SetSolved(true);
  // A loaded flowsheet library evaluates with the variable's new value.
  DAESVarTableEntry* v = GetVariable(0);
  if (v != nullptr && daes::CurrentCompiledLibrary().IsLoaded()) {
    v->WriteCompiledValue(v->GetRealValue());
  }
  return s;
}

Status DAESExplicitBlock::AddEntry(void* entry) {
  try {
    if (entries_.size() % 4 == 0) entries_.reserve(entries_.size() + 4);
    entries_.push_back(entry);
  } catch (const std::bad_alloc&) {
    return daes::kBlockOutOfMemory;
  }
  return 0;
}
