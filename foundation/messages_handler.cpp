#include "foundation/messages_handler.h"

#include <atomic>

namespace {
// Read by whichever thread prints, written by the server thread.
std::atomic<QLNMessagesHandler*> g_collector{nullptr};
}  // namespace

QLNMessagesHandler* GetMessageCollector() { return g_collector.load(std::memory_order_acquire); }

void SetMessageCollector(QLNMessagesHandler* collector) {
  g_collector.store(collector, std::memory_order_release);
}
