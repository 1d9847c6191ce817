#include "foundation/messages/messages_handler.h"

#include <atomic>

#include "foundation/messages/su_print.h"

namespace {
// Written under the printer's lock, so that a collector never changes or
// goes away in the middle of a message; the printer reads it once a message.
std::atomic<QLNMessagesHandler*> g_collector{nullptr};
}  // namespace

QLNMessagesHandler* GetMessageCollector() { return g_collector.load(std::memory_order_acquire); }

void SetMessageCollector(QLNMessagesHandler* collector) {
  platform::CriticalSectionLock lock(SuPrintCriticalSection());
  g_collector.store(collector, std::memory_order_release);
}
