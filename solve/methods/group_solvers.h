// The group methods of explicit and torn groups. An explicit group is one
// equation in one unknown, solved by one Newton step kept inside the
// variable's bounds; a torn group iterates on its torn variables around
// the second-level decomposition of its sub-groups, updating them by direct
// substitution or by Wegstein's acceleration.
#pragma once

#include <cstdint>

#include "solve/methods/plain_group_method.h"

class DAESTornBlock;

inline constexpr Status kExplicitBadlyPosed = 0x8020022Bu;
inline constexpr Status kExplicitBoundFailure = 0x8020022Cu;
inline constexpr Status kTornNotConverged = 0x80200240u;
inline constexpr Status kBoundMessageStatus = 0x40200000u;

// Derivatives below this make the variable indeterminate.
inline constexpr double kIndeterminateDerivative = 1e-50;

// The torn group whose sub-groups are being solved; 0 outside one.
std::uint32_t CurrentTornGroup();

// The problem manager's first-pass switch, saved and cleared around the
// sub-group solve of a torn group. The engine's problem manager keeps no
// such switch (the loop hands its states a first-pass flag instead), so it
// installs none, and a torn group has nothing to save.
struct FirstPassHook {
  std::uint32_t (*get)() = nullptr;
  void (*set)(std::uint32_t) = nullptr;
};
void SetFirstPassHook(FirstPassHook hook);

// The explicit and torn methods keep no solver handle or work space of a
// block and have none of the open-solver operations.
class ExplicitSolve : public QLNPlainGroupMethod {
 public:
  Status Solve(QLNGroup* block, std::uint8_t mode, std::uint32_t request, std::uint32_t word,
               Status* status_out) override;
  Status DropWorkspace(void**) override { return status::kOk; }
};

// What a torn group's second-level decomposition is made for in a run
// phase: the server's kind, variant and mode byte.
struct TornSetUpCodes {
  std::uint32_t kind = 0;
  std::int32_t variant = 0;
  std::uint32_t mode = 0;
};

class TornSolve : public QLNPlainGroupMethod {
 public:
  // The codes of phase 0 (dynamic), 1 (initialisation; the run kind picks
  // the kind) and 2 (re-initialisation); false for other phases, which set
  // nothing up.
  static bool SetUpCodes(std::int32_t phase, std::int32_t run_mode, TornSetUpCodes* out);
  Status Solve(QLNGroup* block, std::uint8_t mode, std::uint32_t request, std::uint32_t word,
               Status* status_out) override;
  Status DropWorkspace(void**) override { return status::kOk; }
  // Moves the torn variables to their next values.
  virtual Status UpdateTornVariables(DAESTornBlock* block);
  // Reals kept per torn variable in the block's history.
  virtual std::uint32_t RecordWidth() const { return 1; }

  std::uint32_t TearIterations() const { return iteration_; }
  std::uint32_t FailedSubGroup() const { return failed_sub_group_; }

 protected:
  std::uint32_t iteration_ = 0;

 private:
  Status SolveSubGroupsOnce(DAESTornBlock* block, std::uint32_t request, std::uint8_t mode);

  std::uint32_t handle_ = 0;
  double reserve_ = 10000.0;
  std::uint32_t group_ = 0;
  std::uint32_t failed_sub_group_ = 0;
};

class WegsteinStrategy : public TornSolve {
 public:
  Status UpdateTornVariables(DAESTornBlock* block) override;
  std::uint32_t RecordWidth() const override { return 4; }
  // The spread measure of the last accelerated pass.
  double LastSpread() const { return spread_; }

 private:
  double spread_ = 0.0;
};
