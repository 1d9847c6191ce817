// The action framework: small agents that take part in a run at the hook
// points of the control loop. Each kind of action has a named factory
// registered with the one action manager; the client creates and removes
// actions through service 67, engine code by name. At a hook point the
// manager runs the actions hooked there, list 0 first; each answers finished,
// call me again (code 37) or failed, and may ask the loop for a follow-on
// (0..6, the loop's next action code). Server thread only.
#pragma once

#include <array>
#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "control/managers/subsystem_manager.h"
#include "framework/servers/client_callback.h"
#include "framework/servers/server_callback.h"
#include "platform/status.h"

class BvuBinaryStream;
class DseMessage;
class NewSimAction;

inline constexpr std::int32_t kHookPointCount = 13;
inline constexpr std::int32_t kHookListCount = 4;
inline constexpr std::uint32_t kNotHooked = 3;
// The code part of a status that asks to be called again.
inline constexpr Status kCallAgain = 37;
inline constexpr Status kCodeMask = 0xA000FFFFu;
// Duplicate factory, unknown name, busy single instance, action not found.
inline constexpr Status kActionRefused = 10;

inline bool AsksToBeCalledAgain(Status result) { return (result & kCodeMask) == kCallAgain; }

// A timed event of the problem manager's schedule, as actions see it.
struct SimExplicitEvent {
  double time = 0.0;
  std::uint32_t kind = 0;
  // The event's handle: unique for the process, never reused.
  std::uint64_t id = 0;
};

// Where the action manager learns about the first scheduled event: the
// problem manager's event schedule.
class SimActionEventSource {
 public:
  // Null when nothing is scheduled.
  virtual const SimExplicitEvent* FirstEvent() = 0;
  virtual double EventTolerance() = 0;
  virtual double CurrentTime() = 0;

 protected:
  ~SimActionEventSource() = default;
};

// A named creator of actions.
class SimActionFactory {
 public:
  explicit SimActionFactory(const char* name) : name_(name != nullptr ? name : "") {}
  // Leaves the action manager's table, so that nothing calls a factory that
  // is gone.
  virtual ~SimActionFactory();
  SimActionFactory(const SimActionFactory&) = delete;
  SimActionFactory& operator=(const SimActionFactory&) = delete;

  // One live action fewer; the action (may be null) is deleted.
  virtual void ActionDeleted(NewSimAction* action);
  virtual void ActionCreated(NewSimAction* action);
  virtual std::int32_t IsSingleInstance() { return 0; }
  virtual const char* GetName() { return name_.c_str(); }
  // Makes an action from the request's remaining body (request may be null);
  // may leave a reply.
  virtual Status Create(DseMessage* request, DseMessage** reply, NewSimAction** action) = 0;

  std::int32_t InstanceCount() const { return instances_; }

 protected:
  std::string name_;
  std::int32_t instances_ = 0;
};

// One action's place in one hook list.
struct SimActionControl {
  static constexpr std::uint32_t kWaiting = 0;
  static constexpr std::uint32_t kDone = 2;
  std::uint32_t state = kWaiting;
  NewSimAction* action = nullptr;
};

class NewSimAction : public DseClientCB {
 public:
  NewSimAction(const char* name, SimActionFactory* factory);
  ~NewSimAction() override;

  Status RequestComplete(Status, void*) override { return status::kOk; }
  virtual const char* GetName() { return action_name_.c_str(); }
  // Runs at a hook point; *request is the follow-on the loop should take.
  virtual Status Execute(std::int32_t* request, SimActionControl* element,
                         const SimExplicitEvent* event) = 0;
  virtual void ExplicitEventNotice(std::uint64_t handle);
  virtual Status Reset() { return status::kOk; }

  SimActionFactory* Factory() const { return factory_; }
  // 0 until the manager has created it.
  std::uint64_t Handle() const { return handle_; }

  // Per hook point: the list (0..2) the action joins, or kNotHooked.
  std::array<std::uint32_t, kHookPointCount> hook_modes;

 private:
  friend class SimActionMgr;
  std::string action_name_;
  SimActionFactory* factory_;
  std::uint64_t handle_ = 0;
};

// An action that is its own factory: one instance at a time.
class SimSingleAction : public SimActionFactory, public NewSimAction {
 public:
  explicit SimSingleAction(const char* name) : SimActionFactory(name), NewSimAction(name, this) {}
  void ActionDeleted(NewSimAction* action) override;
  std::int32_t IsSingleInstance() override { return 1; }
  const char* GetName() override { return name_.c_str(); }
  Status Create(DseMessage* request, DseMessage** reply, NewSimAction** action) override;
};

class SimActionMgr : public DseServerCB, public DseClientCB, public QLNSubSystemManager {
 public:
  static constexpr std::uint32_t kService = 67;
  static constexpr std::uint32_t kCreate = 2;
  static constexpr std::uint32_t kRemove = 3;
  static constexpr std::size_t kChunk = 16;

  // The process-wide manager, made on first use.
  static SimActionMgr* Instance();
  static SimActionMgr* Existing();
  static void Destroy();

  ~SimActionMgr() override;

  Status RegisterFactory(SimActionFactory* factory);
  // Takes the factory out of the table; its live actions are freed.
  void UnregisterFactory(SimActionFactory* factory);
  // The same for a factory being destroyed: its actions are only unhooked
  // and forgotten, since it can no longer free them.
  void ForgetFactory(SimActionFactory* factory);
  // Creates and hooks an action by factory name (any case). 1 when hooked,
  // 0x8000FFFF when no hook point took it, 10 when refused, or the failure of
  // the factory. The handle goes into *reply when there is one.
  Status CreateAction(const char* name, DseMessage* request, DseMessage** reply);
  // The same for engine code that wants the action back.
  Status CreateAction(const char* name, std::uint32_t options, NewSimAction** action);
  Status RemoveAction(NewSimAction* action);
  Status UnhookAction(NewSimAction* action);
  // An action that gives up from inside its own Execute: it leaves every
  // list now and is freed by its factory once the hook point is passed
  // (with the pending removals). 0, or 10 when it was in no list.
  Status UnhookSelf(NewSimAction* action);
  NewSimAction* FindAction(std::uint64_t handle) const;

  // Set by the control loop before each dispatch.
  void SetHookPoint(std::int32_t hook_point, std::uint32_t control_state) {
    hook_point_ = hook_point;
    control_state_ = control_state;
  }
  std::int32_t CurrentHookPoint() const { return hook_point_; }
  std::uint32_t CurrentControlState() const { return control_state_; }
  // Runs the current hook point; raises *request to the largest follow-on.
  Status Dispatch(std::int32_t* request);
  Status FlushPendingRemovals();
  void ResetAll();
  Status ClearAll(bool carry_out_pending);

  void SetEventSource(SimActionEventSource* source) { events_ = source; }
  void ExplicitEventNotice(std::uint64_t handle);

  Status HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                       DseTemplate** kept) override;
  // The service-67 request read from `body` (the request itself, whose rest
  // a factory reads): a string name, a u32 kind, then by kind.
  Status ServeRequest(BvuBinaryStream& body, DseMessage* request, DseMessage** reply);
  Status HandleReply(std::uint32_t type, DseMessage* reply, void* context) override;
  Status RequestComplete(Status result, void* context) override;

  Status ProblemEdited() override;
  Status DetachProblem(const char* folder, const char* sub_folder) override;

  // For tests and the loop: the state of a hook point's list.
  std::uint32_t ListStatus(std::int32_t hook_point, std::int32_t list) const {
    return points_[hook_point].status[list];
  }
  std::size_t ListSize(std::int32_t hook_point, std::int32_t list) const {
    return points_[hook_point].lists[list].size();
  }
  std::int32_t FactoryCount() const { return static_cast<std::int32_t>(factories_.size()); }
  std::size_t PendingRemovalCount() const { return pending_.size(); }

 private:
  struct HookPoint {
    std::array<std::list<SimActionControl>, kHookListCount> lists;
    std::array<std::uint32_t, kHookListCount> status{kCallAgain, kCallAgain, kCallAgain,
                                                     kCallAgain};
  };

  SimActionMgr() = default;
  Status RunHookPoint(HookPoint& point, std::int32_t* request, const SimExplicitEvent* event);
  Status WalkHookPoint(HookPoint& point, std::int32_t* request, const SimExplicitEvent* event);
  void ResetPoint(HookPoint& point);
  // Takes every element of the action out; whether there was one.
  bool Unhook(NewSimAction* action);
  Status Hook(SimActionFactory* factory, NewSimAction* action);

  std::array<HookPoint, kHookPointCount> points_;
  std::int32_t hook_point_ = 0;
  std::uint32_t control_state_ = 0;
  std::vector<SimActionFactory*> factories_;
  std::vector<std::uint64_t> pending_;
  std::map<std::uint64_t, NewSimAction*> live_;
  std::uint64_t next_handle_ = 1;
  std::int32_t reply_request_ = 0;
  Status reply_status_ = status::kOk;
  SimActionEventSource* events_ = nullptr;
  // While a hook point is walked, leaving actions only blank their
  // elements; the blanks are swept once the walk is over.
  std::int32_t walking_ = 0;
  bool sweep_ = false;
};
