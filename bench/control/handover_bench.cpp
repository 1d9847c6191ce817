// One run step's round trip through the hand-over of the run thread (the
// server releases the step, the thread runs an empty step and hands back,
// the server collects it), beside a plain condition-variable ping-pong
// between two threads measured in the same run ("x_pingpong" is the ratio).
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "control/problem/run_thread.h"

namespace {

using Clock = std::chrono::steady_clock;

class EmptyStep : public SimRunStepper {
 public:
  Status ThreadSetUp() override { return 0; }
  bool HandsBackFirst() override { return true; }
  bool StepAllowed() override { return true; }
  Status RunStep() override { return 0; }
};

// The mean time of one ping-pong exchange in this run, in nanoseconds.
double PingPongNanos(int rounds) {
  std::mutex lock;
  std::condition_variable changed;
  int turn = 0;  // 0: the server's, 1: the other thread's, 2: end
  std::thread other([&] {
    std::unique_lock<std::mutex> hold(lock);
    for (;;) {
      changed.wait(hold, [&] { return turn != 0; });
      if (turn == 2) return;
      turn = 0;
      changed.notify_all();
    }
  });
  const auto start = Clock::now();
  {
    std::unique_lock<std::mutex> hold(lock);
    for (int i = 0; i < rounds; ++i) {
      turn = 1;
      changed.notify_all();
      changed.wait(hold, [&] { return turn == 0; });
    }
    turn = 2;
    changed.notify_all();
  }
  const double each =
      std::chrono::duration<double, std::nano>(Clock::now() - start).count() / rounds;
  other.join();
  return each;
}

void BM_HandoverStep(benchmark::State& state) {
  EmptyStep stepper;
  auto handover = SimRunHandover::Create(&stepper);
  handover->StartSolverThread(true);
  const auto start = Clock::now();
  for (auto _ : state) {
    handover->ReleaseStep();
    while (handover->TakeRunLock() != 0) {
    }
    handover->RunOneStep();
  }
  const double each = std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
                      static_cast<double>(state.iterations());
  handover->Shutdown();
  state.counters["x_pingpong"] = each / PingPongNanos(2000);
}
BENCHMARK(BM_HandoverStep)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
