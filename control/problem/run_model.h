// What the run steps use of the DAE model: the instance tree a problem is
// made from and the operations of the problem root that belong to its build
// (evaluator choice, equation system, compilation for a run). The engine's
// version works on the daes problem root; tests put their own in its place.
#pragma once

#include <cstdint>

#include "platform/status.h"

class BvuDirectoryNode;
class DAESProblem;
class QLNSubSystemManager;

class SimRunModel {
 public:
  static constexpr std::int32_t kInterpreted = 0;
  static constexpr std::int32_t kCompiled = 2;

  virtual ~SimRunModel() = default;
  // The instance manager hears that the built problem is given up.
  virtual Status InstancesEdited() = 0;
  // Makes the current problem from the instance tree with the handle; null
  // when none can be made.
  virtual DAESProblem* CreateProblem(std::uint64_t handle) = 0;
  // Non-zero when the problem is ready for its solvers.
  virtual bool SolversSetUp(DAESProblem* problem) = 0;
  // kInterpreted or kCompiled; a failure leaves the equations interpreted.
  virtual Status ChooseEvaluator(DAESProblem* problem, std::int32_t evaluator) = 0;
  virtual void ReportChoiceFailure(DAESProblem* problem, Status failure) = 0;
  virtual Status BuildSystem(DAESProblem* problem) = 0;
  // Readies the equations' evaluation for a run; `folder` is the program
  // folder a compilation works in.
  virtual Status CompileForRun(DAESProblem* problem, const char* folder) = 0;
  // The problem's run-mode operation (1 or 2).
  virtual Status EnterRunMode(DAESProblem* problem, std::int32_t mode) = 0;
};

// The engine's model: the daes problem root over the instance tree.
class SimDaesRunModel final : public SimRunModel {
 public:
  static constexpr Status kNoCompiler = 0x8032FFFFu;

  // The root of the instance tree and the manager that keeps it (may be
  // null); neither is owned.
  void SetInstanceTree(BvuDirectoryNode* root, QLNSubSystemManager* instances) {
    root_ = root;
    instances_ = instances;
  }
  BvuDirectoryNode* InstanceRoot() const { return root_; }

  Status InstancesEdited() override;
  DAESProblem* CreateProblem(std::uint64_t handle) override;
  bool SolversSetUp(DAESProblem* problem) override;
  Status ChooseEvaluator(DAESProblem* problem, std::int32_t evaluator) override;
  void ReportChoiceFailure(DAESProblem* problem, Status failure) override;
  Status BuildSystem(DAESProblem* problem) override;
  // Interpreted: every equation gets its tape. Compiled: the installed
  // compiler builds and loads the library.
  Status CompileForRun(DAESProblem* problem, const char* folder) override;
  Status EnterRunMode(DAESProblem* problem, std::int32_t mode) override;

 private:
  BvuDirectoryNode* root_ = nullptr;
  QLNSubSystemManager* instances_ = nullptr;
  bool compiled_ = false;
};
