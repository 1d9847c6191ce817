#include "analysis/control_design/cdi_mgr.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "analysis/model/analysis_variable.h"
#include "framework/messaging/message.h"

namespace {

QLNCDIManager* g_cdi = nullptr;

constexpr double kMachinePrecision = 2.220446049250314e-16;

bool HasCode(Status s) { return (s & 0xFFFFu) != 0; }

}  // namespace

QLNCDIManager::~QLNCDIManager() = default;

QLNCDIManager* GetCDIManager() { return g_cdi; }

CDIManager::CDIManager(CdiServices& services)
    : services_(services), component_(std::make_unique<CDIcomponent>()) {
  g_cdi = this;
}

CDIManager::~CDIManager() {
  if (g_cdi == this) g_cdi = nullptr;
}

void CDIManager::VariableDeleted(AnalysisVariable* variable) {
  if (variable == nullptr) return;
  auto drop = [&](std::vector<Entry>& list, std::uint32_t flag) {
    if ((variable->GetFlags() & flag) == 0) return;
    auto it = std::find_if(list.begin(), list.end(),
                           [&](const Entry& e) { return e.variable == variable; });
    if (it == list.end()) return;
    list.erase(it);
    variable->ClearFlags(flag);
  };
  drop(inputs_, kInputFlag);
  drop(outputs_, kOutputFlag);
}

void CDIManager::ForgetVariable(AnalysisVariable* variable) {
  if (variable == nullptr) return;
  VariableDeleted(variable);
  bool changed = false;
  for (std::vector<Entry>* list : {&states_, &inputs_, &outputs_, &excluded_}) {
    const auto end = std::remove_if(list->begin(), list->end(),
                                    [&](const Entry& e) { return e.variable == variable; });
    changed = changed || end != list->end();
    list->erase(end, list->end());
  }
  // Its columns were counted among the others'.
  if (changed) object_.reset();
}

Status CDIManager::AttachProblem(const char*, const char*) {
  component_ = std::make_unique<CDIcomponent>();
  return status::kOk;
}

Status CDIManager::ProblemEdited() {
  Clear(true);
  component_ = std::make_unique<CDIcomponent>();
  return status::kOk;
}

Status CDIManager::DetachProblem(const char*, const char*) {
  Clear(false);
  return status::kOk;
}

void CDIManager::Clear(bool reset_flags) {
  component_.reset();
  object_.reset();
  if (reset_flags) {
    for (Entry& e : inputs_) e.variable->ClearFlags(kInputFlag);
    for (Entry& e : outputs_) e.variable->ClearFlags(kOutputFlag);
  }
  states_.clear();
  inputs_.clear();
  outputs_.clear();
  excluded_.clear();
  scale_.clear();
  options_ = 0;
}

Status CDIManager::HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                                 DseTemplate** kept) {
  if (request == nullptr || request->subtype != DseMessage::kRequest) {
    return DseServerCB::HandleRequest(type, request, reply, kept);
  }
  DseMessage* made = nullptr;
  const Status result = Serve(*request, &made);
  if (made != nullptr) {
    made->type = type;
    *reply = made;
  }
  return result;
}

Status CDIManager::Serve(BvuBinaryStream& body, DseMessage** reply) {
  std::uint16_t kind = 0;
  const Status read = body.GetUInt16(&kind);
  if (status::IsFailure(read)) return read;
  switch (kind) {
    case kSetUp:
      Clear(true);
      component_ = std::make_unique<CDIcomponent>();
      return SetUp(body);
    case kCompute: {
      if (services_.StepComputing()) return kBusy;
      const Status s = Compute();
      services_.FlushMessages();
      std::unique_ptr<DseMessage> out(DseMessage::DseMessageDefault());
      if (!out) return DseMessage::kNoMemory;
      out->PutUInt16(kReply);
      if (!status::IsFailure(s)) WriteReply(*out);
      *reply = out.release();
      return s;
    }
    case kClear:
      Clear(true);
      return status::kOk;
    default:
      return kUnknownKind;
  }
}

Status CDIManager::SetUp(BvuBinaryStream& body) {
  std::uint16_t options = 0;
  Status s = body.GetUInt16(&options);
  if (status::IsFailure(s)) return s;
  options_ = options;
  if (body.TryGet8(&drop_tolerance_) != 1) return kFailed;
  std::uint32_t counts[3] = {0, 0, 0};
  for (std::uint32_t& c : counts) {
    s = body.GetUInt32(&c);
    if (status::IsFailure(s)) return s;
    // The reply numbers rows and columns in 16 bits.
    if (c > 0xFFFFu) {
      services_.Print(kTooLarge, "The control design request lists more than 65535 variables");
      return kTooLarge;
    }
  }
  std::vector<Entry>* lists[3] = {&states_, &inputs_, &outputs_};
  const std::uint32_t flags[3] = {0, kInputFlag, kOutputFlag};
  for (int l = 0; l < 3; ++l) {
    for (std::uint32_t i = 0; i < counts[l]; ++i) {
      Entry e;
      s = services_.ReadVariableReference(body, &e.variable);
      if (status::IsFailure(s)) return s;
      if (e.variable == nullptr) return kFailed;
      if (body.TryGet8(&e.scale) != 1) return kFailed;
      if (flags[l] != 0) e.variable->SetFlags(flags[l]);
      lists[l]->push_back(e);
    }
  }
  if (options_ & kCdiStepResponse) {
    for (double& d : sr_d_)
      if (body.TryGet8(&d) != 1) return kFailed;
    for (std::uint16_t& u : sr_u_) {
      s = body.GetUInt16(&u);
      if (status::IsFailure(s)) return s;
    }
  }
  if (options_ & kCdiStm) {
    for (double& e : stm_e_)
      if (body.TryGet8(&e) != 1) return kFailed;
    std::uint32_t m = 0;
    s = body.GetUInt32(&m);
    if (status::IsFailure(s)) return s;
    for (std::uint32_t i = 0; i < m; ++i) {
      Entry e;
      s = services_.ReadVariableReference(body, &e.variable);
      if (status::IsFailure(s)) return s;
      if (e.variable == nullptr) return kFailed;
      excluded_.push_back(e);
    }
  }
  return status::kOk;
}

Status CDIManager::Compute() {
  const Status entered = services_.EnterLinearisationMode();
  if (status::IsFailure(entered)) return entered;
  bool created = false;
  const Status s = ComputeInner(&created);
  if (HasCode(entered)) services_.LeaveLinearisationMode();
  return s;
}

Status CDIManager::ComputeInner(bool* created) {
  if (component_ == nullptr) component_ = std::make_unique<CDIcomponent>();
  const std::int32_t print_level = services_.IntOption("PrintLevel");
  if (options_ & kCdiStepResponse) {
    // A settled count above the limit can never end early: the response
    // would run every interval for nothing.
    const std::int32_t settled = sr_u_[0] >= 1 ? sr_u_[0] : CDIcomponent::kDefaultSettled;
    const std::int32_t most = sr_u_[1] >= 1 ? sr_u_[1] : CDIcomponent::kDefaultMaxIntervals;
    if (settled > most) {
      char text[160];
      std::snprintf(text, sizeof text,
                    "The step response asks for %d settled intervals but allows at most %d "
                    "intervals",
                    settled, most);
      services_.Print(kFailed, text);
      return kFailed;
    }
  }
  if (object_ == nullptr) {
    const Status s = services_.CreateLinearisation(&object_);
    if (status::IsFailure(s)) return s;
    if (object_ == nullptr) return kFailed;
    *created = true;
    const auto& pattern = object_->PatternColumns();
    // States and outputs are read from the solution of the linearised
    // model: each must be one of its unknowns, not an input or outside.
    const std::int32_t unknowns = object_->NumVariables();
    for (auto [list, kind] : {std::pair{&states_, "state"}, std::pair{&outputs_, "output"}}) {
      for (Entry& e : *list) {
        e.column = object_->ColumnOf(e.variable);
        if (e.column >= 1 && e.column <= unknowns) continue;
        if (print_level > 0) {
          char text[512];
          std::snprintf(text, sizeof text,
                        "The selected CDI %s variable %s is not an unknown of the linearised model",
                        kind, e.variable->GetNameText(0));
          services_.Print(kFailed, text);
        }
        object_.reset();
        return kFailed;
      }
    }
    for (Entry& e : inputs_) {
      e.column = object_->ColumnOf(e.variable);
      if (e.column == 0 || std::find(pattern.begin(), pattern.end(), e.column) == pattern.end()) {
        if (print_level > 0) {
          char text[512];
          std::snprintf(text, sizeof text,
                        "The selected CDI input variable %s has no active derivatives",
                        e.variable->GetNameText(0));
          services_.Print(kFailed, text);
        }
        object_.reset();
        return kFailed;
      }
    }
  }
  // The scale vector reads one entry per state of the object, by position.
  if (static_cast<std::int32_t>(states_.size()) != object_->NumStates()) return kFailed;
  Status sized = CheckDenseSize(print_level);
  if (status::IsSuccess(sized)) sized = CheckWork(print_level);
  if (status::IsFailure(sized)) return sized;

  CdiJacobian jac;
  services_.RaiseDelayHold();
  const Status evaluated = object_->Evaluate(&jac);
  services_.LowerDelayHold();
  if (status::IsFailure(evaluated)) return evaluated;

  scale_.clear();
  for (const std::vector<Entry>* list : {&states_, &outputs_, &inputs_}) {
    for (const Entry& e : *list) {
      double factor = 1.0;
      e.variable->GetValueFactor(&factor);
      scale_.push_back(factor != 0.0 ? e.scale / factor : e.scale);
    }
  }
  time_ = services_.LastSolutionTime();

  if (options_ & kCdiStepResponse) {
    component_->SetStepResponseOptions(sr_u_[2], sr_u_[0], sr_u_[1], sr_d_[0], sr_d_[1], sr_d_[2],
                                       std::numeric_limits<double>::max() * 1e-05, sr_d_[3],
                                       sr_d_[4]);
  }
  if (options_ & kCdiStm) {
    std::vector<std::int32_t> cols;
    for (Entry& e : excluded_) {
      e.column = object_->ColumnOf(e.variable);
      cols.push_back(e.column);
    }
    component_->SetSTMOptions(stm_e_[0], stm_e_[1], stm_e_[2], cols.data(),
                              static_cast<std::int32_t>(cols.size()));
  }

  std::vector<std::int32_t> state_cols, input_cols, output_cols;
  for (const Entry& e : states_) state_cols.push_back(e.column);
  for (const Entry& e : inputs_) input_cols.push_back(e.column);
  for (const Entry& e : outputs_) output_cols.push_back(e.column);
  CdiComputeInput in;
  in.dyn_values = jac.dyn_values.data();
  in.dyn_rows = jac.dyn_rows.data();
  in.dyn_cols = jac.dyn_cols.data();
  in.dyn_count = static_cast<std::int64_t>(jac.dyn_values.size());
  in.ss_values = jac.ss_values.data();
  in.ss_rows = jac.ss_rows.data();
  in.ss_cols = jac.ss_cols.data();
  in.ss_count = static_cast<std::int64_t>(jac.ss_values.size());
  in.nvars = object_->NumVariables();
  in.nstates = object_->NumStates();
  in.nalgebraic = object_->NumAlgebraic();
  in.state_cols = state_cols.data();
  in.input_cols = input_cols.data();
  in.ninputs = static_cast<std::int32_t>(input_cols.size());
  in.output_cols = output_cols.data();
  in.noutputs = static_cast<std::int32_t>(output_cols.size());
  in.options = options_;
  in.linear_solver = services_.IntOption("LinearSolver");
  in.scale = scale_.data();
  in.scaling = true;
  in.drop_tolerance = drop_tolerance_;
  in.machine_precision = kMachinePrecision;
  in.print_level = print_level;
  in.new_pattern = *created;
  in.stop = [this] { return services_.StopRequested(); };
  component_->Compute(in);

  if (options_ & kCdiStepResponse) PrintStepResponse();
  return status::kOk;
}

// The dense work of a computation grows with products of the client's list
// lengths (one reference may be listed many times over); it is refused before
// anything is allocated.
Status CDIManager::CheckDenseSize(std::int32_t print_level) {
  const std::uint64_t ns = states_.size(), nin = inputs_.size(), nout = outputs_.size();
  std::uint64_t largest = 0;
  if (options_ & (kCdiG | kCdiRga | kCdiMri | kCdiNi)) largest = std::max({nout * nin, nin * nin});
  if (options_ & kCdiStepResponse) {
    // The component keeps its default of 1000 for a count of 0.
    const std::uint64_t intervals = sr_u_[1] != 0 ? sr_u_[1] : 1000;
    largest = std::max({largest, ns * nin, nout * nin * intervals});
  }
  if (largest <= kMaxDenseEntries) return status::kOk;
  if (print_level > 0) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "The control design request needs %llu dense entries, more than the %llu "
                  "allowed; select fewer inputs, outputs or intervals",
                  static_cast<unsigned long long>(largest),
                  static_cast<unsigned long long>(kMaxDenseEntries));
    services_.Print(kTooLarge, text);
  }
  return kTooLarge;
}

// The steps the request asks for are the client's to choose (2^32 from
// three counts): work beyond the bound is refused before it starts, and
// what is allowed may still be stopped as it runs.
Status CDIManager::CheckWork(std::int32_t print_level) {
  const double ns = static_cast<double>(states_.size()), nin = static_cast<double>(inputs_.size());
  double solves = 0.0;
  const char* what = "";
  if (options_ & kCdiStepResponse) {
    // The component's defaults for counts of 0.
    const double steps = sr_u_[2] >= 1 ? sr_u_[2] : CDIcomponent::kDefaultStepsPerInterval;
    const double most = sr_u_[1] >= 1 ? sr_u_[1] : CDIcomponent::kDefaultMaxIntervals;
    solves = steps * most * nin;
    what = "step response";
  }
  if (options_ & kCdiStm) {
    // A negative time or step takes the component's default.
    const double total = stm_e_[0] < 0.0 ? 10.0 : stm_e_[0];
    const double step = stm_e_[1] < 0.0 ? total / 10.0 : stm_e_[1];
    // A zero step never ends; NaN takes no step.
    const double steps = total > 0.0 ? (step > 0.0 ? std::ceil(total / step) : INFINITY) : 0.0;
    if (steps * ns > solves) {
      solves = steps * ns;
      what = "state transition matrix";
    }
  }
  if (!(solves > static_cast<double>(kMaxSolves))) return status::kOk;
  if (print_level > 0) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "The control design request's %s needs %.4g solves, more than the %llu "
                  "allowed; ask for fewer steps or intervals",
                  what, solves, static_cast<unsigned long long>(kMaxSolves));
    services_.Print(kTooLong, text);
  }
  return kTooLong;
}

void CDIManager::PrintStepResponse() {
  std::vector<double> y;
  std::int32_t n = 0;
  double final_time = 0.0;
  std::vector<std::int32_t> ramp;
  const std::int32_t pl = services_.IntOption("PrintLevel");
  if (component_->GetStepResponse(&y, &n, &final_time, &ramp) != 0) {
    services_.Print(0, "The step response could not be generated for the following reason:");
    services_.Print(0,
                    "The state-space matrices could not be generated (your model may not contain "
                    "any state variables.");
    return;
  }
  char text[512];
  const std::size_t nin = inputs_.size();
  if (pl > 2) {
    for (std::size_t k = 0; k < outputs_.size(); ++k) {
      for (std::size_t j = 0; j < nin; ++j) {
        // Names are built in one shared buffer: the first is kept before the
        // second is asked for.
        const std::string output = outputs_[k].variable->GetNameText(0);
        std::snprintf(text, sizeof text, "Response of output %s wrt input %s", output.c_str(),
                      inputs_[j].variable->GetNameText(0));
        services_.Print(0, text);
        for (std::int32_t t = 0; t < n; ++t) {
          std::snprintf(text, sizeof text, " interval %d    %14.6e", t + 1,
                        y[(k * nin + j) * static_cast<std::size_t>(n) + t]);
          services_.Print(0, text);
        }
      }
    }
  }
  if (pl > 1) {
    for (std::size_t k = 0; k < outputs_.size() && k < ramp.size(); ++k) {
      if (ramp[k] == 0) continue;
      std::snprintf(text, sizeof text, "Ramping detected for variable %s",
                    outputs_[k].variable->GetNameText(0));
      services_.Print(0, text);
    }
  }
}

Status CDIManager::WriteReply(BvuBinaryStream& out) {
  out.PutUInt16(static_cast<std::uint16_t>(object_ != nullptr ? object_->NumStates() : 0));
  out.PutUInt16(static_cast<std::uint16_t>(inputs_.size()));
  out.PutUInt16(static_cast<std::uint16_t>(outputs_.size()));
  for (std::int32_t bit : {kCdiA, kCdiB, kCdiC, kCdiD, kCdiG, kCdiRga, kCdiStm}) {
    if ((options_ & bit) == 0) continue;
    out.PutUInt16(static_cast<std::uint16_t>(bit));
    std::vector<double> v;
    std::vector<std::int32_t> r, c;
    std::int32_t count = 0, st = 0;
    component_->GetMatrix(bit, &v, &r, &c, &count, &st);
    if (st == 0 || st == kCdiIndeterminate) {
      out.PutUInt32(static_cast<std::uint32_t>(count));
      for (std::int32_t e = 0; e < count; ++e) {
        out.PutDouble(v[e]);
        out.PutUInt16(static_cast<std::uint16_t>(r[e]));
        out.PutUInt16(static_cast<std::uint16_t>(c[e]));
      }
    } else {
      out.PutUInt32(static_cast<std::uint32_t>(st));
    }
  }
  if (options_ & kCdiMri) {
    out.PutUInt16(kCdiMri);
    double mri = 0.0;
    if (component_->GetMRI(&mri) == 0) {
      out.PutUInt16(1);
      out.PutDouble(mri);
    } else {
      out.PutUInt16(0);
    }
  }
  if (options_ & kCdiNi) {
    out.PutUInt16(kCdiNi);
    double ni = 0.0;
    if (component_->GetNI(&ni) == 0) {
      out.PutUInt16(1);
      out.PutDouble(ni);
    } else {
      out.PutUInt16(0);
    }
  }
  out.PutUInt16(0xFFFF);
  out.PutDouble(time_);
  for (const std::vector<Entry>* list : {&inputs_, &outputs_, &states_}) {
    for (const Entry& e : *list) {
      double value = 0.0;
      e.variable->GetValue(&value);
      out.PutString(e.variable->GetNameText(0));
      out.PutDouble(value * e.scale);
    }
  }
  if ((options_ & kCdiStm) && !excluded_.empty()) {
    for (const Entry& e : states_) {
      const bool excluded = std::any_of(excluded_.begin(), excluded_.end(),
                                        [&](const Entry& x) { return x.variable == e.variable; });
      if (excluded) continue;
      double value = 0.0;
      e.variable->GetValue(&value);
      out.PutString(e.variable->GetNameText(0));
      out.PutDouble(value / e.scale);
    }
  }
  if (options_ & kCdiStepResponse) {
    std::vector<double> y;
    std::int32_t n = 0;
    double final_time = 0.0;
    std::vector<std::int32_t> ramp;
    const std::int32_t st = component_->GetStepResponse(&y, &n, &final_time, &ramp);
    out.PutUInt16(static_cast<std::uint16_t>(st));
    if (st == 0) {
      out.PutUInt16(static_cast<std::uint16_t>(n));
      for (std::size_t k = 0; k < outputs_.size(); ++k)
        out.PutUInt16(static_cast<std::uint16_t>(k < ramp.size() ? ramp[k] : 0));
      out.PutDouble(final_time);
      for (double v : y) out.PutDouble(v);
    }
  }
  out.PutUInt16(0xFFFF);
  return status::kOk;
}
