// Collects the engine's message lines as groups, each closed with a status,
// and sends all finished groups to the client in one event at the control
// loop's fixed points. Printing threads add and close groups; the server
// thread sends or clears them; one lock guards everything.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "foundation/messages/messages_handler.h"
#include "platform/critical_section.h"
#include "platform/status.h"

class SputMessageCollector final : public QLNMessagesHandler {
 public:
  // Event code of a message-log group.
  static constexpr std::uint32_t kEventCode = 16;

  // Becomes the process-wide collector. Lines of a failed group are also
  // written to dialog while a problem manager exists.
  explicit SputMessageCollector(std::FILE* dialog = stdout);
  ~SputMessageCollector();
  SputMessageCollector(const SputMessageCollector&) = delete;
  SputMessageCollector& operator=(const SputMessageCollector&) = delete;

  static SputMessageCollector* Instance();

  std::uint32_t AddText(const char* text) override;
  std::uint32_t EndGroup(Status status) override;
  // Drops every finished group.
  Status ClearGroups();
  // Posts the finished groups as one event and drops them; nothing is posted
  // without a group. Server thread only. The status of the post.
  Status SendGroups();

  // Finished groups waiting to be sent.
  std::int32_t GroupCount();

 private:
  struct Group {
    Status status;
    std::vector<std::string> texts;
  };

  platform::CriticalSection lock_;
  std::FILE* dialog_;
  std::vector<std::string> current_;
  std::vector<Group> finished_;
};
