// Service-114 requests of the control-design manager, several to an input,
// over a linearised tank (references are u32 ids: 1 the level, 2 the inflow,
// 3 a variable outside the Jacobian): set-ups, computations with their
// replies, and clears. A step response may ask for 2^32 steps: the engine
// stops it when told to, here after a bounded number of them.
#include "analysis/control_design/cdi_mgr.h"
#include "framework/messaging/message.h"
#include "fuzz/byte_stream.h"
#include "tests/analysis/control_fakes.h"

namespace {
constexpr int kMostRequests = 16;
constexpr int kMostSteps = 100000;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantor_fuzz::ByteStream body(std::vector<std::uint8_t>(data, data + size));
  analysis_fakes::FakeCdiServices services;
  services.vars.Add(1, "h", 4.0);
  services.vars.Add(2, "q", 1.0);
  services.vars.Add(3, "other", 0.0);
  services.stop_after = kMostSteps;
  CDIManager manager(services);
  for (int n = 0; n < kMostRequests && body.Remaining() > 0; ++n) {
    const std::size_t before = body.Remaining();
    DseMessage* reply = nullptr;
    manager.Serve(body, &reply);
    delete reply;
    if (body.Remaining() == before) break;
  }
  manager.Clear(true);
  return 0;
}
