// The synchronisation action: after each run phase it tells the client and,
// by the solver option SyncSteps, lets the run go on for a number of passes
// or holds it at the hook point until the client has answered. The client
// makes it through the factory "Sync", which the problem manager registers.
// Server thread only.
#pragma once

#include <cstdint>
#include <memory>

#include "control/actions/action_mgr.h"

class SimSync;

class SimSyncMgr final : public SimActionFactory {
 public:
  static constexpr char kName[] = "Sync";
  // The action name's buffer, its NUL included.
  static constexpr std::uint32_t kNameRoom = 100;

  SimSyncMgr() : SimActionFactory(kName) {}
  // Reads the action's name; the reply is the request copied with u16 0.
  Status Create(DseMessage* request, DseMessage** reply, NewSimAction** action) override;
};

class SimSync final : public NewSimAction {
 public:
  static constexpr std::int32_t kSyncStepsOption = 123;
  static constexpr std::uint32_t kList = 2;
  static constexpr std::int32_t kHookPoints[] = {6, 8, 10, 12};
  static constexpr Status kDone = 0x00320000u;
  static constexpr Status kWait = 0x00320025u;

  // Takes the copy of the creation request.
  SimSync(const char* name, SimActionFactory* factory, std::unique_ptr<DseMessage> message);
  ~SimSync() override;

  Status Execute(std::int32_t* request, SimActionControl* element,
                 const SimExplicitEvent* event) override;
  Status HandleReply(std::uint32_t, DseMessage*, void*) override { return status::kOk; }
  Status RequestComplete(Status result, void* context) override;
  Status Reset() override { return status::kOk; }

  // The passes a SyncSteps value lets go by without a reply: 0 Full, 1 Low
  // 500, 2 Medium 20, 3 High 5; any other value waits as Full does.
  static std::int32_t PassBudget(std::int32_t sync_steps);

  bool Sent() const { return sent_; }
  std::int32_t PassesLeft() const { return passes_left_; }
  bool ClientRegistered() const { return client_registered_; }

 private:
  Status SendExchange();

  bool sent_ = false;
  bool reply_arrived_ = false;
  std::int32_t passes_left_ = 0;
  Status stored_status_ = status::kOk;
  bool client_registered_ = false;
  std::unique_ptr<DseMessage> message_;
  std::uint32_t pending_id_ = 0;
};
