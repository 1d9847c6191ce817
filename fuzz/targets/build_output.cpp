// A build's output, split into message lines as the build driver reads it:
// the first byte picks the size of the pieces the pipe delivers.
#include <cstdlib>
#include <string>
#include <string_view>

#include "foundation/messages/status_and_msg.h"
#include "platform/run_captured.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = 1 + data[0] * 8;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string joined;
  platform::OutputLines lines;
  auto sink = [&](const std::string& line) {
    if (line.empty() || line.size() > platform::OutputLines::kMaxLine) std::abort();
    joined += line;
    BvuStatusAndMsg message(0, "%s", line.c_str());
    if (message.GetText() == nullptr) std::abort();
  };
  for (std::size_t at = 0; at < text.size(); at += piece) lines.Feed(text.substr(at, piece), sink);
  lines.Finish(sink);
  if (joined != text) std::abort();
  return 0;
}
