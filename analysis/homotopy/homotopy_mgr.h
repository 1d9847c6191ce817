// HomotopyMgr: moves a steady-state (or initialization) solution from the
// current specification to a target one in steps of a parameter lambda from
// 0 to 1, growing the step after a converged solution and cutting back to the
// last converged point after a failure. At once a subsystem manager, the
// single action "HomotopyAction" and the server of service 69. Messages run
// on the server thread, the action where the action framework calls it;
// they never overlap.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "control/actions/action_mgr.h"
#include "control/managers/subsystem_manager.h"
#include "framework/servers/server_callback.h"
#include "platform/status.h"
#include "solve/open/homotopy_parameters.h"

class AnalysisVariable;
class BvuBinaryStream;

// What the homotopy run asks of the problem manager, the results manager, the
// action manager, the option table and the integrator.
class HomotopyServices {
 public:
  virtual ~HomotopyServices() = default;
  virtual Status ReadVariableReference(BvuBinaryStream& body, AnalysisVariable** variable) = 0;
  virtual void Print(Status status, const std::string& text) = 0;
  virtual double DoubleOption(const char* name) = 0;
  virtual std::int32_t IntOption(const char* name) = 0;
  // The process-wide error-report switch.
  virtual void SetErrorReporting(bool on) = 0;
  virtual void EnterNestedMode() = 0;
  virtual void LeaveNestedMode() = 0;
  virtual void RaiseRunRequest(std::uint32_t bit) = 0;
  // The largest iteration count over all blocks of the last solution.
  virtual std::int32_t MaxBlockIterations() = 0;
  virtual Status TakeNamedSnapshot(const char* name, bool by_caller, std::int32_t* id) = 0;
  virtual Status RestoreSnapshot(std::int32_t id, double* time) = 0;
  virtual Status DeleteSnapshot(std::int32_t id) = 0;
  // The problem manager's own snapshot.
  virtual void TakeProblemSnapshot(const char* name) = 0;
  virtual void SetCurrentTime(double time) = 0;
  virtual bool HasVariableDrivers() = 0;
  virtual void ApplyVariableDrivers(double time) = 0;
  virtual void GetLastSolutionTimeRecord(double* time, std::uint16_t* flag) = 0;
  virtual void SetCurrentSolutionTimeRecord(double time, std::uint16_t flag) = 0;
  virtual void SetCurrentSolutionTimeFlag(std::uint16_t flag) = 0;
  virtual void SetSnapshotFlags(std::uint32_t flags) = 0;
  virtual void ClearSnapshotFlags(std::uint32_t flags) = 0;
  virtual Status RegisterActionFactory(SimActionFactory* factory) = 0;
  virtual Status CreateAction(const char* name, NewSimAction** action) = 0;
  virtual Status RemoveAction(NewSimAction* action) = 0;
  virtual std::int32_t CurrentHookPoint() = 0;
};

// The face the open solvers' algebraic adapters see.
class QLNHomotopyManager {
 public:
  virtual ~QLNHomotopyManager();
  virtual std::int32_t GetNumVariables() = 0;
  virtual AnalysisVariable* GetVariable(std::int32_t i) = 0;
  virtual Status GetStartValues(double* start) = 0;
  virtual Status GetCurrentAndTargetValues(double* current, double* target) = 0;
};

// Null when no homotopy manager exists.
QLNHomotopyManager* GetHomotopyManager();

// It is also the process's homotopy object, whose parameters the open
// solvers' algebraic adapters offer a solver: the homotopy variables.
class HomotopyMgr final : public QLNSubSystemManager,
                          public SimSingleAction,
                          public DseServerCB,
                          public QLNHomotopyManager,
                          public QLNHomotopyParameters {
 public:
  static constexpr std::uint32_t kService = 69;
  static constexpr std::uint16_t kSetUp = 71;
  static constexpr std::uint16_t kStart = 72;
  static constexpr std::uint16_t kStop = 73;
  static constexpr std::uint16_t kLambda = 74;
  static constexpr const char* kActionName = "HomotopyAction";
  static constexpr std::uint32_t kRunRequestBit = 0x2000;
  static constexpr std::uint32_t kSnapshotFlag = 0x4;
  // Next-request codes of the action.
  static constexpr std::int32_t kSolveNext = 3;
  static constexpr std::int32_t kFinished = 4;
  static constexpr std::int32_t kSolveAfterFailure = 5;
  static constexpr std::int32_t kGiveUp = 6;
  static constexpr Status kNoMemory = 0x80230213u;
  static constexpr Status kFailed = 0x8023FFFFu;
  static constexpr Status kCannotReduce = 0xA023FFFFu;
  static constexpr Status kNothingToDo = 0x40230260u;
  static constexpr Status kUnknownKind = 0x802301F5u;
  static constexpr Status kBadHook = 0x8023002Cu;

  explicit HomotopyMgr(HomotopyServices& services);
  ~HomotopyMgr() override;

  // --- QLNHomotopyManager ---
  std::int32_t GetNumVariables() override { return n_; }
  AnalysisVariable* GetVariable(std::int32_t i) override { return variables_[i]; }
  Status GetStartValues(double* start) override;
  Status GetCurrentAndTargetValues(double* current, double* target) override;

  // A variable being destroyed leaves the list with its start and target.
  void ForgetVariable(AnalysisVariable* variable);

  // --- QLNHomotopyParameters: the homotopy variables ---
  std::int32_t Count() override { return n_; }
  // Failures: an index outside the list, an entry without a variable, or
  // the variable's own refusal.
  Status SetValue(std::int32_t index, double value) override;
  // The number of parameters whose value cannot be read or is not finite.
  Status Evaluate() override;
  // 0.0 for a parameter without a readable value.
  double Value(std::int32_t index) override;
  const char* Name(std::int32_t index) override;

  // --- QLNSubSystemManager ---
  Status ProblemEdited() override;
  Status DetachProblem(const char* folder, const char* sub_folder) override;

  // --- DseServerCB ---
  Status HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                       DseTemplate** kept) override;
  Status Serve(BvuBinaryStream& body, DseMessage** reply);

  // --- the action ---
  Status Execute(std::int32_t* request, SimActionControl* element,
                 const SimExplicitEvent* event) override;
  // One hook point's work; the next-request code into *next.
  Status RunHook(std::int32_t hook, std::int32_t* next);

  std::int32_t Stage() const { return stage_; }
  double Lambda() const { return lambda_; }
  double BestLambda() const { return lambda_best_; }
  double Step() const { return step_; }
  bool Failed() const { return failed_ != 0; }
  bool Requested() const { return requested_ != 0; }
  bool ActionCreated() const { return action_created_ != 0; }

 private:
  void ResetLists();
  Status SetUp(BvuBinaryStream& body);
  void ApplyValues(bool print);
  bool Printing();
  std::int32_t StepIncrement();
  void Say(const std::string& text, Status status = 0);

  HomotopyServices& services_;
  std::int32_t n_ = 0;
  std::vector<AnalysisVariable*> variables_;
  std::vector<double> start_, target_, spare_;
  std::int32_t stage_ = 0;
  std::int32_t converged_ = 0;
  double lambda_ = 0.0, lambda_best_ = 0.0, step_ = 0.0;
  std::int32_t best_snapshot_ = -1;
  double saved_time_ = 0.0;
  std::uint16_t saved_flag_ = 0;
  std::int32_t failed_ = 0;
  std::int32_t requested_ = 0;
  std::int32_t action_created_ = 0;
  std::int32_t last_iterations_ = 1;
  NewSimAction* action_ = nullptr;
};
