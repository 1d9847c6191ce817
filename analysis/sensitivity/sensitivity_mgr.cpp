#include "analysis/sensitivity/sensitivity_mgr.h"

#include <algorithm>
#include <new>
#include <unordered_map>

#include "analysis/model/analysis_variable.h"
#include "analysis/optimisation/optimisation_manager.h"
#include "analysis/services/analysis_services.h"
#include "daes/model/var_table_entry.h"
#include "foundation/interfaces/run_mode.h"

namespace {
QLNSensitivityManager* current_manager = nullptr;

// A state whose initial value is given carries the fixed bit too, but it is
// integrated: its sensitivities are the integrator's, not the identity's.
constexpr std::uint32_t kInitialState = 0x8000;
bool IsFixed(AnalysisVariable* variable) {
  const std::uint32_t flags = variable->GetFlags();
  return (flags & analysis_flags::kFixed) != 0 && (flags & kInitialState) == 0;
}

double FactorOf(AnalysisVariable* variable) {
  double factor = 1.0;
  variable->GetValueFactor(&factor);
  return factor;
}

// Lists grow by 8 entries at a time.
void Append(std::vector<AnalysisVariable*>& list, AnalysisVariable* variable) {
  if (list.size() % 8 == 0) list.reserve(list.size() + 8);
  list.push_back(variable);
}
}  // namespace

QLNSensitivityManager* GetSensitivityManager() { return current_manager; }
void SetSensitivityManager(QLNSensitivityManager* manager) { current_manager = manager; }

QLNSensitivityManager::~QLNSensitivityManager() {
  if (current_manager == this) current_manager = nullptr;
}

SensitivityMgr::SensitivityMgr(AnalysisServices& services) : services_(services) {
  SetSensitivityManager(this);
  SetSensitivityManagerFace(this);
  SetBlockSensitivityParameters(this);
  daes::SetSensitivityServices(this);
}

SensitivityMgr::~SensitivityMgr() {
  if (GetSensitivityManagerFace() == this) SetSensitivityManagerFace(nullptr);
  if (GetBlockSensitivityParameters() == this) SetBlockSensitivityParameters(nullptr);
  if (daes::SensitivityServices() == this) daes::SetSensitivityServices(nullptr);
}

Status SensitivityMgr::GetValueAtTime(DAESVarTableEntry* variable, std::int32_t key,
                                      double elapsed, double* value) {
  AnalysisVariable* listed = ListedFor(variable);
  // A delayed variable has a history whether listed or not.
  if (listed == nullptr && (variable->GetFlags() & daes::kDelayed) != 0) {
    listed = services_.VariableFor(variable);
  }
  if (listed == nullptr || key < 0 || key >= elements_ + SwitchingRowCount())
    return sens_status::kNotFound;
  return services_.GetDelayedSensitivity(listed, key, GetSimulationTime() - elapsed, value);
}

Status SensitivityMgr::AddToParameters(AnalysisVariable* parameter, std::int32_t elements) {
  if ((parameter->GetFlags() & analysis_flags::kSensitivityParameter) != 0) {
    return sens_status::kDuplicate;
  }
  parameter->SetFlags(analysis_flags::kSensitivityParameter);
  elements_ += elements;
  Append(parameters_, parameter);
  parameter_elements_.push_back(elements);
  Outgrown();
  return status::kOk;
}

Status SensitivityMgr::AddParameter(AnalysisVariable* parameter) {
  return AddToParameters(parameter, 1);
}

Status SensitivityMgr::AddParameterArray(AnalysisVariable* parameter, std::int32_t elements) {
  if (elements < 0) return 0x8000020Fu;
  return AddToParameters(parameter, elements);
}

Status SensitivityMgr::AddVariable(AnalysisVariable* variable) {
  if ((variable->GetFlags() & analysis_flags::kSensitivityVariable) != 0) {
    return sens_status::kDuplicate;
  }
  variable->SetFlags(analysis_flags::kSensitivityVariable);
  Append(variables_, variable);
  columns_indexed_ = false;
  Outgrown();
  return status::kOk;
}

Status SensitivityMgr::SetNumMatrixRows(std::int32_t rows) {
  switch_rows_ = rows < 0 ? 0 : rows;
  Outgrown();
  return status::kOk;
}

// Lists that grew after the matrices were made: the next allocation makes
// them again at the new sizes.
void SensitivityMgr::Outgrown() {
  if (allocation_ != 0) allocation_ = 0;
}

// The first listed variable of each id and of each model entry, as the walk
// finds them. A hit is checked against the list and a miss walks it, so a
// variable whose id moved is still found, only slower.
void SensitivityMgr::IndexColumns() {
  column_by_id_.clear();
  column_by_entry_.clear();
  column_by_id_.reserve(variables_.size());
  column_by_entry_.reserve(variables_.size());
  for (std::size_t k = 0; k < variables_.size(); ++k) {
    const auto column = static_cast<std::int32_t>(k);
    column_by_id_.emplace(variables_[k]->Id(), column);
    column_by_entry_.emplace(variables_[k]->ModelEntry(), column);
  }
  columns_indexed_ = true;
}

std::int32_t SensitivityMgr::ColumnOf(AnalysisVariable* variable) {
  const std::uint32_t id = variable->Id();
  if (!columns_indexed_) IndexColumns();
  if (const auto hit = column_by_id_.find(id); hit != column_by_id_.end()) {
    const auto k = static_cast<std::size_t>(hit->second);
    if (k < variables_.size() && variables_[k]->Id() == id) return hit->second;
  }
  for (std::size_t k = 0; k < variables_.size(); ++k) {
    if (variables_[k]->Id() == id) {
      columns_indexed_ = false;
      return static_cast<std::int32_t>(k);
    }
  }
  return -1;
}

AnalysisVariable* SensitivityMgr::ListedFor(DAESVarTableEntry* entry) {
  if (!columns_indexed_) IndexColumns();
  if (const auto hit = column_by_entry_.find(entry); hit != column_by_entry_.end()) {
    const auto k = static_cast<std::size_t>(hit->second);
    if (k < variables_.size() && variables_[k]->ModelEntry() == entry) return variables_[k];
  }
  for (AnalysisVariable* v : variables_) {
    if (v->ModelEntry() == entry) {
      columns_indexed_ = false;
      return v;
    }
  }
  return nullptr;
}

std::int32_t SensitivityMgr::IndexOf(AnalysisVariable* parameter) {
  const std::uint32_t id = parameter->Id();
  for (std::size_t j = 0; j < parameters_.size(); ++j) {
    if (parameters_[j]->Id() == id) return static_cast<std::int32_t>(j);
  }
  return -1;
}

// The history of a delayed variable's sensitivities is kept by row: an
// array's elements each have their own.
std::int32_t SensitivityMgr::FirstRowOf(AnalysisVariable* parameter) {
  const std::uint32_t id = parameter->Id();
  std::int32_t sum = 0;
  for (AnalysisVariable* entry : parameters_) {
    if (entry->Id() == id) return sum < elements_ ? sum : -1;
    sum += (entry->GetFlags() & analysis_flags::kControl) != 0 ? services_.ControlValueCount() : 1;
  }
  return -1;
}

// A control parameter takes the optimisation's control-value count of rows
// while an array adds its own element count to the total, so the walk is
// checked against the rows that exist, never only against the count.
Status SensitivityMgr::RowOf(AnalysisVariable* parameter, std::int32_t element, std::size_t* row) {
  const std::uint32_t id = parameter->Id();
  std::int64_t sum = 0;
  for (AnalysisVariable* entry : parameters_) {
    if (entry->Id() == id) {
      const std::int64_t r = sum + element;
      if (element < 0 || r >= elements_ || r >= static_cast<std::int64_t>(matrix_.size())) {
        return sens_status::kNotFound;
      }
      *row = static_cast<std::size_t>(r);
      return status::kOk;
    }
    sum += (entry->GetFlags() & analysis_flags::kControl) != 0 ? services_.ControlValueCount() : 1;
  }
  return sens_status::kNoParameter;
}

Status SensitivityMgr::SetSensitivity(AnalysisVariable* parameter, AnalysisVariable* variable,
                                      double value, std::int32_t element) {
  const std::int32_t k = ColumnOf(variable);
  if (k < 0) return sens_status::kNotFound;
  std::size_t row = 0;
  const Status found = RowOf(parameter, element, &row);
  if (status::IsFailure(found)) return found;
  // A variable listed after the matrix was made has no column in it yet.
  if (static_cast<std::size_t>(k) >= matrix_[row].size()) return sens_status::kNotFound;
  matrix_[row][static_cast<std::size_t>(k)] = value;
  services_.DumpSensitivity(variable, parameter, value * FactorOf(parameter) / FactorOf(variable));
  return status::kOk;
}

Status SensitivityMgr::GetSensitivity(AnalysisVariable* parameter, AnalysisVariable* variable,
                                      double* value, std::int32_t element, bool multiply,
                                      bool divide) {
  if (IsFixed(variable)) {
    *value = variable->Id() == parameter->Id() ? 1.0 : 0.0;
    return status::kOk;
  }
  const std::int32_t k = ColumnOf(variable);
  if (k < 0) return sens_status::kNotFound;
  std::size_t row = 0;
  const Status found = RowOf(parameter, element, &row);
  if (status::IsFailure(found)) return found;
  if (static_cast<std::size_t>(k) >= matrix_[row].size()) return sens_status::kNotFound;
  double out = matrix_[row][static_cast<std::size_t>(k)];
  if (multiply) out *= FactorOf(parameter);
  if (divide) out /= FactorOf(variable);
  *value = out;
  return status::kOk;
}

Status SensitivityMgr::SetSwitchTimeSensitivity(std::int32_t row, AnalysisVariable* variable,
                                                double value) {
  const std::int32_t k = ColumnOf(variable);
  if (k < 0 || row < 0 || static_cast<std::size_t>(row) >= switch_matrix_.size() ||
      static_cast<std::size_t>(k) >= switch_matrix_[static_cast<std::size_t>(row)].size()) {
    return sens_status::kNotFound;
  }
  switch_matrix_[static_cast<std::size_t>(row)][static_cast<std::size_t>(k)] = value;
  services_.DumpSwitchTimeSensitivity(variable, row, value / FactorOf(variable));
  return status::kOk;
}

Status SensitivityMgr::GetSwitchTimeSensitivity(std::int32_t row, AnalysisVariable* variable,
                                                double* value, bool divide) {
  const std::int32_t k = ColumnOf(variable);
  if (k < 0) return sens_status::kNoParameter;
  if (row < 0 || static_cast<std::size_t>(row) >= switch_matrix_.size() ||
      static_cast<std::size_t>(k) >= switch_matrix_[static_cast<std::size_t>(row)].size()) {
    return sens_status::kNotFound;
  }
  double out = switch_matrix_[static_cast<std::size_t>(row)][static_cast<std::size_t>(k)];
  if (divide) out /= FactorOf(variable);
  *value = out;
  return status::kOk;
}

Status SensitivityMgr::AllocateMatrix() {
  if (allocation_ == 1) return status::kOk;
  const std::int32_t n = elements_;
  const std::int32_t s = SwitchingRowCount();
  const std::size_t c = variables_.size();
  if ((n == 0 && s == 0) || c == 0) return status::kOk;
  try {
    matrix_.assign(static_cast<std::size_t>(n), std::vector<double>(c));
    switch_matrix_.assign(static_cast<std::size_t>(s), std::vector<double>(c));
  } catch (const std::bad_alloc&) {
    FreeMatrices();
    return sens_status::kNoMemory;
  }
  // A delayed history for every row, the switching times' too.
  const Status sized = services_.SizeSensitivityHistory(n + s);
  allocation_ = status::IsFailure(sized) ? -1 : 1;
  return sized;
}

std::int32_t SensitivityMgr::IsActiveFor(std::int32_t kind) {
  if (enabled_ == 0) return 0;
  if (kind == kIntegratorQuery && allocation_ < 0) return 0;
  return IsActive();
}

std::int32_t SensitivityMgr::IsActive() {
  return (!parameters_.empty() || switch_rows_ >= 1) && !variables_.empty() ? 1 : 0;
}

Status SensitivityMgr::GetDelayedSensitivity(AnalysisVariable* variable,
                                             AnalysisVariable* parameter, double time,
                                             double* value) {
  const std::int32_t j = FirstRowOf(parameter);
  if (j < 0) return sens_status::kNoParameter;
  return services_.GetDelayedSensitivity(variable, j, time, value);
}

Status SensitivityMgr::RecordDelayedSensitivity(AnalysisVariable* variable,
                                                AnalysisVariable* parameter, double time,
                                                double value) {
  const std::int32_t j = FirstRowOf(parameter);
  if (j < 0) return sens_status::kNoParameter;
  return services_.RecordDelayedSensitivity(variable, j, time, value);
}

void SensitivityMgr::FreeMatrices() {
  matrix_.clear();
  matrix_.shrink_to_fit();
  switch_matrix_.clear();
  switch_matrix_.shrink_to_fit();
}

void SensitivityMgr::Clear(bool reset_flags) {
  if (reset_flags) {
    for (AnalysisVariable* p : parameters_) p->ClearFlags(analysis_flags::kSensitivityParameter);
    for (AnalysisVariable* v : variables_) v->ClearFlags(analysis_flags::kSensitivityVariable);
  }
  parameters_ = {};
  parameter_elements_ = {};
  variables_ = {};
  columns_indexed_ = false;
  switch_rows_ = 0;
  FreeMatrices();
  allocation_ = 0;
  services_.DropSensitivityStorage();
  elements_ = 0;
}

void SensitivityMgr::ForgetVariable(AnalysisVariable* variable) {
  bool changed = false;
  for (std::size_t k = parameters_.size(); k-- > 0;) {
    if (parameters_[k] != variable) continue;
    elements_ -= parameter_elements_[k];
    parameters_.erase(parameters_.begin() + static_cast<std::ptrdiff_t>(k));
    parameter_elements_.erase(parameter_elements_.begin() + static_cast<std::ptrdiff_t>(k));
    changed = true;
  }
  const auto end = std::remove(variables_.begin(), variables_.end(), variable);
  changed = changed || end != variables_.end();
  variables_.erase(end, variables_.end());
  if (!changed) return;
  // Rows and columns moved: what was stored belongs to the old lists.
  columns_indexed_ = false;
  FreeMatrices();
  allocation_ = 0;
  services_.DropSensitivityStorage();
}

Status SensitivityMgr::ProblemEdited() {
  Clear(true);
  return status::kOk;
}

Status SensitivityMgr::DetachProblem(const char*, const char*) {
  Clear(false);
  return status::kOk;
}

DAESVarTableEntry* SensitivityMgr::Variable(std::int32_t i) {
  if (i < 0 || i >= GetNumVariables()) return nullptr;
  return variables_[static_cast<std::size_t>(i)]->ModelEntry();
}

DAESVarTableEntry* SensitivityMgr::Entry(std::int32_t j) {
  if (j < 0 || j >= GetNumParameters()) return nullptr;
  return parameters_[static_cast<std::size_t>(j)]->ModelEntry();
}

std::int32_t SensitivityMgr::ControlElements() { return services_.ControlValueCount(); }

std::int32_t SensitivityMgr::CurrentInterval() {
  QLNOptimisationManager* o = GetOptimisationManager();
  if (o == nullptr || o->GetNumElements() < 1) return 1;
  return std::max(1, o->GetCurrentElement());
}

std::int32_t SensitivityMgr::InterpolationKind() {
  QLNOptimisationManager* o = GetOptimisationManager();
  return o != nullptr ? o->GetPiecewiseLinear() : 0;
}

void SensitivityMgr::IntervalTimes(double* start, double* end) {
  QLNOptimisationManager* o = GetOptimisationManager();
  if (o == nullptr || o->GetNumElements() < 1) {
    SensitivityManagerFace::IntervalTimes(start, end);
    return;
  }
  *start = o->GetElementStartTime();
  *end = o->GetElementEndTime();
}

void SensitivityMgr::ControlValues(std::int32_t entry, double* start, double* end) {
  *start = 0.0;
  *end = 0.0;
  QLNOptimisationManager* o = GetOptimisationManager();
  if (o == nullptr || entry < 0 || entry >= GetNumParameters()) return;
  double a = 0.0, b = 0.0;
  if (status::IsSuccess(
          o->GetControlValues(parameters_[static_cast<std::size_t>(entry)], &a, &b))) {
    *start = a;
    *end = b;
  }
}

Status SensitivityMgr::Store(std::int32_t entry, DAESVarTableEntry* variable, double value,
                             std::int32_t element) {
  if (entry < 0 || entry >= GetNumParameters()) return sens_status::kNoParameter;
  AnalysisVariable* v = ListedFor(variable);
  if (v == nullptr) return sens_status::kNotFound;
  return SetSensitivity(parameters_[static_cast<std::size_t>(entry)], v, value, element);
}

Status SensitivityMgr::RecordDelayed(std::int32_t row, DAESVarTableEntry* variable, double time,
                                     double value) {
  if (row < 0 || row >= elements_ + SwitchingRowCount()) return sens_status::kNoParameter;
  AnalysisVariable* v = ListedFor(variable);
  if (v == nullptr) v = services_.VariableFor(variable);
  if (v == nullptr) return sens_status::kNotFound;
  return services_.RecordDelayedSensitivity(v, row, time, value);
}

const char* SensitivityMgr::GetItemName(std::int32_t i) {
  if (i < 0 || i >= GetNumParameters()) return nullptr;
  return parameters_[static_cast<std::size_t>(i)]->GetNameText(0);
}

bool SensitivityMgr::FinalTimeRow() {
  QLNOptimisationManager* o = GetOptimisationManager();
  return switch_rows_ > 0 && o != nullptr && o->GetNumElements() >= 1;
}

std::int32_t SensitivityMgr::SwitchingRowCount() {
  return FinalTimeRow() ? SwitchTimeRows() + 1 : switch_rows_;
}

// Ramps stretch with the final time as well: its row is integrated too.
std::int32_t SensitivityMgr::SwitchTimeRows() {
  if (!FinalTimeRow()) return 0;
  QLNOptimisationManager* o = GetOptimisationManager();
  return o->GetNumElements() - 1 + (o->GetPiecewiseLinear() == 1 ? 1 : 0);
}

Status SensitivityMgr::StoreRow(std::int32_t row, DAESVarTableEntry* variable, double value) {
  // The rows follow the optimisation's element count, which may have been
  // set after the matrix was made.
  const std::int32_t rows = SwitchingRowCount();
  if (row < 0 || row >= rows) return sens_status::kNotFound;
  if (static_cast<std::size_t>(row) >= switch_matrix_.size() && allocation_ == 1) {
    switch_matrix_.resize(static_cast<std::size_t>(rows), std::vector<double>(variables_.size()));
  }
  AnalysisVariable* v = ListedFor(variable);
  return v != nullptr ? SetSwitchTimeSensitivity(row, v, value) : sens_status::kNotFound;
}
