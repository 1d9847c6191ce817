// The client's reader of the actions' messages on service 67. The first
// byte picks the creation body (bit 0: a monitor's, else a synchronisation
// action's); the rest follows that body as the engine's message would.
#include <cstdlib>

#include "fuzz/fuzz_support.h"
#include "tools/action_messages.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool monitor = (data[0] & 1) != 0;
  vantor_client::TimeMonitorSpec spec;
  spec.name = "M";
  spec.tags = {7};
  spec.time = 1.0;
  const vantor_client::Bytes body = monitor ? vantor_client::TimeMonitorBody(spec)
                                            : vantor_client::SyncActionBody("S");
  vantor_client::Bytes received = body;
  received.insert(received.end(), data + 1, data + size);
  vantor_client::ActionMessage message;
  // What was read is bounded by what arrived: four bytes a tag, eight a value.
  if (vantor_client::DecodeActionMessage(body, received, monitor, &message) &&
      message.tags.size() * 4 + message.values.size() * 8 > received.size())
    std::abort();
  std::uint64_t handle = 0;
  vantor_client::CreatedHandle(vantor_client::Bytes(data, data + size), &handle);
  return 0;
}
