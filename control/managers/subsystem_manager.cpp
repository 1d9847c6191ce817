#include "control/managers/subsystem_manager.h"

#include <algorithm>
#include <atomic>

namespace {
// Read by the message collector on the run thread.
std::atomic<SimMasterManager*> g_master{nullptr};
constexpr std::size_t kGrowth = 8;
}  // namespace

SimMasterManager* GetMasterManager() { return g_master.load(std::memory_order_acquire); }
void SetMasterManager(SimMasterManager* master) {
  g_master.store(master, std::memory_order_release);
}

QLNSubSystemManager::QLNSubSystemManager() {
  if (SimMasterManager* master = GetMasterManager()) master->Register(this);
}

QLNSubSystemManager::~QLNSubSystemManager() {
  if (SimMasterManager* master = GetMasterManager()) master->Unregister(this);
}

Status QLNSubSystemManager::AttachProblem(const char*, const char*) { return status::kOk; }
Status QLNSubSystemManager::ProblemEdited() { return status::kOk; }
Status QLNSubSystemManager::DiscardProblem() { return status::kOk; }
Status QLNSubSystemManager::ReleaseSolvers() { return status::kOk; }
Status QLNSubSystemManager::ProblemBuilt(std::int32_t, std::int32_t) { return status::kOk; }
Status QLNSubSystemManager::StartRun(std::int32_t) { return status::kOk; }
Status QLNSubSystemManager::SpareOperation(std::uint32_t) { return status::kOk; }
Status QLNSubSystemManager::DetachProblem(const char*, const char*) { return status::kOk; }
Status QLNSubSystemManager::SaveFiles() { return status::kOk; }
Status QLNSubSystemManager::SaveAs(const char*, const char*) { return status::kOk; }
Status QLNSubSystemManager::StartNewFiles(const char*, const char*) { return status::kOk; }
Status QLNSubSystemManager::RewindTo(double) { return status::kOk; }

SimMasterManager::~SimMasterManager() {
  SimMasterManager* self = this;
  g_master.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
}

void SimMasterManager::Register(QLNSubSystemManager* manager) {
  if (managers_.size() == managers_.capacity()) managers_.reserve(managers_.capacity() + kGrowth);
  managers_.push_back(manager);
}

void SimMasterManager::Unregister(QLNSubSystemManager* manager) {
  auto found = std::find(managers_.begin(), managers_.end(), manager);
  if (found == managers_.end()) return;
  const std::size_t at = static_cast<std::size_t>(found - managers_.begin());
  managers_.erase(found);
  // A broadcast under way must neither skip the manager after this one nor
  // tell one twice.
  for (std::size_t* next : cursors_) {
    if (at < *next) --*next;
  }
}

template <typename Operation, typename... Args>
Status SimMasterManager::Broadcast(Operation operation, Args... args) {
  Status result = status::kOk;
  // By index, with the cursor known to Unregister: a manager may be destroyed
  // or appended while it is told.
  std::size_t next = 0;
  cursors_.push_back(&next);
  while (next < managers_.size()) {
    QLNSubSystemManager* manager = managers_[next++];
    result = (manager->*operation)(args...);
    if (status::IsFailure(result)) break;
  }
  cursors_.erase(std::find(cursors_.begin(), cursors_.end(), &next));
  return result;
}

Status SimMasterManager::AttachProblem(const char* folder, const char* name) {
  return Broadcast(&QLNSubSystemManager::AttachProblem, folder, name);
}
Status SimMasterManager::ProblemEdited() { return Broadcast(&QLNSubSystemManager::ProblemEdited); }
Status SimMasterManager::DiscardProblem() {
  return Broadcast(&QLNSubSystemManager::DiscardProblem);
}
Status SimMasterManager::ReleaseSolvers() {
  return Broadcast(&QLNSubSystemManager::ReleaseSolvers);
}
Status SimMasterManager::ProblemBuilt(std::int32_t variables, std::int32_t equations) {
  return Broadcast(&QLNSubSystemManager::ProblemBuilt, variables, equations);
}
Status SimMasterManager::StartRun(std::int32_t run_mode) {
  return Broadcast(&QLNSubSystemManager::StartRun, run_mode);
}
Status SimMasterManager::SpareOperation(std::uint32_t value) {
  return Broadcast(&QLNSubSystemManager::SpareOperation, value);
}
Status SimMasterManager::DetachProblem(const char* folder, const char* sub_folder) {
  return Broadcast(&QLNSubSystemManager::DetachProblem, folder, sub_folder);
}
Status SimMasterManager::SaveFiles() { return Broadcast(&QLNSubSystemManager::SaveFiles); }
Status SimMasterManager::SaveAs(const char* folder, const char* name) {
  return Broadcast(&QLNSubSystemManager::SaveAs, folder, name);
}
Status SimMasterManager::StartNewFiles(const char* folder, const char* name) {
  return Broadcast(&QLNSubSystemManager::StartNewFiles, folder, name);
}
Status SimMasterManager::RewindTo(double time) {
  return Broadcast(&QLNSubSystemManager::RewindTo, time);
}
