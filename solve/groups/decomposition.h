// The decomposition object: the ordered list of groups a decomposition
// server builds through the engine's factory. The engine then solves it as
// a group of groups, in the order of addition.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <vector>

#include "daes/blocks/solver_block.h"
#include "solve/groups/direct_corrector.h"
#include "solve/ifaces/decomposition.h"
#include "solve/ifaces/equation_set.h"

class BvuBinaryStream;

// Tells the problem manager that a decomposition's solved state changes.
// The engine's problem manager keeps nothing that follows it (request 34
// reads each decomposition's own bit), so it installs none.
using DecompositionSolvedHook = void (*)(std::uint32_t solved);
void SetDecompositionSolvedHook(DecompositionSolvedHook hook);

// The largest iteration count over the groups of the last decomposition
// solved (0 before any); the homotopy steps by it.
std::int32_t LastSolutionBlockIterations();

// The name of a group type in solve announcements.
const char* GroupTypeName(std::uint32_t type);
// The kind a group-list report gives a group type.
std::uint8_t GroupListKind(std::uint32_t type);

class QLNDecomposition final : public IQLNDecomposition,
                               public IDecomp12Ex,
                               public IQLNDecomposition20,
                               public IQLNCorrectorIteration,
                               public QLNGroup {
 public:
  QLNDecomposition() = default;
  ~QLNDecomposition() override;

  // --- IUnknown ---
  Status QueryInterface(const platform::IID& iid, void** object) override;
  std::uint32_t AddRef() override { return ++refs_; }
  std::uint32_t Release() override;

  // --- IQLNDecomposition ---
  Status GetGroupCount(std::int32_t* count) override;
  Status AddGroup(platform::IUnknown* group) override;
  Status GetGroup(std::int32_t index, const platform::IID& iid, void** out) override;
  Status GetStatistics(DecompositionStatistics* statistics, std::uint32_t* largest_size) override;
  Status IsSolved(std::uint32_t* solved) override;
  Status SetSolved(std::uint32_t solved) override;
  Status Reserve(std::int32_t count) override;
  Status SolveGroups(std::int32_t announce, std::int32_t mode, std::int32_t count_flag,
                     std::int32_t* iterations) override;
  Status ForEachGroup20(std::int32_t a, std::int32_t* b) override;

  // --- IQLNDecomposition20 ---
  Status ReportIndeterminate() override;
  Status ForEachGroup20() override;

  // --- IQLNCorrectorIteration ---
  Status IterateCorrector(std::int32_t setup) override;

  // --- group part ---
  std::int32_t VariableCount() const override { return 0; }
  std::int32_t ActiveVariableCount() override { return 0; }
  DAESVarTableEntry* GetVariable(std::int32_t) const override { return nullptr; }
  std::int32_t InsertVariable(DAESVarTableEntry*, std::int32_t* position) override {
    *position = -1;
    return -1;
  }
  std::uint32_t GetRowCount() const { return static_cast<std::uint32_t>(groups_.size()); }
  // The block group i wraps.
  DAESBlock* GetRow(std::uint32_t i) const;
  bool IsSolvedBit() const { return (state_ & kSolvedBit) != 0; }
  Status SolveSubGroups(std::int32_t mode, std::int32_t count_flag, std::int32_t* iterations);
  void ReportIndeterminate(std::uint32_t torn_group, std::int32_t* printed);
  Status ReleaseWorkspace();
  void Reset();
  void ResetTree() { Reset(); }
  void Dump(std::ostream& out) override;
  // Kind 35: per group its number, kind, solved bit and three sizes.
  Status WriteGroupList(BvuBinaryStream& s, std::uint32_t level, const std::uint32_t* path,
                        std::uint32_t path_length);
  Status WriteStatistics(BvuBinaryStream& s, std::uint8_t kind, std::uint32_t value);
  void GetState(std::uint32_t* state, std::uint32_t* failed) const {
    *state = state_;
    *failed = failed_group_;
  }
  std::uint32_t FailedGroup() const { return failed_group_; }
  std::uint32_t RefCount() const { return refs_; }
  // The decomposition whose corrector pass ran last, while it lives; null
  // when there is none.
  static QLNDecomposition* LastCorrector();
  // Tells which group holds the largest residual at the values the model
  // holds now, and in which equation: a group whose last pass failed comes
  // first (its equation where it cannot be evaluated is its first). Told
  // as the steady-state messages tell a group; false when nothing was told.
  bool ReportWorstGroup();
  // Names each group left singular by its last solve and the variables its
  // equations do not determine; false when there is none.
  bool ReportSingularGroups();

 private:
  static constexpr std::uint32_t kSolvedBit = 0x2;
  IESO* EsoOf(std::uint32_t i) const;
  // The groups in order; in a corrector iteration (`corrector_setup` then
  // says whether matrices are set up) small groups step directly.
  Status RunGroups(std::int32_t announce, std::int32_t mode, std::int32_t count_flag,
                   std::int32_t* iterations, const bool* corrector_setup);

  std::uint32_t failed_group_ = 0;
  std::uint32_t state_ = 0;
  std::uint32_t largest_ = 0;
  std::vector<IQLNESOSolve*> groups_;
  std::uint32_t by_type_[7] = {};
  std::uint32_t refs_ = 0;
  DirectCorrector direct_;
};

// The problem manager's factory operation: a new, empty decomposition
// returned through its IUnknown (one reference).
Status CreateDecompositionObject(platform::IUnknown** out);
