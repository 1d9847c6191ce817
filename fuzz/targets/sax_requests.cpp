// Service-115 requests of the outside-procedure action, several to an input
// (references are u32 ids; 1..9 resolve): switches, group and item requests
// with no procedure behind their keys, and clears. Inputs holding the kinds
// that load a library by path (86, 95) are skipped, so that no input loads
// an arbitrary library.
#include "analysis/outside/sax_action.h"
#include "framework/messaging/message.h"
#include "fuzz/byte_stream.h"
#include "tests/analysis/control_fakes.h"

namespace {
constexpr int kMostRequests = 16;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Kinds 86 and 95 load the library their path names: keep them out.
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    const std::uint16_t kind = static_cast<std::uint16_t>(data[i] | (data[i + 1] << 8));
    if (kind == 86 || kind == 95) return 0;
  }
  vantor_fuzz::ByteStream body(std::vector<std::uint8_t>(data, data + size));
  analysis_fakes::FakeSaxServices services;
  SAXAction action(services);
  for (int n = 0; n < kMostRequests && body.Remaining() > 0; ++n) {
    const std::size_t before = body.Remaining();
    DseMessage* reply = nullptr;
    action.Serve(body, &reply);
    delete reply;
    if (body.Remaining() == before) break;
  }
  action.Clear();
  return 0;
}
