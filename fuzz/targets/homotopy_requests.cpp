// Service-69 requests of the homotopy manager, several to an input, over a
// model of eight variables (references are their u32 ids), then a short run
// of hook points so that whatever the set-up left is stepped through.
#include "analysis/homotopy/homotopy_mgr.h"
#include "framework/messaging/message.h"
#include "fuzz/byte_stream.h"
#include "tests/analysis/control_fakes.h"

namespace {
constexpr int kMostRequests = 16;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantor_fuzz::ByteStream body(std::vector<std::uint8_t>(data, data + size));
  analysis_fakes::FakeHomotopyServices services;
  for (std::uint32_t id = 1; id <= 8; ++id) {
    std::string name(1, 'v');
    name.append(std::to_string(id));
    services.vars.Add(id, name, id);
  }
  HomotopyMgr manager(services);
  for (int n = 0; n < kMostRequests && body.Remaining() > 0; ++n) {
    const std::size_t before = body.Remaining();
    DseMessage* reply = nullptr;
    manager.Serve(body, &reply);
    delete reply;
    if (body.Remaining() == before) break;
  }
  services.iterations = {1, 2, 3};
  for (std::int32_t hook : {5, 6, 5, 6, 5, 3, 5, 6, 5, 6, 8}) {
    std::int32_t next = 0;
    services.hook = hook;
    manager.Execute(&next, nullptr, nullptr);
  }
  manager.DetachProblem("w", "NULL");
  return 0;
}
