// The plot-history file: its bytes, the compression read back by an
// independent reader, the block graph after every operation, reopening and
// the files that cannot be used.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>

#include "plot_fakes.h"
#include "plot_image.h"
#include "results/plot/plot_history_mgr.h"
#include "tests/support/golden.h"

namespace plottest {
namespace {

using plotimage::Image;
using testsupport::HexBytes;
using testsupport::SameBytes;

Image Checked(const char* name = plot::kFileName) {
  Image image = plotimage::Read(plotimage::ReadFile(name));
  EXPECT_EQ(image.problem, "");
  return image;
}

plotimage::Bytes BlockOf(const plotimage::Bytes& file, std::size_t n) {
  return {file.begin() + 256 * n, file.begin() + 256 * (n + 1)};
}

class PlotHistory : public PlotFolder {
 protected:
  FakeModel model_;
  SputPlotHistoryMgr mgr_{&model_};
};

TEST_F(PlotHistory, NewFileHoldsHeaderAndFirstDirectoryBlock) {
  ASSERT_EQ(mgr_.Open(false), 0u);
  const auto file = plotimage::ReadFile(plot::kFileName);
  ASSERT_EQ(file.size(), 512u);
  // own 0, first directory 1, kind 1, format 4, free 0/0, entries 0, next
  // never-used 2, not started, 0, last time 0.0, tolerance 0.0001.
  auto header = HexBytes(
      "00000000 01000000 01000000 04000000 00000000 00000000 00000000 02000000"
      "00000000 00000000 0000000000000000 2D431CEBE2361A3F");
  header.resize(256, 0);
  EXPECT_TRUE(SameBytes(header, BlockOf(file, 0)));
  auto directory = HexBytes("01000000 00000000 02000000 00000000");
  directory.resize(256, 0);
  EXPECT_TRUE(SameBytes(directory, BlockOf(file, 1)));
}

TEST_F(PlotHistory, FirstRecordingWritesPointOpenPairAndState) {
  ASSERT_EQ(mgr_.Open(false), 0u);
  FakeVariable* x = model_.Add("B1.x", 2.5);
  ASSERT_EQ(mgr_.AddVariable(x), 0u);
  ASSERT_EQ(mgr_.RecordValues(0.0, nullptr), 0u);
  const auto file = plotimage::ReadFile(plot::kFileName);
  ASSERT_EQ(file.size(), 768u);
  // Value block 2: own 2, no next, kind 3, last used 1, state 0xFFFE;
  // (2.5, 0.0) then the open pair (slope 0.0, -1.0).
  auto value = HexBytes(
      "02000000 00000000 03000000 0100 FEFF"
      "0000000000000440 0000000000000000 0000000000000000 000000000000F0BF");
  value.resize(256, 0);
  EXPECT_TRUE(SameBytes(value, BlockOf(file, 2)));
  // The directory names it; the header counts it and has started.
  EXPECT_EQ(plotimage::U32(file, 256 + 12), 2u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&file[256 + 16])), "B1.x");
  EXPECT_EQ(plotimage::U32(file, 24), 1u);
  EXPECT_EQ(plotimage::U32(file, 28), 3u);
  EXPECT_EQ(plotimage::U32(file, 32), 1u);
}

// Records each signal at random steps; every recorded value must come back
// from the file bytes within the compression's bound.
TEST_F(PlotHistory, CompressionOracleReproducesEveryRecordedValue) {
  struct Signal {
    const char* name;
    std::function<double(double)> f;
  };
  const std::vector<Signal> signals = {
      {"constant", [](double) { return 3.25; }},
      {"line", [](double t) { return 1.0 + 0.5 * t; }},
      {"parabola", [](double t) { return 2.0 + 0.3 * t * t; }},
      {"wave", [](double t) { return 5.0 + std::sin(t); }},
      {"steps", [](double t) { return std::floor(t / 3.0) + 1.0; }},
      {"restarted", [](double t) { return 4.0 - 0.1 * t; }},
      {"stopped", [](double t) { return 7.0 + std::cos(2.0 * t); }},
  };
  const std::size_t restarted = 5, stopped = 6;
  for (unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    std::filesystem::remove(plot::kFileName);
    SputPlotHistoryMgr mgr(&model_);
    ASSERT_EQ(mgr.Open(false), 0u);
    std::vector<FakeVariable*> vars;
    for (const Signal& s : signals) {
      vars.push_back(model_.Add(std::string(s.name) + std::to_string(seed)));
      ASSERT_EQ(mgr.AddVariable(vars.back()), 0u);
    }
    std::vector<std::vector<plotimage::Point>> recorded(signals.size());
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> step(0.01, 0.4);
    double t = 0.0;
    for (int k = 0; k < 400; ++k) {
      if (k == 200) {
        ASSERT_EQ(mgr.AddVariable(vars[restarted]), 0u);
      }
      if (k == 300) {
        ASSERT_EQ(mgr.StopVariable(vars[stopped]), 0u);
      }
      for (std::size_t i = 0; i < signals.size(); ++i) {
        vars[i]->value = signals[i].f(t);
        if (i != stopped || k < 300) recorded[i].push_back({vars[i]->value, t});
      }
      ASSERT_EQ(mgr.RecordValues(t, nullptr), 0u);
      t += step(random);
    }
    ASSERT_EQ(mgr.Close(), 0u);
    const Image image = Checked();
    for (std::size_t i = 0; i < signals.size(); ++i) {
      SCOPED_TRACE(signals[i].name);
      const auto& h = image.histories.at(vars[i]->FullName());
      double largest = 0.0;
      for (const auto& p : recorded[i]) largest = std::max(largest, std::fabs(p.value));
      // A point leaves the line by at most tolerance x |v|; the chord that
      // replaces the line ends off it by as much again.
      const double bound = 2.0 * image.tolerance * largest + 1e-12;
      for (const auto& p : recorded[i]) {
        const auto answers = plotimage::ValuesAt(h, p.time);
        ASSERT_FALSE(answers.empty()) << p.time;
        bool near = false;
        for (double a : answers) near = near || std::fabs(a - p.value) <= bound;
        EXPECT_TRUE(near) << "t=" << p.time << " v=" << p.value << " got " << answers[0];
      }
    }
    EXPECT_EQ(image.histories.at(vars[0]->FullName()).PointCount(), 1u);
    EXPECT_EQ(image.histories.at(vars[restarted]->FullName()).segments.size(), 2u);
    EXPECT_TRUE(image.histories.at(vars[stopped]->FullName()).stopped);
    EXPECT_LE(image.histories.at(vars[1]->FullName()).PointCount(), 3u);
  }
}

TEST_F(PlotHistory, StepsRecordedTwiceAtOneTimeStoreTheJump) {
  ASSERT_EQ(mgr_.Open(false), 0u);
  FakeVariable* x = model_.Add("x", 1.0);
  ASSERT_EQ(mgr_.AddVariable(x), 0u);
  for (double t : {0.0, 1.0, 2.0}) ASSERT_EQ(mgr_.RecordValues(t, nullptr), 0u);
  x->value = 4.0;
  ASSERT_EQ(mgr_.RecordValues(2.0, nullptr), 0u);
  ASSERT_EQ(mgr_.RecordValues(3.0, nullptr), 0u);
  const Image image = Checked();
  const auto& h = image.histories.at("x");
  const auto at2 = plotimage::ValuesAt(h, 2.0);
  EXPECT_NE(std::find(at2.begin(), at2.end(), 1.0), at2.end());
  EXPECT_NE(std::find(at2.begin(), at2.end(), 4.0), at2.end());
  EXPECT_EQ(plotimage::ValuesAt(h, 3.0).back(), 4.0);
}

TEST_F(PlotHistory, FifteenthPointMovesTheOpenPairToASecondBlock) {
  ASSERT_EQ(mgr_.Open(false), 0u);
  FakeVariable* x = model_.Add("x");
  ASSERT_EQ(mgr_.AddVariable(x), 0u);
  // Alternating values store a point at every call after the second.
  for (int k = 0; k <= 16; ++k) {
    x->value = k % 2 == 0 ? 1.0 : 2.0;
    ASSERT_EQ(mgr_.RecordValues(k, nullptr), 0u);
    const Image image = Checked();
    const auto file = plotimage::ReadFile(plot::kFileName);
    const std::size_t points = image.histories.at("x").PointCount();
    if (points < 15) {
      EXPECT_EQ(plotimage::U32(file, 2 * 256 + 4), 0u) << k;
    } else {
      EXPECT_EQ(plotimage::U32(file, 2 * 256 + 4), 3u) << k;
      EXPECT_EQ(plotimage::U16(file, 2 * 256 + 12), 14u);
      EXPECT_NE(plotimage::F64(file, 2 * 256 + 24 + 16 * 14), -1.0);
    }
  }
}

TEST_F(PlotHistory, TruncateAndResetReturnBlocksThatLaterAllocationsReuse) {
  ASSERT_EQ(mgr_.Open(false), 0u);
  FakeVariable* x = model_.Add("x");
  FakeVariable* y = model_.Add("y");
  ASSERT_EQ(mgr_.AddVariable(x), 0u);
  ASSERT_EQ(mgr_.AddVariable(y), 0u);
  for (int k = 0; k <= 60; ++k) {
    x->value = k % 2 == 0 ? 1.0 : 2.0;
    y->value = k * k;
    ASSERT_EQ(mgr_.RecordValues(k, nullptr), 0u);
  }
  const std::uint32_t grown = Checked().next_unused;
  // Inside, on and before stored points.
  for (double t : {40.5, 30.0, 10.0}) {
    ASSERT_EQ(mgr_.TruncateAt(t, false), 0u);
    const Image image = Checked();
    EXPECT_GT(image.free_count, 0u);
    EXPECT_EQ(image.last_time, t);
    for (const auto& p : image.histories.at("x").segments.back().points) EXPECT_LE(p.time, t);
    const auto at = plotimage::ValuesAt(image.histories.at("x"), t);
    ASSERT_FALSE(at.empty());
  }
  ASSERT_EQ(mgr_.Reset(), 0u);
  Image image = Checked();
  EXPECT_EQ(image.started, 0u);
  EXPECT_EQ(image.histories.at("x").PointCount(), 0u);
  for (int k = 0; k <= 60; ++k) {
    x->value = k % 2 == 0 ? 1.0 : 2.0;
    ASSERT_EQ(mgr_.RecordValues(k, nullptr), 0u);
  }
  image = Checked();
  EXPECT_EQ(image.next_unused, grown);
}

// Seeded random sequences of every operation; the block graph holds after
// each one.
TEST_F(PlotHistory, BlockGraphHoldsAfterEveryOperation) {
  for (unsigned seed = 1; seed <= 6; ++seed) {
    SCOPED_TRACE(seed);
    std::filesystem::remove(plot::kFileName);
    FakeModel model;
    std::vector<FakeVariable*> vars;
    for (int i = 0; i < 6; ++i) vars.push_back(model.Add("v" + std::to_string(i), i));
    auto mgr = std::make_unique<SputPlotHistoryMgr>(&model);
    ASSERT_EQ(mgr->Open(false), 0u);
    std::mt19937 random(seed);
    double t = 0.0;
    for (int step = 0; step < 300; ++step) {
      FakeVariable* v = vars[random() % vars.size()];
      switch (random() % 12) {
        case 0:
          mgr->AddVariable(v);
          break;
        case 1:
          mgr->StopVariable(v);
          break;
        case 2:
          mgr->RemoveVariable(v);
          break;
        case 3:
          mgr->TruncateAt(t * (random() % 100) / 100.0, random() % 2 == 0);
          t = mgr->LastTime();
          break;
        case 4:
          if (random() % 4 == 0) mgr->Reset(), t = 0.0;
          break;
        case 5:
          mgr = std::make_unique<SputPlotHistoryMgr>(&model);
          ASSERT_EQ(mgr->Open(false), 0u);
          t = mgr->LastTime();
          break;
        default:
          for (FakeVariable* w : vars) w->value = std::sin(w->Id() * t) + (random() % 3) * 0.1;
          t += 0.05 * (random() % 5);
          mgr->RecordValues(t, nullptr);
          break;
      }
      const Image image = plotimage::Read(plotimage::ReadFile(plot::kFileName));
      ASSERT_EQ(image.problem, "") << "after step " << step;
    }
  }
}

TEST_F(PlotHistory, ReopenRestoresTheTableByNameAndSkipsUnknownNames) {
  ASSERT_EQ(mgr_.Open(false), 0u);
  FakeVariable* x = model_.Add("x", 1.0);
  FakeVariable* gone = model_.Add("gone", 2.0);
  const std::string long_name(300, 'n');
  FakeVariable* longer = model_.Add(long_name, 3.0);
  for (FakeVariable* v : {x, gone, longer}) ASSERT_EQ(mgr_.AddVariable(v), 0u);
  for (int k = 0; k < 5; ++k) {
    x->value = 1.0 + k;
    ASSERT_EQ(mgr_.RecordValues(k, nullptr), 0u);
  }
  ASSERT_EQ(mgr_.Close(), 0u);
  model_.Forget(gone);
  SputPlotHistoryMgr again(&model_);
  again.SetTolerance(0.01);
  ASSERT_EQ(again.Open(false), 0u);
  EXPECT_EQ(again.EntryCount(), 2u);
  ASSERT_NE(again.Find(longer), nullptr);
  EXPECT_EQ(again.Find(gone), nullptr);
  EXPECT_EQ(again.LastTime(), 4.0);
  const PlotEntryRef e = again.Find(x);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->t_start, 0.0);  // a line stores only its first point
  EXPECT_EQ(Checked().tolerance, 0.01);
  // Recording goes on along the same line.
  x->value = 6.0;
  ASSERT_EQ(again.RecordValues(5.0, nullptr), 0u);
  EXPECT_EQ(plotimage::ValuesAt(Checked().histories.at("x"), 5.0).back(), 6.0);
}

TEST_F(PlotHistory, ALaterDirectoryEntryOfANameWinsOnReopen) {
  ASSERT_EQ(mgr_.Open(false), 0u);
  FakeVariable* x = model_.Add("x", 1.0);
  ASSERT_EQ(mgr_.AddVariable(x), 0u);
  ASSERT_EQ(mgr_.RecordValues(0.0, nullptr), 0u);
  ASSERT_EQ(mgr_.RemoveVariable(x), 0u);
  x->value = 7.0;
  ASSERT_EQ(mgr_.AddVariable(x), 0u);
  const std::uint32_t second = mgr_.Find(x)->first_block;
  ASSERT_EQ(mgr_.Close(), 0u);
  ASSERT_EQ(mgr_.Open(false), 0u);
  EXPECT_EQ(mgr_.Find(x)->first_block, second);
  x->value = 9.0;
  ASSERT_EQ(mgr_.RecordValues(1.0, nullptr), 0u);
  EXPECT_EQ(plotimage::ValuesAt(Checked().histories.at("x"), 1.0).back(), 9.0);
}

TEST_F(PlotHistory, UnusableFilesAreSetAsideAndKept) {
  auto format3 = HexBytes("00000000 01000000 01000000 03000000");
  format3.resize(512, 0);
  const std::vector<plotimage::Bytes> files = {format3, plotimage::Bytes(100, 0x41),
                                               plotimage::Bytes(1024, 0xEE)};
  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(i);
    {
      std::ofstream out(plot::kFileName, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(files[i].data()),
                static_cast<std::streamsize>(files[i].size()));
    }
    SputPlotHistoryMgr mgr(&model_);
    ASSERT_EQ(mgr.Open(false), 0u);
    const std::string aside = i == 0 ? "PlotData.cpd.bad" : "PlotData.cpd.bad" + std::to_string(i);
    EXPECT_EQ(plotimage::ReadFile(aside), files[i]);
    EXPECT_EQ(Checked().next_unused, 2u);
  }
}

TEST_F(PlotHistory, ANonFiniteValueLeavesTheOtherHistoriesComplete) {
  ASSERT_EQ(mgr_.Open(false), 0u);
  FakeVariable* a = model_.Add("a", 1.0);
  FakeVariable* bad = model_.Add("bad", 1.0);
  FakeVariable* z = model_.Add("z", 1.0);
  for (FakeVariable* v : {a, bad, z}) ASSERT_EQ(mgr_.AddVariable(v), 0u);
  ASSERT_EQ(mgr_.RecordValues(0.0, nullptr), 0u);
  for (int k = 1; k <= 4; ++k) {
    a->value = z->value = 1.0 + k * k;
    bad->value = k >= 2 ? std::nan("") : 1.0;
    EXPECT_EQ(mgr_.RecordValues(k, nullptr), k >= 2 ? plot::kNonFiniteValue : 0u);
  }
  const Image image = Checked();
  EXPECT_EQ(image.last_time, 4.0);
  for (int k = 0; k <= 4; ++k) {
    EXPECT_EQ(plotimage::ValuesAt(image.histories.at("z"), k).back(), 1.0 + k * k);
    EXPECT_EQ(plotimage::ValuesAt(image.histories.at("a"), k).back(), 1.0 + k * k);
  }
  EXPECT_EQ(plotimage::ValuesAt(image.histories.at("bad"), 4.0).back(), plot::kNonFinite);
  // Times that are not finite are refused and change nothing.
  const auto before = plotimage::ReadFile(plot::kFileName);
  EXPECT_EQ(mgr_.RecordValues(INFINITY, nullptr), status::kBadArguments);
  EXPECT_EQ(mgr_.TruncateAt(std::nan(""), false), status::kBadArguments);
  EXPECT_EQ(plotimage::ReadFile(plot::kFileName), before);
  EXPECT_EQ(mgr_.LastTime(), 4.0);
}

TEST_F(PlotHistory, StopWritesTheLastValueAndTheStopPair) {
  ASSERT_EQ(mgr_.Open(false), 0u);
  FakeVariable* x = model_.Add("x", 1.0);
  ASSERT_EQ(mgr_.AddVariable(x), 0u);
  ASSERT_EQ(mgr_.RecordValues(0.0, nullptr), 0u);
  x->value = 3.0;
  ASSERT_EQ(mgr_.RecordValues(2.0, nullptr), 0u);
  ASSERT_EQ(mgr_.StopVariable(x), 0u);
  x->value = 50.0;
  ASSERT_EQ(mgr_.RecordValues(3.0, nullptr), 0u);
  const Image image = Checked();
  const auto& h = image.histories.at("x");
  EXPECT_TRUE(h.stopped);
  EXPECT_EQ(h.state, plot::kStopped);
  EXPECT_EQ(plotimage::ValuesAt(h, 2.0).back(), 3.0);
  EXPECT_TRUE(plotimage::ValuesAt(h, 3.0).empty());
  EXPECT_EQ(mgr_.StopVariable(model_.Add("other")), plot::kNotFound);
}

TEST_F(PlotHistory, ARestartBeginsANewLine) {
  ASSERT_EQ(mgr_.Open(false), 0u);
  FakeVariable* x = model_.Add("x", 1.0);
  ASSERT_EQ(mgr_.AddVariable(x), 0u);
  for (int k = 0; k <= 3; ++k) ASSERT_EQ(mgr_.RecordValues(k, nullptr), 0u);
  ASSERT_EQ(mgr_.AddVariable(x), 0u);
  x->value = 10.0;
  for (int k = 4; k <= 6; ++k) ASSERT_EQ(mgr_.RecordValues(k, nullptr), 0u);
  const Image image = Checked();
  const auto& h = image.histories.at("x");
  ASSERT_EQ(h.segments.size(), 2u);
  EXPECT_EQ(h.segments[1].points.front().time, 4.0);
  EXPECT_EQ(plotimage::ValuesAt(h, 6.0).back(), 10.0);
}

TEST_F(PlotHistory, CloseWithoutFileAndSaveAsCopy) {
  EXPECT_EQ(mgr_.Close(), plot::kNotOpen);
  ASSERT_EQ(mgr_.Open(false), 0u);
  FakeVariable* x = model_.Add("x", 1.0);
  ASSERT_EQ(mgr_.AddVariable(x), 0u);
  ASSERT_EQ(mgr_.RecordValues(0.0, nullptr), 0u);
  ASSERT_EQ(mgr_.SaveAs(plot::kBackupName), 0u);
  EXPECT_TRUE(mgr_.IsOpen());
  EXPECT_NE(mgr_.Find(x), nullptr);
  EXPECT_EQ(plotimage::ReadFile(plot::kBackupName), plotimage::ReadFile(plot::kFileName));
}

}  // namespace
}  // namespace plottest

namespace plottest {
namespace {

// A header left behind by a stop: the free chain's head on a linked value
// block and next never-used below the blocks in use. Opening must not hand
// those blocks out again.
TEST_F(PlotHistory, OpeningRepairsAHeaderThatWouldCrossLinkHistories) {
  ASSERT_EQ(mgr_.Open(false), 0u);
  FakeVariable* x = model_.Add("x", 1.0);
  ASSERT_EQ(mgr_.AddVariable(x), 0u);
  for (int k = 0; k < 20; ++k) {
    x->value = k % 2 == 0 ? 1.0 : 2.0;
    ASSERT_EQ(mgr_.RecordValues(k, nullptr), 0u);
  }
  ASSERT_EQ(mgr_.Close(), 0u);
  auto bytes = plotimage::ReadFile(plot::kFileName);
  ASSERT_EQ(bytes.size(), 4u * 256);  // header, directory, two value blocks
  bytes[16] = 3;                      // free head: x's second value block
  bytes[20] = 3;
  bytes[28] = 1;  // next never-used
  {
    std::ofstream out(plot::kFileName, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  ASSERT_EQ(mgr_.Open(false), 0u);
  Image image = Checked();
  EXPECT_EQ(image.next_unused, 4u);
  EXPECT_EQ(image.free_count, 0u);
  FakeVariable* y = model_.Add("y", 5.0);
  ASSERT_EQ(mgr_.AddVariable(y), 0u);
  for (int k = 20; k < 40; ++k) {
    y->value = k % 2 == 0 ? 5.0 : 6.0;
    ASSERT_EQ(mgr_.RecordValues(k, nullptr), 0u);
  }
  image = Checked();
  EXPECT_EQ(plotimage::ValuesAt(image.histories.at("x"), 19.0).back(), 2.0);
  EXPECT_EQ(plotimage::ValuesAt(image.histories.at("y"), 39.0).back(), 6.0);
}

}  // namespace
}  // namespace plottest
