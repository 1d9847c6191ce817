// The instance manager's receipt of the tank train's item list in the form a
// modelling environment sends it: the train's instance made, then its one
// description read (the time measured), then the tree emptied (reported as
// teardown_s). The engine's own share of the model's receipt, without the
// client, the connection or another process's noise.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <memory>

#include "control/managers/instance_mgr.h"
#include "framework/connections/segment.h"
#include "framework/messaging/message.h"
#include "tools/model_writer/tank_train.h"

namespace {

using Clock = std::chrono::steady_clock;
using MessagePtr = std::unique_ptr<DseMessage>;

MessagePtr Request(std::uint16_t kind) {
  auto message = std::make_unique<DseMessage>(SimInstanceMgr::kService, DseMessage::kRequest);
  message->PutUInt16(kind);
  return message;
}

// As received: every segment read from its start up to what was written.
Status Serve(SimInstanceMgr& manager, DseMessage& request) {
  for (DseSegment* s = request.FirstSegment(); s != nullptr; s = s->next) {
    s->window_end = s->cursor;
  }
  request.RereadFrom(request.FirstSegment()->DataStart());
  DseMessage* reply = nullptr;
  const Status result = manager.HandleRequest(SimInstanceMgr::kService, &request, &reply, nullptr);
  delete reply;
  return result;
}

void InstanceReceipt(benchmark::State& state) {
  const modelwriter::Step train_step{2, "Train"};
  double teardown = 0.0;
  for (auto _ : state) {
    auto manager = std::make_unique<SimInstanceMgr>();
    MessagePtr create = Request(SimInstanceMgr::kCreate);
    {
      modelwriter::Writer w(*create);
      w.U16(SimInstanceMgr::kInstanceTag);
      w.Placement({train_step});
    }
    MessagePtr fill = Request(SimInstanceMgr::kReplace);
    {
      modelwriter::Writer w(*fill);
      w.U16(SimInstanceMgr::kDescriptionTag);
      w.IdPath({2});
      modelwriter::TankTrain train;
      train.units = static_cast<std::uint32_t>(state.range(0));
      train.as_environment = true;
      train.Write(w, train_step);
    }
    if (Serve(*manager, *create) != 0) {
      state.SkipWithError("the train's instance was refused");
      return;
    }
    const auto start = Clock::now();
    const Status read = Serve(*manager, *fill);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    if (read != 0) {
      state.SkipWithError("the train's description was refused");
      return;
    }
    const auto emptied = Clock::now();
    manager.reset();
    teardown += std::chrono::duration<double>(Clock::now() - emptied).count();
  }
  state.counters["teardown_s"] = benchmark::Counter(teardown, benchmark::Counter::kAvgIterations);
}

BENCHMARK(InstanceReceipt)->ArgName("N")->Arg(1000)->Arg(10000)->UseManualTime()->Unit(
    benchmark::kMillisecond);

}  // namespace
