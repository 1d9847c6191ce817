// The equation-set group: the object through which the outside integrator
// and decomposition servers see one block of the equation system. A plain
// group points at a block it does not own (the problem-wide group); the
// five typed groups create and own theirs and are filled by a server
// through IESOEdit from a parent group.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "daes/blocks/block_kinds.h"
#include "platform/com_status.h"
#include "solve/ifaces/equation_set.h"

// Group flag bits.
inline constexpr std::uint32_t kGroupStatePairing = 0x1;
inline constexpr std::uint32_t kGroupSolveFlag = 0x2;
inline constexpr std::uint32_t kGroupCountFixed = 0x10;
// A torn block seen for its inner groups: the outputs of its torn rows are
// reported fixed, as the tear iteration sets them.
inline constexpr std::uint32_t kGroupTornOutputsKnown = 0x20;

// Variable and equation flag bits the group reads.
inline constexpr std::uint32_t kVariableFixedKind = 0x100000;
inline constexpr std::uint32_t kEquationTorn = 0x8;

// Failure statuses of a group solve.
inline constexpr Status kGroupSolveFailedSevere = 0xC0FE0002u;
inline constexpr Status kGroupSolveFailed = 0x80FE0002u;

class QLNESOGroup : public IQLNESO,
                    public IESOEdit,
                    public IQLNESOSolve,
                    public IESO12Ex,
                    public IQLNESOSolve20,
                    public IQLNVariableValues,
                    public BvuError {
 public:
  // A plain group over a block it does not own.
  explicit QLNESOGroup(DAESBlock* block);
  ~QLNESOGroup() override;
  QLNESOGroup(const QLNESOGroup&) = delete;
  QLNESOGroup& operator=(const QLNESOGroup&) = delete;

  // --- IUnknown ---
  Status QueryInterface(const platform::IID& iid, void** object) override;
  std::uint32_t AddRef() override { return ++refs_; }
  std::uint32_t Release() override;

  // --- IESO / IQLNESO ---
  Status GetEquationCounts(std::int32_t* equations, std::int32_t* flagged) override;
  Status GetNonZeroCount(std::int32_t* count) override;
  Status GetVariableCounts(std::int32_t* variables, std::int32_t* states) override;
  Status GetMarkedVariableCount(std::int32_t* count) override;
  Status GetAllVariableTypes(std::int32_t* types, std::int32_t* partners) override;
  Status GetEquationTypes(std::int32_t* types) override;
  Status GetEquationStructure(std::int32_t equation, std::int32_t* count,
                              std::int32_t* variables) override;
  Status GetVariable(std::int32_t index, QLNVariable** variable) override;
  Status GetEquation(std::int32_t index, DAESEqnRow** row) override;
  Status GetGroupType(std::uint8_t* type) override;
  Status GetEquationDependence(std::int32_t equation, std::int32_t with_partners,
                               std::int32_t mode_flag, std::int32_t count, std::int32_t* variables,
                               std::int32_t* kinds) override;
  Status SetFlags(std::uint32_t bits) override;
  Status ClearFlags(std::uint32_t bits) override;
  Status GetFlags(std::uint32_t* flags) override;
  Status GetGroupNumber(std::int32_t* number) override;
  Status EnumVariables(std::uint32_t unused, std::uint32_t options, const platform::IID& iid,
                       platform::IUnknown** out) override;
  Status SetVariableValues(std::int32_t count, QLNVariable* const* variables,
                           const double* values) override;
  // --- IQLNVariableValues ---
  Status GetVariableValues(std::int32_t count, QLNVariable* const* variables,
                           double* values) override;
  Status GetVariable2(std::int32_t index, QLNVariable** variable) override {
    return GetVariable(index, variable);
  }
  Status GetEquation2(std::int32_t index, DAESEqnRow** row) override {
    return GetEquation(index, row);
  }
  Status GetEquationDependenceCompact(std::int32_t equation, std::int32_t with_partners,
                                      std::int32_t mode_flag, std::int32_t* count,
                                      std::int32_t* variables, std::int32_t* kinds) override;
  Status EnumData(const platform::IID& iid, platform::IUnknown** out) override;
  Status GetVariableTypes(std::int32_t count, std::int32_t* types, std::int32_t* partners) override;
  Status GetEquationStructure2(std::int32_t equation, std::int32_t* count,
                               std::int32_t* variables) override {
    return GetEquationStructure(equation, count, variables);
  }
  Status GroupNumber() override;
  Status Reserved27() override { return daes::kBlockUnsupported; }
  Status Reserved28() override { return daes::kBlockUnsupported; }
  Status AnnounceSolve() override;

  // --- IESOEdit ---
  Status SetGroupStructure(platform::IUnknown* parent, std::int32_t equation_count,
                           const std::int32_t* equations, std::int32_t variable_count,
                           const std::int32_t* variables) override;
  // `equation` is the parent's index, as in SetGroupStructure.
  Status SetEquationVariables(platform::IUnknown* parent, std::int32_t equation, std::int32_t count,
                              const std::int32_t* variables) override;
  Status NotImplemented5() override { return platform::E_NOTIMPL; }
  Status SetGroupNumber(std::int32_t number) override;

  // --- IQLNESOSolve ---
  Status Solve(std::int32_t mode, std::int32_t* iterations) override;
  Status ReleaseSystem(double value) override;
  Status ResetSystem() override;
  Status GetLastStatus(Status* status) override;
  Status ClearSolveFlag() override;
  Status SetSolveFlag() override;
  Status SolveWithMode(std::int32_t a, std::int32_t b, std::int32_t* iterations) override;

  // --- IQLNESOSolve20 ---
  Status ReportIndeterminate(std::int32_t index, std::int32_t* header) override;
  Status Diagnose(std::int32_t a, std::int32_t* b) override;

  DAESBlock* Block() const { return block_; }
  std::uint32_t Flags() const { return flags_; }
  std::uint32_t RefCount() const { return refs_; }
  // Rows and variables of the block, whichever kind it is.
  std::int32_t RowCount() const;
  QLNRow* Row(std::int32_t i) const;
  std::int32_t VariableCount() const { return block_->VariableCount(); }
  // 1-based position of the variable in the block, 0 when absent.
  std::int32_t PositionOf(const DAESVarTableEntry* variable) const;

 protected:
  // The group type; 0 for a plain group, which has none.
  virtual std::uint8_t GroupType() const { return 0; }
  // Whether the group takes this many equations and variables.
  virtual bool AcceptsSize(std::int32_t, std::int32_t) const { return true; }
  DAESBlock* block_;
  // The block's kind, looked up once: a solver block, else a single block
  // (both null for another kind).
  DAESSolverBlock* solver_;
  DAESSingleBlock* single_;
  // The non-zero count of a block that keeps none itself (single blocks).
  std::uint32_t own_non_zeros_ = 0;

 private:
  Status Dependence(std::int32_t equation, std::int32_t with_partners, std::int32_t mode_flag,
                    std::int32_t* count, std::int32_t* variables, std::int32_t* kinds,
                    bool compact);
  Status AddRowToBlock(QLNRow* row);
  Status AddVariableToBlock(DAESVarTableEntry* variable);
  // The parent's IQLNESO, or null.
  static IQLNESO* ParentOf(platform::IUnknown* parent);
  // The source the enumerators walk, made on first use.
  void* EnumSource();

  // The row of the block over a model equation, or null.
  DAESEqnRow* RowOverModel(const QLNEquation* model);

  std::uint32_t flags_ = 0;
  std::uint32_t refs_ = 0;
  // First positions of the rows by model equation, over the first
  // rows_indexed_ rows (rows are only appended or all cleared).
  std::unordered_map<const QLNEquation*, std::int32_t> row_of_model_;
  std::int32_t rows_indexed_ = 0;
  std::int32_t cached_count_ = -1;
  void* enum_source_ = nullptr;
};

// The enumerators over a block (their own unit: the model's enumerator
// records and the interface header's cannot meet in one).
void* MakeBlockEnumSource(DAESBlock* block);
void DeleteBlockEnumSource(void* source);
// kind 12 / 16 variable data, 13 equation data; null for another kind. The
// enumerator holds a reference to `group` for its life.
platform::IUnknown* MakeBlockEnumerator(void* source, std::int32_t kind, std::uint32_t options,
                                        platform::IUnknown* group);
std::int32_t BlockPositionOf(DAESBlock* block, const DAESVarTableEntry* variable);
QLNRow* BlockRow(DAESBlock* block, std::int32_t i);
std::int32_t BlockRowCount(DAESBlock* block);

// The typed groups own the block they create.
class QLNESOOwningGroup : public QLNESOGroup {
 public:
  explicit QLNESOOwningGroup(DAESBlock* block) : QLNESOGroup(block) {}
  ~QLNESOOwningGroup() override { delete block_; }
};

class QLNESOExplicitGroup final : public QLNESOOwningGroup {
 public:
  QLNESOExplicitGroup();

 protected:
  std::uint8_t GroupType() const override { return kGroupTypeExplicit; }
  bool AcceptsSize(std::int32_t ne, std::int32_t nv) const override { return ne == 1 && nv == 1; }
};

class QLNESOLinearGroup final : public QLNESOOwningGroup {
 public:
  QLNESOLinearGroup();

 protected:
  std::uint8_t GroupType() const override { return kGroupTypeLinear; }
};

class QLNESOSingleNLGroup final : public QLNESOOwningGroup {
 public:
  QLNESOSingleNLGroup();

 protected:
  std::uint8_t GroupType() const override { return kGroupTypeSingleNonlinear; }
  bool AcceptsSize(std::int32_t ne, std::int32_t nv) const override { return ne == 1 && nv == 1; }
};

class QLNESONonLinearGroup final : public QLNESOOwningGroup {
 public:
  QLNESONonLinearGroup();

 protected:
  std::uint8_t GroupType() const override { return kGroupTypeNonlinear; }
};

class QLNESOTornGroup final : public QLNESOOwningGroup {
 public:
  QLNESOTornGroup();
  Status ReportIndeterminate(std::int32_t index, std::int32_t* header) override;
  Status Diagnose(std::int32_t a, std::int32_t* b) override;

 protected:
  std::uint8_t GroupType() const override { return kGroupTypeTorn; }
};

// The problem manager's ESO factory: a new group of the type, returned
// through its IUnknown (one reference). Types 2 and 5 are not made.
Status CreateESOGroupObject(std::int32_t type, platform::IUnknown** out);
