// EngineAnalysisServices: the analysis managers' services over the engine's
// own objects: the problem manager with its instance tree and action
// manager, the results manager when the engine has one, the solver option
// table, the delay manager and the Open NLP loader. It owns the adapters of
// the model variables the managers were handed; whoever owns it drops them
// once the managers have let go of them (problem edited or detached).
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "analysis/services/analysis_services.h"

class DAESVarTableEntry;
class ModelVariableRef;
class SimProblemMgr;
class SimResultsMgr;

class EngineAnalysisServices final : public AnalysisServices {
 public:
  static constexpr Status kNotAVariable = 0x8032FFFFu;

  // results may be null.
  EngineAnalysisServices(SimProblemMgr& problem, SimResultsMgr* results);
  ~EngineAnalysisServices() override;

  // The adapter of a model variable, made on first use.
  AnalysisVariable* Adapter(DAESVarTableEntry* entry);
  // The adapter made for the entry, or null.
  AnalysisVariable* FindAdapter(DAESVarTableEntry* entry) const;
  // The entry is being destroyed: its adapter reaches it no more, and a new
  // entry at the same address gets an adapter of its own. Freed with the
  // others.
  void RetireAdapter(DAESVarTableEntry* entry);

  Status ReadVariableReference(BvuBinaryStream& body, AnalysisVariable** variable) override;
  bool StepComputing() override;
  bool IntegrationGoesOn() override;
  void ResetPendingTime() override;
  void RaiseAnalysisCounter() override { ++analysis_counter_; }
  void LowerAnalysisCounter() override {
    if (analysis_counter_ > 0) --analysis_counter_;
  }
  void SetCurrentTime(double time) override;
  void SetTimeRecord(double time, std::uint16_t counter) override;
  void GetTimeRecord(double* time, std::uint16_t* counter) override;
  void Print(Status status, const std::string& text) override;
  // Lines of the quality-control value dump, when it is open.
  void DumpSensitivity(AnalysisVariable* variable, AnalysisVariable* parameter,
                       double value) override;
  void DumpSwitchTimeSensitivity(AnalysisVariable* variable, std::int32_t row,
                                 double value) override;
  Status SetVariableDriver(AnalysisVariable* variable, VariableDriver* driver) override;
  std::int32_t GetIntOption(std::int32_t number) override;
  void SetIntOption(std::int32_t number, std::int32_t value) override;
  bool GetNamedReal(const char* full_name, double* value) override;
  void SetResultsFlags(std::uint32_t flags) override;
  void ClearResultsFlags(std::uint32_t flags) override;
  void SetCommunicationTime(double time) override;
  Status DeleteSnapshot(std::uint32_t number) override;
  Status RegisterActionFactory(SimActionFactory* factory) override;
  Status CreateAction(const char* name, NewSimAction** action) override;
  Status RemoveAction(NewSimAction* action) override;
  Status SizeSensitivityHistory(std::int32_t elements) override;
  Status GetDelayedSensitivity(AnalysisVariable* variable, std::int32_t parameter, double time,
                               double* value) override;
  Status RecordDelayedSensitivity(AnalysisVariable* variable, std::int32_t parameter, double time,
                                  double value) override;
  AnalysisVariable* VariableFor(DAESVarTableEntry* entry) override {
    return entry != nullptr ? Adapter(entry) : nullptr;
  }
  // The current integrator's; left alone while a step computes.
  void DropSensitivityStorage() override;
  // Values per control of the optimisation, 1 without one.
  std::int32_t ControlValueCount() override;
  Status LoadOpenNLPEstimationSolver(const char* name, EstOpenNLPSolver** solver) override;
  Status LoadOpenNLPOptimisationSolver(const char* name, EstOpenNLPSolver** solver) override;
  void ReleaseOpenNLPSolver(EstOpenNLPSolver* solver) override;
  void PrintOpenMessage(const std::string& text) override;

  std::int32_t AnalysisCounter() const { return analysis_counter_; }
  std::size_t AdapterCount() const { return adapters_.size(); }

  void DropAdapters();

 private:
  Status LoadOpenNLP(std::int32_t run_type, const char* name, EstOpenNLPSolver** solver);

  SimProblemMgr& problem_;
  SimResultsMgr* results_;
  std::map<DAESVarTableEntry*, std::unique_ptr<ModelVariableRef>> adapters_;
  std::vector<std::unique_ptr<ModelVariableRef>> retired_;
  std::int32_t analysis_counter_ = 0;
};
