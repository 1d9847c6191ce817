// The solving and announcing side of the block family: group-method calls,
// sub-group solving, indeterminate-variable reports and the compiled
// evaluation switch.
#include <atomic>

#include "daes/blocks/solver_block.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/group_method.h"
#include "foundation/interfaces/integrator_proxy.h"
#include "foundation/messages/su_print.h"

namespace {
std::atomic<std::uint32_t> g_compiled_word{0};
}  // namespace

const char* daes::KindName(std::uint32_t kind, std::uint32_t rows) {
  switch (kind) {
    case 0:
      return "Linear";
    case 1:
      return rows == 1 ? "Single Nonlinear" : "Nonlinear";
    case 2:
      return "Torn";
    case 3:
      return "Explicit Linear";
    default:
      return "unknown type";
  }
}

double daes::BoundedQuotient(double n, double d, double b) {
  const double ad = d < 0 ? -d : d;
  const double an = n < 0 ? -n : n;
  if (ad > 1.0 || ad * b >= an) return n / d;
  return d * n > 0.0 ? b : -b;
}

Status DAESBlock::Solve(std::uint8_t flags, std::uint32_t mode, std::uint32_t count,
                        Status* options) {
  SetSolved(false);
  QLNGroupMethod* method = GetGroupMethod(static_cast<std::int32_t>(GroupKind()));
  if (method == nullptr) return daes::kBlockUnsupported;
  const Status s = method->Solve(this, flags, mode, count, options);
  if (status::IsSuccess(s)) SetSolved(true);
  return s;
}

void DAESBlock::ReportIndeterminate(std::uint32_t, std::int32_t*) {}

void DAESBlock::PrintGroups(std::uint32_t torn_group, std::int32_t*) {
  std::int32_t number = static_cast<std::int32_t>(group_number_);
  std::int32_t torn = static_cast<std::int32_t>(torn_group);
  for (std::uint32_t i = 0; i < indeterminate_.Count(); ++i) {
    BvuNameable* v = indeterminate_.At(i);
    if (torn_group == 0) {
      SuPrint(0, "  Group %d: @Ns", &number, &v);
    } else {
      SuPrint(0, "  Sub-group %d of torn group %d: @Ns", &number, &torn, &v);
    }
  }
}

void DAESBlock::AnnounceSolve(DAESBlock* sub_group) {
  UnifiedIntegratorProxy* integrator = GetCurrentIntegrator();
  if (integrator == nullptr || !integrator->ShouldAnnounce(sub_group)) return;
  std::int32_t number = static_cast<std::int32_t>(sub_group->GetGroupNumber());
  std::int32_t rows = static_cast<std::int32_t>(sub_group->GroupRowCount());
  const char* name = daes::KindName(sub_group->GroupKind(), sub_group->GroupRowCount());
  if (rows > 1) {
    SuPrint(0, "Solving group %d, size %d, type %s", &number, &rows, name);
  } else {
    SuPrint(0, "Solving group %d, type %s", &number, name);
  }
}

void DAESSolverBlock::ReportIndeterminate(std::uint32_t torn_group, std::int32_t* printed) {
  for (std::uint32_t i = 0; i < GetRowCount(); ++i) {
    auto* row = dynamic_cast<DAESBlock*>(GetRow(i));
    if (row == nullptr || !row->HasIndeterminate()) continue;
    if (*printed == 0) {
      SuPrint(0, " ");
      SuPrint(0, "Warning: the following variables are indeterminate:");
      *printed = 1;
    }
    row->PrintGroups(torn_group, printed);
  }
}

Status DAESSolverBlock::SolveSubGroups(std::uint8_t flags, std::uint32_t mode,
                                       std::int32_t* iterations) {
  for (std::uint32_t i = 0; i < GetRowCount(); ++i) {
    auto* group = dynamic_cast<DAESBlock*>(GetRow(i));
    if (group == nullptr) continue;
    AnnounceSolve(group);
    Status reported = 0;
    const Status s = group->Solve(flags, mode, 0, &reported);
    if (iterations != nullptr && static_cast<std::int32_t>(reported) > *iterations) {
      *iterations = static_cast<std::int32_t>(reported);
    }
    if (status::IsFailure(s)) {
      for (std::uint32_t j = i + 1; j < GetRowCount(); ++j) {
        if (auto* rest = dynamic_cast<DAESBlock*>(GetRow(j))) rest->SetSolved(false);
      }
      return s;
    }
  }
  SetSolved(true);
  return 0;
}

Status DAESSolverBlock::ReleaseWorkspace() {
  if (workspace_ != nullptr) {
    if (QLNGroupMethod* method = GetGroupMethod(static_cast<std::int32_t>(kind_))) {
      method->DropWorkspace(&workspace_);
      // The method kept nothing: the solver object went with it.
      if (workspace_ == nullptr) SetEquationSetObject(nullptr);
    }
    return 0;
  }
  if (GetRowCount() == 0 || (GetRow(0)->GetFlags() & daes::kGroupRow) == 0) {
    return daes::kBlockUnsupported;
  }
  Status s = 0;
  for (std::uint32_t i = 0; i < GetRowCount(); ++i) {
    auto* group = dynamic_cast<DAESBlock*>(GetRow(i));
    if (group == nullptr) continue;
    s = group->ReleaseWorkspace();
    if (status::IsFailure(s)) return s;
  }
  return s;
}

void DAESSolverBlock::ResetTree() {
  ReleaseEquationSetObject();
  for (std::uint32_t i = 0; i < GetRowCount(); ++i) {
    if ((GetRow(i)->GetFlags() & daes::kGroupRow) == 0) continue;
    if (auto* group = dynamic_cast<DAESBlock*>(GetRow(i))) group->ResetTree();
  }
  DropWorkspace();
}

bool DAESSolverBlock::SetCompiledEvaluation(std::uint32_t m, Status* load_status) {
  if (m != 0) {
    g_compiled_word.fetch_or(m);
    if (m == 2 && CompiledLibraryName() != nullptr) {
      const Status s = LoadCompiledLibrary(CompiledLibraryName());
      if (load_status != nullptr) *load_status = s;
    }
  } else {
    // The load bit: unload what m = 2 loaded.
    if ((g_compiled_word.load() & 2u) != 0) LoadCompiledLibrary(nullptr);
    g_compiled_word.store(0);
  }
  return g_compiled_word.load() == 3;
}

std::uint32_t DAESSolverBlock::CompiledEvaluationWord() { return g_compiled_word.load(); }
