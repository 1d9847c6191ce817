#include "foundation/bad_input.h"

#include <cstdio>

#include "foundation/messages_handler.h"

void ReportBadInput(Status status, const std::string& text) {
  QLNMessagesHandler* collector = GetMessageCollector();
  if (collector == nullptr) {
    std::fprintf(stdout, "%s\n", text.c_str());
    return;
  }
  collector->AddText(text.c_str());
  collector->EndGroup(status);
}
