// SensitivityMgr: the lists of sensitivity parameters and variables and the
// matrices the integrator and the steady-state solvers fill with the
// derivatives of the variables by the parameters. It owns no numerics and
// none of the variables; the client fills the lists and fetches the results
// through service 64. One per process, made with the other managers; it
// publishes itself as the process's sensitivity manager and answers the
// solvers' and the delay manager's narrow faces. Server thread and run
// thread in turn; no lock.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "analysis/sensitivity/sensitivity_manager.h"
#include "control/managers/subsystem_manager.h"
#include "daes/blocks/solver_block.h"
#include "daes/delays/delay_mgr.h"
#include "daes/model/services.h"
#include "framework/servers/server_callback.h"
#include "solve/proxies/sensitivity_calculator.h"

class AnalysisServices;
class BvuBinaryStream;

class SensitivityMgr final : public QLNSubSystemManager,
                             public DseServerCB,
                             public QLNSensitivityManager,
                             public SensitivityManagerFace,
                             public BlockSensitivityParameters,
                             public DelaySensitivityItems,
                             public DAESSensitivityServices {
 public:
  static constexpr std::uint32_t kService = 64;
  // Request kinds.
  static constexpr std::uint16_t kSetLists = 51;
  static constexpr std::uint16_t kEnable = 52;
  static constexpr std::uint16_t kDisable = 53;
  static constexpr std::uint16_t kClear = 54;
  static constexpr std::uint16_t kValues = 55;
  static constexpr std::uint16_t kReplyEnd = 0xFFFF;
  // The integrator proxy's query kind.
  static constexpr std::int32_t kIntegratorQuery = 4;

  explicit SensitivityMgr(AnalysisServices& services);
  ~SensitivityMgr() override;

  // --- QLNSensitivityManager ---
  void Enable() override { enabled_ = 1; }
  void Disable() override { enabled_ = 0; }
  std::int32_t GetNumParameterElements() override { return elements_; }
  std::int32_t GetNumParameters() override { return static_cast<std::int32_t>(parameters_.size()); }
  std::int32_t GetNumMatrixRows() override { return switch_rows_; }
  std::int32_t GetNumVariables() override { return static_cast<std::int32_t>(variables_.size()); }
  Status AddParameter(AnalysisVariable* parameter) override;
  Status AddParameterArray(AnalysisVariable* parameter, std::int32_t elements) override;
  Status AddVariable(AnalysisVariable* variable) override;
  Status SetNumMatrixRows(std::int32_t rows) override;
  AnalysisVariable* GetParameter(std::int32_t i) override { return parameters_[i]; }
  AnalysisVariable* GetVariable(std::int32_t i) override { return variables_[i]; }
  Status SetSensitivity(AnalysisVariable* parameter, AnalysisVariable* variable, double value,
                        std::int32_t element) override;
  Status GetSensitivity(AnalysisVariable* parameter, AnalysisVariable* variable, double* value,
                        std::int32_t element, bool multiply, bool divide) override;
  Status SetSwitchTimeSensitivity(std::int32_t row, AnalysisVariable* variable,
                                  double value) override;
  Status GetSwitchTimeSensitivity(std::int32_t row, AnalysisVariable* variable, double* value,
                                  bool divide) override;
  Status AllocateMatrix() override;
  std::int32_t IsActiveFor(std::int32_t kind) override;
  std::int32_t IsActive() override;
  Status GetDelayedSensitivity(AnalysisVariable* variable, AnalysisVariable* parameter, double time,
                               double* value) override;
  Status RecordDelayedSensitivity(AnalysisVariable* variable, AnalysisVariable* parameter,
                                  double time, double value) override;

  // Back to the empty state; with reset the variables lose their marks.
  void Clear(bool reset_flags);
  // A variable being destroyed leaves both lists, untouched; the matrices
  // are made again for the lists that remain.
  void ForgetVariable(AnalysisVariable* variable);
  std::int32_t Enabled() const { return enabled_; }
  std::int32_t AllocationState() const { return allocation_; }
  // Slots held by the lists (they grow 8 at a time).
  std::size_t ParameterSlots() const { return parameters_.capacity(); }
  std::size_t VariableSlots() const { return variables_.capacity(); }

  // --- QLNSubSystemManager ---
  Status ProblemEdited() override;
  Status DetachProblem(const char* folder, const char* sub_folder) override;

  // --- DseServerCB ---
  Status HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                       DseTemplate** kept) override;
  // One request read from body; a reply, when one is made, goes to *reply.
  Status ServeRequest(BvuBinaryStream& body, DseMessage** reply);

  // --- the solvers' face ---
  Status PrepareStorage() override { return AllocateMatrix(); }
  std::int32_t VariableCount() override { return GetNumVariables(); }
  DAESVarTableEntry* Variable(std::int32_t i) override;
  std::int32_t EntryCount() override { return GetNumParameters(); }
  DAESVarTableEntry* Entry(std::int32_t j) override;
  std::int32_t ControlElements() override;
  // The optimisation's current control element, its times, interpolation
  // and a control's values at its ends (the defaults without one).
  std::int32_t CurrentInterval() override;
  std::int32_t InterpolationKind() override;
  void IntervalTimes(double* start, double* end) override;
  void ControlValues(std::int32_t entry, double* start, double* end) override;
  Status Store(std::int32_t entry, DAESVarTableEntry* variable, double value,
               std::int32_t element) override;
  // Into the history of row `row`, for any model variable.
  Status RecordDelayed(std::int32_t row, DAESVarTableEntry* variable, double time,
                       double value) override;
  // The switch-time rows: the integrator carries them past the parameter
  // rows. With moving elements there is one per interior switch time of the
  // optimisation's N elements (and one for the final time with ramps), then
  // the variables' time derivatives at the transfer, whatever number of
  // lengths moves.
  std::int32_t SwitchingRowCount() override;
  bool FinalTimeRow() override;
  std::int32_t SwitchTimeRows() override;
  Status StoreRow(std::int32_t row, DAESVarTableEntry* variable, double value) override;
  // --- the block structure's face ---
  std::int32_t ParameterCount() override { return GetNumParameters(); }
  DAESVarTableEntry* Parameter(std::int32_t j) override { return Entry(j); }
  // --- the delay manager's face: the parameters by name ---
  std::int32_t GetItemCount() override { return GetNumParameters(); }
  const char* GetItemName(std::int32_t i) override;
  // --- the model's face: values at earlier times ---
  // The sensitivity of a listed or delayed variable by parameter `key`,
  // `elapsed` before now, from the delay manager's second history.
  // 0x8024FFFF for any other variable or a key outside the parameter
  // elements.
  Status GetValueAtTime(DAESVarTableEntry* variable, std::int32_t key, double elapsed,
                        double* value) override;

 private:
  Status AddToParameters(AnalysisVariable* parameter, std::int32_t elements);
  // Column of the variable, or -1.
  std::int32_t ColumnOf(AnalysisVariable* variable);
  // The first listed variable of the model entry, or null.
  AnalysisVariable* ListedFor(DAESVarTableEntry* entry);
  void IndexColumns();
  // Index in the parameter list, or -1.
  std::int32_t IndexOf(AnalysisVariable* parameter);
  std::int32_t FirstRowOf(AnalysisVariable* parameter);
  // The parameter's row plus element; 0xA024FFFF when the parameter is not
  // listed, 0x8024FFFF when the row is outside the matrix.
  Status RowOf(AnalysisVariable* parameter, std::int32_t element, std::size_t* row);
  Status SetLists(BvuBinaryStream& body);
  bool ListsInTheIntegration();
  // Busy, with a line that says why the lists stay.
  Status ListsHeldByTheRun();
  Status Values(BvuBinaryStream& body, DseMessage** reply);
  void FreeMatrices();
  void Outgrown();

  AnalysisServices& services_;
  std::int32_t enabled_ = 0;
  std::vector<AnalysisVariable*> parameters_;
  // The parameter-element count each parameter added.
  std::vector<std::int32_t> parameter_elements_;
  std::vector<AnalysisVariable*> variables_;
  // Look-ups into variables_, made again after the list changes.
  std::unordered_map<std::uint32_t, std::int32_t> column_by_id_;
  std::unordered_map<const DAESVarTableEntry*, std::int32_t> column_by_entry_;
  bool columns_indexed_ = false;
  std::int32_t elements_ = 0;
  std::int32_t switch_rows_ = 0;
  std::vector<std::vector<double>> matrix_;
  std::vector<std::vector<double>> switch_matrix_;
  std::int32_t allocation_ = 0;
  bool told_lists_held_ = false;
};
