// The data core of the block family: a block is a group of rows (equations
// or sub-blocks) with the variables they contain, seen by the solvers as one
// unit. The problem root derives from DAESSolverBlock, so the core lives in
// this layer; the solve subsystem adds decomposition and solving on top.
// A solver block owns its rows and not its variables.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iosfwd>
#include <new>
#include <unordered_map>
#include <vector>

#include "daes/equations/row.h"

namespace platform {
class IUnknown;
}
class BvuBinaryStream;
class DAESRowElement;
class DAESSolverEquation;
class VariableMarkList;

namespace daes {
// A row of a block with the faces the evaluation loops use.
struct BlockRowLink {
  QLNRow* row = nullptr;
  DAESEqnRow* eqn = nullptr;
  DAESSolverEquation* solver = nullptr;
  // The equation that evaluates the row (a decomposition row's wrapped
  // one); null for a sub-block.
  QLNEquation* equation = nullptr;
};
}  // namespace daes

namespace daes {
inline constexpr Status kBlockOutOfMemory = 0xA0310213u;
inline constexpr Status kBlockUnsupported = 0xA000FFFFu;
inline constexpr std::uint32_t kKindUnset = 0xFFFFFFFFu;

// Block and row flag bits the block core reads.
inline constexpr std::uint32_t kGroupRow = 0x1;
inline constexpr std::uint32_t kProcedureRow = 0x8;
inline constexpr std::uint32_t kEquationSetBlock = 0x200;
inline constexpr std::uint32_t kCountedRow = 0x800;
inline constexpr std::uint32_t kHasIndeterminate = 0x4000000;
inline constexpr std::uint32_t kLeftOutRow = 0x4000;
inline constexpr std::uint32_t kTakenVariable = 0x20;

inline constexpr Status kVariableNotActive = 0x80310226u;
inline constexpr Status kNoInnerBlock = 0xA031FFFFu;
inline constexpr std::uint16_t kListEnd = 65535;

// The name of a group kind in announcements.
const char* KindName(std::uint32_t kind, std::uint32_t rows);

// n / d bounded by b: n / d when |d| > 1 or |d| * b >= |n|, else b with
// the sign of d * n.
double BoundedQuotient(double n, double d, double b);

// A pointer list that grows by 8 from empty and then by the smaller of its
// capacity and its step; a failed growth leaves it as it was.
template <typename T>
class BlockList {
 public:
  explicit BlockList(std::uint32_t capacity = 0, std::uint32_t step = 4096) : step_(step) {
    items_.reserve(capacity);
  }
  std::uint32_t Count() const { return static_cast<std::uint32_t>(items_.size()); }
  std::uint32_t Capacity() const { return static_cast<std::uint32_t>(items_.capacity()); }
  T* At(std::uint32_t i) const { return i < Count() ? items_[i] : nullptr; }
  T** Data() { return items_.data(); }
  T* const* Data() const { return items_.data(); }
  Status Insert(std::uint32_t at, T* item);
  // Inserts n items at once, the capacity grown as n single inserts would
  // grow it; throws std::bad_alloc without memory.
  void InsertRun(std::uint32_t at, T* const* items, std::uint32_t n);
  void Erase(std::uint32_t at) { items_.erase(items_.begin() + at); }
  void Clear() { std::vector<T*>().swap(items_); }

 private:
  std::vector<T*> items_;
  std::uint32_t step_;
};
}  // namespace daes

// The sensitivity parameters a structure built with flag 2 gives columns
// (the sensitivity manager, above this layer, answers it).
class BlockSensitivityParameters {
 public:
  virtual ~BlockSensitivityParameters() = default;
  virtual std::int32_t ParameterCount() = 0;
  virtual DAESVarTableEntry* Parameter(std::int32_t j) = 0;
};
// Null when there is no sensitivity manager.
BlockSensitivityParameters* GetBlockSensitivityParameters();
void SetBlockSensitivityParameters(BlockSensitivityParameters* parameters);

class DAESSingleBlock;
class DAESSolverBlock;

// The group interface; its solving operations come with the solve subsystem.
// The group methods ask which kind of block a group is on every solve.
class QLNGroup : public QLNRow {
 public:
  virtual DAESSingleBlock* AsSingleBlock() { return nullptr; }
  virtual DAESSolverBlock* AsSolverBlock() { return nullptr; }
};

// Common block state: group number, solved mark, the equation-set object a
// server made for the block, and the indeterminate variables.
class DAESBlock : public QLNGroup {
 public:
  explicit DAESBlock(std::uint32_t flags) { flags_ = flags; }
  ~DAESBlock() override;
  DAESBlock(const DAESBlock&) = delete;
  DAESBlock& operator=(const DAESBlock&) = delete;

  std::int32_t EntryKind() override { return 21; }
  std::uint32_t GetGroupNumber() const { return group_number_; }
  void SetGroupNumber(std::uint32_t n) { group_number_ = n; }
  bool IsSolved() const { return solved_ != 0; }
  void SetSolved(bool solved) { solved_ = solved ? 1 : 0; }
  void SetCountOverride(std::uint32_t n) { count_override_ = n; }

  // Solves the block with the group method of its kind; solved after success.
  virtual Status Solve(std::uint8_t flags, std::uint32_t mode, std::uint32_t count,
                       Status* options);
  // Prints the indeterminate variables of every row that has some, under
  // one warning line; *printed says whether the line is out already.
  virtual void ReportIndeterminate(std::uint32_t torn_group, std::int32_t* printed);
  virtual void PrintGroups(std::uint32_t torn_group, std::int32_t* printed);
  // Announces a sub-group about to be solved when the integrator asks for it.
  virtual void AnnounceSolve(DAESBlock* sub_group);
  virtual Status ReleaseWorkspace() { return daes::kBlockUnsupported; }
  virtual void ResetTree() { ReleaseEquationSetObject(); }
  // Plain counters and values kept for the servers.
  std::uint32_t GetValueA() const { return value_a_; }
  void SetValueA(std::uint32_t v) { value_a_ = v; }
  virtual std::uint32_t GetValueB() const { return value_b_; }
  virtual void SetValueB(std::uint32_t v) { value_b_ = v; }
  // The group's kind and row count as announcements and reports see them.
  virtual std::uint32_t GroupKind() const { return daes::kKindUnset; }
  virtual std::uint32_t GroupRowCount() const { return 0; }
  virtual std::uint32_t GroupKnownCount() const { return 0; }
  virtual Status LoadCompiledLibrary(const char*) { return 0x8000FFFFu; }
  // A group method's notices: start (0) of tear iterations, finished (1).
  virtual void SolveNotice(std::int32_t /*stage*/) {}

  // The block holds one reference to the object and gives it up on Reset.
  platform::IUnknown* GetEquationSetObject() const { return equation_set_; }
  void SetEquationSetObject(platform::IUnknown* object) {
    equation_set_ = object;
    corrector_factors_ = -1.0;
    settings_mark_ = {};
  }
  // Whether the object holds the corrector's iteration matrix factorised
  // (with derivative coefficient *c); a new object holds none.
  bool CorrectorFactors(double* c) const {
    *c = corrector_factors_;
    return corrector_factors_ >= 0.0;
  }
  void SetCorrectorFactors(double c) { corrector_factors_ = c; }
  void DropCorrectorFactors() { corrector_factors_ = -1.0; }
  // What a group method last gave the equation-set object: the method's
  // own id and how far its settings had come. Cleared whenever the object
  // is set or given up, so a new object gets everything.
  struct SettingsMark {
    std::uint64_t owner = 0;
    std::uint64_t stamp = 0;
  };
  const SettingsMark& GetSettingsMark() const { return settings_mark_; }
  void SetSettingsMark(const SettingsMark& mark) { settings_mark_ = mark; }
  virtual void Reset();

  // Kept sorted by sequence number; a listed variable carries the
  // indeterminate mark. The first sets the block's indeterminate flag and
  // removing the last clears it; the block unmarks what it still lists
  // when it goes.
  std::uint32_t GetIndeterminateCount() const { return indeterminate_.Count(); }
  std::uint32_t IndeterminateCapacity() const { return indeterminate_.Capacity(); }
  DAESVarTableEntry* GetIndeterminate(std::uint32_t i) const { return indeterminate_.At(i); }
  Status AddIndeterminate(DAESVarTableEntry* variable);
  Status RemoveIndeterminate(DAESVarTableEntry* variable);
  bool HasIndeterminate() const { return (flags_ & daes::kHasIndeterminate) != 0; }

 protected:
  void ReleaseEquationSetObject();
  std::uint32_t count_override_ = 0;
  std::uint32_t value_a_ = 0;
  std::uint32_t value_b_ = 0;

 private:
  std::uint32_t group_number_ = 0;
  std::uint32_t solved_ = 0;
  platform::IUnknown* equation_set_ = nullptr;
  double corrector_factors_ = -1.0;
  SettingsMark settings_mark_;
  daes::BlockList<DAESVarTableEntry> indeterminate_{4};
};

// A block solved as one group: its rows, its variable table in four
// segments (known, unknown, other, kept last), and its counters.
class DAESSolverBlock : public DAESBlock {
 public:
  DAESSolverBlock* AsSolverBlock() override { return this; }
  // `reserve` > 0 sizes the row list and variable table and sets their
  // growth step to reserve * 1024.
  explicit DAESSolverBlock(std::uint32_t reserve = 0);
  ~DAESSolverBlock() override;

  // Reports the group bit with the stored word.
  std::uint32_t GetFlags() override { return flags_ | daes::kGroupRow; }

  // --- QLNRow ---
  std::int32_t VariableCount() const override {
    return static_cast<std::int32_t>(vars_.Count() + pending_);
  }
  std::int32_t ActiveVariableCount() override { return VariableCount(); }
  DAESVarTableEntry* GetVariable(std::int32_t i) const override {
    if (pending_ != 0) return PendingAt(i);
    return i < 0 ? nullptr : vars_.At(static_cast<std::uint32_t>(i));
  }
  // Fetches the variable list ahead of a step over many small blocks: its
  // place in the block (stage 0), then the list itself.
  void PrefetchVariables(std::int32_t stage) const {
    if (stage == 0) {
      __builtin_prefetch(&vars_);
    } else {
      __builtin_prefetch(vars_.Data());
    }
  }
  // 0 with the new entry's position, or 1 + the position of the entry of
  // the same index, which stays alone.
  std::int32_t InsertVariable(DAESVarTableEntry* variable, std::int32_t* position) override;

  // Sorted insert into the variable's segment; a variable already present
  // is not added again.
  Status AddVariable(DAESVarTableEntry* variable);
  // Appends without sorting, counting the variable's class.
  Status AppendVariable(DAESVarTableEntry* variable);
  // 1 + position of the variable in the table, 0 when absent.
  std::int32_t FindVariable(const DAESVarTableEntry* variable) const;
  // Whether the table holds the variable; unlike FindVariable it stays
  // cheap while the table is being filled.
  bool HoldsVariable(const DAESVarTableEntry* variable) const;
  // Position of the entry with the sequence number in any segment, or -1.
  std::int32_t FindBySequence(std::uint32_t sequence) const;
  // Takes entry i out of the table and lowers its class counter.
  void RemoveVariableAt(std::uint32_t i);
  DAESVarTableEntry** GetVariables() { return Table().Data(); }
  std::uint32_t VariableCapacity() const { return Table().Capacity(); }
  std::uint32_t RowCapacity() const { return rows_.Capacity(); }

  // While a whole tree is added, new entries of a segment that all fall at
  // one place in it wait beside the table instead of moving every later
  // segment's entries up one each: filling the table in tree order is then
  // linear, not quadratic. The table reads the same throughout;
  // EndBulkInsert puts them in place.
  void BeginBulkInsert() { bulk_ = true; }
  void EndBulkInsert() {
    bulk_ = false;
    Settle();
  }

  // Appends a row the block then owns.
  Status AddRow(QLNRow* row);
  std::uint32_t GetRowCount() const { return rows_.Count(); }
  std::uint32_t GroupRowCount() const override { return rows_.Count(); }
  QLNRow* GetRow(std::uint32_t i) const { return rows_.At(i); }
  QLNRow** GetRows() { return rows_.Data(); }
  // Deletes no row: frees the list only.
  void ClearRows() {
    rows_.Clear();
    row_links_.clear();
    held_rows_.clear();
    entry_elements_ = {};
  }
  // Row i with its equation faces, looked up once.
  const daes::BlockRowLink& RowLink(std::uint32_t i);

  std::uint32_t NonZeroCount() const { return non_zeros_; }
  std::uint32_t AddNonZeros(std::uint32_t k) { return non_zeros_ += k; }
  std::uint32_t ElementCount() const { return elements_; }
  std::uint32_t KnownCount() const { return known_; }
  std::uint32_t GroupKnownCount() const override { return known_; }
  std::uint32_t UnknownCount() const { return unknown_; }
  // Variables neither known, unknown nor kept last (derivatives, others).
  std::uint32_t OtherCount() const { return other_; }
  std::uint32_t LastCount() const { return last_; }
  // Lowers the class counter of a variable leaving the table (the caller
  // removes it), by the segment its flags name.
  void UncountVariable(DAESVarTableEntry* variable);
  // A variable changing between known and unknown moves between counters.
  void CountStateBecameAlgebraic();
  void CountAlgebraicBecameState();
  // Non-zeros of fixed variables taken for a run selection: those with bit
  // 0x100000 (sensitivity parameter columns), those with 0x400000 and
  // those with the initial bit 0x8000. The first two do not count as
  // solver non-zeros.
  std::uint32_t AddSensitivityNonZeros(std::uint32_t k) { return sensitivity_nonzeros_ += k; }
  std::uint32_t SensitivityNonZeros() const { return sensitivity_nonzeros_; }
  std::uint32_t AddSelectedFixedNonZeros(std::uint32_t k) { return selected_fixed_nonzeros_ += k; }
  std::uint32_t SelectedFixedNonZeros() const { return selected_fixed_nonzeros_; }
  std::uint32_t AddInitialFixedNonZeros(std::uint32_t k) { return initial_fixed_nonzeros_ += k; }
  std::uint32_t InitialFixedNonZeros() const { return initial_fixed_nonzeros_; }
  // The override when set, else the non-zeros less those of sensitivity
  // columns and selected fixed variables.
  std::uint32_t GetNetCount() const;
  std::uint32_t CountedRows() const { return counted_rows_; }
  std::uint32_t ProcedureRows() const { return procedure_rows_; }

  std::uint32_t GetKind() const { return GroupKind(); }
  std::uint32_t GroupKind() const override { return kind_; }
  void SetKind(std::uint32_t kind) { kind_ = kind; }
  void* GetWorkspace() const { return workspace_; }
  void SetWorkspace(void* workspace) { workspace_ = workspace; }
  void Reset() override;
  void ResetTree() override;
  Status ReleaseWorkspace() override;
  // Solves each row in order (announced first); the first failure marks
  // the rest unsolved. *iterations keeps the largest count reported.
  Status SolveSubGroups(std::uint8_t flags, std::uint32_t mode, std::int32_t* iterations);
  void ReportIndeterminate(std::uint32_t torn_group, std::int32_t* printed) override;

  // The solver block of one run (see block_build.cpp); the caller owns it.
  Status BuildSolverBlock(DAESSolverBlock** out, std::uint32_t mask, std::uint32_t substitute,
                          std::uint32_t exclude, std::uint32_t run_bits, bool strict);

  // --- structure and evaluation ---
  // Entries grouped by column, 1-based row and column numbers; built once.
  // With flag 2 the sensitivity parameters follow as columns for the rows
  // with flag 0x800 that contain them.
  Status BuildStructure(const std::int64_t** rows, const std::int64_t** cols,
                        const std::int64_t** third, std::uint32_t flags);
  std::uint32_t StructureSize() const { return static_cast<std::uint32_t>(struct_rows_.size()); }
  // The variable of structure column c (1-based): the table's, then the
  // parameter columns; null beyond them.
  DAESVarTableEntry* ColumnVariable(std::int64_t c) const;
  Status EvaluateJacobianEntries(std::uint32_t n, const std::int64_t* rows,
                                 const std::int64_t* cols, double* values, std::uint32_t flags,
                                 double c);
  // The same entries in two parts: `values` without the partner term and
  // `partner` the derivative partner's term alone (0 where a column has
  // none), as flag 1 with c = 0 and the difference to c = 1 would give.
  Status EvaluateJacobianParts(std::uint32_t n, const std::int64_t* rows, const std::int64_t* cols,
                               double* values, double* partner, std::uint32_t flags);
  Status EvaluateJacobianValues(std::uint32_t mode, double* values, std::uint32_t flags);
  virtual Status EvaluateJacobian(double* values, std::uint32_t flags);
  Status EvaluateJacobianRow(std::uint32_t r, std::uint32_t* count, double* values,
                             const double* coefficient);
  Status EvaluateJacobianColumn(DAESVarTableEntry* x, double* out, std::uint32_t flags);
  // Per row, the part its DELAYs add to the derivative by sensitivity
  // parameter `key` (DAESSolverEquation::DelayedSensitivity).
  Status EvaluateDelayedColumn(std::int32_t key, double* out);
  // The rows whose equation has an element of the variable, in order;
  // found once per variable while the rows stay.
  const std::vector<std::uint32_t>& RowsHolding(const DAESVarTableEntry* x);
  Status EvaluateDerivativeTriplets(std::int64_t* rows, std::int64_t* cols, std::int64_t* kinds,
                                    double* values, std::int64_t* count, std::uint32_t flags);
  Status EvaluateRows(std::uint32_t mode);
  Status EvaluateResiduals(std::uint32_t mode, double* residuals, double* largest);
  // The residuals of n rows as EvaluateResiduals gives them, from their
  // evaluating equations taken from RowLink beforehand (none null): a
  // caller stepping many small blocks keeps them side by side.
  static Status EvaluateEquations(QLNEquation* const* equations, std::uint32_t n,
                                  std::uint32_t mode, double* residuals);
  Status EvaluateRowsQuiet(std::uint32_t mode);
  // Warns of singular and near-singular columns; changes nothing.
  Status CheckSingularity(std::uint32_t flag, std::uint32_t mode);
  // Variable values to and from a caller's array, in table order.
  void GetValues(double* out);
  Status PutValues(const double* in);
  // The kept Jacobian value array (empty until a caller sizes it).
  std::vector<double>& JacobianValues() { return values_; }

  // --- diagnostics ---
  void Dump(std::ostream& out) override;
  void Report(std::ostream& out);
  void PrintSparsity(std::ostream& out);
  // Client structure reports. `groups`, when given, are the groups of the
  // decomposition the block belongs to, in solution order; the incidence
  // details name the earlier group that computes a variable.
  Status WriteGroupList(BvuBinaryStream& s, std::uint32_t level, const std::uint32_t* path,
                        std::uint32_t path_length);
  Status WriteEquationList(BvuBinaryStream& s, const std::vector<DAESBlock*>* groups = nullptr);
  // Kind 131: the indeterminate variables of row i's equations; kind 132:
  // those of every row (not for a torn block).
  Status WriteRowIncidence(BvuBinaryStream& s, std::uint32_t i);
  Status WriteIncidence(BvuBinaryStream& s);
  // The incidence details of a row: the variables of the model equations
  // under it, each once by index, marked 1 when this block solves for it
  // (holds it outside its known segment), else 0.
  Status IncidenceDetails(QLNRow* row, VariableMarkList* out);
  // Whether the block solves for the variable.
  bool Solves(const DAESVarTableEntry* variable) const;
  Status WriteResiduals(BvuBinaryStream& s);
  Status WriteStatistics(BvuBinaryStream& s, std::uint8_t a, std::uint32_t b);
  // The inner block of a torn block (none here).
  virtual DAESSolverBlock* InnerBlock() { return nullptr; }
  // Rows a report lists: all, or for a torn block those with flag 0x8.
  virtual bool ReportsRow(QLNRow*) { return true; }

  // A process-wide switch word: bit m set by m, cleared by 0. True when
  // both bits 1 and 2 are set.
  bool SetCompiledEvaluation(std::uint32_t m, Status* load_status);
  static std::uint32_t CompiledEvaluationWord();
  // The library the block names (the problem names one).
  virtual const char* CompiledLibraryName() { return nullptr; }

 private:
  Status JacobianEntries(std::uint32_t n, const std::int64_t* rows, const std::int64_t* cols,
                         double* values, double* partner, std::uint32_t flags, double c);
  // For each structure entry the row's elements of its variable, then of
  // the variable's derivative partner: items[begin[2p], begin[2p + 1]) and
  // items[begin[2p + 1], begin[2p + 2]). Found once, as the structure is.
  struct EntryElements {
    std::vector<std::uint32_t> begin;
    std::vector<DAESRowElement*> items;
    std::vector<const DAESVarTableEntry*> partner;
    // By row: the facts of its equation that stay (its output, the
    // variable a procedure row defines, the procedure sign).
    std::vector<std::uint32_t> row_output;
    std::vector<DAESVarTableEntry*> row_defines;
    std::vector<double> row_sign;
    std::uint32_t rows = 0;
  };
  const EntryElements& PlannedElements();
  // Asks for the memory of the rows a few places after row i (with
  // `elements`, of their elements too).
  void PrefetchRows(std::uint32_t i, bool elements);

  enum Segment { kKnown, kUnknown, kOther, kLast };
  Segment SegmentOf(DAESVarTableEntry* variable);
  void CountClass(Segment segment);
  // Hands the workspace to the method of the block's kind.
  void DropWorkspace();
  // The finite-difference state of one Jacobian operation.
  friend class BlockColumn;

  void* workspace_ = nullptr;
  std::uint32_t non_zeros_ = 0;
  std::uint32_t elements_ = 0;
  std::uint32_t known_ = 0;
  std::uint32_t other_ = 0;
  std::uint32_t unknown_ = 0;
  std::uint32_t last_ = 0;
  std::uint32_t sensitivity_nonzeros_ = 0;
  std::uint32_t selected_fixed_nonzeros_ = 0;
  std::uint32_t initial_fixed_nonzeros_ = 0;
  std::uint32_t counted_rows_ = 0;
  std::uint32_t procedure_rows_ = 0;
  std::uint32_t kind_ = daes::kKindUnset;
  daes::BlockList<QLNRow> rows_;
  // Read through Table() by every member that does not know of the waiting
  // entries (InsertBeside, FindBySequence, GetVariable and VariableCount
  // do): it puts them in place first.
  daes::BlockList<DAESVarTableEntry> vars_;
  // By segment: the waiting entries in sequence order, and where in the
  // segment's part of vars_ they stand.
  std::vector<DAESVarTableEntry*> runs_[4];
  std::uint32_t run_at_[4] = {};
  std::uint32_t pending_ = 0;  // entries in runs_
  bool bulk_ = false;
  bool appended_ = false;  // an unsorted entry past the segments
  daes::BlockList<DAESVarTableEntry>& Table() {
    Settle();
    return vars_;
  }
  const daes::BlockList<DAESVarTableEntry>& Table() const {
    // Only a block being filled has waiting entries, so no reader on
    // another thread sees this write.
    const_cast<DAESSolverBlock*>(this)->Settle();
    return vars_;
  }
  void Settle();
  DAESVarTableEntry* PendingAt(std::int32_t i) const;
  bool InsertBeside(DAESVarTableEntry* variable, Segment segment, std::int32_t* position,
                    std::int32_t* result);
  bool structure_built_ = false;
  std::vector<std::int64_t> struct_rows_;
  std::vector<std::int64_t> struct_cols_;
  std::vector<std::int64_t> struct_third_;
  std::vector<DAESVarTableEntry*> parameter_columns_;
  std::vector<double> values_;
  std::vector<daes::BlockRowLink> row_links_;
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> held_rows_;  // by sequence
  EntryElements entry_elements_;
  std::uint32_t held_rows_count_ = 0;
  // Positions by entry for FindVariable, built on demand and dropped when
  // the table changes; the first position of an entry listed twice. Open
  // addressing in a power-of-two table: a look-up is one multiply and
  // mostly one cache line, where each corrector pass looks up every state.
  struct PositionSlot {
    const DAESVarTableEntry* entry = nullptr;
    std::int32_t position = 0;  // 1-based
  };
  mutable std::vector<PositionSlot> positions_;
  mutable int position_shift_ = 64;
  mutable bool positions_valid_ = false;
  mutable bool repeated_entries_ = false;
  // How often each entry is listed, kept up to date once made (positions
  // move on every sorted insert, membership does not).
  mutable std::unordered_map<const DAESVarTableEntry*, std::uint32_t> members_;
  mutable bool members_valid_ = false;
  void Joined(const DAESVarTableEntry* variable) {
    positions_valid_ = false;
    if (members_valid_) ++members_[variable];
  }
};

template <typename T>
Status daes::BlockList<T>::Insert(std::uint32_t at, T* item) {
  if (items_.size() == items_.capacity()) {
    const std::size_t capacity = items_.capacity();
    const std::size_t grow = capacity == 0 ? 8 : std::min<std::size_t>(capacity, step_);
    try {
      items_.reserve(capacity + grow);
    } catch (const std::bad_alloc&) {
      return kBlockOutOfMemory;
    }
  }
  items_.insert(items_.begin() + at, item);
  return 0;
}

template <typename T>
void daes::BlockList<T>::InsertRun(std::uint32_t at, T* const* items, std::uint32_t n) {
  std::size_t capacity = items_.capacity();
  while (items_.size() + n > capacity) {
    capacity += capacity == 0 ? 8 : std::min<std::size_t>(capacity, step_);
  }
  items_.reserve(capacity);
  items_.insert(items_.begin() + at, items, items + n);
}
