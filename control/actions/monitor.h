// Monitors (the client's tasks): actions that watch a run and tell the
// client when a time is reached, a number of communication points has
// passed, a logical expression becomes true, or a ramp of a fixed variable
// ends. A firing monitor sends its creation request again with its handle,
// the client's tags and optionally variable values, and holds the run at its
// hook point until the client replies; the reply says whether it arms again
// and which follow-on the control loop takes. The factory "Monitor" makes
// them from service-67 requests. Server thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "control/actions/action_mgr.h"
#include "foundation/directory/id_path.h"
#include "foundation/interfaces/variable_drivers.h"
#include "foundation/values/typed_value.h"
#include "framework/messaging/message.h"
#include "platform/guid.h"

class DAESVarTableEntry;
class Expression;
class QLNImplicitEvent;
class SimExtImplicitEvent;
class ExpressionVariable;
class SimMonitorContext;
class SimMonitorVariable;

namespace monitor_status {
inline constexpr Status kFailed = 0x8000FFFFu;
inline constexpr Status kBadRamp = 0x8032FFFFu;
inline constexpr Status kRampIgnored = 0xA032FFFFu;
inline constexpr Status kUnknownName = 0x00320019u;
inline constexpr Status kQuiet = 0x00320000u;
inline constexpr Status kTimePassed = 10;
}  // namespace monitor_status

// What monitors need of the problem manager; the default asks the one
// problem manager of the process, tests put their own here.
class SimMonitorServices {
 public:
  virtual double CurrentTime() = 0;
  virtual double EventTolerance() = 0;
  // The earliest time a late time monitor may still fire at.
  virtual double LowerTimeBound() = 0;
  // A timed event; *handle gets the event that holds it.
  virtual Status ScheduleEvent(std::uint32_t kind, double time, std::uint64_t* handle) = 0;
  // The variable a path or a full name names, and its node kind; null when
  // nothing is there.
  virtual DAESVarTableEntry* FindById(const BvuIdPath& path, std::int32_t* kind) = 0;
  virtual DAESVarTableEntry* FindByName(const char* name, std::int32_t* kind) = 0;
  // The problem's value setter.
  virtual Status SetValue(DAESVarTableEntry* entry, const SUValue& value, std::uint32_t flags) = 0;
  // A variable the problem drives along a ramp whenever the simulation time
  // moves, by the driver, until it is unregistered. The problem's table of
  // drivers may delete the driver when it empties.
  virtual void RegisterRamped(DAESVarTableEntry* entry, VariableDriver* driver) = 0;
  virtual void UnregisterRamped(DAESVarTableEntry* entry) = 0;
  // The problem's implicit-event manager: the event joins or leaves the
  // schedule the integrator watches. Without one, nothing can be watched.
  virtual Status RegisterImplicitEvent(QLNImplicitEvent* event) = 0;
  virtual Status UnregisterImplicitEvent(QLNImplicitEvent* event) = 0;

 protected:
  ~SimMonitorServices() = default;
};

SimMonitorServices& MonitorServices();
// Null restores the problem manager's. Not owned.
void SetMonitorServices(SimMonitorServices* services);

class SimMonitor;

class SimMonitorMgr final : public SimActionFactory {
 public:
  static constexpr char kName[] = "Monitor";
  static constexpr std::uint32_t kNameRoom = 256;

  SimMonitorMgr() : SimActionFactory(kName) {}
  // Its monitors outlive it only in tests; they forget it.
  ~SimMonitorMgr() override;
  // Reads the monitor from the rest of the request; the reply is the
  // request with u16 0, u32 m and the m tags.
  Status Create(DseMessage* request, DseMessage** reply, NewSimAction** action) override;

  // A model entry is being destroyed: every monitor it made lets go of it.
  void ForgetEntry(DAESVarTableEntry* entry);
  // Its monitors join and leave the list as they are made and destroyed.
  void Enlist(SimMonitor* monitor) { monitors_.push_back(monitor); }
  void Delist(SimMonitor* monitor);
  std::size_t MonitorCount() const { return monitors_.size(); }

 private:
  std::vector<SimMonitor*> monitors_;
};

class SimMonitor : public NewSimAction {
 public:
  enum Kind : std::uint16_t {
    kPlain = 1,
    kTime = 2,
    kStep = 3,
    kExpression = 4,
    kRamp = 5,
    kImplicit = 6,
  };
  static constexpr std::uint16_t kFiredMark = 1;
  static constexpr std::uint16_t kEndedMark = 2;
  static constexpr std::int32_t kAbandon = 6;
  static constexpr std::uint32_t kSetterFlags = 0x2000000;
  static constexpr char kNoVariable[] =
      "Failed to find a variable (inactive variable/non-local parameter referenced by a task?)";

  // Takes the copy of the creation request.
  SimMonitor(const char* name, SimActionFactory* factory, std::unique_ptr<DseMessage> request);
  // Tells the client an armed monitor that never fired has ended.
  ~SimMonitor() override;

  // Reads the common part of the creation body.
  Status ReadCommon(BvuBinaryStream& body);
  // The kind's own part; nothing for a plain monitor.
  virtual Status ReadOwn(BvuBinaryStream&) { return status::kOk; }

  Status Execute(std::int32_t* request, SimActionControl* element,
                 const SimExplicitEvent* event) override;
  Status HandleReply(std::uint32_t type, DseMessage* reply, void* context) override;
  Status RequestComplete(Status result, void* context) override;
  Status Reset() override;

  // Once per arming, before the first firing test.
  virtual Status Check(std::int32_t* request, SimActionControl* element,
                       const SimExplicitEvent* event);
  // A model entry is being destroyed: whatever of it the monitor holds
  // goes; what it names is looked up again when it is needed.
  virtual void ForgetEntry(DAESVarTableEntry* entry);
  // Made by a monitor manager that is gone.
  void LeaveManager() { manager_ = nullptr; }
  virtual Status IsFiring(bool* fired, const SimExplicitEvent* event, std::int32_t* request);
  // The explicit event the monitor waits for; 0 for none.
  virtual std::uint64_t EventHandle() const { return 0; }

  const std::vector<std::uint32_t>& Tags() const { return tags_; }
  bool Checked() const { return checked_; }
  bool Fired() const { return fired_; }
  std::uint32_t Delay() const { return delay_; }
  DseMessage* Request() const { return request_.get(); }

 protected:
  // The variable at the path as a monitor may read it (kinds 12, 24 to 26);
  // null with the message printed otherwise.
  static DAESVarTableEntry* VariableAt(const BvuIdPath& path);
  void MarkChecked() { checked_ = true; }

 private:
  Status Fire(const SimExplicitEvent* event);
  Status WriteValues(DseMessage& message, const SimExplicitEvent* event);

  bool checked_ = false;
  bool fired_ = false;
  bool reply_arrived_ = false;
  Status stored_status_ = status::kOk;
  std::vector<std::uint32_t> tags_;
  std::uint32_t rearm_ = 0;
  std::uint32_t follow_on_ = 0;
  std::vector<BvuIdPath> reported_;
  std::vector<std::uint32_t> resolved_types_;
  std::vector<DAESVarTableEntry*> resolved_;
  std::unique_ptr<DseMessage> request_;
  std::uint32_t delay_ = 0;
  bool send_values_ = false;
  std::uint32_t pending_id_ = 0;
  SimMonitorMgr* manager_ = nullptr;
};

class SimTimeMonitor final : public SimMonitor {
 public:
  static constexpr std::uint32_t kAtZero = 130;
  static constexpr std::uint32_t kLater = 66;
  static constexpr Status kNoInterface = 0x80004002u;

  using SimMonitor::SimMonitor;
  Status ReadOwn(BvuBinaryStream& body) override;
  Status Check(std::int32_t* request, SimActionControl* element,
               const SimExplicitEvent* event) override;
  Status IsFiring(bool* fired, const SimExplicitEvent* event, std::int32_t* request) override;
  std::uint64_t EventHandle() const override { return handle_; }
  void ExplicitEventNotice(std::uint64_t handle) override;

  // As a COM-style IUnknown.
  std::uint32_t AddRef() { return ++references_; }
  std::uint32_t Release() { return references_ > 0 ? --references_ : 0; }
  Status QueryInterface(const platform::IID& iid, void** object);

  double Time() const { return time_; }

 private:
  Status Schedule();

  std::int32_t references_ = 0;
  double time_ = 0.0;
  std::uint64_t handle_ = 0;
  bool schedule_now_ = false;
};

class SimStepMonitor final : public SimMonitor {
 public:
  using SimMonitor::SimMonitor;
  Status ReadOwn(BvuBinaryStream& body) override;
  Status Check(std::int32_t*, SimActionControl*, const SimExplicitEvent*) override;
  Status IsFiring(bool* fired, const SimExplicitEvent* event, std::int32_t* request) override;

 private:
  std::int32_t steps_ = 0;
  std::int32_t count_ = 0;
};

class SimExprMonitor : public SimMonitor {
 public:
  static constexpr std::int32_t kNoValue = 99;
  static constexpr std::size_t kPrefixedNameRoom = 128;
  // Kinds of the variables in the creation body.
  static constexpr std::uint8_t kModelVariable = 0;
  static constexpr std::uint8_t kNamed = 1;
  static constexpr std::uint8_t kIntegerLiteral = 2;
  static constexpr std::uint8_t kLogicalLiteral = 3;
  static constexpr std::uint8_t kRealLiteral = 4;

  SimExprMonitor(const char* name, SimActionFactory* factory, std::unique_ptr<DseMessage> request);
  ~SimExprMonitor() override;
  Status ReadOwn(BvuBinaryStream& body) override;
  Status Check(std::int32_t* request, SimActionControl* element,
               const SimExplicitEvent* event) override;
  Status IsFiring(bool* fired, const SimExplicitEvent* event, std::int32_t* request) override;

  // Whether the expression evaluates to true now.
  bool Truth();
  SimMonitorContext* Context() const { return context_.get(); }
  // The compiled expression holds its variables' values by address: it
  // goes with them, to be built again by name at the next check.
  void ForgetEntry(DAESVarTableEntry* entry) override;

 protected:
  // The context has been handed to an owner that deletes it.
  void ForgetContext() { context_owned_ = false; }
  bool Reads(const DAESVarTableEntry* entry) const;
  void DropContext();

 private:
  struct Declared {
    std::string name;
    std::uint8_t kind;
    BvuIdPath path;
    SUValue literal;
  };
  Status BuildContext();

  Expression* expression_ = nullptr;
  std::vector<Declared> declared_;
  std::string prefix_;
  std::int32_t edge_ = 1;
  std::int32_t last_ = kNoValue;
  std::vector<std::unique_ptr<SimMonitorVariable>> variables_;
  std::vector<ExpressionVariable*> pointers_;
  std::unique_ptr<SimMonitorContext> context_;
  bool context_owned_ = true;
};

// An expression monitor whose condition the integrator watches as an
// external implicit event: it fires at the located crossing, not merely at
// the next hook point. The event is in the problem's schedule while the
// monitor is armed.
class SimImplicitMonitor final : public SimExprMonitor {
 public:
  static constexpr std::int32_t kEventKind = 24;

  using SimExprMonitor::SimExprMonitor;
  ~SimImplicitMonitor() override;
  Status Check(std::int32_t* request, SimActionControl* element,
               const SimExplicitEvent* event) override;
  Status IsFiring(bool* fired, const SimExplicitEvent* event, std::int32_t* request) override;

  SimExtImplicitEvent* Event() const { return event_; }
  // In a schedule: the problem's, while the monitor is armed.
  bool Registered() const;
  // The event holds the compiled expression: it goes too.
  void ForgetEntry(DAESVarTableEntry* entry) override;

 private:
  void Unregister();

  SimExtImplicitEvent* event_ = nullptr;
  bool attached_ = false;
};

// A linear or cosine profile from a start value at t0 to a target at t1.
struct RampFunction {
  double start_time = 0.0;
  double end_time = 0.0;
  double duration = 0.0;
  double start_value = 0.0;
  double target = 0.0;
  bool start_known = false;
  bool linear = true;

  // The value at time t; `tolerance` below which a duration counts as none.
  double ValueAt(double t, double tolerance) const;
  // The start value that makes a cosine profile pass through v at `now`.
  double CosineStartThrough(double v, double now) const;
};

// A ramp with the run as the problem's table of drivers holds it. The
// ramp's monitor keeps `slot` pointing at it; it clears the slot when the
// table deletes it.
class SimRampDriver final : public VariableDriver {
 public:
  SimRampDriver(RampFunction* ramp, double tolerance, SimRampDriver** slot)
      : ramp_(ramp), tolerance_(tolerance), slot_(slot) {}
  ~SimRampDriver() override;
  SimRampDriver(const SimRampDriver&) = delete;
  SimRampDriver& operator=(const SimRampDriver&) = delete;
  // A ramp without its start value starts from the variable's value.
  double ValueAt(double time, double current) override;

 private:
  RampFunction* ramp_;
  double tolerance_;
  SimRampDriver** slot_;
};

class SimRampMonitor final : public SimMonitor {
 public:
  static constexpr std::uint32_t kIntegerType = 2;
  static constexpr std::uint32_t kRealType = 4;
  static constexpr std::uint32_t kRampedMark = 0x8000000;
  static constexpr std::uint32_t kEndEvent = 66;
  static constexpr double kRestartGap = 0.01;
  enum State : std::int32_t { kIdle = 0, kActive = 1, kStartKnown = 2 };

  using SimMonitor::SimMonitor;
  ~SimRampMonitor() override;
  Status ReadOwn(BvuBinaryStream& body) override;
  Status Check(std::int32_t* request, SimActionControl* element,
               const SimExplicitEvent* event) override;
  Status IsFiring(bool* fired, const SimExplicitEvent* event, std::int32_t* request) override;
  std::uint64_t EventHandle() const override { return end_event_; }
  void ExplicitEventNotice(std::uint64_t handle) override;
  // The ramp ends where it is; the next check looks the variable up again.
  void ForgetEntry(DAESVarTableEntry* entry) override;

  const RampFunction& Function() const { return ramp_; }
  std::int32_t RampState() const { return state_; }

 private:
  // The check itself; a refusal is 0xA032FFFF.
  Status Begin(std::int32_t* request);
  Status Bind();
  Status SetVariable(double value);
  // The variable leaves the problem's drivers; the driver goes.
  void StopDriving();

  RampFunction ramp_;
  bool by_name_ = false;
  std::string variable_name_;
  BvuIdPath variable_path_;
  std::uint32_t value_type_ = kRealType;
  std::int32_t mode_ = 1;
  std::int32_t state_ = kIdle;
  DAESVarTableEntry* variable_ = nullptr;
  std::uint64_t end_event_ = 0;
  // Mode 2's driver while the problem holds it.
  SimRampDriver* driver_ = nullptr;
};
