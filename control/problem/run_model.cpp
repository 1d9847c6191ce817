#include "control/problem/run_model.h"

#include "control/managers/subsystem_manager.h"
#include "daes/model/services.h"
#include "daes/problem/problem.h"
#include "daes/problem/solver_equation.h"
#include "foundation/messages/su_print.h"

namespace {
constexpr Status kNoProblem = 0x8032FFFFu;
}  // namespace

Status SimDaesRunModel::InstancesEdited() {
  return instances_ != nullptr ? instances_->ProblemEdited() : status::kOk;
}

DAESProblem* SimDaesRunModel::CreateProblem(std::uint64_t handle) {
  if (root_ == nullptr) return nullptr;
  // Equations of this tree find their variables again in it, so an edit
  // that replaced a variable leaves no stale binding; only for this build.
  DAESVariableTable* before = daes::VariableTable();
  if (auto* table = dynamic_cast<DAESVariableTable*>(instances_)) daes::SetVariableTable(table);
  DAESProblem* problem = DAESCreateProblem(root_, handle, nullptr);
  daes::SetVariableTable(before);
  return problem;
}

bool SimDaesRunModel::SolversSetUp(DAESProblem* problem) {
  return problem != nullptr && problem->IsGood() != 0;
}

Status SimDaesRunModel::ChooseEvaluator(DAESProblem* problem, std::int32_t evaluator) {
  compiled_ = false;
  if (problem == nullptr) return kNoProblem;
  if (evaluator == kCompiled) {
    // The code generator installs itself with the problem layer.
    if (daes::CompiledCode() == nullptr) {
      problem->SetCompiledEvaluation(0, nullptr);
      return kNoCompiler;
    }
    Status loaded = status::kOk;
    problem->SetCompiledEvaluation(kCompiled, &loaded);
    compiled_ = true;
    return loaded;
  }
  problem->SetCompiledEvaluation(0, nullptr);
  return status::kOk;
}

void SimDaesRunModel::ReportChoiceFailure(DAESProblem*, Status failure) {
  SuPrint(0, "Compiled equations could not be chosen (0x%x); the equations are interpreted",
          &failure);
}

Status SimDaesRunModel::BuildSystem(DAESProblem* problem) {
  if (problem == nullptr) return kNoProblem;
  // The problem root builds its equation system as it is made; what is left
  // is its verdict.
  return problem->IsGood() != 0 ? status::kOk : problem->GetStatus();
}

Status SimDaesRunModel::CompileForRun(DAESProblem* problem, const char* folder) {
  if (problem == nullptr) return kNoProblem;
  // The tapes come first: the compiled code is written from them, and
  // derivatives are still taken through them.
  for (std::int32_t i = 0; i < problem->EquationCount(); ++i) {
    auto* equation = dynamic_cast<DAESSolverEquation*>(problem->GetEquation(i));
    if (equation != nullptr && equation->Context() == nullptr) equation->MakeContext();
  }
  DAESCompiledCode* code = daes::CompiledCode();
  if (compiled_ && code != nullptr) {
    code->SetBuildFolder(folder);
    const Status built = problem->BuildCompiledEquations(0, 0);
    if (status::IsFailure(built)) {
      // Reported by the generator; the run goes on interpreted.
      compiled_ = false;
      problem->SetCompiledEvaluation(0, nullptr);
    }
  }
  return status::kOk;
}

Status SimDaesRunModel::EnterRunMode(DAESProblem* problem, std::int32_t) {
  // The problem root keeps no state of its own per run mode.
  return problem != nullptr ? status::kOk : kNoProblem;
}
