// The C of IF and switch rows: the residual and Jacobian code of the
// branch of the row's entry in the instance's state array, and the state
// code that evaluates the selector (IF) or the transitions (switch) and
// stores the new state.
#include <ostream>

#include "daes/events/finite_state_equation.h"
#include "daes/events/implicit_event.h"
#include "daes/events/switch_equation.h"
#include "daes/problem/equation_code.h"

namespace {
constexpr const char* kNotImplemented = "/*Expression not yet implemented*/";

bool HasNestedBranches(DAESFiniteStateEquation* row) {
  for (std::int32_t i = 0; i < row->BranchRows(); ++i) {
    if (dynamic_cast<DAESFiniteStateEquation*>(row->Branch(i)) != nullptr) return true;
  }
  return false;
}
}  // namespace

void DAESFiniteStateEquation::WriteCaseLabel(daes::EquationCState& w, std::int32_t task) {
  TapeCodeState& t = w.expr.tape;
  if (task == 3) {
    std::int32_t states = 0;
    BranchCount(&states);
    w.state_count = states;
    t.nonlinear.assign(static_cast<std::size_t>(states), false);
    *w.out << "  case 4:ires=g_pInstance->pStateData[" << w.state_base
           << (states != 1 ? "+g_iLevel];break;\n" : "];break;\n");
  }
  *w.out << "  case " << task << ":";
  if (task == 0) {
    *w.out << "  case -1: case -2:";
    std::int32_t branches = 1;
    BranchCount(&branches);
    t.nonlinear.assign(static_cast<std::size_t>(branches), false);
    t.current_equation = 0;
  } else if (task == 1) {
    t.current_equation = 0;
  }
}

Status DAESFiniteStateEquation::WriteBranches(daes::EquationCState& w,
                                              const std::vector<std::int32_t>* pattern) {
  const std::int32_t entry = w.state_base + w.depth;
  Status status = 0;
  auto branch = [&](std::int32_t i) {
    DAESSolverEquation* b = Branch(i);
    if (b == nullptr) {
      *w.out << kNotImplemented;
      w.success = false;
      return;
    }
    const Status s =
        pattern != nullptr ? b->WriteJacobianCode(w, *pattern) : b->WriteResidualCode(w);
    if (status::IsFailure(s)) status = s;
  };
  ++w.depth;
  if (selector_ != nullptr) {
    *w.out << "if (g_pInstance->pStateData[" << entry << "]){\n";
    branch(1);
    *w.out << "} else {";
    branch(0);
  } else {
    *w.out << "switch (g_pInstance->pStateData[" << entry << "]){\n";
    for (std::int32_t i = 0; i < BranchRows(); ++i) {
      *w.out << "case " << i << ":";
      branch(i);
      *w.out << "break;\n";
    }
  }
  *w.out << "}\n";
  --w.depth;
  SetCompiledNumber(w.success ? static_cast<std::uint32_t>(w.equation) : 0u);
  return status;
}

Status DAESFiniteStateEquation::WriteResidualCode(daes::EquationCState& w) {
  return WriteBranches(w, nullptr);
}

Status DAESFiniteStateEquation::WriteJacobianCode(daes::EquationCState& w,
                                                  const std::vector<std::int32_t>& pattern) {
  return WriteBranches(w, &pattern);
}

Status DAESFiniteStateEquation::WriteStateCode(daes::EquationCState& w) {
  const std::int32_t entry = w.state_base + w.depth;
  const bool outermost = w.depth == 0;
  if (outermost) *w.out << "{";
  Status status = 0;
  if (selector_ != nullptr) {
    if (Context() == nullptr) MakeContext();
    if (Context() == nullptr || !Context()->HasTape()) {
      *w.out << kNotImplemented;
      w.success = false;
    } else {
      status = Context()->WriteValueCode(w.expr, *w.out);
      if (w.expr.tape.failed) w.success = false;
    }
    auto& flags = w.expr.tape.nonlinear;
    const auto at = static_cast<std::size_t>(w.expr.tape.current_equation);
    if (at < flags.size()) flags[at] = false;
    if (HasNestedBranches(this)) {
      *w.out << "\nif (g_pInstance->pStateData[" << entry << "]=ires){\n";
      ++w.depth;
      if (DAESSolverEquation* b = Branch(1)) b->WriteStateCode(w);
      *w.out << "} else {\n";
      if (DAESSolverEquation* b = Branch(0)) b->WriteStateCode(w);
      --w.depth;
      *w.out << "}\n";
    } else {
      *w.out << "g_pInstance->pStateData[" << entry << "]=ires;";
    }
  } else {
    auto* equation =
        event_ != nullptr ? dynamic_cast<DAESSwitchEquation*>(event_->Equation()) : nullptr;
    const std::int32_t number = w.switches++;
    if (w.initial_states != nullptr) {
      if (number % 10 == 0) *w.initial_states << "\n  ";
      *w.initial_states << "*pI++=" << (equation != nullptr ? equation->CurrentState() : 0) << ";";
    }
    *w.out << "int e_switch=g_pInstance->pSwitchData[" << number << "];switch(e_switch){\n";
    if (equation == nullptr) {
      *w.out << kNotImplemented;
      w.success = false;
    } else {
      const Status s = equation->WriteSwitchCode(w);
      if (status::IsFailure(s)) status = s;
    }
    *w.out << "}g_pInstance->pStateData[" << entry << "]=g_pInstance->pSwitchData[" << number
           << "]=e_switch;\n";
    if (HasNestedBranches(this)) {
      *w.out << "switch(e_switch){\n";
      ++w.depth;
      for (std::int32_t i = 0; i < BranchRows(); ++i) {
        *w.out << "case " << i << ":";
        if (DAESSolverEquation* b = Branch(i)) b->WriteStateCode(w);
        *w.out << "break;\n";
      }
      --w.depth;
      *w.out << "}\n";
    }
  }
  if (outermost) *w.out << "break;}\n";
  return status;
}
