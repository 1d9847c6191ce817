// Where finished message lines go. The message collector of the simulation
// control implements this and registers itself; until one exists the printer
// writes its lines to standard output.
#pragma once

#include <cstdint>

#include "platform/status.h"

// Crosses into solver libraries: fixed slot order, no virtual destructor.
class QLNMessagesHandler {
 public:
  // Copies one finished line into the group being collected.
  virtual std::uint32_t AddText(const char* text) = 0;
  // Closes the group with its status; does nothing when no line is held.
  virtual std::uint32_t EndGroup(Status status) = 0;

 protected:
  ~QLNMessagesHandler() = default;
};

// The process-wide collector, or null when none exists.
QLNMessagesHandler* GetMessageCollector();
// Set by the collector's constructor, cleared (null) by its destructor.
// Waits for a message being printed to end, so a collector cleared by its
// destructor is no longer in use once this returns. Call it without holding a
// lock that AddText or EndGroup take.
void SetMessageCollector(QLNMessagesHandler* collector);
