// Test doubles of what the homotopy and control-design managers ask of the
// engine, shared by their tests and fuzz targets.
#pragma once

#include <cmath>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "analysis/control_design/cdi_mgr.h"
#include "analysis/homotopy/homotopy_mgr.h"
#include "analysis/outside/sax_action.h"
#include "tests/analysis/analysis_fakes.h"

namespace analysis_fakes {

// Records what the run asks of the engine; the integrator's iteration counts
// are scripted.
class FakeHomotopyServices : public HomotopyServices {
 public:
  Status ReadVariableReference(BvuBinaryStream& body, AnalysisVariable** variable) override {
    return vars.ReadVariableReference(body, variable);
  }
  void Print(Status status, const std::string& text) override { printed.push_back({status, text}); }
  double DoubleOption(const char* name) override { return doubles.at(name); }
  std::int32_t IntOption(const char* name) override { return ints.at(name); }
  void SetErrorReporting(bool on) override { error_reporting = on; }
  void EnterNestedMode() override { ++nested; }
  void LeaveNestedMode() override { --nested; }
  void RaiseRunRequest(std::uint32_t bit) override { run_requests |= bit; }
  std::int32_t MaxBlockIterations() override {
    const std::int32_t k = iterations.empty() ? 1 : iterations.front();
    if (!iterations.empty()) iterations.erase(iterations.begin());
    return k;
  }
  Status TakeNamedSnapshot(const char* name, bool by_caller, std::int32_t* id) override {
    *id = next_snapshot++;
    snapshots.push_back("take " + std::string(name) + (by_caller ? " caller " : " ") +
                        std::to_string(*id));
    return 0;
  }
  Status RestoreSnapshot(std::int32_t id, double* time) override {
    snapshots.push_back("restore " + std::to_string(id));
    *time = 7.5;
    return 0;
  }
  Status DeleteSnapshot(std::int32_t id) override {
    snapshots.push_back("delete " + std::to_string(id));
    return 0;
  }
  void TakeProblemSnapshot(const char* name) override {
    snapshots.push_back("problem " + std::string(name));
  }
  void SetCurrentTime(double time) override { current_time = time; }
  bool HasVariableDrivers() override { return drivers; }
  void ApplyVariableDrivers(double time) override { drivers_applied_at = time; }
  void GetLastSolutionTimeRecord(double* time, std::uint16_t* flag) override {
    *time = last_time;
    *flag = last_flag;
  }
  void SetCurrentSolutionTimeRecord(double time, std::uint16_t flag) override {
    record_time = time;
    record_flag = flag;
  }
  void SetCurrentSolutionTimeFlag(std::uint16_t flag) override { record_flag = flag; }
  void SetSnapshotFlags(std::uint32_t flags) override { snapshot_flags |= flags; }
  void ClearSnapshotFlags(std::uint32_t flags) override { snapshot_flags &= ~flags; }
  Status RegisterActionFactory(SimActionFactory*) override { return 0; }
  Status CreateAction(const char* name, NewSimAction** action) override {
    created.push_back(name);
    *action = nullptr;
    return 1;
  }
  Status RemoveAction(NewSimAction*) override {
    ++removed;
    return 0;
  }
  std::int32_t CurrentHookPoint() override { return hook; }

  bool Printed(const std::string& fragment) const {
    for (const auto& p : printed)
      if (p.second.find(fragment) != std::string::npos) return true;
    return false;
  }

  FakeServices vars;
  std::map<std::string, double> doubles{{"Homotopy.InitialStep", 0.1},
                                        {"Homotopy.MaximumStep", 1.0},
                                        {"Homotopy.MinimumStep", 0.01},
                                        {"Homotopy.StepDecrement", 0.5}};
  std::map<std::string, std::int32_t> ints{
      {"Homotopy.StepIncrement", 10}, {"PrintLevel", 2}, {"RunMode", 1}};
  std::vector<std::pair<Status, std::string>> printed;
  std::vector<std::int32_t> iterations;
  std::vector<std::string> snapshots;
  std::vector<std::string> created;
  bool error_reporting = true;
  int nested = 0;
  std::uint32_t run_requests = 0;
  std::int32_t next_snapshot = 10;
  double current_time = 0.0, drivers_applied_at = -1.0;
  bool drivers = true;
  double last_time = 3.0;
  std::uint16_t last_flag = 1;
  double record_time = 0.0;
  std::uint16_t record_flag = 0;
  std::uint32_t snapshot_flags = 0;
  int removed = 0;
  std::int32_t hook = 0;
};

// A drained tank A_t h' = q - k sqrt(h) linearised at h_s: unknown h' in
// column 1, input q in column 2.
class TankLinearisation : public CdiLinearisation {
 public:
  TankLinearisation(AnalysisVariable* h, AnalysisVariable* q, double at, double k, double hs)
      : h_(h), q_(q), at_(at), k_(k), hs_(hs) {}
  std::int32_t NumVariables() override { return 1; }
  std::int32_t NumStates() override { return 1; }
  std::int32_t NumAlgebraic() override { return 0; }
  const std::vector<std::int64_t>& PatternColumns() override { return columns_; }
  std::int32_t ColumnOf(AnalysisVariable* v) override { return v == h_ ? 1 : v == q_ ? 2 : 0; }
  Status Evaluate(CdiJacobian* j) override {
    j->dyn_values = {at_, -1.0};
    j->dyn_rows = {1, 1};
    j->dyn_cols = {1, 2};
    j->ss_values = {k_ / (2 * std::sqrt(hs_)), -1.0};
    j->ss_rows = {1, 1};
    j->ss_cols = {1, 2};
    ++evaluations;
    return 0;
  }
  int evaluations = 0;

 private:
  AnalysisVariable *h_, *q_;
  double at_, k_, hs_;
  std::vector<std::int64_t> columns_{1, 2};
};

class FakeCdiServices : public CdiServices {
 public:
  Status ReadVariableReference(BvuBinaryStream& body, AnalysisVariable** variable) override {
    return vars.ReadVariableReference(body, variable);
  }
  void Print(Status status, const std::string& text) override { printed.push_back({status, text}); }
  std::int32_t IntOption(const char* name) override { return ints.at(name); }
  Status EnterLinearisationMode() override {
    ++mode;
    return enter_status;
  }
  void LeaveLinearisationMode() override { --mode; }
  Status CreateLinearisation(std::unique_ptr<CdiLinearisation>* object) override {
    auto made = std::make_unique<TankLinearisation>(vars.Var(1), vars.Var(2), 2.0, 0.5, 4.0);
    last = made.get();
    *object = std::move(made);
    ++creations;
    return 0;
  }
  void RaiseDelayHold() override { ++hold; }
  void LowerDelayHold() override { --hold; }
  double LastSolutionTime() override { return 12.5; }
  void FlushMessages() override { ++flushes; }
  bool StopRequested() override { return ++stop_questions > stop_after && stop_after >= 0; }
  bool StepComputing() override { return step_computing; }

  FakeServices vars;
  bool step_computing = false;
  // Answers true from the question after this many (never when negative).
  int stop_after = -1;
  int stop_questions = 0;
  std::map<std::string, std::int32_t> ints{{"PrintLevel", 0}, {"LinearSolver", 4}};
  std::vector<std::pair<Status, std::string>> printed;
  Status enter_status = 1;
  int mode = 0, hold = 0, flushes = 0, creations = 0;
  TankLinearisation* last = nullptr;
};

// A variable reference is a u32 id; ids 1..9 resolve to handle id * 1000.
class FakeSaxServices : public SaxServices {
 public:
  Status ReadVariableHandle(BvuBinaryStream& body, std::int64_t* handle) override {
    std::uint32_t id = 0;
    const Status s = body.GetUInt32(&id);
    if (status::IsFailure(s)) return s;
    *handle = (id >= 1 && id <= 9) ? id * 1000 : 0;
    return 0;
  }
  void Print(Status status, const std::string& text) override { printed.push_back({status, text}); }
  double CurrentTime() override { return 2.5; }
  void* Context() override { return &context; }
  Status RegisterActionFactory(SimActionFactory*) override { return 0; }
  Status CreateAction(const char*) override {
    ++created;
    return 1;
  }
  Status RemoveAction(NewSimAction*) override {
    ++removed;
    return 0;
  }
  std::int32_t CurrentHookPoint() override { return hook; }

  std::vector<std::pair<Status, std::string>> printed;
  int context = 0;
  int created = 0, removed = 0;
  std::int32_t hook = 0;
};

}  // namespace analysis_fakes
