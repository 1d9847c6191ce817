#include <cstring>

#include "foundation/messages/message_line.h"
#include "foundation/messages/status_and_msg.h"
#include "foundation/messages/su_print.h"

void PrintStatusAndMsg(BvuStatusAndMsg* message) {
  if (message == nullptr) return;
  {
    // The run thread prints at the same time; the line is shared.
    platform::CriticalSectionLock lock(SuPrintCriticalSection());
    BeginMessage();
    if (const char* text = message->GetText()) PutMessageText(text, std::strlen(text));
    EndMessage(message->GetStatus());
  }
  BvuCollectable::Destroy(message);
}
