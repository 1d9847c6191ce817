#include "analysis/optimisation/opt_definition.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>

#include "analysis/optimisation/optimisation_manager.h"
#include "analysis/sensitivity/sensitivity_manager.h"
#include "analysis/services/analysis_services.h"
#include "foundation/persistence/binary_stream.h"
#include "numerics/lsq/index_sort.h"

namespace {

constexpr Status kTruncated = 0x8000FFFFu;

// Ids of control elements count up from below the optimisation variables'
// range, away from the model's sequence numbers.
std::atomic<std::uint32_t> next_element_id{0xF0000000u};

Status ReadByte(BvuBinaryStream& body, bool* out) {
  std::uint32_t value = 0;
  const Status s = body.GetByteAsUInt32(&value);
  if (status::IsFailure(s)) return s;
  *out = value != 0;
  return status::kOk;
}

Status ReadU16(BvuBinaryStream& body, std::uint16_t* out) {
  const Status s = body.GetUInt16(out);
  return status::IsFailure(s) ? s : status::kOk;
}

Status ReadReal(BvuBinaryStream& body, double* out) {
  double value = 0.0;
  if (body.TryGet8(&value) != 1) return kTruncated;
  *out = value;
  return status::kOk;
}

Status ReadPath(BvuBinaryStream& body, AnalysisServices& services, AnalysisVariable** out) {
  AnalysisVariable* variable = nullptr;
  const Status s = services.ReadVariableReference(body, &variable);
  // A path that does not resolve cannot be skipped over: the rest of the
  // body would be misread, so the definition is refused.
  if (status::IsFailure(s) || variable == nullptr) return opt_status::kFailure;
  *out = variable;
  return status::kOk;
}

double ScaleOf(AnalysisVariable* variable) {
  double scale = 1.0;
  if (status::IsFailure(variable->GetScale(&scale)) || scale == 0.0) scale = 1.0;
  return scale;
}

}  // namespace

#define OPT_READ(expr)                                        \
  do {                                                        \
    const Status read_status_ = (expr);                       \
    if (status::IsFailure(read_status_)) return read_status_; \
  } while (false)

// --- OptConstraint ---

double OptConstraint::Value(double x) const {
  switch (kind) {
    case opt_constraint::kLower:
      return x - bound;
    case opt_constraint::kUpper:
      return bound - x;
    default:
      return x;
  }
}

double OptConstraint::VariableValue(double c) const {
  switch (kind) {
    case opt_constraint::kLower:
      return bound + c;
    case opt_constraint::kUpper:
      return bound - c;
    default:
      return c;
  }
}

const char* OptConstraint::Symbol() const {
  switch (kind) {
    case opt_constraint::kZero:
      return "==";
    case opt_constraint::kUpper:
      return "<=";
    default:
      return ">=";
  }
}

// --- OptControlElement ---

OptControlElement::OptControlElement(OptControlRecord* control, std::int32_t index)
    : control_(control), index_(index), id_(next_element_id.fetch_add(1)) {
  name_ = control->variable != nullptr ? control->variable->GetNameText(0) : "";
  name_.append("[Element ").append(std::to_string(index + 1)).append("]");
}

Status OptControlElement::GetValue(double* value) {
  if (index_ < 0 || index_ >= control_->count) return opt_status::kNoValue;
  *value = control_->values[static_cast<std::size_t>(index_)] * control_->scale;
  return status::kOk;
}

Status OptControlElement::SetValue(double value) {
  if (index_ < 0 || index_ >= control_->count) return opt_status::kNoValue;
  control_->values[static_cast<std::size_t>(index_)] = value / control_->scale;
  return status::kOk;
}

Status OptControlElement::GetScaledValue(double* value) {
  if (index_ < 0 || index_ >= control_->count) return opt_status::kNoValue;
  *value = control_->values[static_cast<std::size_t>(index_)];
  return status::kOk;
}

Status OptControlElement::SetScaledValue(double value) {
  if (index_ < 0 || index_ >= control_->count) return opt_status::kNoValue;
  control_->values[static_cast<std::size_t>(index_)] = value;
  return status::kOk;
}

Status OptControlElement::GetBounds(double* lower, double* upper) {
  if (index_ >= 0 && index_ < control_->count) {
    *lower = control_->lower[static_cast<std::size_t>(index_)];
    *upper = control_->upper[static_cast<std::size_t>(index_)];
  }
  return status::kOk;
}

Status OptControlElement::GetScale(double* scale) {
  *scale = control_->scale;
  return status::kOk;
}

Status OptControlElement::GetValueFactor(double* factor) {
  *factor = 1.0;
  return status::kOk;
}

// --- ControlRamp ---

void ControlRamp::Set(double t0, double v0, double t1, double v1) {
  start_time = t0;
  start_value = v0;
  end_time = t1;
  end_value = v1;
  slope = t1 != t0 ? (v1 - v0) / (t1 - t0) : 0.0;
}

// --- OptDefinition ---

OptDefinition::~OptDefinition() { Clear(nullptr); }

std::int32_t OptDefinition::MaxMoveCount() const {
  std::int32_t count = 0;
  for (const auto& control : controls) count += control->max_move > 0.0 ? 1 : 0;
  return count;
}

double OptDefinition::ElementStart(std::int32_t k) const {
  if (k < 1 || static_cast<std::size_t>(k) >= times.size()) return 0.0;
  return times[static_cast<std::size_t>(k - 1)];
}

double OptDefinition::ElementLength(std::int32_t k) const {
  if (k < 1 || static_cast<std::size_t>(k) >= times.size()) return 0.0;
  return times[static_cast<std::size_t>(k)] - times[static_cast<std::size_t>(k - 1)];
}

double OptDefinition::ConstraintTime(const OptConstraint& constraint) const {
  const auto k = static_cast<std::int32_t>(constraint.element);
  if (k < 1) return 0.0;
  return ElementStart(k) + constraint.position * ElementLength(k);
}

void OptDefinition::RebuildTimesFromLengths() {
  for (std::size_t k = 0; k < lengths.size() && k + 1 < times.size(); ++k) {
    times[k + 1] = times[k] + lengths[k]->value();
  }
  // The run ends where the last element now ends.
  if (!lengths.empty() && times.size() == lengths.size() + 1) final_time = times.back();
}

bool OptDefinition::Names(AnalysisVariable* variable) const {
  for (const auto* pairs : {&decision, &initial}) {
    for (const OptModelPair& pair : *pairs) {
      if (pair.model == variable) return true;
    }
  }
  for (const auto& control : controls) {
    if (control->variable == variable) return true;
  }
  for (const auto* models : {&objectives, &constrained}) {
    if (std::find(models->begin(), models->end(), variable) != models->end()) return true;
  }
  return false;
}

void OptDefinition::Clear(AnalysisServices* services) {
  for (std::size_t i = 0; i < links_.size() && i < controls.size(); ++i) {
    links_[i]->Remove(services, controls[i]->variable);
  }
  links_.clear();
  list.clear();
  schedule.clear();
  constraints.clear();
  constrained.clear();
  objectives.clear();
  ramps.clear();
  control_elements.clear();
  controls.clear();
  initial.clear();
  decision.clear();
  lengths.clear();
  times.clear();
  final_time = final_lower = final_upper = 0.0;
  final_time_free = moving_elements = individual_lengths = false;
  minimise_final_time = piecewise_linear = false;
  elements_ = movable_ = values_per_control_ = equalities_ = 0;
}

Status OptDefinition::Read(BvuBinaryStream& body, AnalysisServices& services,
                           QLNSensitivityManager* sensitivities, bool* dynamic_read) {
  Clear(&services);
  const Status read = ReadBody(body, services, dynamic_read);
  if (status::IsFailure(read)) {
    const bool was_dynamic = dynamic;
    Clear(nullptr);
    dynamic = was_dynamic;
    return read;
  }
  BuildList();
  BuildSchedule();
  Register(services, sensitivities);
  return status::kOk;
}

Status OptDefinition::ReadPaired(BvuBinaryStream& body, AnalysisServices& services,
                                 std::vector<OptModelPair>* into) {
  std::uint16_t count = 0;
  OPT_READ(ReadU16(body, &count));
  for (std::uint16_t i = 0; i < count; ++i) {
    AnalysisVariable* model = nullptr;
    double lower = 0.0, upper = 0.0, value = 0.0;
    OPT_READ(ReadPath(body, services, &model));
    OPT_READ(ReadReal(body, &lower));
    OPT_READ(ReadReal(body, &upper));
    OPT_READ(ReadReal(body, &value));
    const double scale = ScaleOf(model);
    OptModelPair pair;
    pair.variable = std::make_unique<OptVariable>(model->GetNameText(0), value * scale,
                                                  lower * scale, upper * scale, scale);
    pair.model = model;
    into->push_back(std::move(pair));
  }
  return status::kOk;
}

Status OptDefinition::ReadBody(BvuBinaryStream& body, AnalysisServices& services,
                               bool* dynamic_read) {
  OPT_READ(ReadByte(body, &dynamic));
  if (dynamic_read != nullptr) *dynamic_read = true;
  OPT_READ(ReadReal(body, &final_time));
  std::uint16_t n = 0;
  OPT_READ(ReadU16(body, &n));
  // Elements without a final time would leave their interior times unread
  // and every later field misread.
  if (n > 0 && final_time == 0.0) return opt_status::kFailure;
  elements_ = n;
  if (n > 0) {
    times.push_back(0.0);
    for (std::uint16_t k = 1; k < n; ++k) {
      double t = 0.0;
      OPT_READ(ReadReal(body, &t));
      times.push_back(t);
    }
    times.push_back(final_time);
    for (std::uint16_t k = 0; k < n; ++k) {
      char name[48];
      std::snprintf(name, sizeof name, "Length of element %d", k + 1);
      lengths.push_back(std::make_unique<OptVariable>(name, times[k + 1u] - times[k], 0.0, 0.0));
    }
  }
  OPT_READ(ReadByte(body, &final_time_free));
  OPT_READ(ReadByte(body, &moving_elements));
  OPT_READ(ReadByte(body, &individual_lengths));
  // Only element lengths that exist can move.
  movable_ = !final_time_free && !moving_elements ? 0 : individual_lengths ? elements_ : 1;
  if (movable_ > elements_) movable_ = elements_;
  OPT_READ(ReadByte(body, &minimise_final_time));
  OPT_READ(ReadByte(body, &piecewise_linear));
  values_per_control_ = elements_ + (piecewise_linear ? 1 : 0);
  OPT_READ(ReadReal(body, &final_lower));
  OPT_READ(ReadReal(body, &final_upper));
  for (auto& length : lengths) {
    double lower = 0.0, upper = 0.0;
    OPT_READ(ReadReal(body, &lower));
    OPT_READ(ReadReal(body, &upper));
    length->SetBounds(lower, upper);
  }
  OPT_READ(ReadPaired(body, services, &decision));
  OPT_READ(ReadPaired(body, services, &initial));

  std::uint16_t c = 0;
  OPT_READ(ReadU16(body, &c));
  const auto v = static_cast<std::size_t>(values_per_control_);
  for (std::uint16_t i = 0; i < c; ++i) {
    auto record = std::make_unique<OptControlRecord>();
    OPT_READ(ReadPath(body, services, &record->variable));
    OPT_READ(ReadReal(body, &record->max_move));
    record->scale = ScaleOf(record->variable);
    record->count = values_per_control_;
    for (std::size_t j = 0; j < v; ++j) {
      double value = 0.0;
      OPT_READ(ReadReal(body, &value));
      record->values.push_back(value);
    }
    for (std::size_t j = 0; j < v; ++j) {
      double lower = 0.0, upper = 0.0;
      OPT_READ(ReadReal(body, &lower));
      OPT_READ(ReadReal(body, &upper));
      record->lower.push_back(lower * record->scale);
      record->upper.push_back(upper * record->scale);
    }
    record->work.assign(2 * v, 0.0);
    controls.push_back(std::move(record));
  }

  std::uint16_t k = 0;
  OPT_READ(ReadU16(body, &k));
  for (std::uint16_t i = 0; i < k; ++i) {
    AnalysisVariable* objective = nullptr;
    OPT_READ(ReadPath(body, services, &objective));
    objectives.push_back(objective);
  }

  std::uint16_t q = 0, e = 0, r = 0;
  OPT_READ(ReadU16(body, &q));
  OPT_READ(ReadU16(body, &e));
  OPT_READ(ReadU16(body, &r));
  equalities_ = e;
  for (std::uint16_t i = 0; i < q; ++i) {
    AnalysisVariable* variable = nullptr;
    OPT_READ(ReadPath(body, services, &variable));
    constrained.push_back(variable);
    std::uint16_t count = 0;
    OPT_READ(ReadU16(body, &count));
    for (std::uint16_t j = 0; j < count; ++j) {
      OptConstraint constraint;
      constraint.variable = i;
      std::uint16_t element = 0, kind = 0;
      OPT_READ(ReadU16(body, &element));
      OPT_READ(ReadReal(body, &constraint.position));
      OPT_READ(ReadU16(body, &kind));
      if (kind > opt_constraint::kUpper || element > elements_) return opt_status::kFailure;
      if (kind >= opt_constraint::kLower) OPT_READ(ReadReal(body, &constraint.bound));
      constraint.element = element;
      constraint.kind = kind;
      constraints.push_back(constraint);
    }
  }
  // The records sized by R elsewhere (multipliers, results) must be the
  // records read.
  if (constraints.size() != r) return opt_status::kFailure;
  OPT_READ(CheckDenseSize(services));
  std::uint16_t end_mark = 0;
  OPT_READ(ReadU16(body, &end_mark));

  for (auto& control : controls) {
    for (std::int32_t j = 0; j < control->count; ++j) {
      control_elements.push_back(std::make_unique<OptControlElement>(control.get(), j));
    }
    if (piecewise_linear) ramps.push_back(std::make_shared<ControlRamp>());
  }
  return status::kOk;
}

Status OptDefinition::CheckDenseSize(AnalysisServices& services) const {
  // Each objective and constraint row of a run holds a gradient over every
  // optimisation variable, so the run's dense arrays grow with the product
  // of two counts a short body can make large (max-move rows come two per
  // control value): refused here, before any run sizes them.
  const std::uint64_t v = static_cast<std::uint64_t>(values_per_control_);
  const std::uint64_t p = initial.size() + decision.size() + controls.size() * v +
                          static_cast<std::uint64_t>(movable_);
  const std::uint64_t rows = objectives.size() + constraints.size() +
                             2 * static_cast<std::uint64_t>(MaxMoveCount()) * v + 3;
  if ((p + 1) * (rows + 2) <= kMaxDenseEntries) return status::kOk;
  char text[160];
  std::snprintf(text, sizeof text,
                "Optimization problem too large: %llu optimization variables and %llu "
                "objective and constraint rows",
                static_cast<unsigned long long>(p), static_cast<unsigned long long>(rows));
  services.Print(opt_status::kFailure, text);
  return opt_status::kFailure;
}

void OptDefinition::BuildList() {
  list.clear();
  for (auto& pair : initial) list.push_back(pair.variable.get());
  for (auto& pair : decision) list.push_back(pair.variable.get());
  for (auto& element : control_elements) list.push_back(element.get());
  for (std::int32_t k = 0; k < movable_; ++k) {
    list.push_back(lengths[static_cast<std::size_t>(k)].get());
  }
  for (AnalysisVariable* entry : list) entry->SetFlags(kListFlag);
}

void OptDefinition::BuildSchedule() {
  schedule.clear();
  const auto groups = static_cast<std::size_t>(elements_ > 0 ? elements_ : 1);
  schedule.resize(groups);
  for (std::size_t g = 0; g < groups; ++g) {
    schedule[g].element = elements_ > 0 ? static_cast<std::int32_t>(g) + 1 : 0;
  }
  const auto r = static_cast<std::int64_t>(constraints.size());
  if (r == 0) return;
  std::vector<std::int64_t> keys(constraints.size());
  std::vector<std::int64_t> order(constraints.size());
  for (std::size_t i = 0; i < constraints.size(); ++i) {
    keys[i] = constraints[i].element;
    order[i] = static_cast<std::int64_t>(i) + 1;
  }
  QsortIndexInt64(r, keys.data(), order.data());
  // Constraints not tied to an element are due at time 0, first in the
  // first group.
  std::vector<std::vector<std::int32_t>> members(groups);
  for (std::int64_t idx : order) {
    const OptConstraint& constraint = constraints[static_cast<std::size_t>(idx - 1)];
    const std::size_t g = constraint.element > 0 ? constraint.element - 1u : 0;
    members[g].push_back(static_cast<std::int32_t>(idx - 1));
  }
  for (std::size_t g = 0; g < groups; ++g) {
    const auto count = static_cast<std::int64_t>(members[g].size());
    if (count == 0) continue;
    std::vector<double> positions;
    std::vector<std::int64_t> within;
    for (std::int32_t i : members[g]) {
      const OptConstraint& constraint = constraints[static_cast<std::size_t>(i)];
      positions.push_back(constraint.element > 0 ? constraint.position : 0.0);
      within.push_back(static_cast<std::int64_t>(within.size()) + 1);
    }
    QsortIndexAbsReal(count, positions.data(), within.data());
    for (std::int64_t w : within) {
      const std::int32_t i = members[g][static_cast<std::size_t>(w - 1)];
      schedule[g].constraints.push_back(i);
      schedule[g].times.push_back(ConstraintTime(constraints[static_cast<std::size_t>(i)]));
    }
  }
}

void OptDefinition::Register(AnalysisServices& services, QLNSensitivityManager* sensitivities) {
  for (auto& pair : decision) {
    if (sensitivities != nullptr) sensitivities->AddParameter(pair.model);
  }
  for (auto& pair : initial) {
    if (sensitivities != nullptr) sensitivities->AddParameter(pair.model);
  }
  for (std::size_t i = 0; i < controls.size(); ++i) {
    AnalysisVariable* model = controls[i]->variable;
    model->SetFlags(kControlFlag);
    if (sensitivities != nullptr) sensitivities->AddParameterArray(model, values_per_control_);
    if (piecewise_linear) {
      links_.push_back(std::make_unique<InstalledDriver>());
      links_.back()->Install(services, model, ramps[i]);
    }
  }
  if (sensitivities != nullptr) {
    for (AnalysisVariable* objective : objectives) sensitivities->AddVariable(objective);
    if (moving_elements) sensitivities->SetNumMatrixRows(movable_);
    for (AnalysisVariable* variable : constrained) sensitivities->AddVariable(variable);
  }
}
