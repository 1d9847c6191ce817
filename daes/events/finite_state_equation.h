// The solver row of an equation whose form depends on a discrete state: row
// k of an IF (branch 0 ELSE, branch 1 THEN) or of a switch (one branch per
// state). It holds one solver equation per branch and hands evaluation to
// the branch of the event's current state.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "daes/equations/equation_node.h"
#include "daes/problem/solver_equation.h"

class DAESImplicitEvent;
class QLNImplicitEvent;

class DAESFiniteStateEquation : public DAESSolverEquation {
 public:
  // `selector` is the IF's condition equation (null for a switch); `model`
  // names the row. Takes a reference on the event.
  DAESFiniteStateEquation(DAESSimpleEquation* selector, DAESEquation* model,
                          DAESImplicitEvent* event, std::int32_t branches, std::uint32_t row);
  // Deletes the branch rows and gives back the event.
  ~DAESFiniteStateEquation() override;

  // Appends the next branch (in state order) and takes it.
  Status AddBranch(DAESEqnRow* row);
  std::int32_t BranchRows() const { return branches_.EquationCount(); }
  DAESSolverEquation* Branch(std::int32_t i) const;
  // The branch of the current state, or null.
  DAESSolverEquation* CurrentBranch() const;
  std::int32_t CurrentState() const { return state_; }
  QLNImplicitEvent* EventCondition() const;
  DAESImplicitEvent* Event() const { return event_; }

  const char* GetNameText(std::int32_t arg = 0) override;
  std::int32_t ActiveVariableCount() override { return VariableCount(); }
  std::int32_t RowNumber() const override { return static_cast<std::int32_t>(row_); }
  Status Evaluate(std::uint32_t flags, void* arg) override;
  Status ResidualValue(double* value) override;
  Status TornVariable(double* value) override;
  Status SetResidualValue(double value) override;
  Status MarkVariable(DAESVarTableEntry* variable) override;
  // The dependence analysis over the branches: the largest class of any
  // branch, the marks of every branch (and the selector's) cleared, a
  // variable's class the largest in the branches that hold it.
  Status ClassifyNonlinearity(std::int32_t* out, std::int32_t pass) override;
  Status ResetNonlinearityMarks(std::int32_t pass) override;
  std::int32_t VariableClass(const DAESVarTableEntry* variable, std::int32_t pass,
                             std::int32_t* out) override;
  std::int32_t IsOutputVariable(DAESVarTableEntry* variable) override;
  DAESVarTableEntry* OutputElement() override;
  Status ClearDerivativeColumn() override;
  // Every branch's, the branches' variables into this row, the variables
  // of the transitions' conditions marked used, then the selector's.
  Status AttachToElements(QLNRow* group) override;
  // Its own elements (not for a switch), then every branch's.
  Status CollectClasses(DAESClassCollector* collector, std::int32_t pass) override;
  DAESSolverEquation* ActiveEquation() override;
  void BranchCount(std::int32_t* count) override;
  DAESRowElement* FindNextElement(std::uint32_t sequence, std::int32_t* position) override;
  std::ostream& PrintResidual(std::ostream& out, std::int32_t width, const char* prefix) override;
  void Dump(std::ostream& out) override { Dump(out, false, 0, false); }
  // The heading, the selector and state, then each branch with its
  // transitions.
  void Dump(std::ostream& out, bool detail, std::int32_t indent, bool dynamic) override;

  // C: the branch of the state in g_pInstance->pStateData, and the state
  // code that sets it.
  void WriteCaseLabel(daes::EquationCState& w, std::int32_t task) override;
  Status WriteResidualCode(daes::EquationCState& w) override;
  using DAESSolverEquation::WriteJacobianCode;
  Status WriteJacobianCode(daes::EquationCState& w,
                           const std::vector<std::int32_t>& pattern) override;
  Status WriteStateCode(daes::EquationCState& w) override;
  using DAESSolverEquation::LevelState;
  void LevelState(std::uint32_t number, std::int32_t* level) override;

 private:
  // Takes the event's state; a change clears the derivative columns.
  void FollowEvent();
  std::int32_t BranchOf(std::int32_t state) const;
  // The branches' residual or Jacobian code by state.
  Status WriteBranches(daes::EquationCState& w, const std::vector<std::int32_t>* pattern);

  DAESSimpleEquation* selector_;
  DAESEquation* model_;
  DAESImplicitEvent* event_;
  std::int32_t state_ = 0;
  std::int32_t cursor_ = 0;
  std::uint32_t row_;
  DAESSolverEquationList branches_;
  std::string name_;
};
