#include "control/managers/subsystem_manager.h"

#include <algorithm>

namespace {
SimMasterManager* g_master = nullptr;
constexpr std::size_t kGrowth = 8;
}  // namespace

SimMasterManager* GetMasterManager() { return g_master; }
void SetMasterManager(SimMasterManager* master) { g_master = master; }

QLNSubSystemManager::QLNSubSystemManager() {
  if (g_master != nullptr) g_master->Register(this);
}

QLNSubSystemManager::~QLNSubSystemManager() {
  if (g_master != nullptr) g_master->Unregister(this);
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
  if (g_master == this) g_master = nullptr;
}

void SimMasterManager::Register(QLNSubSystemManager* manager) {
  if (managers_.size() == managers_.capacity()) managers_.reserve(managers_.capacity() + kGrowth);
  managers_.push_back(manager);
}

void SimMasterManager::Unregister(QLNSubSystemManager* manager) {
  auto found = std::find(managers_.begin(), managers_.end(), manager);
  if (found != managers_.end()) managers_.erase(found);
}

template <typename Operation, typename... Args>
Status SimMasterManager::Broadcast(Operation operation, Args... args) {
  Status result = status::kOk;
  // By index: a manager may be destroyed or appended while it is told.
  for (std::size_t i = 0; i < managers_.size(); ++i) {
    result = (managers_[i]->*operation)(args...);
    if (status::IsFailure(result)) return result;
  }
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
