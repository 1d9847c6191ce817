// Messaging: framing a 1 MB body into segments and reading the frames back,
// against a plain copy of the same bytes; and, over the named-pipe pair to
// the test engine, small request/reply round trips and 1 MB echoes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "framework/messaging/message.h"
#include "framework/connections/segment.h"
#include "tools/test_engine/protocol.h"
#include "tools/client.h"

namespace {

constexpr std::size_t kMegabyte = 1 << 20;

std::unique_ptr<DseMessage> Framed(const std::string& text) {
  auto message = std::make_unique<DseMessage>(test_engine::kService, DseMessage::kRequest);
  message->PutString(text.c_str());
  message->Pack(true);
  return message;
}

void BM_Memcpy(benchmark::State& state) {
  const std::vector<char> from(kMegabyte, 'x');
  std::vector<char> to(kMegabyte);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), kMegabyte);
    benchmark::DoNotOptimize(to.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kMegabyte));
}
BENCHMARK(BM_Memcpy);

void BM_FrameMessage(benchmark::State& state) {
  const std::string text(kMegabyte - 1, 'x');
  for (auto _ : state) benchmark::DoNotOptimize(Framed(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kMegabyte));
}
BENCHMARK(BM_FrameMessage);

void BM_ParseFrames(benchmark::State& state) {
  const auto message = Framed(std::string(kMegabyte - 1, 'x'));
  std::vector<unsigned char> wire;
  for (DseSegment* s = message->FirstSegment(); s != nullptr; s = s->next) {
    wire.insert(wire.end(), s->frame, s->frame + s->FrameSize());
  }
  for (auto _ : state) {
    const unsigned char* place = wire.data();
    while (place < wire.data() + wire.size()) {
      DseSegment* segment = DseSegment::Make(nullptr);
      DseSegment::ParseFrame(segment, &place, wire.data() + wire.size());
      DseSegment::ReturnToPool(segment);
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * wire.size()));
}
BENCHMARK(BM_ParseFrames);

#ifdef VANTOR_TEST_ENGINE
// One engine for every exchange of the run.
vantor_client::Client* Engine() {
  static std::unique_ptr<vantor_client::Client> client = [] {
    vantor_client::EngineOptions options;
    options.program = VANTOR_TEST_ENGINE;
    std::unique_ptr<vantor_client::Client> started;
    vantor_client::Client::Start(options, &started);
    return started;
  }();
  return client.get();
}

void Echo(benchmark::State& state, std::size_t size) {
  vantor_client::Client* client = Engine();
  if (client == nullptr) {
    state.SkipWithError("the test engine did not start");
    return;
  }
  const std::vector<std::uint8_t> body(size, 7);
  for (auto _ : state) {
    auto request = std::make_unique<vantor_client::Request>(test_engine::kService);
    request->PutUInt16(test_engine::kEcho);
    for (std::uint8_t byte : body) request->PutUInt8(byte);
    std::uint32_t id = 0;
    if (client->Send(std::move(request), &id) != 0 || client->Await(id) != 0) {
      state.SkipWithError("the exchange failed");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 2 * size));
}

void BM_RoundTrip(benchmark::State& state) { Echo(state, 8); }
BENCHMARK(BM_RoundTrip)->Unit(benchmark::kMicrosecond);

void BM_BulkEcho(benchmark::State& state) { Echo(state, kMegabyte); }
BENCHMARK(BM_BulkEcho)->Unit(benchmark::kMillisecond);
#endif

}  // namespace

BENCHMARK_MAIN();
