// Test doubles of the optimisation manager's surroundings: a writer of
// kind-76 definitions, the run services, a sensitivity manager that answers
// known sensitivities and records registrations, and scripted run objects.
// Shared by the optimisation tests and the service-112 fuzz target.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "analysis/optimisation/opt_manager.h"
#include "analysis/sensitivity/sensitivity_manager.h"
#include "framework/messaging/message.h"
#include "tests/analysis/analysis_fakes.h"
#include "tests/analysis/body_writer.h"
#include "tests/framework/message_helpers.h"

namespace analysis_fakes {

// A kind-76 body; variable paths are the fake services' u32 ids.
struct OptDefinitionRecord {
  struct Paired {
    std::uint32_t id;
    double lower, upper, value;
  };
  struct Control {
    std::uint32_t id;
    double max_move;
    std::vector<double> values;
    std::vector<std::pair<double, double>> bounds;
  };
  struct Constraint {
    std::uint16_t element;
    double position;
    std::uint16_t kind;
    double bound;
  };
  struct Constrained {
    std::uint32_t id;
    std::vector<Constraint> constraints;
  };
  std::uint8_t dynamic = 1;
  double final_time = 1.0;
  std::vector<double> interior;  // N - 1 times
  std::uint16_t n = 0;
  std::uint8_t final_free = 0, moving = 0, individual = 0, minimise_final = 0, linear = 0;
  double final_lower = 0.0, final_upper = 10.0;
  std::vector<std::pair<double, double>> length_bounds;  // N
  std::vector<Paired> decision, initial;
  std::vector<Control> controls;
  std::vector<std::uint32_t> objectives;
  std::vector<Constrained> constrained;
  std::uint16_t equalities = 0;
  // -1: the number of records written.
  std::int32_t declared_records = -1;

  BodyWriter Body(bool with_kind = true) const {
    BodyWriter w;
    if (with_kind) w.U16(OptimisationMgr::kDefine);
    w.U8(dynamic).F64(final_time).U16(n);
    if (n > 0 && final_time != 0.0) {
      for (double t : interior) w.F64(t);
    }
    w.U8(final_free).U8(moving).U8(individual).U8(minimise_final).U8(linear);
    w.F64(final_lower).F64(final_upper);
    for (const auto& [lo, up] : length_bounds) w.F64(lo).F64(up);
    for (const auto* list : {&decision, &initial}) {
      w.U16(static_cast<std::uint16_t>(list->size()));
      for (const Paired& p : *list) w.U32(p.id).F64(p.lower).F64(p.upper).F64(p.value);
    }
    w.U16(static_cast<std::uint16_t>(controls.size()));
    for (const Control& c : controls) {
      w.U32(c.id).F64(c.max_move);
      for (double v : c.values) w.F64(v);
      for (const auto& [lo, up] : c.bounds) w.F64(lo).F64(up);
    }
    w.U16(static_cast<std::uint16_t>(objectives.size()));
    for (std::uint32_t id : objectives) w.U32(id);
    std::size_t records = 0;
    for (const Constrained& c : constrained) records += c.constraints.size();
    w.U16(static_cast<std::uint16_t>(constrained.size())).U16(equalities);
    w.U16(static_cast<std::uint16_t>(declared_records < 0 ? records : declared_records));
    for (const Constrained& c : constrained) {
      w.U32(c.id).U16(static_cast<std::uint16_t>(c.constraints.size()));
      for (const Constraint& k : c.constraints) {
        w.U16(k.element).F64(k.position).U16(k.kind);
        if (k.kind >= 2) w.F64(k.bound);
      }
    }
    w.U16(0xFFFF);
    return w;
  }
};

// Records what the manager and its action ask of the run.
class FakeOptRun : public OptimisationRunServices {
 public:
  std::int32_t HookPoint() override { return hook; }
  void ClearRunFlags(std::uint32_t flags) override { log.push_back("ClearRunFlags " + Hex(flags)); }
  void SetRunValue(double value) override { log.push_back("SetRunValue " + Num(value)); }
  Status IntegratorStatus() override { return integrator_status; }
  double CurrentTime() override { return now; }
  Status StopIntegratorAt(double time) override {
    log.push_back("Stop " + Num(time));
    return 0;
  }
  Status RestartIntegration() override {
    log.push_back("Restart");
    return 0;
  }
  Status ScheduleEvent(std::uint32_t code, double time, double tolerance) override {
    log.push_back("Event " + Hex(code) + " " + Num(time) + " " + Num(tolerance));
    return 0;
  }
  double ExplicitEventTolerance() override { return event_tolerance; }
  Status TakeNamedSnapshot(const char* name, std::int32_t* id) override {
    log.push_back(std::string("Snapshot ") + name);
    *id = 7;
    return 0;
  }
  Status RestoreSnapshot(std::int32_t id) override {
    log.push_back("Restore " + std::to_string(id));
    return 0;
  }
  OptRunSettings GetRunSettings() override { return settings; }
  void WritePendingRunSettings(const OptRunSettings& s) override { pending.push_back(s); }
  void ClearPendingRunSettings() override { ++pending_clears; }
  void SetRefreshFlag() override { ++refreshes; }
  void ChangeHoldCount(bool raise) override { hold += raise ? 1 : -1; }
  Status Send(DseMessage* message) override {
    sent.emplace_back(message);
    return 0;
  }

  static std::string Hex(std::uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%X", v);
    return b;
  }
  static std::string Num(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%g", v);
    return b;
  }

  std::int32_t hook = 5;
  Status integrator_status = 0;
  double now = 0.0;
  double event_tolerance = 1e-5;
  OptRunSettings settings{0x1122334455667788ull, 0x99};
  std::vector<OptRunSettings> pending;
  std::vector<std::string> log;
  std::vector<std::unique_ptr<DseMessage>> sent;
  int pending_clears = 0;
  int refreshes = 0;
  int hold = 0;
};

// Registrations as calls; d(variable)/d(parameter, element) =
// variable id + parameter id / 100 + element / 1000; switch rows 0.5 + row.
class FakeSensitivities : public QLNSensitivityManager {
 public:
  FakeSensitivities() : previous_(GetSensitivityManager()) { SetSensitivityManager(this); }
  ~FakeSensitivities() override { SetSensitivityManager(previous_); }
  void Enable() override { log.push_back("Enable"); }
  void Disable() override { log.push_back("Disable"); }
  std::int32_t GetNumParameterElements() override { return 0; }
  std::int32_t GetNumParameters() override { return 0; }
  std::int32_t GetNumMatrixRows() override { return 0; }
  std::int32_t GetNumVariables() override { return 0; }
  Status AddParameter(AnalysisVariable* p) override {
    log.push_back(std::string("AddParameter ") + p->GetNameText(0));
    return 0;
  }
  Status AddParameterArray(AnalysisVariable* p, std::int32_t elements) override {
    log.push_back(std::string("AddParameterArray ") + p->GetNameText(0) + " " +
                  std::to_string(elements));
    return 0;
  }
  Status AddVariable(AnalysisVariable* v) override {
    log.push_back(std::string("AddVariable ") + v->GetNameText(0));
    return 0;
  }
  Status SetNumMatrixRows(std::int32_t rows) override {
    log.push_back("SetNumMatrixRows " + std::to_string(rows));
    return 0;
  }
  AnalysisVariable* GetParameter(std::int32_t) override { return nullptr; }
  AnalysisVariable* GetVariable(std::int32_t) override { return nullptr; }
  Status SetSensitivity(AnalysisVariable*, AnalysisVariable*, double, std::int32_t) override {
    return 0;
  }
  Status GetSensitivity(AnalysisVariable* p, AnalysisVariable* v, double* value,
                        std::int32_t element, bool, bool) override {
    *value = v->Id() + p->Id() / 100.0 + element / 1000.0;
    return 0;
  }
  Status SetSwitchTimeSensitivity(std::int32_t, AnalysisVariable*, double) override { return 0; }
  Status GetSwitchTimeSensitivity(std::int32_t row, AnalysisVariable*, double* value,
                                  bool) override {
    *value = 0.5 + row;
    return 0;
  }
  Status AllocateMatrix() override { return 0; }
  std::int32_t IsActiveFor(std::int32_t) override { return 0; }
  std::int32_t IsActive() override { return 0; }
  Status GetDelayedSensitivity(AnalysisVariable*, AnalysisVariable*, double, double*) override {
    return 0;
  }
  Status RecordDelayedSensitivity(AnalysisVariable*, AnalysisVariable*, double, double) override {
    return 0;
  }

  std::vector<std::string> log;

 private:
  QLNSensitivityManager* previous_;
};

// Answers the scripted results in turn (then `final_answer`), recording
// each call's code and values; an answer >= 1 with `reply` set asks for a
// reply.
class FakeReducedRun : public OptReducedRun {
 public:
  struct Call {
    std::int32_t code;
    std::vector<double> values;
    std::vector<double> gradients;
  };
  FakeReducedRun(OptRunHost& host, std::vector<std::int32_t>* answers, std::vector<Call>* calls,
                 bool reply)
      : host_(host), answers_(answers), calls_(calls), reply_(reply) {}
  std::int32_t Step(std::int32_t code, const double* values, const double* gradients,
                    std::int32_t* reply, DseMessage*) override {
    const OptDefinition& d = host_.Definition();
    const auto rows = static_cast<std::size_t>(d.K() + d.R());
    Call call{code, {}, {}};
    if (values != nullptr) call.values.assign(values, values + rows);
    if (gradients != nullptr) call.gradients.assign(gradients, gradients + rows * d.P());
    calls_->push_back(call);
    std::int32_t answer = 0;
    if (!answers_->empty()) {
      answer = answers_->front();
      answers_->erase(answers_->begin());
    }
    if (answer >= 1 && reply_) {
      *reply = 1;
      host_.SetResult(true, static_cast<std::int32_t>(calls_->size()), 1.5);
    }
    return answer;
  }

 private:
  OptRunHost& host_;
  std::vector<std::int32_t>* answers_;
  std::vector<Call>* calls_;
  bool reply_;
};

class FakeFullSpaceRun : public OptFullSpaceRun {
 public:
  explicit FakeFullSpaceRun(std::vector<Status>* answers) : answers_(answers) {}
  Status Pass(std::int32_t) override {
    if (answers_->empty()) return 0;
    const Status s = answers_->front();
    answers_->erase(answers_->begin());
    return s;
  }
  Status GetMultipliers(AnalysisVariable*, double* upper, double* lower) override {
    *upper = 4.0;
    *lower = 3.0;
    return 0;
  }

 private:
  std::vector<Status>* answers_;
};

class FakeRunFactory : public OptRunFactory {
 public:
  std::unique_ptr<OptReducedRun> MakeReduced(OptRunHost& host) override {
    ++reduced_made;
    return std::make_unique<FakeReducedRun>(host, &answers, &calls, reply);
  }
  std::unique_ptr<OptFullSpaceRun> MakeFullSpace(OptRunHost&) override {
    ++full_made;
    return std::make_unique<FakeFullSpaceRun>(&full_answers);
  }
  std::vector<std::int32_t> answers;
  std::vector<FakeReducedRun::Call> calls;
  std::vector<Status> full_answers;
  bool reply = true;
  int reduced_made = 0;
  int full_made = 0;
};

// The bytes of a message written here, as a peer reads its body.
inline std::vector<std::uint8_t> BodyBytes(DseMessage& message) {
  testsupport::ReadAsWritten(message);
  std::vector<std::uint8_t> bytes;
  std::uint8_t b = 0;
  while (message.GetUInt8(&b) == 0) bytes.push_back(b);
  return bytes;
}

}  // namespace analysis_fakes
