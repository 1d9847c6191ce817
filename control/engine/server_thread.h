// The body of the engine's server thread: builds the engine's long-lived
// objects in their order, runs the control loop until the client asks the
// engine to end or is gone, lets the last replies leave and takes everything
// down again. Its result is the process's exit status.
#pragma once

#include <cstdint>
#include <memory>

struct EngineArguments {
  int argc = 0;
  char** argv = nullptr;
};

// The controller's configuration file (read by a top-level engine only).
inline constexpr char kEngineConfiguration[] = "vantor.cfg";
// The drain after the loop: polls, and the pause between them.
inline constexpr int kDrainPolls = 9;
inline constexpr std::uint32_t kDrainPauseMs = 100;
// How long a controller that cannot be built keeps the process alive.
inline constexpr std::uint32_t kNoControllerPauseMs = 5000;

#include <memory>

#include "platform/status.h"

class DseServerRegistry;
class SimProblemMgr;

// The managers of the layers above control (results, code generation, ...),
// which the program makes: after the problem manager, whose master they
// join, and gone before it.
class SimEngineAddOns {
 public:
  virtual ~SimEngineAddOns() = default;
};
// Makes them and registers their services; *status is 0 or the failure of
// a step that could not be done.
using SimEngineAddOnMaker = std::unique_ptr<SimEngineAddOns> (*)(SimProblemMgr& manager,
                                                                 DseServerRegistry* registry,
                                                                 Status* status);
// Set by the program before the server thread starts; null makes none.
void SetEngineAddOnMaker(SimEngineAddOnMaker maker);

class DelayMgr;
class SimRunSteps;

// The engine's long-lived objects in the server thread's order: the delay
// manager, the problem manager over the registry (it registers its
// services there), the run steps unless the program put its own in place,
// and the add-ons of the program's maker. Taken down in reverse, the
// add-ons first and the delay manager last. The server thread makes one;
// so may a test, to see the engine as it starts.
class EngineObjects {
 public:
  // *status is 0 or the failure of a step that could not be done.
  EngineObjects(DseServerRegistry* registry, Status* status);
  ~EngineObjects();
  EngineObjects(const EngineObjects&) = delete;
  EngineObjects& operator=(const EngineObjects&) = delete;

  SimProblemMgr& Manager() { return *manager_; }
  SimEngineAddOns* AddOns() { return add_ons_.get(); }
  DelayMgr* Delays() { return delays_.get(); }

 private:
  std::unique_ptr<DelayMgr> delays_;
  std::unique_ptr<SimRunSteps> steps_;
  std::unique_ptr<SimProblemMgr> manager_;
  std::unique_ptr<SimEngineAddOns> add_ons_;
};

// The steps of the server thread, each done by the engine's objects (or by
// a test's fakes).
class ServerThreadParts {
 public:
  virtual void MakeOptions() = 0;
  virtual Status MakeController() = 0;
  // The registry and the problem manager, which registers its services.
  virtual Status MakeProblemManager() = 0;
  virtual Status Start() = 0;
  virtual Status RunControlLoop() = 0;
  virtual void FlushCollector() = 0;
  virtual Status Poll() = 0;
  virtual void Pause(std::uint32_t ms) = 0;
  virtual void ReleaseRegistry() = 0;
  virtual void DestroyProblemManager() = 0;
  virtual void DestroyRegistry() = 0;
  virtual void DestroyController() = 0;

 protected:
  ~ServerThreadParts() = default;
};

// Builds, runs the loop, drains and takes down in the designed order; the
// exit status.
Status RunServerThread(ServerThreadParts& parts);

// `block` is an EngineArguments.
std::uint32_t ServerThreadBody(void* block);

