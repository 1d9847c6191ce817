// Messaging: framing a 1 MB body into segments, taking the frames back and
// reassembling them into a message, each beside a plain copy of the same
// bytes measured in the same run ("x_memcpy" is the ratio); and, against
// the test engine, starting it (client start to completed handshake) over
// the named-pipe pair and over TCP, small round trips and 1 MB echoes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "framework/connections/segment.h"
#include "framework/messaging/message.h"
#include "tools/client.h"
#include "tools/test_engine/protocol.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMegabyte = 1 << 20;

std::unique_ptr<DseMessage> Framed(const std::string& text) {
  auto message = std::make_unique<DseMessage>(test_engine::kService, DseMessage::kRequest);
  message->PutString(text.c_str());
  message->Pack(true);
  return message;
}

std::vector<unsigned char> WireOf(const DseMessage& message) {
  std::vector<unsigned char> wire;
  for (DseSegment* s = message.FirstSegment(); s != nullptr; s = s->next) {
    wire.insert(wire.end(), s->frame, s->frame + s->FrameSize());
  }
  return wire;
}

// The mean time of a memcpy of size bytes in this run, in nanoseconds.
double MemcpyNanos(std::size_t size) {
  const std::vector<char> from(size, 'x');
  std::vector<char> to(size);
  constexpr int kCopies = 200;
  std::memcpy(to.data(), from.data(), size);
  const auto start = Clock::now();
  for (int i = 0; i < kCopies; ++i) {
    std::memcpy(to.data(), from.data(), size);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kCopies;
}

// Times the loop by hand to report its ratio to a memcpy of size bytes.
template <class Body>
void AgainstMemcpy(benchmark::State& state, std::size_t size, Body body) {
  const double copy = MemcpyNanos(size);
  const auto start = Clock::now();
  for (auto _ : state) body();
  const double each = std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
                      static_cast<double>(state.iterations());
  state.counters["x_memcpy"] = each / copy;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
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
  AgainstMemcpy(state, kMegabyte, [&] { benchmark::DoNotOptimize(Framed(text)); });
}
BENCHMARK(BM_FrameMessage);

void BM_ParseFrames(benchmark::State& state) {
  const std::vector<unsigned char> wire = WireOf(*Framed(std::string(kMegabyte - 1, 'x')));
  AgainstMemcpy(state, wire.size(), [&] {
    const unsigned char* place = wire.data();
    while (place < wire.data() + wire.size()) {
      DseSegment* segment = DseSegment::Make(nullptr);
      DseSegment::ParseFrame(segment, &place, wire.data() + wire.size());
      DseSegment::ReturnToPool(segment);
    }
  });
}
BENCHMARK(BM_ParseFrames);

// Frames as they arrive: taken from the wire, their headers read, gathered
// into the message's chain and the message made (reading its body is the
// receiver's own copy, not counted).
void BM_Reassemble(benchmark::State& state) {
  const std::vector<unsigned char> wire = WireOf(*Framed(std::string(kMegabyte - 1, 'x')));
  AgainstMemcpy(state, wire.size(), [&] {
    DseAssemblyList list;
    DseMessage* message = nullptr;
    const unsigned char* place = wire.data();
    while (place < wire.data() + wire.size()) {
      DseSegment* segment = DseSegment::Make(nullptr);
      DseSegment::ParseFrame(segment, &place, wire.data() + wire.size());
      std::uint32_t klass = 0, type = 0, subtype = 0;
      DseSegment::UnpackHeader(segment, &klass, &type, &subtype);
      DseSegment* complete = nullptr;
      DseSegment::Assemble(segment, &list, &complete);
      if (complete != nullptr)
        message = DseMessage::DseMessageFromSegments(complete, klass, type, subtype);
    }
    benchmark::DoNotOptimize(message);
    delete message;
  });
}
BENCHMARK(BM_Reassemble);

#ifdef VANTOR_TEST_ENGINE
vantor_client::EngineOptions EngineAt(bool tcp) {
  vantor_client::EngineOptions options;
  options.program = VANTOR_TEST_ENGINE;
  options.tcp = tcp;
  return options;
}

// Client start until the handshake is complete; closing is not timed.
void EngineStart(benchmark::State& state, bool tcp) {
  for (auto _ : state) {
    std::unique_ptr<vantor_client::Client> client;
    const auto start = Clock::now();
    const Status started = vantor_client::Client::Start(EngineAt(tcp), &client);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    if (started != 0) {
      state.SkipWithError("the test engine did not start");
      return;
    }
    client->Close(nullptr);
  }
}

void BM_EngineStartPipes(benchmark::State& state) { EngineStart(state, false); }
BENCHMARK(BM_EngineStartPipes)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

void BM_EngineStartTcp(benchmark::State& state) { EngineStart(state, true); }
BENCHMARK(BM_EngineStartTcp)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

// One engine for every exchange of the run.
vantor_client::Client* Engine() {
  static std::unique_ptr<vantor_client::Client> client = [] {
    std::unique_ptr<vantor_client::Client> started;
    vantor_client::Client::Start(EngineAt(false), &started);
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
    // The replies are not kept: memory stays flat however long the run.
    client->Forget(id);
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
