// What monitors ask of the one problem manager of the process.

#include "control/actions/monitor.h"
#include "control/managers/instance_mgr.h"
#include "control/problem/problem_manager.h"
#include "daes/model/var_table_entry.h"
#include "foundation/directory/directory_node.h"
#include "solve/ifaces/executive.h"

namespace {

class ProblemMonitorServices final : public SimMonitorServices {
 public:
  double CurrentTime() override {
    SimProblemMgr* manager = SimProblemMgr::Instance();
    return manager != nullptr ? manager->CurrentTime() : 0.0;
  }
  double EventTolerance() override {
    SimProblemMgr* manager = SimProblemMgr::Instance();
    return manager != nullptr ? manager->EventTolerance() : 0.0001;
  }
  // The time of the last recorded run clock: a late monitor may still fire
  // within the step that is being collected.
  double LowerTimeBound() override {
    SimProblemMgr* manager = SimProblemMgr::Instance();
    return manager != nullptr ? manager->RunResults().RunPosition() : 0.0;
  }
  Status ScheduleEvent(std::uint32_t kind, double time, std::uint64_t* handle) override {
    SimProblemMgr* manager = SimProblemMgr::Instance();
    if (manager == nullptr) return monitor_status::kFailed;
    // A negative tolerance leaves the list's own.
    return manager->Events().Add(kind, time, -1.0, handle);
  }
  DAESVarTableEntry* FindById(const BvuIdPath& path, std::int32_t* kind) override {
    *kind = 0;
    SimInstanceMgr* tree = Tree();
    BvuDirectoryNode* node = nullptr;
    if (tree == nullptr || status::IsFailure(tree->ResolveIdPath(path.ids(), &node))) {
      return nullptr;
    }
    return EntryOf(node, kind);
  }
  DAESVarTableEntry* FindByName(const char* name, std::int32_t* kind) override {
    *kind = 0;
    SimInstanceMgr* tree = Tree();
    return tree != nullptr ? EntryOf(tree->FindByName(name), kind) : nullptr;
  }
  Status SetValue(DAESVarTableEntry* entry, const SUValue& value, std::uint32_t flags) override {
    Status set = status::kOk;
    if (value.Kind() == SUValue::kReal) {
      set = entry->SetValue(value.payload.real);
    } else if (value.Kind() == SUValue::kInteger || value.Kind() == SUValue::kLogical) {
      entry->SetValueFromInteger(value.payload.integer);
    } else {
      entry->SetTypedValue(value);
    }
    if (!status::IsFailure(set)) entry->SetAdvised((flags & daes::kAdvised) != 0);
    return set;
  }
  void RegisterRamped(DAESVarTableEntry* entry, VariableDriver* driver) override {
    if (auto* driven = dynamic_cast<DrivenVariable*>(entry)) SetVariableDriver(driven, driver);
  }
  void UnregisterRamped(DAESVarTableEntry* entry) override {
    if (auto* driven = dynamic_cast<DrivenVariable*>(entry)) SetVariableDriver(driven, nullptr);
  }
  Status RegisterImplicitEvent(QLNImplicitEvent* event) override {
    return WithImplicitEvents(
        [event](IQLNImplicitEventMgr& events) { return events.RegisterEvent(event); });
  }
  Status UnregisterImplicitEvent(QLNImplicitEvent* event) override {
    return WithImplicitEvents(
        [event](IQLNImplicitEventMgr& events) { return events.UnregisterEvent(event); });
  }

 private:
  static SimInstanceMgr* Tree() {
    SimProblemMgr* manager = SimProblemMgr::Instance();
    return manager != nullptr ? manager->Instances() : nullptr;
  }
  template <typename Call>
  static Status WithImplicitEvents(Call call) {
    SimProblemMgr* manager = SimProblemMgr::Instance();
    void* face = nullptr;
    if (manager == nullptr ||
        status::IsFailure(manager->QueryInterface(IID_IQLNImplicitEventMgr, &face))) {
      return monitor_status::kFailed;
    }
    auto* events = static_cast<IQLNImplicitEventMgr*>(static_cast<platform::IUnknown*>(face));
    const Status result = call(*events);
    events->Release();
    return result;
  }
  static DAESVarTableEntry* EntryOf(BvuDirectoryNode* node, std::int32_t* kind) {
    if (node == nullptr) return nullptr;
    auto* entry = static_cast<DAESVarTableEntry*>(node->AsValueEntry());
    *kind = entry != nullptr ? entry->EntryKind() : node->GetKind();
    return entry;
  }

};

}  // namespace

SimMonitorServices& DefaultMonitorServices() {
  static ProblemMonitorServices services;
  return services;
}
