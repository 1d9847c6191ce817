// A report-creation request: the first byte picks the kind (0 to 3, 3 not
// a kind), the rest is the body. Whatever the bytes: nothing crashes; a
// report that is made counts no more found variables than requested, and
// answers its flag request, its data request (from a small recorded
// history: a profile with a time recorded answers with the values there)
// and its print (its first 64 KiB: a profile of 2^20 times prints a line
// for each). A broken promise aborts, which libFuzzer reports.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <ostream>
#include <streambuf>

#include "framework/messaging/message.h"
#include "fuzz/byte_stream.h"
#include "fuzz/fuzz_support.h"
#include "results/plot/plot_report.h"
#include "tests/results/plot_model_fakes.h"

namespace {

void Require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "plot_report: %s\n", what);
  std::abort();
}

// Takes the first bytes written and refuses the rest, so the stream goes bad
// and the writes after it cost next to nothing.
class BoundedSink : public std::streambuf {
 protected:
  int_type overflow(int_type c) override {
    if (taken_ >= kMost) return traits_type::eof();
    ++taken_;
    return traits_type::not_eof(c);
  }

 private:
  static constexpr std::size_t kMost = 1u << 16;
  std::size_t taken_ = 0;
};

class Owner : public PlotReportOwner {
 public:
  Owner() {
    namespace fs = std::filesystem;
    const fs::path folder = fs::path(vantor_fuzz::ScratchFolder()) / "plot-report";
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    fs::create_directories(folder, ignored);
    const fs::path before = fs::current_path();
    if (::chdir(folder.c_str()) != 0) return;
    for (const char* name : {"a", "b", "c"}) model_.Add(name, 1.0);
    mgr_.Open(false);
    for (int i = 0; i < 3; ++i) mgr_.AddVariable(model_.VariableAt(i));
    for (int k = 0; k <= 30; ++k) {
      for (int i = 0; i < 3; ++i)
        model_.list[static_cast<std::size_t>(i)]->value = (k * (i + 2)) % 5;
      mgr_.RecordValues(k * 0.5, nullptr);
    }
    fs::current_path(before, ignored);
  }
  PlotEntryRef ResolveVariable(const BvuIdPath& path) override {
    return mgr_.EntryFor(model_.ResolveIdPath(path));
  }
  Status FillReport(SimPlotReport& report, BvuBinaryStream& reply) override {
    return mgr_.FillReport(report, reply, 0.25);
  }
  plottest::FakeModel model_;
  SputPlotHistoryMgr mgr_{&model_};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Owner* owner = [] {
    vantor_fuzz::InstallQuietCollector();
    return new Owner;
  }();
  if (size == 0) return 0;
  DseMessage request(55, DseMessage::kRequest);
  vantor_fuzz::ByteStream body(vantor_fuzz::Bytes(data + 1, data + size));
  SimPlotReport* made = nullptr;
  const Status created = SimPlotReport::Create(data[0] % 4u, owner, request, body, &made);
  std::unique_ptr<SimPlotReport> report(made);
  Require(status::IsSuccess(created) == (report != nullptr), "status and report disagree");
  if (report == nullptr) return 0;
  Require(report->FoundCount() <= report->RequestedCount(), "more found than requested");
  Require(report->RequestedCount() <= size / 3, "more variables than the body could name");
  DseMessage* reply = nullptr;
  Require(report->BuildHeader(&reply) == status::kOk && reply != nullptr, "no flag reply");
  delete reply;
  reply = nullptr;
  const Status filled = report->Fill(&reply);
  if (report->IsProfile()) {
    auto& profile = static_cast<SimProfileReport&>(*report);
    const double last = owner->mgr_.LastTime() + profile.TimeTolerance();
    const bool recorded = profile.TimesUpTo(last) > 0 && profile.FoundCount() > 0;
    Require(status::IsFailure(filled) || (reply != nullptr) == recorded,
            "a profile with recorded times sent nothing, or one without sent something");
    Require(reply == nullptr ||
                static_cast<std::int32_t>(profile.TimesUpTo(last)) == profile.HighestFilled() + 1,
            "a profile filled other times than those recorded");
  }
  delete reply;
  BoundedSink sink;
  std::ostream out(&sink);
  report->Print(out);
  return 0;
}
