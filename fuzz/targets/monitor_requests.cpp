// Service-67 create requests for monitors and synchronisation actions, as
// received: the factory name, the kind, then the factory's body. What is
// made is then run at its hook points against a stand-in problem with two
// variables and a clock, passing events and answering every message sent.
#include <memory>
#include <vector>

#include "control/actions/action_sending.h"
#include "control/actions/monitor.h"
#include "control/actions/sync_action.h"
#include "daes/model/variable.h"
#include "framework/connections/segment.h"
#include "framework/messaging/message.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/received_request.h"
#include "tests/framework/message_helpers.h"

namespace {

std::unique_ptr<DseMessage> Received(const std::uint8_t* body, std::size_t size) {
  return vantor_fuzz::ReceivedRequest(SimActionMgr::kService, body, size);
}

class Problem : public SimMonitorServices, public SimActionEventSource {
 public:
  Problem() : x_(nullptr, "x"), u_(nullptr, "u") {
    x_.SetValue(3.0);
    u_.SetValue(2.0);
    u_.SetFlags(daes::kFixed);
  }
  double CurrentTime() override { return event_.time; }
  double EventTolerance() override { return 0.0001; }
  double LowerTimeBound() override { return 0.0; }
  Status ScheduleEvent(std::uint32_t, double, std::uint64_t* handle) override {
    *handle = ++last_;
    return 0;
  }
  DAESVarTableEntry* FindById(const BvuIdPath& path, std::int32_t* kind) override {
    return Pick(path.count() > 0 && path.ids()[0] == 1, kind);
  }
  DAESVarTableEntry* FindByName(const char* name, std::int32_t* kind) override {
    return Pick(name != nullptr && name[0] == 'u', kind);
  }
  Status SetValue(DAESVarTableEntry* entry, const SUValue& value, std::uint32_t) override {
    return value.Kind() == SUValue::kReal ? entry->SetValue(value.payload.real) : 0;
  }
  void RegisterRamped(DAESVarTableEntry*, VariableDriver*) override {}
  void UnregisterRamped(DAESVarTableEntry*) override {}
  // No implicit-event schedule to watch.
  Status RegisterImplicitEvent(QLNImplicitEvent*) override { return monitor_status::kFailed; }
  Status UnregisterImplicitEvent(QLNImplicitEvent*) override { return monitor_status::kFailed; }
  const SimExplicitEvent* FirstEvent() override { return &event_; }

  SimExplicitEvent event_{0.0, 65, 1};

 private:
  DAESVarTableEntry* Pick(bool fixed, std::int32_t* kind) {
    *kind = daes::kRealVariableKind;
    return fixed ? &u_ : &x_;
  }
  DAESRealVariable x_;
  DAESRealVariable u_;
  std::uint64_t last_ = 1;
};

// Answers each message as the client would: re-arm 1, follow-on 0.
class Client : public SimActionSender {
 public:
  Status Send(DseMessage* message, DseClientCB* client, void* context, std::uint32_t* id) override {
    delete message;
    if (id != nullptr) *id = 0;
    if (client != nullptr) pending_.push_back({client, context});
    return 0;
  }
  void Cancel(std::uint32_t) override { pending_.clear(); }
  void AnswerAll(std::uint64_t handle) {
    std::vector<std::pair<DseClientCB*, void*>> pending;
    pending.swap(pending_);
    for (auto [client, context] : pending) {
      DseMessage reply(SimActionMgr::kService, DseMessage::kRequest);
      reply.PutUInt64(handle);
      reply.PutUInt32(1);
      reply.PutUInt32(0);
      testsupport::ReadAsWritten(reply);
      client->HandleReply(SimActionMgr::kService, &reply, context);
      client->RequestComplete(0, context);
    }
  }

 private:
  std::vector<std::pair<DseClientCB*, void*>> pending_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = [] {
    vantor_fuzz::InstallQuietCollector();
    return true;
  }();
  (void)quiet;
  std::unique_ptr<DseMessage> request = Received(data, size);
  if (request == nullptr) return 0;
  Problem problem;
  Client client;
  SetMonitorServices(&problem);
  SetActionSender(&client);
  {
    SimMonitorMgr monitors;
    SimSyncMgr syncs;
    SimActionMgr* manager = SimActionMgr::Instance();
    manager->SetEventSource(&problem);
    manager->RegisterFactory(&monitors);
    manager->RegisterFactory(&syncs);
    DseMessage* reply = nullptr;
    manager->ServeRequest(*request, request.get(), &reply);
    delete reply;
    for (int pass = 0; pass < 12; ++pass) {
      problem.event_ = {0.1 * pass, pass % 3 == 0 ? 66u : 65u, 1u + static_cast<unsigned>(pass)};
      for (std::int32_t point : {6, 8, 12}) {
        manager->SetHookPoint(point, 13);
        std::int32_t word = 0;
        manager->Dispatch(&word);
      }
      client.AnswerAll(1);
      manager->FlushPendingRemovals();
    }
    SimActionMgr::Destroy();
  }
  SetActionSender(nullptr);
  SetMonitorServices(nullptr);
  return 0;
}
