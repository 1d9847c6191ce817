// RecordValues of 10,000 and 100,000 variables per step, every variable
// storing a point at every step (the heaviest case: one 256-byte block write
// per variable), beside a plain pwrite of the same blocks at the same
// offsets. Reported as blocks per second, with "vs_pwrite" the ratio of our
// time per step to the plain writes' (1.0 would be no overhead).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "results/plot/plot_history_mgr.h"
#include "tests/results/plot_model_fakes.h"

namespace {

std::string BenchFolder() {
  static const std::string folder = [] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vantor-plotbench-XXXXXX").string();
    const char* made = ::mkdtemp(pattern.data());
    return std::string(made != nullptr ? made : ".");
  }();
  return folder;
}

// The same number of 256-byte writes at block offsets; seconds per step.
double PlainWriteSeconds(std::size_t blocks, int steps) {
  const std::string name = BenchFolder() + "/plain.bin";
  const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) std::abort();
  std::vector<unsigned char> block(256, 0x5A);
  // The file at its full size first, as the history's is after its first step.
  for (std::size_t b = 0; b < blocks; ++b) {
    if (::pwrite(fd, block.data(), block.size(), static_cast<off_t>(256 * (b + 2))) != 256)
      std::abort();
  }
  const auto start = std::chrono::steady_clock::now();
  for (int s = 0; s < steps; ++s) {
    for (std::size_t b = 0; b < blocks; ++b) {
      block[0] = static_cast<unsigned char>(s);
      if (::pwrite(fd, block.data(), block.size(), static_cast<off_t>(256 * (b + 2))) != 256)
        std::abort();
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ::close(fd);
  std::filesystem::remove(name);
  return seconds / steps;
}

void BM_RecordValues(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(BenchFolder());
  std::filesystem::remove(plot::kFileName);
  plottest::FakeModel model;
  std::vector<plottest::FakeVariable*> vars;
  for (std::size_t i = 0; i < count; ++i)
    vars.push_back(model.Add(std::string(1, 'v').append(std::to_string(i))));
  {
    SputPlotHistoryMgr mgr(&model);
    if (mgr.Open(false) != status::kOk) std::abort();
    for (auto* v : vars) mgr.AddVariable(v);
    double t = 0.0;
    int steps = 0;
    double seconds = 0.0;
    for (auto _ : state) {
      state.PauseTiming();
      // Alternating values leave every line at every step.
      for (std::size_t i = 0; i < count; ++i) vars[i]->value = (steps % 2 == 0 ? 1.0 : 2.0) + i;
      if (steps > 0 && steps % 14 == 0) mgr.Reset(), t = 0.0;
      state.ResumeTiming();
      const auto start = std::chrono::steady_clock::now();
      mgr.RecordValues(t, nullptr);
      seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      t += 0.5;
      ++steps;
    }
    state.counters["vs_pwrite"] =
        (seconds / steps) / PlainWriteSeconds(count, std::max(1, std::min(steps, 5)));
    state.SetItemsProcessed(static_cast<std::int64_t>(steps) * static_cast<std::int64_t>(count));
  }
  std::filesystem::remove(plot::kFileName);
  std::filesystem::current_path(before);
}
BENCHMARK(BM_RecordValues)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
