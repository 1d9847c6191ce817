// The heated tank train through the real engine and the vantor client, as
// a user drives it: two figures that compare the engine with itself in the
// same run.
//  - TankTrainReceipt: how long the engine takes to receive the model (the
//    fill of the instance node), at N and at 10 N units; "growth" is the
//    time at 10 N over ten times the time at N (1 for linear receipt).
//  - TankTrainPreparation: how long the engine takes to prepare the run
//    (command 6 until the run is ready) at N and at 10 N units, interleaved
//    N, 10 N, 10 N, N; "growth" as for the receipt.
//  - TankTrainPrintLevel: the dynamic run to t = 200 (communication interval
//    1, the feed stepped to 12 at t = 50, the last unit read after every
//    step) at PrintLevel 0 and at the default PrintLevel 2, interleaved;
//    "ratio" is the default's time over PrintLevel 0's, and the event lines
//    each posted are counted. The values of the two levels must agree.
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <string>

#include "tools/model_writer/tank_train.h"
#include "tools/road.h"
#include "tools/road_steps.h"

namespace {

using vantor_client::MakeCommand;
using vantor_scenario::Notification;
using vantor_scenario::Road;
using Clock = std::chrono::steady_clock;

const modelwriter::Step kNode{2, "Train"};

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// CPU seconds of the engines that have ended so far.
double EnginesCpu() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + 1e-6 * t.tv_usec; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// One engine with the train of `units` loaded; every figure it gives.
struct TrainRun {
  double receipt_s = -1;
  double prepare_s = -1;
  double dynamic_s = -1;
  double last_mass = NAN;
  double last_temperature = NAN;
  std::size_t lines = 0;
  std::string failure;
};

class TrainEngine {
 public:
  TrainEngine(const std::string& folder, std::uint32_t units) : folder_(folder) {
    train_.units = units;
  }

  // Starts the engine, names the run and sends the model; the fill's time
  // is the receipt.
  bool Load(TrainRun* run) {
    vantor_client::EngineOptions options;
    options.program = VANTOR_ENGINE;
    options.timeout_ms = 600000;
    options.services = {4, 55, 67, 81, 82, 85, 86, 95};
    std::string why;
    if (vantor_client::Client::Start(options, &client_, &why) != 0) return Fail(run, why);
    road_ = std::make_unique<Road>(*client_, &sink_);
    if (!road_->Expect(MakeCommand(50, 3, {}, {}, {"Train", folder_ + "/"}), "command 3", 0))
      return Fail(run, sink_.failure);
    auto create = vantor_scenario::InstanceEdit(5, 5);
    modelwriter::Writer(*create).Placement({kNode});
    if (!road_->Expect(std::move(create), "create", 0)) return Fail(run, sink_.failure);
    auto fill = vantor_scenario::InstanceEdit(3, 10);
    {
      modelwriter::Writer w(*fill);
      w.IdPath({2});
      train_.Write(w, kNode);
    }
    const auto start = Clock::now();
    if (!road_->Expect(std::move(fill), "fill", 0)) return Fail(run, sink_.failure);
    run->receipt_s = Seconds(start);
    return true;
  }

  // Sets the run's options and prepares it (command 6, timed until the
  // run is ready).
  bool Prepare(std::int32_t print_level, TrainRun* run) {
    Road& road = *road_;
    const bool set =
        road.Expect(MakeCommand(55, 32, {}, {1.0}), "command 32", 0) &&
        vantor_scenario::SetOption(road, 29, 4, "RunMode 4") &&
        vantor_scenario::SetOption(road, 30, 4, "Gear12") &&
        vantor_scenario::SetOption(road, 31, static_cast<std::uint32_t>(print_level),
                                   "PrintLevel") &&
        RealOption(130, 1e-6) && RealOption(131, 1e-8);
    if (!set) return Fail(run, sink_.failure);
    const auto start = Clock::now();
    if (!road.Expect(MakeCommand(50, 6, {0, 0}), "command 6", 0) ||
        !road.WaitNotice([](const Notification& n) { return (n.bits & 0x3C) == 0x3C; },
                         "prepared"))
      return Fail(run, sink_.failure);
    run->prepare_s = Seconds(start);
    return true;
  }

  // Prepares and runs the dynamic phase at `print_level`.
  bool Run(std::int32_t print_level, TrainRun* run) {
    Road& road = *road_;
    if (!Prepare(print_level, run) || !vantor_scenario::BeginRun(road, "request 31"))
      return Fail(run, sink_.failure);
    sink_.events.clear();
    const std::uint32_t last = train_.units;
    const auto start = Clock::now();
    for (int k = 0; k <= 200; ++k) {
      if (k == 51 && !vantor_scenario::SetReal(road, "Train.F0", 12.0, "the feed step"))
        return Fail(run, sink_.failure);
      if (!road.Expect(MakeCommand(50, 10), "command 10", 0) ||
          !road.WaitStep(k, "step " + std::to_string(k)) ||
          !road.Read(modelwriter::TankTrain::Index(last, modelwriter::TankTrain::kMass),
                     &run->last_mass, "M_N") ||
          !road.Read(modelwriter::TankTrain::Index(last, modelwriter::TankTrain::kTemperature),
                     &run->last_temperature, "T_N"))
        return Fail(run, sink_.failure);
    }
    run->dynamic_s = Seconds(start);
    road.Collect();
    run->lines = sink_.events.size();
    return true;
  }

  ~TrainEngine() {
    if (client_ == nullptr) return;
    if (road_ != nullptr && road_->Expect(MakeCommand(50, 2), "command 2", 0x00320024u))
      client_->WaitFor([&] { return client_->PeerLost(); });
    int exit_code = 0;
    client_->Close(&exit_code);
  }

 private:
  bool Fail(TrainRun* run, const std::string& why) {
    run->failure = why.empty() ? "failed" : why;
    return false;
  }
  bool RealOption(std::uint16_t number, double value) {
    auto request = std::make_unique<vantor_client::Request>(53, 8);
    modelwriter::Writer w(*request);
    w.IdPath({number}), w.U16(number), w.U16(0), w.U16(4), w.F64(value);
    return road_->Expect(std::move(request), "option " + std::to_string(number), 0);
  }

  std::string folder_;
  modelwriter::TankTrain train_;
  std::unique_ptr<vantor_client::Client> client_;
  std::unique_ptr<Road> road_;
  vantor_scenario::FirstOrderRun sink_;
};

std::string Folder(const char* name) {
  const std::string pipes = std::filesystem::temp_directory_path() / "vantor-train-bench";
  std::filesystem::create_directories(pipes);
  setenv("VANTOR_PIPE_DIR", pipes.c_str(), 1);
  setenv("VANTOR_REGISTRY", VANTOR_BUILD_REGISTRY, 1);
  const std::string folder = pipes + "/" + name;
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  return folder;
}

void TankTrainReceipt(benchmark::State& state) {
  const auto units = static_cast<std::uint32_t>(state.range(0));
  for (auto _ : state) {
    TrainRun small, large;
    {
      TrainEngine engine(Folder("small"), units);
      if (!engine.Load(&small)) return state.SkipWithError(small.failure.c_str());
    }
    {
      TrainEngine engine(Folder("large"), 10 * units);
      if (!engine.Load(&large)) return state.SkipWithError(large.failure.c_str());
    }
    state.SetIterationTime(large.receipt_s);
    state.counters["units"] = units;
    state.counters["receipt_s"] = small.receipt_s;
    state.counters["receipt_10x_s"] = large.receipt_s;
    state.counters["growth"] = large.receipt_s / (10.0 * small.receipt_s);
  }
}

void TankTrainPreparation(benchmark::State& state) {
  const auto units = static_cast<std::uint32_t>(state.range(0));
  for (auto _ : state) {
    TrainRun runs[4];
    const std::uint32_t sizes[4] = {units, 10 * units, 10 * units, units};
    for (int k = 0; k < 4; ++k) {
      TrainEngine engine(Folder(k % 2 == 0 ? "prepare-a" : "prepare-b"), sizes[k]);
      if (!engine.Load(&runs[k]) || !engine.Prepare(0, &runs[k]))
        return state.SkipWithError(runs[k].failure.c_str());
    }
    const double small = (runs[0].prepare_s + runs[3].prepare_s) / 2;
    const double large = (runs[1].prepare_s + runs[2].prepare_s) / 2;
    state.SetIterationTime(large);
    state.counters["units"] = units;
    state.counters["prepare_s"] = small;
    state.counters["prepare_10x_s"] = large;
    state.counters["ratio"] = large / small;
    state.counters["growth"] = large / (10.0 * small);
  }
}

void TankTrainPrintLevel(benchmark::State& state) {
  const auto units = static_cast<std::uint32_t>(state.range(0));
  for (auto _ : state) {
    // In the order 0, 2, 2, 0, so that neither level gains from going first
    // or last; the times are the sums of each level's two runs.
    TrainRun runs[4];
    double cpu[4] = {0, 0, 0, 0};
    const std::int32_t levels[4] = {0, 2, 2, 0};
    for (int k = 0; k < 4; ++k) {
      const double before = EnginesCpu();
      {
        TrainEngine engine(Folder(k % 2 == 0 ? "print-a" : "print-b"), units);
        if (!engine.Load(&runs[k]) || !engine.Run(levels[k], &runs[k]))
          return state.SkipWithError(runs[k].failure.c_str());
      }
      cpu[k] = EnginesCpu() - before;
    }
    const double quiet = runs[0].dynamic_s + runs[3].dynamic_s;
    const double chatty = runs[1].dynamic_s + runs[2].dynamic_s;
    state.SetIterationTime(chatty / 2);
    state.counters["units"] = units;
    state.counters["level0_s"] = quiet / 2;
    state.counters["level2_s"] = chatty / 2;
    state.counters["ratio"] = chatty / quiet;
    // The engines' own CPU time, start to end: less at the mercy of a busy
    // machine than the wall time.
    state.counters["cpu_ratio"] = (cpu[1] + cpu[2]) / (cpu[0] + cpu[3]);
    state.counters["level0_lines"] = static_cast<double>(runs[0].lines);
    state.counters["level2_lines"] = static_cast<double>(runs[1].lines);
    state.counters["mass_difference"] = std::fabs(runs[1].last_mass - runs[0].last_mass);
    state.counters["temperature_difference"] =
        std::fabs(runs[1].last_temperature - runs[0].last_temperature);
  }
}

BENCHMARK(TankTrainReceipt)
    ->Arg(1)
    ->Arg(10)
    ->Arg(1000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(TankTrainPreparation)
    ->Arg(100)
    ->Arg(1000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(TankTrainPrintLevel)
    ->Arg(100)
    ->Arg(1000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
