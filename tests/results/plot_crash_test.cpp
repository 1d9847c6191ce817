// A child process stopped at every write of a plot-history operation leaves
// a file that reopens, whose block graph holds, and that still holds every
// value of each call completed before the stop.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <functional>

#include "platform/posix_file.h"
#include "plot_fakes.h"
#include "plot_image.h"
#include "results/plot/plot_history_mgr.h"

namespace plottest {
namespace {

class PlotCrash : public PlotFolder {
 protected:
  PlotCrash() {
    for (int i = 0; i < 4; ++i)
      vars_.push_back(model_.Add(std::string(1, 'v').append(std::to_string(i))));
  }

  void SetValues(int k) {
    for (std::size_t i = 0; i < vars_.size(); ++i) {
      // Some values step about so that chains grow past one block.
      vars_[i]->value = i % 2 == 0 ? std::sin(0.7 * k + i) * 10 : 1.0 + k * 0.5;
      if (i == 3 && k % 2 == 1) vars_[i]->value += 3.0;
    }
  }

  // A file of 40 completed calls.
  void BuildBase() {
    SputPlotHistoryMgr mgr(&model_);
    ASSERT_EQ(mgr.Open(false), 0u);
    for (FakeVariable* v : vars_) ASSERT_EQ(mgr.AddVariable(v), 0u);
    for (int k = 0; k < 40; ++k) {
      SetValues(k);
      ASSERT_EQ(mgr.RecordValues(k, nullptr), 0u);
      for (std::size_t i = 0; i < vars_.size(); ++i)
        recorded_[i].push_back({vars_[i]->value, double(k)});
    }
    ASSERT_EQ(mgr.Close(), 0u);
    std::filesystem::copy_file(plot::kFileName, "base.keep",
                               std::filesystem::copy_options::overwrite_existing);
  }

  int StoppedChild(std::uint64_t n, const std::function<void(SputPlotHistoryMgr&)>& act) {
    const pid_t child = ::fork();
    if (child == 0) {
      SputPlotHistoryMgr mgr(&model_);
      if (status::IsFailure(mgr.Open(false))) ::_exit(3);
      platform::SetFileFaultCountdown(n);
      act(mgr);
      ::_exit(0);
    }
    int wait_status = 0;
    if (child < 0 || ::waitpid(child, &wait_status, 0) != child || !WIFEXITED(wait_status))
      return -1;
    return WEXITSTATUS(wait_status);
  }

  // Reopens, checks the graph, and every recorded value up to `until`.
  void Check(double until) {
    {
      SputPlotHistoryMgr mgr(&model_);
      ASSERT_EQ(mgr.Open(false), 0u);
      EXPECT_GE(mgr.EntryCount(), vars_.size());
    }
    const plotimage::Image image = plotimage::Read(plotimage::ReadFile(plot::kFileName));
    ASSERT_EQ(image.problem, "");
    for (std::size_t i = 0; i < vars_.size(); ++i) {
      const auto& h = image.histories.at(vars_[i]->FullName());
      for (const plotimage::Point& p : recorded_[i]) {
        if (p.time > until) continue;
        bool near = false;
        for (double a : plotimage::ValuesAt(h, p.time))
          near = near || std::fabs(a - p.value) <= 2 * image.tolerance * 20 + 1e-12;
        EXPECT_TRUE(near) << vars_[i]->FullName() << " at " << p.time << " v " << p.value
                          << " answers " << ::testing::PrintToString(plotimage::ValuesAt(h, p.time))
                          << " last " << h.segments.back().points.back().time << ","
                          << h.segments.back().points.back().value << " slope "
                          << h.segments.back().slope << " image last " << image.last_time;
      }
    }
  }

  void Run(const char* label, const std::function<void(SputPlotHistoryMgr&)>& act,
           double keeps_until) {
    BuildBase();
    std::uint64_t points = 0;
    {
      SputPlotHistoryMgr mgr(&model_);
      ASSERT_EQ(mgr.Open(false), 0u);
      const std::uint64_t before = platform::FileFaultPointCount();
      act(mgr);
      points = platform::FileFaultPointCount() - before;
    }
    ASSERT_GT(points, 0u);
    for (std::uint64_t n = 1; n <= points + 1; ++n) {
      SCOPED_TRACE(::testing::Message() << label << " stopped at write " << n << " of " << points);
      std::filesystem::copy_file("base.keep", plot::kFileName,
                                 std::filesystem::copy_options::overwrite_existing);
      EXPECT_EQ(StoppedChild(n, act), n <= points ? platform::kFileFaultExitCode : 0);
      Check(keeps_until);
    }
  }

  FakeModel model_;
  std::vector<FakeVariable*> vars_;
  std::vector<plotimage::Point> recorded_[4];
};

TEST_F(PlotCrash, RecordValuesStoppedAtEveryWrite) {
  Run(
      "record",
      [this](SputPlotHistoryMgr& mgr) {
        for (int k = 40; k < 44; ++k) {
          SetValues(k);
          mgr.RecordValues(k, nullptr);
        }
      },
      39.0);
}

TEST_F(PlotCrash, TruncateAtStoppedAtEveryWrite) {
  Run(
      "truncate", [](SputPlotHistoryMgr& mgr) { mgr.TruncateAt(12.5, false); }, 12.0);
}

TEST_F(PlotCrash, ResetStoppedAtEveryWrite) {
  Run(
      "reset", [](SputPlotHistoryMgr& mgr) { mgr.Reset(); }, -1.0);
}

TEST_F(PlotCrash, AddVariableStoppedAtEveryWrite) {
  Run(
      "add",
      [this](SputPlotHistoryMgr& mgr) {
        for (int i = 0; i < 3; ++i)
          mgr.AddVariable(model_.Add(std::string("late").append(std::to_string(i))));
      },
      39.0);
}

}  // namespace
}  // namespace plottest
