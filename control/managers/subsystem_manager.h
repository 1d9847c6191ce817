// The long-lived managers of the engine and the master that tells all of them
// what happens to the problem as a whole. Every manager registers itself with
// the master when constructed and leaves it when destroyed, so the master's
// order is construction order. Server thread only: no lock; only the
// process-wide pointer is read from other threads.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/status.h"

class QLNSubSystemManager {
 public:
  // Registers with the master when one exists; a manager built outside a
  // problem manager's lifetime stays unregistered.
  QLNSubSystemManager();
  virtual ~QLNSubSystemManager();
  QLNSubSystemManager(const QLNSubSystemManager&) = delete;
  QLNSubSystemManager& operator=(const QLNSubSystemManager&) = delete;

  // Every operation succeeds doing nothing unless a manager overrides it.
  virtual Status AttachProblem(const char* folder, const char* name);
  virtual Status ProblemEdited();
  virtual Status DiscardProblem();
  virtual Status ReleaseSolvers();
  virtual Status ProblemBuilt(std::int32_t variables, std::int32_t equations);
  virtual Status StartRun(std::int32_t run_mode);
  virtual Status SpareOperation(std::uint32_t value);
  // sub_folder is "NULL" when the run has none.
  virtual Status DetachProblem(const char* folder, const char* sub_folder);
  virtual Status SaveFiles();
  virtual Status SaveAs(const char* folder, const char* name);
  virtual Status StartNewFiles(const char* folder, const char* name);
  virtual Status RewindTo(double time);
};

// The master part of the problem manager. Each operation goes to every
// registered manager in order and stops at the first failure, returning it;
// otherwise the status of the last manager (0 with none).
class SimMasterManager {
 public:
  SimMasterManager() = default;
  // Clears the process-wide pointer when it still names this master.
  virtual ~SimMasterManager();
  SimMasterManager(const SimMasterManager&) = delete;
  SimMasterManager& operator=(const SimMasterManager&) = delete;

  virtual Status AttachProblem(const char* folder, const char* name);
  virtual Status ProblemEdited();
  virtual Status DiscardProblem();
  virtual Status ReleaseSolvers();
  virtual Status ProblemBuilt(std::int32_t variables, std::int32_t equations);
  virtual Status StartRun(std::int32_t run_mode);
  virtual Status SpareOperation(std::uint32_t value);
  virtual Status DetachProblem(const char* folder, const char* sub_folder);
  virtual Status SaveFiles();
  virtual Status SaveAs(const char* folder, const char* name);
  virtual Status StartNewFiles(const char* folder, const char* name);
  virtual Status RewindTo(double time);

  void Register(QLNSubSystemManager* manager);
  // Keeps the order of the others; a manager not registered changes nothing.
  void Unregister(QLNSubSystemManager* manager);

  std::int32_t Count() const { return static_cast<std::int32_t>(managers_.size()); }
  // Slots held; grows 8 at a time.
  std::uint32_t Capacity() const { return static_cast<std::uint32_t>(managers_.capacity()); }
  QLNSubSystemManager* At(std::int32_t index) const { return managers_[index]; }

 private:
  template <typename Operation, typename... Args>
  Status Broadcast(Operation operation, Args... args);

  std::vector<QLNSubSystemManager*> managers_;
  // The next index of every broadcast under way (they may nest).
  std::vector<std::size_t*> cursors_;
};

// The master of the process, or null. The problem manager sets it before it
// constructs any manager and clears it when it goes.
SimMasterManager* GetMasterManager();
void SetMasterManager(SimMasterManager* master);
