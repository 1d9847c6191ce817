// The body of the engine's server thread: builds the engine's long-lived
// objects in their order, runs the control loop until the client asks the
// engine to end or is gone, lets the last replies leave and takes everything
// down again. Its result is the process's exit status.
#pragma once

#include <cstdint>

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

// `block` is an EngineArguments.
std::uint32_t ServerThreadBody(void* block);
