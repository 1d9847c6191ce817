// Test doubles of the engine services the analysis managers call, each
// recording its calls, shared by the analysis tests and fuzz targets. A
// variable reference in a test body is a u32 id of a FakeVariable known to
// the services (an unknown id does not resolve).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "analysis/estimation/time_profile.h"
#include "analysis/model/analysis_variable.h"
#include "analysis/services/analysis_services.h"
#include "analysis/services/driver_link.h"
#include "control/actions/action_mgr.h"
#include "foundation/persistence/binary_stream.h"
#include "solve/optimisers/dense_optimiser.h"

namespace analysis_fakes {

// A model variable with a value factor, a scale and a value that can be
// made to fail.
class FakeVariable : public AnalysisVariable {
 public:
  FakeVariable(std::uint32_t id, std::string name, double value = 0.0)
      : id_(id), name_(std::move(name)), value_(value) {}

  const char* GetNameText(std::int32_t = 0) override { return name_.c_str(); }
  std::uint32_t Id() override { return id_; }
  Status GetValue(double* value) override {
    if (fail_reads) return 0x8026FFFFu;
    *value = value_;
    return 0;
  }
  Status SetValue(double value) override {
    value_ = value;
    ++sets;
    return 0;
  }
  Status GetScaledValue(double* value) override {
    *value = value_ / scale;
    return 0;
  }
  Status SetScaledValue(double value) override {
    value_ = value * scale;
    return 0;
  }
  Status GetBounds(double* lower, double* upper) override {
    *lower = lower_bound;
    *upper = upper_bound;
    return 0;
  }
  Status SetBounds(double lower, double upper) override {
    lower_bound = lower;
    upper_bound = upper;
    return 0;
  }
  Status GetScale(double* out) override {
    *out = scale;
    return 0;
  }
  Status GetValueFactor(double* out) override {
    *out = factor;
    return 0;
  }
  std::int32_t ValueKind() override { return 4; }

  double value() const { return value_; }

  double scale = 1.0;
  double factor = 1.0;
  double lower_bound = -1e10;
  double upper_bound = 1e10;
  bool fail_reads = false;
  int sets = 0;

 private:
  std::uint32_t id_;
  std::string name_;
  double value_;
};

// A loaded Open NLP solver with an option table.
class FakeNLPSolver : public EstOpenNLPSolver, public EstNLPOptions {
 public:
  const char* Name() override { return name.c_str(); }
  EstNLPOptions* Options() override { return has_options ? this : nullptr; }
  std::int32_t Count() override { return static_cast<std::int32_t>(options.size()); }
  Status Describe(std::int32_t index, EstNLPOption* option) override {
    *option = options[static_cast<std::size_t>(index)];
    return 0;
  }
  Status Set(const char* option, std::int32_t kind, const void* value) override {
    std::string line = option;
    line.append(":").append(std::to_string(kind)).append(":");
    if (kind == 0) line += std::to_string(*static_cast<const std::int32_t*>(value));
    if (kind == 1) line += std::to_string(*static_cast<const double*>(value));
    if (kind == 2) line += static_cast<const char*>(value);
    set_calls.push_back(line);
    return refuse ? 0x80000001u : 0;
  }

  std::string name = "fakenlp";
  bool has_options = true;
  bool refuse = false;
  std::vector<EstNLPOption> options;
  std::vector<std::string> set_calls;
};

// A dense optimiser that answers from a script: each Run records the mode,
// the point and the residuals it was given, moves the point to the step's
// point (when it has one) and answers the step's code; past the script it
// answers `final_code`.
class ScriptedOptimiser : public QLNDenseOptimiser {
 public:
  struct Step {
    std::int32_t code = 0;
    std::vector<double> point;
  };
  struct Call {
    std::int32_t mode = 0;
    std::vector<double> point;
    std::vector<double> residuals;
  };

  ScriptedOptimiser(std::size_t unknowns, std::size_t residuals)
      : unknowns_(unknowns), residuals_(residuals) {}

  std::int32_t Run(double* point, const double* residuals, const double*, const double*,
                   std::int32_t mode) override {
    Call call;
    call.mode = mode;
    call.point.assign(point, point + unknowns_);
    if (residuals != nullptr) call.residuals.assign(residuals, residuals + residuals_);
    calls.push_back(call);
    if (next_ >= script.size()) return final_code;
    const Step& step = script[next_++];
    for (std::size_t j = 0; j < step.point.size() && j < unknowns_; ++j) point[j] = step.point[j];
    return step.code;
  }
  // Keeps what the call's derivatives hold: the first `unknowns` values and
  // how far apart their columns are.
  std::int32_t Run(DenseOptimiserCall& call) override {
    gradient_rows = call.gradient_rows;
    derivatives.clear();
    if (call.gradients != nullptr) derivatives.assign(call.gradients, call.gradients + unknowns_);
    return Run(call.point, call.constraints, call.gradients, call.bounds, call.mode);
  }
  std::int32_t Iterations() override { return static_cast<std::int32_t>(next_); }
  std::int32_t Evaluations() override { return static_cast<std::int32_t>(calls.size()); }

  std::vector<Step> script;
  std::vector<Call> calls;
  std::int32_t gradient_rows = 0;
  std::vector<double> derivatives;
  std::int32_t final_code = 1;

 private:
  std::size_t unknowns_;
  std::size_t residuals_;
  std::size_t next_ = 0;
};

class FakeServices : public AnalysisServices {
 public:
  static constexpr Status kUnresolved = 0x8032FFFFu;

  FakeVariable* Add(std::uint32_t id, const std::string& name, double value = 0.0) {
    variables[id] = std::make_unique<FakeVariable>(id, name, value);
    return variables[id].get();
  }
  FakeVariable* Var(std::uint32_t id) { return variables.at(id).get(); }

  Status ReadVariableReference(BvuBinaryStream& body, AnalysisVariable** variable) override {
    std::uint32_t id = 0;
    const Status read = body.GetUInt32(&id);
    ++references_read;
    if ((read & 0x80000000u) != 0) return read;
    auto it = variables.find(id);
    if (it == variables.end()) return kUnresolved;
    *variable = it->second.get();
    return 0;
  }
  void ResetPendingTime() override { log.push_back("ResetPendingTime"); }
  void RaiseAnalysisCounter() override { ++analysis_counter; }
  void LowerAnalysisCounter() override { --analysis_counter; }
  void SetCurrentTime(double time) override {
    current_time = time;
    log.push_back("SetCurrentTime");
  }
  void SetTimeRecord(double time, std::uint16_t counter) override {
    record_time = time;
    record_counter = counter;
    log.push_back("SetTimeRecord");
  }
  void GetTimeRecord(double* time, std::uint16_t* counter) override {
    *time = record_time;
    *counter = record_counter;
  }
  void Print(Status status, const std::string& text) override { printed.push_back({status, text}); }
  void DumpSensitivity(AnalysisVariable* variable, AnalysisVariable* parameter,
                       double value) override {
    std::string line = "Sens: d(";
    line.append(variable->GetNameText(0)).append(") by d(").append(parameter->GetNameText(0));
    line.append(") = ").append(std::to_string(value));
    dumps.push_back(line);
  }
  void DumpSwitchTimeSensitivity(AnalysisVariable* variable, std::int32_t row,
                                 double value) override {
    std::string line = "Sens: d(";
    line.append(variable->GetNameText(0)).append(") by switchtime(");
    line.append(std::to_string(row + 1)).append(") = ").append(std::to_string(value));
    dumps.push_back(line);
  }
  Status SetVariableDriver(AnalysisVariable* variable, VariableDriver* driver) override {
    const bool held = any_drivers.count(variable) != 0 && any_drivers[variable] != nullptr;
    any_drivers[variable] = driver;
    ++driver_calls;
    return driver == nullptr && !held ? kDriverNotHeld : 0;
  }
  // Clears the drivers as the engine's table does: the links it holds go.
  void ClearDrivers() {
    for (auto& [variable, driver] : any_drivers) delete dynamic_cast<DriverLink*>(driver);
    any_drivers.clear();
  }
  ~FakeServices() override { ClearDrivers(); }
  std::int32_t GetIntOption(std::int32_t number) override {
    auto it = options.find(number);
    return it == options.end() ? 0 : it->second;
  }
  void SetIntOption(std::int32_t number, std::int32_t value) override {
    options[number] = value;
    option_writes.push_back({number, value});
  }
  bool GetNamedReal(const char* full_name, double* value) override {
    auto it = named_reals.find(full_name);
    if (it == named_reals.end()) return false;
    *value = it->second;
    return true;
  }
  void SetResultsFlags(std::uint32_t flags) override { results_flags |= flags; }
  void ClearResultsFlags(std::uint32_t flags) override { results_flags &= ~flags; }
  void SetCommunicationTime(double time) override { communication_times.push_back(time); }
  Status DeleteSnapshot(std::uint32_t number) override {
    deleted_snapshots.push_back(number);
    return 0;
  }
  Status RegisterActionFactory(SimActionFactory* factory) override {
    factories.push_back(factory->GetName());
    return 0;
  }
  Status CreateAction(const char* name, NewSimAction** action) override {
    log.push_back(std::string("CreateAction ").append(name));
    ++actions_alive;
    *action = nullptr;
    return create_answer;
  }
  Status RemoveAction(NewSimAction*) override {
    log.push_back("RemoveAction");
    --actions_alive;
    return 0;
  }
  Status SizeSensitivityHistory(std::int32_t elements) override {
    history_sizes.push_back(elements);
    return size_answer;
  }
  Status GetDelayedSensitivity(AnalysisVariable*, std::int32_t parameter, double time,
                               double* value) override {
    *value = parameter * 100.0 + time;
    return 0;
  }
  Status RecordDelayedSensitivity(AnalysisVariable* variable, std::int32_t parameter, double time,
                                  double value) override {
    std::string line = variable->GetNameText(0);
    line.append("/").append(std::to_string(parameter)).append("/");
    line.append(std::to_string(time)).append("/").append(std::to_string(value));
    recorded.push_back(line);
    return 0;
  }
  AnalysisVariable* VariableFor(DAESVarTableEntry*) override { return nullptr; }
  void DropSensitivityStorage() override { ++storage_drops; }
  bool StepComputing() override { return step_computing; }
  bool IntegrationGoesOn() override { return integration_goes_on; }
  std::int32_t ControlValueCount() override { return control_values; }
  Status LoadOpenNLPEstimationSolver(const char* name, EstOpenNLPSolver** solver) override {
    log.push_back(std::string("LoadNLP ").append(name));
    if (nlp == nullptr) return 0x8021FFFFu;
    *solver = nlp;
    return 0;
  }
  // One solver slot here for both analyses.
  Status LoadOpenNLPOptimisationSolver(const char* name, EstOpenNLPSolver** solver) override {
    return LoadOpenNLPEstimationSolver(name, solver);
  }
  void ReleaseOpenNLPSolver(EstOpenNLPSolver*) override { log.push_back("ReleaseNLP"); }
  void PrintOpenMessage(const std::string& text) override { open_messages.push_back(text); }

  std::map<std::uint32_t, std::unique_ptr<FakeVariable>> variables;
  std::vector<std::string> log;
  std::vector<std::pair<Status, std::string>> printed;
  std::vector<std::string> dumps;
  std::vector<std::string> recorded;
  std::vector<std::string> open_messages;
  std::vector<std::string> factories;
  std::map<std::int32_t, std::int32_t> options;
  std::map<std::string, double> named_reals;
  std::vector<std::pair<std::int32_t, std::int32_t>> option_writes;
  std::map<AnalysisVariable*, VariableDriver*> any_drivers;
  std::vector<double> communication_times;
  std::vector<std::uint32_t> deleted_snapshots;
  std::vector<std::int32_t> history_sizes;
  std::uint32_t results_flags = 0;
  int analysis_counter = 0;
  int actions_alive = 0;
  int driver_calls = 0;
  int storage_drops = 0;
  bool step_computing = false;
  bool integration_goes_on = false;
  int references_read = 0;
  double current_time = 0.0;
  double record_time = 0.0;
  std::uint16_t record_counter = 0;
  std::int32_t control_values = 1;
  Status create_answer = 1;
  Status size_answer = 0;
  FakeNLPSolver* nlp = nullptr;
};

}  // namespace analysis_fakes
