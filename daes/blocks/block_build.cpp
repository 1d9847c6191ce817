// The solver block of one run: the variables and equations of this block
// that the run's masks select, each equation wrapped so that it lists only
// the selected variables.
#include <vector>

#include "daes/blocks/solver_block.h"
#include "daes/model/variable.h"

namespace {
constexpr std::uint32_t kSensitivityColumn = 0x100000;
constexpr std::uint32_t kSelectedFixed = 0x400000;

// The variable a substituted one stands for: the state of a derivative,
// the derivative of a state.
DAESVarTableEntry* StandIn(DAESVarTableEntry* v) {
  if (auto* dot = v->AsDotVariable()) {
    if (DAESRealVariable* state = dot->GetStateVariable()) return state;
    return v;
  }
  DAESVarTableEntry* d = v->GetDerivative();
  return d != nullptr ? d : v;
}

bool IsRunCandidate(std::uint32_t f, std::uint32_t run) {
  return ((run & 1) != 0 && (f & kSensitivityColumn) != 0) ||
         ((run & 2) != 0 && (f & kSelectedFixed) != 0) ||
         ((run & 4) != 0 && (f & daes::kInitial) != 0);
}
}  // namespace

Status DAESSolverBlock::BuildSolverBlock(DAESSolverBlock** out, std::uint32_t mask,
                                         std::uint32_t substitute, std::uint32_t exclude,
                                         std::uint32_t run_bits, bool strict) {
  auto* block = new DAESSolverBlock(GetRowCount());
  block->SetFlags(daes::kEquationSetBlock);
  *out = block;
  const std::uint32_t k = mask | substitute;
  const bool runs = (run_bits & 7) != 0;
  std::vector<DAESVarTableEntry*> kept;
  std::vector<DAESVarTableEntry*> candidates;
  Status status = 0;
  auto add = [&](DAESVarTableEntry* v) {
    if (status == 0) status = block->AddVariable(v);
  };
  for (std::uint32_t i = 0; i < Table().Count(); ++i) {
    DAESVarTableEntry* v = Table().At(i);
    const std::uint32_t f = v->GetFlags();
    if ((f & k) == 0 || (f & exclude) != 0) {
      if (IsRunCandidate(f, run_bits)) candidates.push_back(v);
    } else if ((f & daes::kState) != 0) {
      add(v);
    } else if ((f & daes::kDerivativeFlag) == 0 || substitute == 0) {
      kept.push_back(v);
    }
  }
  for (std::uint32_t i = 0; i < Table().Count(); ++i) Table().At(i)->SetFlags(daes::kTakenVariable);
  for (DAESVarTableEntry* v : kept) add(v);
  if (runs) {
    for (DAESVarTableEntry* v : candidates) {
      if ((v->GetFlags() & daes::kFixed) != 0) add(v);
    }
  }

  std::uint32_t skip = daes::kLeftOutRow;
  if (!strict) {
    skip |= daes::kProcedureRow;
    exclude |= daes::kTorn;
  }
  for (std::uint32_t i = 0; i < rows_.Count() && status == 0; ++i) {
    auto* row = dynamic_cast<DAESEqnRow*>(rows_.At(i));
    if (row == nullptr || (row->GetFlags() & skip) != 0) continue;
    auto* wrapper = new DAESDecompEquation(row);
    for (std::int32_t j = 0; j < row->VariableCount(); ++j) {
      DAESVarTableEntry* v = row->GetVariable(j);
      const std::uint32_t f = v->GetFlags();
      std::int32_t at = 0;
      if ((f & k) != 0 && (f & exclude) == 0) {
        if ((f & substitute) != 0) v = StandIn(v);
        if (wrapper->InsertVariable(v, &at) == 0) block->AddNonZeros(1);
      } else if (runs && (f & daes::kFixed) != 0) {
        std::uint32_t (DAESSolverBlock::*counter)(std::uint32_t) = nullptr;
        if ((run_bits & 1) != 0 && (f & kSensitivityColumn) != 0) {
          counter = &DAESSolverBlock::AddSensitivityNonZeros;
        } else if ((run_bits & 2) != 0 && (f & kSelectedFixed) != 0) {
          counter = &DAESSolverBlock::AddSelectedFixedNonZeros;
        } else if ((run_bits & 4) != 0 && (f & daes::kInitial) != 0) {
          counter = &DAESSolverBlock::AddInitialFixedNonZeros;
        }
        if (counter != nullptr && wrapper->InsertVariable(v, &at) == 0) {
          block->AddNonZeros(1);
          (block->*counter)(1);
        }
      }
    }
    status = block->AddRow(wrapper);
    if (status != 0) delete wrapper;
  }
  return status;
}
