// Procedure equations of the model: the equation node of a call ("CALL
// outputs = name inputs"), the context its solver equations share, and one
// solver equation per output value whose residual is the difference between
// the output variable and the value the procedure returned.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "daes/equations/equation_node.h"
#include "daes/problem/equation_code.h"
#include "daes/problem/problem.h"
#include "daes/problem/solver_equation.h"
#include "daes/procedures/proc_call.h"

namespace daes {
inline constexpr std::int32_t kProcedureKind = 28;
// A procedure taking a component list whose list is not named or not known.
inline constexpr Status kNoComponentList = 0x80310271u;
}  // namespace daes

// The tape of the call over the equation's row elements, and the call data
// every solver equation of the call reads. It answers the problem's
// procedure-call pass for the call.
class DAESProcContext : public DAESEquationContext, public DAESProcedureEquation {
 public:
  DAESProcContext(DAESSimpleEquation* model, DAESProcDef* definition);

  ProcCallData& Data() { return data_; }
  DAESSimpleEquation* Model() const { return model_; }
  // The row element of an argument (0-based, inputs then outputs), or null.
  DAESRowElement* ArgumentElement(bool output, std::int32_t k);

  // --- procedure equation ---
  Status CallProcedure(std::int32_t mode) override;
  const char* ProcedureName() override { return data_.ProcedureName(); }
  std::int32_t OutputCount() override { return data_.OutputElementCount(); }
  void SetOutputBuffer(double* outputs) override { outputs_ = outputs; }
  void ResetPropertiesCall() override;
  void ForgetLastCall() override { data_.Reset(); }
  void TellPrecall() override { data_.TellPrecall(); }
  bool CalledByLibrary() override { return wrapper_ != 0 && !data_.KeptInterpreted(); }
  // Copies the outputs into the problem's share after a call.
  void ShareOutputs();
  // One output slot's value into the problem's share.
  void ShareOutput(std::int32_t slot, double value);
  // Sizes the input variables for n output columns; allocates nothing.
  std::int32_t MarkVariables(std::uint32_t n) override;
  // Entry i of every input variable becomes 0.0; the outputs hold their
  // own rows' entries.
  Status PrepareDerivatives(std::int32_t i) override;
  // Clears the class marks of the input variables for (column, pass).
  Status ResetVariables(std::int32_t column, std::int32_t pass) override;
  // The derivative entries the call holds now: its variables' and its
  // call data's.
  std::int64_t HeldEntries() const;
  // The scalar elements of the call that are columns of its rows: every
  // one under the inputs, an array's members one by one.
  const std::vector<DAESRowElement*>& InputScalars();

  // --- C of the compiled equation library ---
  // The packing code of the call's arguments from its tape; the address
  // table of C texts in array arguments starts at procedure-data offset
  // `table` and takes TextTableLength entries.
  Status WritePackCode(ExprCodeWriter& writer, std::ostream& out, std::int32_t table);
  std::int32_t TextTableLength() const;
  // Array arguments element by element at their places in the layout.
  bool WriteArrayArgumentCode(ExprCodeWriter& writer, std::ostream& out, bool input, std::int32_t k,
                              std::int32_t* position, std::int32_t string_mode) override;
  // The wrapper "Fn<N>" of the call: case -1 opens it (once per library),
  // -2 opens nothing; a case k >= 0 writes the call site of the equation
  // into the equation function and its case body into the wrapper, which
  // is closed after the call's last equation.
  Status WriteCallWrapper(daes::EquationCState& w, std::int32_t case_number, std::int32_t unknown,
                          std::int32_t output_position, bool check_inputs,
                          std::int32_t properties_id);
  // The Jacobian row of output `unknown` over the row's columns (1-based).
  void WriteJacobianCall(daes::EquationCState& w, const std::vector<std::int32_t>& columns,
                         std::int32_t case_number, std::int32_t unknown);
  // After the call: inputs copied back (with check_inputs) and every real
  // output tested for a finite value.
  void WritePostCallCheck(std::ostream& out, bool check_inputs);
  std::int32_t WrapperNumber() const { return wrapper_; }
  // True the first time it is asked for a group: every output's row takes
  // the same inputs, which need marking as used only once in a group.
  bool FirstToMarkInputsIn(const QLNRow* group);

 private:
  std::int32_t InputCount() const;

  DAESSimpleEquation* model_;
  const QLNRow* inputs_marked_in_ = nullptr;
  bool inputs_marked_ = false;
  ProcCallData data_;
  std::vector<DAESRowElement*> input_scalars_;
  bool input_scalars_found_ = false;
  double* outputs_ = nullptr;
  // The wrapper's section and the library writer that opened it.
  std::int32_t wrapper_ = 0;
  std::uint64_t wrapper_generation_ = 0;
  std::int32_t derivative_offset_ = 0;
  daes::PackCodeState pack_;
};

class DAESProcSolverEquation : public DAESSolverEquation {
 public:
  // Output number0 is the 0-based position of the output value.
  DAESProcSolverEquation(DAESSimpleEquation* model, std::int32_t output0,
                         std::shared_ptr<DAESProcContext> context);

  const char* GetNameText(std::int32_t arg = 0) override;
  void Dump(std::ostream& out) override;
  // The input list's variable references and the row number.
  std::int32_t ArgumentCount() const override;
  std::int32_t IsOutputVariable(DAESVarTableEntry* variable) override;
  Status Evaluate(std::uint32_t flags, void* arg) override;
  std::int32_t NeedsResidualForDerivatives() override { return 1; }
  std::int32_t OutputIndex() const override { return output_number_ - 1; }
  std::int32_t RowNumber() const override { return output_number_; }
  DAESVarTableEntry* OutputElement() override;
  // The inputs that are no parameters, then this row's output variable:
  // the other outputs are no columns of this row.
  Status AttachToElements(QLNRow* group) override;
  DAESProcDef* ProcedureDefinition() override { return context_->Data().Definition(); }
  void ExtraEvalFlags(std::uint32_t* flags) override;
  // Each row keeps its own residual: the context is shared.
  Status ResidualValue(double* value) override {
    *value = residual_;
    return 0;
  }
  Status SetResidualValue(double value) override {
    residual_ = value;
    return 0;
  }

  // The inputs' entries of this row, and the output's own.
  double DerivativeFor(const DAESVarTableEntry* variable)
      const override;  // The row's columns are the call's input scalars and its own output: an
  // array argument's members are found one by one.
  DAESRowElement* FindNextElement(std::uint32_t sequence, std::int32_t* position) override;

  // Compares an analytic derivative with a numeric one; on failure prints
  // the check and, with use_numeric, takes the numeric value. True when it
  // passed.
  bool CheckDerivativeValues(double numeric, double analytic, DAESRowElement* element,
                             bool use_numeric);
  void CheckDerivative(double numeric, double analytic, DAESRowElement* element,
                       std::uint32_t use_numeric) override {
    CheckDerivativeValues(numeric, analytic, element, use_numeric != 0);
  }
  // The output variable takes the procedure's output (a torn row).
  // The output's element of this row (outputs only), then every input
  // variable that is not a parameter at the row's column.
  Status CollectClasses(DAESClassCollector* collector, std::int32_t pass) override;
  void UpdateTornOutput() override;
  // Another output of the same call.
  bool SharesEvaluation(QLNEquation* previous) override;
  Status TakeSharedResult() override;

  // --- C of the compiled equation library ---
  // The packing code of the call's arguments from its tape; the address
  // table of C texts in array arguments starts at procedure-data offset
  // `table` and takes TextTableLength entries.
  Status WritePackCode(ExprCodeWriter& writer, std::ostream& out, std::int32_t table);
  std::int32_t TextTableLength() const;
  void WriteFunctionHead(daes::EquationCState& w, std::int32_t part) override;
  // Task 3 writes the residual's label "case 0:", task 0 none after it.
  void WriteCaseLabel(daes::EquationCState& w, std::int32_t task) override;
  Status WriteResidualCode(daes::EquationCState& w) override;
  using DAESSolverEquation::WriteJacobianCode;
  Status WriteJacobianCode(daes::EquationCState& w,
                           const std::vector<std::int32_t>& pattern) override;

  Status EvaluateResidual(double* residual, std::uint32_t flags);
  Status EvaluateProcDerivatives(std::uint32_t flags);
  DAESRowElement* OutputVariable() const { return output_; }
  std::int32_t OutputPosition() const { return output_position_; }
  DAESProcContext* ProcContext() const { return context_.get(); }

 private:
  double OutputVariableValue() const;
  // True when the compiled library evaluates the row: loaded, the row's
  // code in it, and a procedure it can call as the engine would (the older
  // interface, no inputs handed back to the variables).
  bool LibraryEvaluates(std::uint32_t flags) const;
  // The row's residual by the library's own call (its `residual`); a call
  // the library marks failed gives the status the library reported it with
  // (a severe one as the interpreter's status for fail code 3).
  Status CompiledResidual();
  // The call's output for this row: the library's after its own call when
  // it evaluates the row, else from the call the row made itself.
  double OutputValue(bool compiled) const;
  Status NumericDerivatives(double residual, bool compiled);
  Status CheckProcedureDerivatives(std::uint32_t flags);
  // The forward difference of the residual in each real input variable,
  // handed to `take`; the inputs, the residual and the call's outputs are
  // left as they were. Compiled, the library makes the calls.
  Status ForEachDifference(double residual, bool compiled,
                           const std::function<void(DAESRowElement*, double)>& take);

  std::shared_ptr<DAESProcContext> context_;
  std::int32_t output_number_;
  std::int32_t output_position_;
  std::int32_t derivative_row_ = 0;  // the output's number in the procedure's order
  DAESRowElement* output_ = nullptr;
  double residual_ = 0.0;
  std::string name_;
};

// The equation node of a procedure call: its body is that of an equation
// node; each output value becomes a solver equation.
class DAESProcedureNode : public DAESEquationNode {
 public:
  DAESProcedureNode(BvuDirectoryNode* parent, const char* name, Expression* call,
                    std::uint32_t flags);

  std::int32_t GetKind() override { return daes::kProcedureKind; }
  std::uint32_t CallFlags() const { return flags_; }
  ProcCallExpression* Call() const;
  Status ApplyToSubtree(void* list, void*, std::int32_t, std::int32_t eliminate,
                        void* problem) override {
    return CollectProcedureEquations(list, eliminate, problem);
  }
  Status CollectProcedureEquations(void* list, std::int32_t eliminate, void* problem);
  // Keeps the body's word and its component-list name.
  Status ReadItemBody(BvuBinaryStream& stream, void* context) override;
  // Null when the body named none.
  const char* ComponentListName() const {
    return component_list_.empty() ? nullptr : component_list_.c_str();
  }
  std::uint32_t BodyValue() const { return body_value_; }
  std::int32_t PropertyId() const { return property_id_; }

 private:
  // A procedure taking a component list needs its name to be known.
  Status BindComponentList(DAESProcContext* context);

  std::uint32_t flags_;
  std::string component_list_;
  std::uint32_t body_value_ = 0;
  std::int32_t property_id_ = 0;
};
