// The problem root: one runnable simulation built from the finished
// instance tree. It collects every model equation as a solver equation,
// folds x = y equations into equivalences, keeps the variable table of the
// whole problem (it is itself the top solver block), builds the table of
// stored values through which snapshots capture and restore the state, and
// runs the pre-calls and post-calls of user procedures.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <unordered_map>
#include <vector>

#include "daes/blocks/solver_block.h"
#include "daes/equations/equation_node.h"
#include "foundation/collections/mixins.h"

class BvuDirectoryNode;
class DAESEquivalence;
class DAESParameter;
class DAESProblem;
class DAESSolverEquation;
class SUPackedValueTable;

namespace daes {
inline constexpr Status kNoVariablesLeft = 0xA0310047u;
inline constexpr Status kProcedureCallsUnchanged = 0x310000u;
inline constexpr std::uint32_t kInProblem = 0x8;
inline constexpr std::uint32_t kInProblemReferenced = 0x40008;
inline constexpr std::uint32_t kParameterNotStored = 0x20000000;
inline constexpr std::uint16_t kStoredVariableAttribute = 4;
inline constexpr std::uint16_t kStoredAttributeParameter = 64;

// The procedure-call word shared with the procedure equations.
std::uint32_t& ProcedureCallWord();
}  // namespace daes

// The code generator's side of compiled evaluation; it installs one.
class DAESCompiledCode {
 public:
  // Writes and builds the source of the problem's compiled equations; the
  // library's name, empty when nothing was generated.
  virtual Status Generate(DAESProblem* problem, std::int32_t a, std::int32_t b,
                          std::uint64_t second_value, std::string* library) = 0;
  // Loads and binds the library; null unloads.
  virtual Status Load(DAESProblem* problem, const char* library) = 0;
  // Where the next generation writes and builds (empty: the current folder).
  virtual void SetBuildFolder(const char* folder) = 0;

 protected:
  ~DAESCompiledCode() = default;
};

namespace daes {
DAESCompiledCode* CompiledCode();
void SetCompiledCode(DAESCompiledCode* code);
}  // namespace daes

// What the problem asks of a procedure equation; the procedure equations
// implement it.
class DAESProcedureEquation {
 public:
  virtual ~DAESProcedureEquation() = default;
  // Mode 1 pre-call, 2 post-call, 5 and 6 as the caller says.
  virtual Status CallProcedure(std::int32_t mode) = 0;
  virtual const char* ProcedureName() = 0;
  virtual std::int32_t OutputCount() = 0;
  // Its share of the problem's output buffer (null when freed).
  virtual void SetOutputBuffer(double* outputs) = 0;
  // The next call hands the properties tables again.
  virtual void ResetPropertiesCall() = 0;
  // The next evaluation calls the procedure again, whatever its inputs: a
  // call made around it (the compiled library's pre-call) may change what
  // the procedure returns.
  virtual void ForgetLastCall() = 0;
  // Says that the procedure is pre-called, as its own pre-call says when
  // the compiled library makes the call in its place.
  virtual void TellPrecall() = 0;
  // The loaded compiled library makes the pre- and post-calls in the
  // engine's place; the engine makes those of the rest.
  virtual bool CalledByLibrary() = 0;
};

class DAESProblem : public DAESSolverBlock, public BvuError, public QLNEquationList {
 public:
  // Collects the tree's equations, reports eliminations, builds the stored
  // value table into `table` (may be null) and becomes the current problem.
  DAESProblem(BvuDirectoryNode* root, std::uint64_t second_value, SUPackedValueTable* table);
  ~DAESProblem() override;

  // --- equation list ---
  Status AddEquation(DAESEqnRow* equation, void* problem) override;
  std::int32_t EquationCount() const override { return static_cast<std::int32_t>(GetRowCount()); }
  DAESEqnRow* GetEquation(std::int32_t i) const override;
  void ClearEquations() override { ClearRows(); }

  // --- variable table ---
  // An equation's variable: registered and marked referenced; a member of
  // an equivalence finds its equivalence; a derivative brings its state.
  std::int32_t InsertVariable(DAESVarTableEntry* variable, std::int32_t* position) override;
  // A variable of the tree: in the table, not yet referenced.
  Status AddTreeVariable(DAESVarTableEntry* variable);
  void AddParameter(DAESParameter* parameter) { parameters_.push_back(parameter); }
  // The table's entry for the variable (its equivalence for a member).
  DAESVarTableEntry* EntryFor(const DAESVarTableEntry* variable) const;
  // 1-based column of the variable's entry, 0 when absent.
  std::int32_t ColumnOf(const DAESVarTableEntry* variable) const;
  const std::vector<DAESParameter*>& Parameters() const { return parameters_; }

  // --- x = y ---
  // 0 when folded; 0xA031FFFF when not (redundant, or refused for values).
  Status EliminateEquivalence(DAESSimpleEquation* model);
  std::int32_t EliminatedCount() const { return eliminated_; }
  std::int32_t RefusedCount() const { return refused_; }
  std::int32_t RedundantCount() const { return redundant_; }
  void ListEquivalences();

  // --- procedures ---
  Status AddProcedureEquation(DAESProcedureEquation* equation);
  Status RunProcedureCalls(std::int32_t mode);
  void GetProcedureOutputs(double** buffer, std::uint32_t* bytes);
  void ResetProcedures();
  bool PrecallsRun() const { return precalled_; }
  // The calls that open the problem for the procedures (mode 5), once the
  // problem is built; marks it opened.
  Status OpenProcedures();
  // Before the problem goes: the post-calls still due, then the calls that
  // close an opened problem (mode 6). The first failure.
  Status CloseProcedures();
  bool ProceduresOpened() const { return opened_; }

  // --- stored values ---
  Status StoreValues(SUPackedValueTable* table);
  Status RestoreValues(SUPackedValueTable* table);
  Status SaveValues(std::vector<double>* out);
  Status RestoreSavedValues(std::vector<double> values);
  std::int32_t StoredValueCount();

  // --- compiled equations ---
  void SetCompiledLibraryName(const char* name) { SetText(&library_name_, name); }
  const char* GetCompiledLibraryName() const { return TextOf(library_name_); }
  // The library SetCompiledEvaluation loads (none until named).
  const char* CompiledLibraryName() override { return TextOf(library_name_); }
  void SetCompiledLibraryText(const char* text) { SetText(&library_text_, text); }
  std::uint64_t SecondValue() const { return second_value_; }
  // Through the installed code generator; 0x8000FFFF without one.
  Status LoadCompiledLibrary(const char* library) override;
  // Every variable's value into a loaded compiled library's array.
  void WriteCompiledValues();
  // Writes and builds the problem's compiled equations (with the second
  // value given at construction), then loads the library.
  Status BuildCompiledEquations(std::int32_t a, std::int32_t b);

  std::int32_t IsGood() { return status::IsFailure(GetStatus()) ? 0 : 1; }

 private:
  Status PrecallProcedures(bool besides_library);
  Status CallEachProcedure(std::int32_t task, bool besides_library, const char* what);
  struct OwnedText {
    bool set = false;
    std::string text;
  };
  static void SetText(OwnedText* t, const char* text) {
    t->set = text != nullptr;
    t->text = text != nullptr ? text : "";
  }
  static const char* TextOf(const OwnedText& t) { return t.set ? t.text.c_str() : nullptr; }

  void Report();
  // Gives the variables back and deletes the rows and equivalences; the
  // destructor's work, also done when the build is abandoned by a throw.
  void Dismantle();
  // Takes the entry out of the table, lowering its class counter.
  void Detach(DAESVarTableEntry* entry);
  // Each equation of `from`'s list uses `to`; the lists are merged.
  void MoveEquations(DAESVarTableEntry* from, DAESVarTableEntry* to);
  Status BuildStoredValues(SUPackedValueTable* table);
  Status ShareOutputs();
  void FreeOutputs();
  bool RefusedForValues(DAESVarTableEntry* a, DAESVarTableEntry* b);

  bool eliminate_ = true;
  std::uint64_t second_value_;
  std::vector<DAESProcedureEquation*> procedures_;
  std::int32_t output_total_ = 0;
  std::vector<double> outputs_;
  bool precalled_ = false;
  bool opened_ = false;
  OwnedText library_name_;
  OwnedText library_text_;
  std::int32_t eliminated_ = 0;
  std::int32_t refused_ = 0;
  std::int32_t redundant_ = 0;
  // Used while the problem is built: the equations of each entry, sorted.
  std::unordered_map<const DAESVarTableEntry*, std::vector<DAESSolverEquation*>> index_;
  std::vector<DAESParameter*> parameters_;
  // The stored-value records in order: a variable, or the members of an
  // equivalence, then the parameters.
  std::vector<DAESVarTableEntry*> stored_;
  // 1 where stored_ holds a parameter.
  std::vector<std::uint8_t> stored_parameter_;
  // The x = y equation being folded, for the messages.
  BvuNameable* eliminating_ = nullptr;
};

// Makes the problem of the tree; null (with the messages) when building it
// raised an exception.
DAESProblem* DAESCreateProblem(BvuDirectoryNode* root, std::uint64_t second_value,
                               SUPackedValueTable* table);
