// Service-67 requests of the action manager: create and remove by name and
// handle, with a factory that makes plain actions hooked at a few points.
#include "control/actions/action_mgr.h"
#include "fuzz/byte_stream.h"

namespace {

class Idle : public NewSimAction {
 public:
  explicit Idle(SimActionFactory* factory) : NewSimAction("Monitor", factory) {
    hook_modes[4] = 0;
    hook_modes[12] = 2;
  }
  Status Execute(std::int32_t* request, SimActionControl*, const SimExplicitEvent*) override {
    *request = 1;
    return 0;
  }
};

class Factory : public SimActionFactory {
 public:
  Factory() : SimActionFactory("Monitor") {}
  Status Create(DseMessage*, DseMessage**, NewSimAction** action) override {
    *action = new Idle(this);
    return 0;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Factory factory;
  SimActionMgr* manager = SimActionMgr::Instance();
  manager->RegisterFactory(&factory);
  // Two live actions with handles 1 and 2 for the removals to find.
  NewSimAction* made = nullptr;
  manager->CreateAction("Monitor", 0u, &made);
  manager->CreateAction("Monitor", 0u, &made);
  vantor_fuzz::ByteStream body(std::vector<std::uint8_t>(data, data + size));
  DseMessage* reply = nullptr;
  manager->ServeRequest(body, nullptr, &reply);
  manager->SetHookPoint(12, 13);
  std::int32_t request = 0;
  manager->Dispatch(&request);
  manager->FlushPendingRemovals();
  SimActionMgr::Destroy();
  return 0;
}
