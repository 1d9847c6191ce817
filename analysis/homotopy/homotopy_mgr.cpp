#include "analysis/homotopy/homotopy_mgr.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <new>

#include "analysis/model/analysis_variable.h"
#include "framework/messaging/message.h"
#include "solve/options/option_descriptors.h"

namespace {

QLNHomotopyManager* g_homotopy = nullptr;

constexpr double kMachinePrecision = 2.220446049250314e-16;
// A parameter this close to 1 is the end of the homotopy.
constexpr double kAtTarget = 1e-10;

std::string Format(const char* format, double a) {
  char text[256];
  std::snprintf(text, sizeof text, format, a);
  return text;
}

}  // namespace

QLNHomotopyManager::~QLNHomotopyManager() = default;

QLNHomotopyManager* GetHomotopyManager() { return g_homotopy; }

HomotopyMgr::HomotopyMgr(HomotopyServices& services)
    : SimSingleAction(kActionName), services_(services) {
  hook_modes.fill(kNotHooked);
  for (std::size_t point : {3u, 5u, 6u, 7u, 8u}) hook_modes[point] = 1;
  services_.RegisterActionFactory(this);
  g_homotopy = this;
  SetProcessHomotopy(this);
}

HomotopyMgr::~HomotopyMgr() {
  if (g_homotopy == this) g_homotopy = nullptr;
  if (ProcessHomotopy() == this) SetProcessHomotopy(nullptr);
}

Status HomotopyMgr::SetValue(std::int32_t index, double value) {
  if (index < 0 || index >= n_ || variables_[static_cast<std::size_t>(index)] == nullptr) {
    return kFailed;
  }
  return variables_[static_cast<std::size_t>(index)]->SetValue(value);
}

Status HomotopyMgr::Evaluate() {
  Status unreadable = 0;
  for (std::int32_t i = 0; i < n_; ++i) {
    double value = 0.0;
    AnalysisVariable* v = variables_[static_cast<std::size_t>(i)];
    if (v == nullptr || status::IsFailure(v->GetValue(&value)) || !std::isfinite(value)) {
      ++unreadable;
    }
  }
  return unreadable;
}

double HomotopyMgr::Value(std::int32_t index) {
  double value = 0.0;
  if (index >= 0 && index < n_ && variables_[static_cast<std::size_t>(index)] != nullptr &&
      status::IsFailure(variables_[static_cast<std::size_t>(index)]->GetValue(&value))) {
    value = 0.0;
  }
  return value;
}

const char* HomotopyMgr::Name(std::int32_t index) {
  if (index < 0 || index >= n_ || variables_[static_cast<std::size_t>(index)] == nullptr) {
    return "";
  }
  return variables_[static_cast<std::size_t>(index)]->GetNameText(0);
}

void HomotopyMgr::ResetLists() {
  n_ = 0;
  stage_ = 0;
  requested_ = 0;
  variables_.clear();
  start_.clear();
  target_.clear();
  spare_.clear();
}

void HomotopyMgr::ForgetVariable(AnalysisVariable* variable) {
  for (std::size_t k = variables_.size(); k-- > 0;) {
    if (variables_[k] != variable) continue;
    const auto at = static_cast<std::ptrdiff_t>(k);
    variables_.erase(variables_.begin() + at);
    for (std::vector<double>* values : {&start_, &target_, &spare_}) {
      if (k < values->size()) values->erase(values->begin() + at);
    }
    --n_;
  }
}

Status HomotopyMgr::ProblemEdited() {
  ResetLists();
  return status::kOk;
}

Status HomotopyMgr::DetachProblem(const char*, const char*) {
  ResetLists();
  return status::kOk;
}

Status HomotopyMgr::GetStartValues(double* start) {
  std::copy(start_.begin(), start_.end(), start);
  return status::kOk;
}

Status HomotopyMgr::GetCurrentAndTargetValues(double* current, double* target) {
  for (std::int32_t i = 0; i < n_; ++i) {
    double value = 0.0;
    if (variables_[i] != nullptr) variables_[i]->GetValue(&value);
    current[i] = value;
  }
  std::copy(target_.begin(), target_.end(), target);
  return status::kOk;
}

Status HomotopyMgr::HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
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

Status HomotopyMgr::Serve(BvuBinaryStream& body, DseMessage** reply) {
  std::uint16_t kind = 0;
  const Status read = body.GetUInt16(&kind);
  if (status::IsFailure(read)) return read;
  switch (kind) {
    case kSetUp:
      return SetUp(body);
    case kStart: {
      requested_ = 1;
      const std::int32_t mode = services_.IntOption("RunMode");
      Status s = status::kOk;
      if (mode == 1 || mode == 5) {
        action_ = nullptr;
        s = services_.CreateAction(kActionName, &action_);
        action_created_ = 1;
      }
      services_.SetSnapshotFlags(kSnapshotFlag);
      return status::IsFailure(s) ? s : status::kOk;
    }
    case kStop:
      requested_ = 0;
      if (action_created_ != 0) {
        services_.RemoveAction(action_ != nullptr ? action_ : static_cast<NewSimAction*>(this));
        services_.ClearSnapshotFlags(kSnapshotFlag);
        action_created_ = 0;
        action_ = nullptr;
      }
      return status::kOk;
    case kLambda: {
      std::unique_ptr<DseMessage> out(DseMessage::DseMessageDefault());
      if (!out) return DseMessage::kNoMemory;
      out->PutUInt16(kLambda);
      out->PutDouble(lambda_);
      *reply = out.release();
      return status::kOk;
    }
    default:
      return kUnknownKind;
  }
}

// An entry whose reference does not resolve refuses the whole set-up: a run
// over a hole in the list would move nothing for that target.
Status HomotopyMgr::SetUp(BvuBinaryStream& body) {
  stage_ = 0;
  converged_ = 0;
  std::uint16_t count = 0;
  Status s = body.GetUInt16(&count);
  if (status::IsFailure(s)) {
    ResetLists();
    return s;
  }
  // The lists grow with the entries read: the count is the peer's word, and
  // a short body must not cost four arrays of its size.
  n_ = 0;
  variables_.clear();
  start_.clear();
  target_.clear();
  spare_.clear();
  for (std::uint32_t i = 0; i < count; ++i) {
    AnalysisVariable* variable = nullptr;
    s = services_.ReadVariableReference(body, &variable);
    if (status::IsFailure(s) || variable == nullptr) {
      ResetLists();
      return status::IsFailure(s) ? s : kFailed;
    }
    double target = 0.0;
    if (body.TryGet8(&target) != 1) {
      ResetLists();
      return 0x8000FFFFu;
    }
    try {
      variables_.push_back(variable);
      target_.push_back(target);
    } catch (const std::bad_alloc&) {
      ResetLists();
      return kNoMemory;
    }
  }
  try {
    start_.assign(variables_.size(), 0.0);
    spare_.assign(variables_.size(), 0.0);
  } catch (const std::bad_alloc&) {
    ResetLists();
    return kNoMemory;
  }
  n_ = static_cast<std::int32_t>(variables_.size());
  return status::kOk;
}

bool HomotopyMgr::Printing() { return services_.IntOption("PrintLevel") > 0; }

// Below 1 the factor would shrink every converged step instead of growing it.
std::int32_t HomotopyMgr::StepIncrement() {
  constexpr std::int32_t kStepIncrementOption = 95;
  const std::int32_t stored = services_.IntOption("Homotopy.StepIncrement");
  if (stored >= 1) return stored;
  TellOptionNotUsed("homotopy", kStepIncrementOption, stored, "1");
  return 1;
}

void HomotopyMgr::Say(const std::string& text, Status status) {
  if (Printing()) services_.Print(status, text);
}

void HomotopyMgr::ApplyValues(bool print) {
  // Steps summed to 1 can fall an ulp short: the last solve is at the
  // target the client gave, not beside it.
  if (std::fabs(lambda_ - 1.0) <= kAtTarget) lambda_ = 1.0;
  for (std::int32_t i = 0; i < n_; ++i) {
    variables_[i]->SetValue(lambda_ == 1.0 ? target_[i]
                                           : start_[i] + lambda_ * (target_[i] - start_[i]));
  }
  if (!print || !Printing()) return;
  char text[256];
  std::snprintf(text, sizeof text, "Best parameter = %g, current value = %g, step = %g\n",
                lambda_best_, lambda_, step_);
  services_.Print(0, text);
  services_.Print(0, "Homotopy variables at the next step will have values:\n");
  for (std::int32_t i = 0; i < n_; ++i) {
    double value = 0.0;
    variables_[i]->GetValue(&value);
    std::snprintf(text, sizeof text, "%s  = %g", variables_[i]->GetNameText(0), value);
    services_.Print(0, text);
  }
}

Status HomotopyMgr::Execute(std::int32_t* request, SimActionControl* element,
                            const SimExplicitEvent*) {
  if (element != nullptr) element->state = 1;
  std::int32_t next = 0;
  const Status result = RunHook(services_.CurrentHookPoint(), &next);
  if (request != nullptr) *request = next;
  if (element != nullptr) element->state = SimActionControl::kDone;
  return result;
}

Status HomotopyMgr::RunHook(std::int32_t hook, std::int32_t* next) {
  switch (hook) {
    case 3:
      if (stage_ == 0) {
        Say("Could not solve your problem at the initial specification\n", kFailed);
        // Hook 5/7 entered nested mode at stage 0; leaving it here is what
        // lets error reporting come back on.
        services_.LeaveNestedMode();
        services_.SetErrorReporting(true);
        *next = kGiveUp;
        return kFailed;
      }
      converged_ = 0;
      ++stage_;
      *next = kSolveAfterFailure;
      Say(Format("Unsuccessful convergence, homotopy parameter = %g\n", lambda_));
      ApplyValues(true);
      return status::kOk;

    case 5:
    case 7:
      if (stage_ == 0) {
        services_.SetErrorReporting(false);
        services_.EnterNestedMode();
        if (Printing()) {
          char text[512];
          std::snprintf(text, sizeof text,
                        "Homotopy parameters are as follows:\n"
                        "Initial homotopy step...........:%g\n"
                        "Maximum homotopy step...........:%g\n"
                        "Minimum homotopy step...........:%g\n"
                        "Step size increment factor......:%g\n"
                        "Step size decrement factor......:%g\n",
                        services_.DoubleOption("Homotopy.InitialStep"),
                        services_.DoubleOption("Homotopy.MaximumStep"),
                        services_.DoubleOption("Homotopy.MinimumStep"),
                        static_cast<double>(StepIncrement()),
                        services_.DoubleOption("Homotopy.StepDecrement"));
          services_.Print(0, text);
        }
        lambda_ = lambda_best_ = step_ = 0.0;
        return status::kOk;
      }
      if (stage_ == 1) {
        step_ = lambda_ = services_.DoubleOption("Homotopy.InitialStep");
        services_.RaiseRunRequest(kRunRequestBit);
        ApplyValues(true);
        return status::kOk;
      }
      if (failed_ != 0) return status::kOk;
      if (converged_ != 0) {
        if (best_snapshot_ != -1) services_.DeleteSnapshot(best_snapshot_);
        best_snapshot_ = -1;
        services_.TakeNamedSnapshot("Homotopy Best Step", true, &best_snapshot_);
        std::int32_t k = services_.MaxBlockIterations();
        if (k < 1) k = 1;
        last_iterations_ = k;
        step_ = StepIncrement() * step_ / k;
        step_ = std::max(step_, services_.DoubleOption("Homotopy.MinimumStep"));
        step_ = std::min(step_, services_.DoubleOption("Homotopy.MaximumStep"));
        if (lambda_ + step_ > 1.0) step_ = 1.0 - lambda_;
        lambda_ += step_;
        services_.RaiseRunRequest(kRunRequestBit);
        ApplyValues(true);
        return status::kOk;
      }
      {
        if (best_snapshot_ != -1) {
          double time = 0.0;
          services_.RestoreSnapshot(best_snapshot_, &time);
          services_.SetCurrentTime(time);
          if (services_.HasVariableDrivers()) services_.ApplyVariableDrivers(time);
          services_.SetCurrentSolutionTimeRecord(saved_time_, saved_flag_);
        }
        const double minimum = services_.DoubleOption("Homotopy.MinimumStep");
        const double m = std::max(minimum, step_);
        step_ = std::max(minimum, services_.DoubleOption("Homotopy.StepDecrement") * step_);
        if (step_ <= kMachinePrecision || step_ == m) {
          Say(Format("Homotopy failed:  Cannot reduce step size any further.\nSolution returned "
                     "to the best point at parameter value %g.",
                     lambda_best_),
              kCannotReduce);
          stage_ = 0;
          converged_ = 0;
          lambda_ = lambda_best_;
          ApplyValues(false);
          services_.RaiseRunRequest(kRunRequestBit);
          failed_ = 1;
          return status::kOk;
        }
        Say("Convergence failure:  Return to best point and cut step\n");
        lambda_ = lambda_best_ + step_;
        services_.RaiseRunRequest(kRunRequestBit);
        ApplyValues(true);
        return status::kOk;
      }

    case 6:
    case 8: {
      if (failed_ != 0) {
        services_.SetErrorReporting(true);
        services_.LeaveNestedMode();
        failed_ = 0;
        *next = kFinished;
        return kFailed;
      }
      converged_ = 1;
      services_.GetLastSolutionTimeRecord(&saved_time_, &saved_flag_);
      lambda_best_ = lambda_;
      services_.SetCurrentSolutionTimeFlag(lambda_ > 0.0 ? 1 : 0);
      bool quiet_end = false;
      if (stage_ == 0) {
        stage_ = 1;
        Say("Solved for initial specification...\n");
        if (n_ == 0) {
          services_.Print(kNothingToDo,
                          "No homotopy variables have been provided.\nNo homotopy will be "
                          "performed.\n");
          *next = kFinished;
          stage_ = 0;
          converged_ = 0;
          quiet_end = true;
        } else {
          double d = 0.0;
          for (std::int32_t i = 0; i < n_; ++i) {
            double value = 0.0;
            variables_[i]->GetValue(&value);
            start_[i] = value;
            d = std::max(d, std::fabs(start_[i] - target_[i]));
          }
          if (d > 1e-14) {
            *next = kSolveNext;
          } else {
            *next = kFinished;
            stage_ = 0;
            converged_ = 0;
            services_.Print(kNothingToDo,
                            "The current and target specifications are identical.\nNo homotopy "
                            "will be performed.\n");
            quiet_end = true;
          }
        }
      } else if (std::fabs(lambda_ - 1.0) > kAtTarget) {
        Say(Format("Successful convergence, homotopy parameter = %g\n", lambda_));
        ++stage_;
        *next = kSolveNext;
      } else {
        Say("Steady state solution obtained for target specification\n");
        stage_ = 0;
        converged_ = 0;
        services_.LeaveNestedMode();
        if (best_snapshot_ != -1) services_.DeleteSnapshot(best_snapshot_);
        best_snapshot_ = -1;
        services_.TakeProblemSnapshot("Homotopy Result");
        *next = kFinished;
        services_.SetErrorReporting(true);
      }
      if (!quiet_end) {
        char text[96];
        std::snprintf(text, sizeof text, "Maximum number of iterations over all blocks = %2d \n",
                      last_iterations_);
        services_.Print(0, text);
      }
      return status::kOk;
    }

    default:
      *next = kGiveUp;
      return kBadHook;
  }
}
