// A plot-history file as the manager finds it on disk, opened over a model
// of four variables in this process's scratch folder. Whatever the bytes:
// nothing crashes; a file that cannot be used is set aside byte for byte
// and a new one made; a file that opens has a sound block graph, and after
// recording, truncating and reopening still has one, with the values just
// recorded readable from it. A broken promise aborts, which libFuzzer
// reports.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "fuzz/fuzz_support.h"
#include "results/plot/plot_history_mgr.h"
#include "tests/results/plot_image.h"
#include "tests/results/plot_model_fakes.h"

namespace {

void Require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "plot_file: %s\n", what);
  std::abort();
}

bool Sound() { return plotimage::Read(plotimage::ReadFile(plot::kFileName)).problem.empty(); }

void Check(const vantor_fuzz::Bytes& bytes) {
  {
    std::ofstream out(plot::kFileName, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  plottest::FakeModel model;
  for (const char* name : {"v0", "v1", "B1.T", "x"}) model.Add(name, 1.0);
  double t0 = 0.0;
  double cut = 0.0;  // where the recording is truncated
  {
    SputPlotHistoryMgr mgr(&model);
    Require(mgr.Open(false) == status::kOk, "the history did not open");
    if (std::filesystem::exists(plot::kSetAsideName)) {
      Require(plotimage::ReadFile(plot::kSetAsideName) == bytes, "a set-aside file was changed");
    }
    Require(Sound(), "the opened file's block graph is broken");
    for (int i = 0; i < model.VariableCount(); ++i) mgr.AddVariable(model.VariableAt(i));
    t0 = mgr.LastTime();
    cut = t0 + 10.5;
    for (int k = 0; k < 20; ++k) {
      for (int i = 0; i < model.VariableCount(); ++i)
        model.list[static_cast<std::size_t>(i)]->value = std::sin(k + i) * (i + 1);
      mgr.RecordValues(t0 + k, nullptr);
    }
    Require(Sound(), "recording broke the block graph");
    mgr.TruncateAt(cut, false);
    Require(Sound(), "truncation broke the block graph");
    mgr.StopVariable(model.VariableAt(1));
  }
  SputPlotHistoryMgr again(&model);
  Require(again.Open(false) == status::kOk, "the history did not reopen");
  Require(!std::filesystem::exists(std::string(plot::kSetAsideName) + "1"),
          "our own file was set aside");
  Require(again.EntryCount() == 4, "a recorded variable was lost");
  const plotimage::Image image = plotimage::Read(plotimage::ReadFile(plot::kFileName));
  Require(image.problem.empty(), "the reopened block graph is broken");
  if (cut > 0.0) {
    const auto& h = image.histories.at("v0");
    Require(!plotimage::ValuesAt(h, image.last_time).empty(), "v0 has no value at the last time");
  } else {
    // A truncation at a time not after 0 starts the recording again at 0.
    Require(image.last_time == 0.0 && image.started == 0,
            "a truncation before time 0 did not restart the recording at 0");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace fs = std::filesystem;
  static const fs::path folder = fs::path(vantor_fuzz::ScratchFolder()) / "plot";
  static const bool quiet = [] {
    vantor_fuzz::InstallQuietCollector();
    return true;
  }();
  (void)quiet;
  const fs::path before = fs::current_path();
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  fs::create_directories(folder, ignored);
  if (::chdir(folder.c_str()) != 0) return 0;
  Check(vantor_fuzz::BytesOf(data, size));
  fs::current_path(before, ignored);
  return 0;
}
