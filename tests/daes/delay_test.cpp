// The delay manager: its ring of rows, lookups with interpolation, the run
// rules, and its history in snapshot images.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "daes/delays/delay_mgr.h"
#include "daes/instance/instance_node.h"
#include "daes/model/variable.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/run_mode.h"
#include "framework/messaging/message.h"
#include "tests/framework/message_helpers.h"
#include "tests/support/capture_sink.h"

namespace {

struct RunClock {
  RunClock(std::int32_t mode, double t) : mode0(GetRunMode()), t0(GetSimulationTime()) {
    SetRunMode(mode);
    SetSimulationTime(t);
  }
  ~RunClock() {
    SetRunMode(mode0);
    SetSimulationTime(t0);
  }
  std::int32_t mode0;
  double t0;
};

// A manager with named delayed variables, their values set to `values`.
struct Delays {
  explicit Delays(const std::vector<std::string>& names)
      : root(new DAESInstanceNode(nullptr, nullptr)) {
    for (const auto& n : names) {
      auto* v = new DAESRealVariable(root, n.c_str());
      root->InsertChildAt(static_cast<std::int32_t>(vars.size()) + 1, v);
      vars.push_back(v);
      EXPECT_EQ(v->RegisterDelay(), 0u);
    }
  }
  ~Delays() {
    BvuDirectoryProper::DeleteBelow(root);
    delete root;
  }
  void Set(const std::vector<double>& values) {
    for (std::size_t i = 0; i < values.size(); ++i) vars[i]->SetValue(values[i]);
  }
  DelayMgr mgr;
  DAESInstanceNode* root;
  std::vector<DAESRealVariable*> vars;
};

std::vector<std::uint8_t> Image(DelayMgr& mgr, std::int32_t kind) {
  const std::uint8_t* data = nullptr;
  std::uint32_t length = 0;
  EXPECT_EQ(mgr.SectionData(kind, &data, &length), 0u);
  return std::vector<std::uint8_t>(data, data + length);
}

testsupport::Bytes HeaderBytes(DelayMgr& mgr, std::int32_t kind) {
  DseMessage* m = nullptr;
  EXPECT_EQ(mgr.StructureRecord(kind, &m), 0u);
  std::unique_ptr<DseMessage> owned(m);
  return testsupport::BodyOf(*owned);
}

testsupport::MessagePtr Header(DelayMgr& mgr, std::int32_t kind) {
  return testsupport::ReceivedBody(HeaderBytes(mgr, kind));
}

TEST(DelayHistory, RingWrapsRollsBackAndOverwrites) {
  DelayHistory h;
  ASSERT_EQ(h.Init(2), 0u);
  EXPECT_EQ(h.Size(), 3u * delays::kRows + 1u);
  for (int i = 0; i < delays::kRows; ++i) h.Record(1, i, 10.0 * i);
  EXPECT_FALSE(h.Overflowed());
  h.Record(1, delays::kRows, 10.0 * delays::kRows);
  // The 10,001st row took the place of the oldest.
  EXPECT_TRUE(h.Overflowed());
  EXPECT_EQ(h.RecordCount(), delays::kRows);
  EXPECT_EQ(h.Newest(), 0);
  EXPECT_EQ(h.Oldest(), 1);
  EXPECT_EQ(h.TimeAt(0), delays::kRows);
  double v = 0.0;
  EXPECT_EQ(h.Lookup(1, 0.5, 1e9, &v), delays::kBeforeHistory);
  EXPECT_EQ(v, 10.0);
  // Second column of the same time shares the row.
  h.Record(2, delays::kRows, -1.0);
  EXPECT_EQ(h.RecordCount(), delays::kRows);
  EXPECT_EQ(h.ValueAt(2, 0), -1.0);
  // Going back in time drops the later rows, across the wrap.
  h.Record(1, 9990.5, 7.0);
  EXPECT_EQ(h.Newest(), 9991);
  EXPECT_EQ(h.TimeAt(9991), 9990.5);
  EXPECT_EQ(h.RecordCount(), 9991);
  h.Record(1, 9990.5, 99905.0);
  EXPECT_EQ(h.ValueAt(1, 9991), 99905.0);
  EXPECT_EQ(h.RecordCount(), 9991);
  ASSERT_EQ(h.Lookup(1, 9990.25, 1e9, &v), 0u);
  EXPECT_DOUBLE_EQ(v, 99902.5);

  DelayHistory one;
  ASSERT_EQ(one.Init(2), 0u);
  one.Record(1, 1.0, 3.0);
  one.Record(2, 1.0, 4.0);
  one.Record(1, 2.0, 5.0);
  one.Record(1, 3.0, 6.0);
  // Back before every row but the first: one row left, at row 0, new time.
  one.Record(1, 0.5, 9.0);
  EXPECT_EQ(one.RecordCount(), 1);
  EXPECT_EQ(one.Oldest(), 0);
  EXPECT_EQ(one.Newest(), 0);
  EXPECT_EQ(one.TimeAt(0), 0.5);
  EXPECT_EQ(one.ValueAt(1, 0), 9.0);
  EXPECT_EQ(one.ValueAt(2, 0), 4.0);
}

TEST(DelayHistory, Lookups) {
  DelayHistory h;
  double v = 42.0;
  ASSERT_EQ(h.Init(1), 0u);
  EXPECT_EQ(h.Lookup(1, 1.0, 2.0, &v), delays::kBeforeHistory);
  EXPECT_EQ(v, 42.0);
  for (int i = 0; i < 5; ++i) h.Record(1, i, i * i);
  ASSERT_EQ(h.Lookup(1, 3.0, 10.0, &v), 0u);
  EXPECT_EQ(v, 9.0);
  ASSERT_EQ(h.Lookup(1, 0.0, 10.0, &v), 0u);
  EXPECT_EQ(v, 0.0);
  // Between rows, a cubic with the slopes of the rows around each row:
  // t^2 itself, where a line from row to row gives 6.5; one-sided slopes
  // at the ends of the history are as exact.
  ASSERT_EQ(h.Lookup(1, 2.5, 10.0, &v), 0u);
  EXPECT_DOUBLE_EQ(v, 6.25);
  ASSERT_EQ(h.Lookup(1, 0.5, 10.0, &v), 0u);
  EXPECT_DOUBLE_EQ(v, 0.25);
  ASSERT_EQ(h.Lookup(1, 3.75, 10.0, &v), 0u);
  EXPECT_DOUBLE_EQ(v, 3.75 * 3.75);
  // After the newest row, inside the step being taken: the polynomial
  // through the last rows and the value now (36 at t = 6, on t^2 as the
  // rows are), where a line from the newest row gives 30.
  v = 36.0;
  ASSERT_EQ(h.Lookup(1, 5.0, 6.0, &v), 0u);
  EXPECT_DOUBLE_EQ(v, 25.0);
  EXPECT_EQ(h.Lookup(1, -1.0, 6.0, &v), delays::kBeforeHistory);
  EXPECT_EQ(v, 0.0);
  // The value now moves only a look-up past the newest row, by its weight
  // there, the partial of the polynomial above: (5/6)(4/5)(3/4)(2/3)(1/2).
  double w = -1.0;
  ASSERT_EQ(h.CurrentWeight(1, 5.0, 6.0, &w), 0u);
  EXPECT_DOUBLE_EQ(w, 1.0 / 6.0);
  for (const double t : {-1.0, 0.5, 2.5, 4.0}) {
    ASSERT_FALSE(status::IsFailure(h.CurrentWeight(1, t, 6.0, &w))) << t;
    EXPECT_EQ(w, 0.0) << t;
  }
  EXPECT_EQ(h.CurrentWeight(1, 6.0, 6.0, &w), 0u);
  EXPECT_EQ(w, 1.0);
  EXPECT_EQ(h.CurrentWeight(1, std::nan(""), 6.0, &w), delays::kBadTime);
  DelayHistory empty;
  ASSERT_EQ(empty.Init(1), 0u);
  EXPECT_EQ(empty.CurrentWeight(1, 1.0, 2.0, &w), delays::kBeforeHistory);
  EXPECT_EQ(w, 1.0);
  // Past a jump the rows before it are of another curve: from the row
  // after it to the value now, a line (0 at 4, 20 at 6).
  h.KeepBeforeJump(4.0);
  h.Record(1, 4.0, 0.0);
  v = 20.0;
  ASSERT_EQ(h.Lookup(1, 5.0, 6.0, &v), 0u);
  EXPECT_DOUBLE_EQ(v, 10.0);
  ASSERT_EQ(h.CurrentWeight(1, 5.0, 6.0, &w), 0u);
  EXPECT_DOUBLE_EQ(w, 0.5);
}

// Looks column 1 up at t (well before `now`).
double At(const DelayHistory& h, double t) {
  double v = std::nan("");
  EXPECT_EQ(h.Lookup(1, t, 1e9, &v), 0u) << t;
  return v;
}

// Between rows the value follows the rows' shape: exact on a line and on a
// rising cubic (but for the end intervals), never outside the two rows
// around it, with a slope that does not jump at a row, and at least
// third-order close to a smooth curve.
TEST(DelayHistory, BetweenRowsTheValueKeepsTheRowsShape) {
  const std::vector<double> times = {0.0, 0.1, 0.15, 0.4, 0.45, 0.5, 0.9, 1.0, 1.02, 1.3};
  DelayHistory h;
  ASSERT_EQ(h.Init(1), 0u);
  for (const double t : times) h.Record(1, t, 2.0 - 3.0 * t);
  for (double t = 0.0; t <= 1.3; t += 0.01) EXPECT_NEAR(At(h, t), 2.0 - 3.0 * t, 1e-13) << t;
  auto cubic = [](double t) { return t * t * t - t * t + t; };
  ASSERT_EQ(h.Init(1), 0u);
  for (const double t : times) h.Record(1, t, cubic(t));
  for (double t = 0.1; t <= 1.02; t += 0.01) EXPECT_NEAR(At(h, t), cubic(t), 1e-13) << t;

  // A delayed step, a flow that falls to nothing and rises again, a peak.
  const std::vector<std::vector<double>> shapes = {{0, 0, 0, 0, 0, 1, 1, 1, 1, 1},
                                                   {3, 2, 0.5, 0, 0, 0, 2, 2.1, 0, 0},
                                                   {0, 0, 1, 0, 5, 4, 4.5, 4, -1, 1}};
  for (const auto& shape : shapes) {
    ASSERT_EQ(h.Init(1), 0u);
    for (std::size_t i = 0; i < times.size(); ++i) h.Record(1, times[i], shape[i]);
    for (std::size_t i = 0; i + 1 < times.size(); ++i) {
      const double low = std::min(shape[i], shape[i + 1]);
      const double high = std::max(shape[i], shape[i + 1]);
      for (int k = 1; k < 50; ++k) {
        const double t = times[i] + (times[i + 1] - times[i]) * k / 50.0;
        const double v = At(h, t);
        EXPECT_GE(v, low) << "t = " << t;
        EXPECT_LE(v, high) << "t = " << t;
      }
      if (i == 0) continue;
      // The slopes on either side of a row agree.
      const double e = 1e-6;
      const double x = times[i];
      const double left = (3.0 * At(h, x) - 4.0 * At(h, x - e) + At(h, x - 2.0 * e)) / (2.0 * e);
      const double right = (-3.0 * At(h, x) + 4.0 * At(h, x + e) - At(h, x + 2.0 * e)) / (2.0 * e);
      EXPECT_NEAR(left, right, 1e-4 * (1.0 + std::fabs(left))) << "at " << times[i];
    }
  }

  // sin on [0, 1.2] from n rows: each halving of the spacing cuts the
  // error by about eight, ends of the history included.
  double last = 0.0;
  for (const int n : {12, 24, 48, 96}) {
    ASSERT_EQ(h.Init(1), 0u);
    for (int i = 0; i <= n; ++i) h.Record(1, 1.2 * i / n, std::sin(1.2 * i / n));
    double error = 0.0;
    for (int k = 0; k <= 40 * n; ++k) {
      const double t = 1.2 * k / (40.0 * n);
      error = std::max(error, std::fabs(At(h, t) - std::sin(t)));
    }
    if (last != 0.0) {
      EXPECT_GT(last / error, 6.0) << n << " rows";
    }
    last = error;
  }
  EXPECT_LT(last, 1e-6);
}

// Near the turn of a smooth curve (a sensitivity a lag back at its
// extremum, a peak of a smooth flow) the value keeps the order it has
// elsewhere, past the two rows around the turn too, where slopes cut to
// the rows' shape lost two orders; uneven rows as the integrator leaves
// them.
TEST(DelayHistory, ASmoothTurnKeepsItsOrderBetweenRows) {
  const double turn = 0.5 * std::acos(-1.0);
  for (const double sign : {1.0, -1.0}) {
    double last = 0.0;
    for (const int n : {8, 16, 32, 64}) {
      DelayHistory h;
      ASSERT_EQ(h.Init(1), 0u);
      std::vector<double> times;
      for (int i = 0; i <= n; ++i) {
        // Rows a little off an even spacing, none on the turn.
        const double u = static_cast<double>(i) / n;
        times.push_back(0.7 + 1.8 * (u + 0.3 * u * (1.0 - u)));
        h.Record(1, times.back(), sign * std::sin(times.back()));
      }
      double error = 0.0;
      for (int k = 0; k <= 400; ++k) {
        const double t = turn - 0.4 + 0.8 * k / 400.0;
        error = std::max(error, std::fabs(At(h, t) - sign * std::sin(t)));
      }
      if (last != 0.0) {
        EXPECT_GT(last / error, 6.0) << n << " rows";
      }
      last = error;
    }
    EXPECT_LT(last, 1e-7);
  }
}

// A NaN time or delay is refused before the bisection, which has nothing to
// bracket it with (with one row it read before the ring), and no NaN time
// ever enters the ring.
TEST(DelayHistory, TimesThatAreNotNumbersAreRefused) {
  const double nan = std::nan("");
  DelayHistory h;
  ASSERT_EQ(h.Init(2), 0u);
  ASSERT_EQ(h.Record(1, 1.0, 3.0), 0u);
  double v = 7.0;
  for (double t : {nan, HUGE_VAL}) {
    EXPECT_EQ(h.Lookup(1, t, 2.0, &v), delays::kBadTime) << t;
    EXPECT_EQ(v, 7.0);
  }
  EXPECT_EQ(h.Lookup(1, 1.5, nan, &v), delays::kBadTime);
  EXPECT_EQ(h.Lookup(1, 1.5, -HUGE_VAL, &v), delays::kBadTime);
  EXPECT_EQ(v, 7.0);
  // An endless delay reaches back before the history.
  EXPECT_EQ(h.Lookup(1, -HUGE_VAL, 2.0, &v), delays::kBeforeHistory);
  EXPECT_EQ(v, 3.0);
  for (double t : {nan, HUGE_VAL, -HUGE_VAL}) {
    EXPECT_EQ(h.Record(2, t, 5.0), delays::kBadTime) << t;
    EXPECT_EQ(h.RecordCount(), 1);
    EXPECT_EQ(h.TimeAt(h.Newest()), 1.0);
  }

  Delays d({"x"});
  ASSERT_EQ(d.mgr.InitHistory(), 0u);
  d.Set({2.0});
  ASSERT_EQ(d.mgr.RecordAll(0.0), 0u);
  EXPECT_EQ(d.mgr.RecordAll(nan), delays::kBadTime);
  {
    RunClock clock(kRunDynamic, 1.0);
    v = 7.0;
    EXPECT_EQ(d.vars[0]->DelayedValue(nan, &v), delays::kBadTime);
    EXPECT_EQ(d.mgr.GetDelayedValue(1, nan, &v), delays::kBadTime);
    SetSimulationTime(nan);
    EXPECT_EQ(d.mgr.GetDelayedValue(1, 0.5, &v), delays::kBadTime);
  }
  // A snapshot image with a time that is no number, or endless, is damaged:
  // nothing could be bracketed between such rows.
  for (double t : {nan, HUGE_VAL, -HUGE_VAL}) {
    std::vector<std::uint8_t> image(reinterpret_cast<const std::uint8_t*>(h.Data()),
                                    reinterpret_cast<const std::uint8_t*>(h.Data() + h.Size()));
    std::memcpy(image.data(), &t, 8);
    DelayHistory g;
    ASSERT_EQ(g.Init(2), 0u);
    EXPECT_EQ(g.Restore(image.data(), static_cast<std::uint32_t>(image.size()), 2, delays::kRows,
                        nullptr),
              delays::kBadSnapshot)
        << t;
    EXPECT_EQ(g.RecordCount(), 0);
  }
}

TEST(DelayMgr, RunRulesAndSuspend) {
  Delays d({"x"});
  EXPECT_EQ(GetCurrentDelayMgr(), &d.mgr);
  EXPECT_EQ(d.vars[0]->DelayIndex(), 1);
  EXPECT_EQ(d.vars[0]->RegisterDelay(), daes::kNotImplemented);
  ASSERT_EQ(d.mgr.InitHistory(), 0u);
  for (int k = 0; k <= 100; ++k) {
    d.Set({std::sin(0.01 * k)});
    d.mgr.RecordAll(0.01 * k);
  }
  d.Set({std::sin(1.0)});
  double v = 0.0;
  {
    RunClock clock(kRunDynamic, 1.0);
    ASSERT_EQ(d.vars[0]->DelayedValue(0.5, &v), 0u);
    // Linear interpolation error: h²/8 · max|x''| with h = 0.01.
    EXPECT_NEAR(v, std::sin(0.5), 0.01 * 0.01 / 8 + 1e-12);
    EXPECT_EQ(d.vars[0]->DelayedValue(-0.5, &v), daes::kNegativeDelay);
    EXPECT_EQ(d.mgr.Suspend(), 1);
    v = 7.0;
    EXPECT_EQ(d.mgr.GetDelayedValue(1, 0.5, &v), 0u);
    EXPECT_EQ(v, 7.0);
    EXPECT_EQ(d.mgr.Resume(), 0);
  }
  {
    RunClock clock(kRunSteadyState, 1.0);
    v = 7.0;
    EXPECT_EQ(d.mgr.GetDelayedValue(1, 0.5, &v), 0u);
    EXPECT_EQ(v, 7.0);
  }
  {
    RunClock clock(kRunInitialisation, 0.0);
    EXPECT_EQ(d.mgr.GetDelayedValue(1, 0.5, &v), 0u);
    EXPECT_EQ(v, 7.0);
  }
  {
    RunClock clock(kRunInitialisation, 0.9);
    EXPECT_EQ(d.mgr.GetDelayedValue(1, 0.5, &v), 0u);
    EXPECT_NEAR(v, std::sin(0.4), 1e-4);
  }
  d.mgr.Clear();
  EXPECT_EQ(d.mgr.DelayedVariableCount(), 0);
}

TEST(DelayMgr, BlockRoundTripOfAWrappedRing) {
  Delays a({"x", "y"});
  ASSERT_EQ(a.mgr.InitHistory(), 0u);
  const int rows = delays::kRows + 250;
  for (int k = 0; k < rows; ++k) {
    a.Set({1.0 * k, -2.0 * k});
    a.mgr.RecordAll(0.1 * k);
  }
  const auto header_bytes = HeaderBytes(a.mgr, delays::kHistoryKind);
  auto header = testsupport::ReceivedBody(header_bytes);
  const auto image = Image(a.mgr, delays::kHistoryKind);
  EXPECT_EQ(Image(a.mgr, delays::kSubHistoryKind).size(), 0u);
  EXPECT_EQ(a.mgr.Id(delays::kHistoryKind), 3000u);
  EXPECT_EQ(a.mgr.Id(delays::kSubHistoryKind), 3001u);
  {
    Delays b({"x", "y"});
    std::int32_t ready = 1;
    ASSERT_EQ(b.mgr.MapStructure(delays::kHistoryKind, header.get()), 0u);
    ASSERT_EQ(b.mgr.Ready(delays::kHistoryKind, &ready), 0u);
    EXPECT_EQ(ready, 1);
    ASSERT_EQ(b.mgr.RestoreSection(delays::kHistoryKind, image.data(),
                                   static_cast<std::uint32_t>(image.size())),
              0u);
    const DelayHistory& h = b.mgr.History();
    EXPECT_EQ(h.Oldest(), 0);
    EXPECT_EQ(h.Newest(), delays::kRows - 1);
    for (int r = 0; r < delays::kRows; ++r) {
      const int k = rows - delays::kRows + r;
      ASSERT_EQ(h.TimeAt(r), 0.1 * k);
      ASSERT_EQ(h.ValueAt(2, r), -2.0 * k);
    }
  }
  // Names reordered, one missing, one new: restored through the map.
  Delays c({"Z", "Y", "w"});
  std::int32_t ready = 1;
  ASSERT_EQ(c.mgr.MapStructure(delays::kHistoryKind, testsupport::ReceivedBody(header_bytes).get()),
            0u);
  ASSERT_EQ(c.mgr.Ready(delays::kHistoryKind, &ready), 0u);
  EXPECT_EQ(ready, 0);
  EXPECT_EQ(c.mgr.ColumnMap(), (std::vector<std::int32_t>{0, 2}));
  const std::uint8_t* out = nullptr;
  std::uint32_t out_length = 0;
  ASSERT_EQ(c.mgr.ConvertSection(delays::kHistoryKind, image.data(),
                                 static_cast<std::uint32_t>(image.size()), &out, &out_length),
            0u);
  // The image, no break (the first row was given up) and the tail.
  EXPECT_EQ(out_length, (4u * delays::kRows + 1u) * 8u + 16u);
  const DelayHistory& h = c.mgr.History();
  EXPECT_EQ(h.RecordCount(), delays::kRows);
  EXPECT_EQ(h.ValueAt(2, 5), -2.0 * (rows - delays::kRows + 5));
  EXPECT_EQ(h.ValueAt(1, 5), 0.0);
  ASSERT_EQ(c.mgr.RestoreFinished(delays::kHistoryKind), 0u);
  EXPECT_EQ(c.mgr.SavedNameCount(), 0);
  // The sensitivity history's names are passed over, and never match.
  auto sub = Header(c.mgr, delays::kSubHistoryKind);
  EXPECT_EQ(c.mgr.MapStructure(delays::kSubHistoryKind, sub.get()), 0u);
  EXPECT_EQ(c.mgr.Ready(delays::kSubHistoryKind, &ready), 0u);
  EXPECT_EQ(ready, 0);
}

TEST(DelayMgr, NameMatchingWrapsOnceAndClearsTheFlag) {
  Delays a({"a", "b", "c"});
  Delays b({"c", "a", "b"});
  ASSERT_EQ(GetCurrentDelayMgr(), &b.mgr);
  auto header = Header(a.mgr, delays::kHistoryKind);
  std::int32_t ready = 1;
  ASSERT_EQ(b.mgr.MapStructure(delays::kHistoryKind, header.get()), 0u);
  ASSERT_EQ(b.mgr.Ready(delays::kHistoryKind, &ready), 0u);
  EXPECT_EQ(ready, 0);
  EXPECT_EQ(b.mgr.ColumnMap(), (std::vector<std::int32_t>{2, 3, 1}));
}

TEST(DelayMgr, DamagedHeadersAndBlocksChangeNothing) {
  Delays a({"x"});
  ASSERT_EQ(a.mgr.InitHistory(), 0u);
  for (int k = 0; k < 5; ++k) {
    a.Set({1.0 * k});
    a.mgr.RecordAll(k);
  }
  const auto image = Image(a.mgr, delays::kHistoryKind);
  const auto body = testsupport::BodyOf(*std::unique_ptr<DseMessage>([&] {
    DseMessage* m = nullptr;
    a.mgr.StructureRecord(delays::kHistoryKind, &m);
    return m;
  }()));
  // A block for more variables, a block cut short, ring indices outside the ring.
  std::vector<std::uint8_t> longer(image);
  longer.resize(image.size() + delays::kRows * 8u);
  std::vector<std::uint8_t> bad_ends(image);
  const std::int32_t ends[2] = {0, delays::kRows};
  std::memcpy(bad_ends.data() + bad_ends.size() - 8, ends, 8);
  for (const auto* block : {&longer, &bad_ends}) {
    EXPECT_EQ(a.mgr.RestoreSection(delays::kHistoryKind, block->data(),
                                   static_cast<std::uint32_t>(block->size())),
              delays::kBadSnapshot);
    EXPECT_EQ(a.mgr.History().RecordCount(), 5);
  }
  EXPECT_EQ(a.mgr.RestoreSection(delays::kHistoryKind, image.data(), 9u), delays::kBadSnapshot);
  EXPECT_EQ(a.mgr.RestoreSection(7, image.data(), 0u), delays::kBadSnapshot);
  EXPECT_EQ(a.mgr.History().RecordCount(), 5);
  // Every cut of the header is refused and keeps the names read before.
  ASSERT_EQ(a.mgr.MapStructure(delays::kHistoryKind, testsupport::ReceivedBody(body).get()), 0u);
  for (std::size_t cut = 0; cut < body.size(); ++cut) {
    testsupport::Bytes part(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(cut));
    EXPECT_EQ(a.mgr.MapStructure(delays::kHistoryKind, testsupport::ReceivedBody(part).get()),
              delays::kBadSnapshot)
        << cut;
    EXPECT_EQ(a.mgr.SavedNameCount(), 1);
  }
  // A block without a header cannot be mapped.
  ASSERT_EQ(a.mgr.RestoreFinished(delays::kHistoryKind), 0u);
  const std::uint8_t* out = nullptr;
  std::uint32_t out_length = 0;
  EXPECT_EQ(a.mgr.ConvertSection(delays::kHistoryKind, image.data(),
                                 static_cast<std::uint32_t>(image.size()), &out, &out_length),
            delays::kBadSnapshot);
}

// Random headers and blocks: a restore either succeeds with rows in time
// order or is refused with the history as it was.
TEST(DelayMgr, RandomHeadersAndBlocks) {
  std::mt19937 rng(34);
  Delays a({"p", "q"});
  ASSERT_EQ(a.mgr.InitHistory(), 0u);
  for (int k = 0; k < 30; ++k) {
    a.Set({1.0 * k, 2.0 * k});
    a.mgr.RecordAll(k);
  }
  const auto image = Image(a.mgr, delays::kHistoryKind);
  DseMessage* m = nullptr;
  ASSERT_EQ(a.mgr.StructureRecord(delays::kHistoryKind, &m), 0u);
  const auto header = testsupport::BodyOf(*m);
  delete m;
  Delays b({"q", "p"});
  for (int round = 0; round < 300; ++round) {
    auto h = header;
    for (int f = rng() % 4; f > 0; --f) h[rng() % h.size()] = static_cast<std::uint8_t>(rng());
    auto block = image;
    if (round % 3 == 0) {
      std::uint8_t* tail = block.data() + block.size() - 8;
      for (int f = 0; f < 8; ++f)
        if (rng() % 3 == 0) tail[f] = static_cast<std::uint8_t>(rng());
    }
    if (round % 7 == 0) block.resize(rng() % block.size());
    const Status read =
        b.mgr.MapStructure(delays::kHistoryKind, testsupport::ReceivedBody(h).get());
    std::int32_t ready = 1;
    b.mgr.Ready(delays::kHistoryKind, &ready);
    const std::int32_t before = b.mgr.History().RecordCount();
    const std::uint8_t* out = nullptr;
    std::uint32_t length = 0;
    const Status s = b.mgr.ConvertSection(delays::kHistoryKind, block.data(),
                                          static_cast<std::uint32_t>(block.size()), &out, &length);
    const DelayHistory& hist = b.mgr.History();
    if (s == 0) {
      EXPECT_LE(hist.RecordCount(), delays::kRows) << round;
      // The rows as they are now, then their breaks.
      std::int32_t rows = 0;
      ASSERT_TRUE(delays::BlockRows(out, length, 2, delays::kRows, &rows)) << round;
      EXPECT_EQ(rows, std::max(1, hist.RecordCount())) << round;
    } else if (read == 0) {
      EXPECT_EQ(hist.RecordCount(), before) << round;
    }
    b.mgr.RestoreFinished(delays::kHistoryKind);
  }
}

}  // namespace

namespace {
TEST(DelayMgr, AVariableGoneIsRecordedNoMore) {
  Delays d({"x", "y"});
  ASSERT_EQ(d.mgr.InitHistory(), 0u);
  delete d.vars[0];
  d.vars.erase(d.vars.begin());
  d.Set({3.0});
  ASSERT_EQ(d.mgr.RecordAll(1.0), 0u);
  EXPECT_EQ(d.mgr.History().ValueAt(2, 0), 3.0);
  EXPECT_EQ(d.mgr.VariableAt(0), nullptr);
  std::int32_t ready = 1;
  ASSERT_EQ(d.mgr.MapStructure(delays::kHistoryKind, Header(d.mgr, delays::kHistoryKind).get()),
            0u);
  ASSERT_EQ(d.mgr.Ready(delays::kHistoryKind, &ready), 0u);
  EXPECT_EQ(d.mgr.ColumnMap(), (std::vector<std::int32_t>{0, 2}));
}
}  // namespace

namespace {
// Rows restored out of time order are looked up inside the ring.
TEST(DelayHistory, RowsOutOfOrderStayInsideTheRing) {
  DelayHistory h;
  ASSERT_EQ(h.Init(1), 0u);
  for (int i = 0; i < 5; ++i) h.Record(1, i, i);
  std::vector<std::uint8_t> image(reinterpret_cast<const std::uint8_t*>(h.Data()),
                                  reinterpret_cast<const std::uint8_t*>(h.Data() + h.Size()));
  // Times 0, 9, 9, 9, 4: the middle rows are later than the newest.
  for (int r = 1; r <= 3; ++r) {
    const double t = 9.0;
    std::memcpy(image.data() + 8 * r, &t, 8);
  }
  DelayHistory g;
  ASSERT_EQ(g.Init(1), 0u);
  ASSERT_EQ(
      g.Restore(image.data(), static_cast<std::uint32_t>(image.size()), 1, delays::kRows, nullptr),
      0u);
  for (double t : {0.5, 1.0, 3.9}) {
    double v = 0.0;
    EXPECT_EQ(g.Lookup(1, t, 10.0, &v), 0u);
    EXPECT_TRUE(std::isfinite(v));
  }
}
}  // namespace

namespace {
struct Items : DelaySensitivityItems {
  std::int32_t GetItemCount() override { return 2; }
  const char* GetItemName(std::int32_t i) override { return i == 0 ? "k1" : "k2"; }
};

TEST(DelayMgr, TheSecondHistoryAndItsHeader) {
  Delays d({"x", "y"});
  Items items;
  d.mgr.SetSensitivityItems(&items);
  // Byte for byte: u16 2, u16 10000, "k1", "k2" as long strings, u16 65535.
  EXPECT_EQ(HeaderBytes(d.mgr, delays::kSubHistoryKind),
            (testsupport::Bytes{2, 0, 0x10, 0x27, 3, 0, 0, 'k', '1', 0, 3, 0, 0, 'k', '2', 0, 0xFF,
                                0xFF}));
  ASSERT_EQ(d.mgr.InitSubHistory(3), 0u);
  EXPECT_EQ(d.mgr.SubHistory().Columns(), 6);
  // Variable y (delay index 2), sub-index 1: column 1 + 1 + 3 = 5.
  ASSERT_EQ(d.mgr.RecordSubValue(d.vars[1], 1, 0.0, 4.0), 0u);
  ASSERT_EQ(d.mgr.RecordSubValue(d.vars[1], 1, 1.0, 6.0), 0u);
  EXPECT_EQ(d.mgr.SubHistory().ValueAt(5, 1), 6.0);
  EXPECT_EQ(d.mgr.RecordSubValue(d.vars[1], 3, 1.0, 6.0), delays::kBadSnapshot);
  RunClock clock(kRunDynamic, 2.0);
  double v = 0.0;
  ASSERT_EQ(d.mgr.GetSubDelayedValue(d.vars[1], 1, 0.5, &v), 0u);
  EXPECT_DOUBLE_EQ(v, 5.0);
  // Its two rows, its first row's break and the tail.
  EXPECT_EQ(Image(d.mgr, delays::kSubHistoryKind).size(), (7u * 2u + 1u) * 8u + 32u);
}
}  // namespace

// The delay history keeps every row a lag still reaches, growing past its
// first rows up to its bound, and its breaks travel with it in a snapshot
// block; a block written before breaks were kept still reads.
namespace historyrows {

constexpr double kEvery = 1e-4;
constexpr int kMany = delays::kRows + 5000;

// kMany rows a tenth of a millisecond apart, looked up `reach` back.
void Fill(DelayHistory* h, double reach) {
  ASSERT_EQ(h->Init(1), 0u);
  h->Reach(reach);
  for (int k = 0; k < kMany; ++k) ASSERT_EQ(h->Record(1, k * kEvery, k), 0u);
}

// A reach past the first rows keeps them all; one inside them lets the
// oldest go as before, whatever the reach.
TEST(DelayHistoryRows, GrowOnlyForRowsALagReaches) {
  const double span = (kMany - 1) * kEvery;
  for (const double reach : {0.0, 0.3, 0.9, 0.99, 1.01, 1.2, span, 3.0}) {
    SCOPED_TRACE("reach " + std::to_string(reach));
    DelayHistory h;
    Fill(&h, reach);
    // Rows within the reach of the newest, and a few beside them.
    const bool all = reach * (1 / kEvery) + 6 > delays::kRows;
    EXPECT_EQ(h.RecordCount(), all ? kMany : delays::kRows);
    EXPECT_EQ(h.Overflowed(), !all);
    if (!all) continue;
    EXPECT_GE(h.Rows(), kMany);
    // The oldest row is looked up exactly, and every row stays in order.
    double v = -1.0;
    EXPECT_EQ(h.Lookup(1, 0.0, span + 1.0, &v), 0u);
    EXPECT_EQ(v, 0.0);
    for (int k = 1; k < kMany; ++k) ASSERT_LT(h.TimeAt(h.Oldest() + k - 1), h.TimeAt(k)) << k;
    EXPECT_EQ(h.Lookup(1, 0.5 + 0.5 * kEvery, span + 1.0, &v), 0u);
    EXPECT_NEAR(v, 5000.5, 1e-9);
  }
}

struct Manager {
  explicit Manager(int names) : root(new DAESInstanceNode(nullptr, nullptr)) {
    for (int i = 0; i < names; ++i) {
      static const char* const kNames[] = {"v0", "v1", "v2"};
      auto* v = new DAESRealVariable(root, kNames[i]);
      root->InsertChildAt(i + 1, v);
      vars.push_back(v);
      EXPECT_EQ(v->RegisterDelay(), 0u);
    }
  }
  ~Manager() {
    SetRunMode(kRunInitialisation);
    SetSimulationTime(0.0);
    BvuDirectoryProper::DeleteBelow(root);
    delete root;
  }
  DelayMgr mgr;
  DAESInstanceNode* root;
  std::vector<DAESRealVariable*> vars;
};

std::vector<std::uint8_t> Block(DelayMgr& mgr) {
  const std::uint8_t* data = nullptr;
  std::uint32_t length = 0;
  EXPECT_EQ(mgr.SectionData(delays::kHistoryKind, &data, &length), 0u);
  return std::vector<std::uint8_t>(data, data + length);
}

// A run's look-ups set the reach; past the bound the line says what to
// change.
TEST(DelayHistoryRows, ALookUpPastTheBoundSaysWhatToChange) {
  for (const bool bounded : {false, true}) {
    SCOPED_TRACE(bounded ? "bounded" : "free");
    Manager m(1);
    ASSERT_EQ(m.mgr.InitHistory(), 0u);
    if (bounded) m.mgr.History().SetMostRows(delays::kRows);
    testsupport::CaptureSink sink;
    SetRunMode(kRunDynamic);
    for (int k = 0; k < kMany; ++k) {
      SetSimulationTime(k * kEvery);
      double v = 0.0;
      m.mgr.GetDelayedValue(1, 1.2, &v);
      m.vars[0]->SetValue(k);
      ASSERT_EQ(m.mgr.RecordAll(k * kEvery), 0u);
    }
    std::string all;
    for (const std::string& line : sink.lines()) all += line;
    EXPECT_EQ(m.mgr.History().RecordCount(), bounded ? delays::kRows : kMany);
    EXPECT_EQ(all.find("Integration.MaxStepSize") != std::string::npos, bounded) << all;
  }
}

// Breaks of every order, a jump in value among them, come back from the
// block: the restored history restarts where the one written did.
TEST(DelayHistoryRows, BreaksComeBackFromABlock) {
  DelayHistory h;
  ASSERT_EQ(h.Init(2), 0u);
  const auto at = [&](double t, double x) {
    h.Record(1, t, x);
    h.Record(2, t, -x);
  };
  for (int k = 0; k <= 40; ++k) {
    const double t = 0.05 * k;
    at(t, std::sin(t));
    if (k == 10) h.KeepBeforeJump(t, 2);
    if (k == 20) {
      h.KeepBeforeJump(t, 1);
      at(t, 3.0);
    }
    if (k == 30) h.KeepBeforeJump(t, 4);
  }
  std::vector<std::uint8_t> block;
  ASSERT_EQ(h.WriteBlock(&block), 0u);
  std::int32_t rows = 0;
  ASSERT_TRUE(delays::BlockRows(block.data(), static_cast<std::uint32_t>(block.size()), 2,
                                delays::kRows, &rows));
  DelayHistory g;
  ASSERT_EQ(g.Init(2, rows), 0u);
  ASSERT_EQ(g.RestoreBlock(block.data(), static_cast<std::uint32_t>(block.size()), 2, delays::kRows,
                           nullptr),
            0u);
  ASSERT_EQ(g.RecordCount(), h.RecordCount());
  for (const double lag : {0.3, 0.5, 0.75, 1.0}) {
    const std::vector<delays::Lag> lags{{1, lag}, {2, 0.5 * lag}};
    for (double from = -0.01; from < 3.0; from += 0.05) {
      double a = -1.0, b = -1.0;
      const bool found = h.NextJump(from, 10.0, lags, &a);
      ASSERT_EQ(g.NextJump(from, 10.0, lags, &b), found) << lag << " from " << from;
      if (found) {
        ASSERT_EQ(a, b);
        EXPECT_EQ(g.OrderSeenAt(b, lags), h.OrderSeenAt(a, lags)) << b;
      }
    }
  }
}

// A carried break stands for a sum of lags that is no double: 0.1 + 0.2
// rounds up to 0.30000000000000004, and carried 0.3 further, the sum lands
// on 0.6 where the rounded time lands a unit past it. Back from a block,
// the break lands where the one written did; a block written before the
// rest was kept carries it from the rounded time, as before.
TEST(DelayHistoryRows, ACarriedBreakComesBackWithItsSum) {
  const double sum = 0.1 + 0.2;
  const double rest = -2.7755575615628914e-17;  // 0.1 + 0.2 - sum, exactly
  DelayHistory h;
  ASSERT_EQ(h.Init(1), 0u);
  for (const double t : {0.0, 0.1, 0.2, sum, 0.35, 0.4}) {
    h.Record(1, t, std::cos(t));
    if (t == sum) h.KeepBeforeJump(t, 2, rest);
  }
  std::vector<std::uint8_t> block;
  ASSERT_EQ(h.WriteBlock(&block), 0u);
  const auto size = static_cast<std::uint32_t>(block.size());
  std::vector<std::uint8_t> older = block;
  const std::size_t second_rest = (2u * 7u + 1u) * 8u + 16u + 12u;
  std::fill_n(older.begin() + static_cast<std::ptrdiff_t>(second_rest), 4, 0);
  const auto restored = [&](const std::vector<std::uint8_t>& b, const delays::Lag& lag) {
    DelayHistory g;
    double at = -1.0;
    if (g.Init(1) != 0 || g.RestoreBlock(b.data(), size, 1, delays::kRows, nullptr) != 0 ||
        !g.NextJump(0.35, 10.0, {lag}, &at)) {
      return -1.0;
    }
    return at;
  };
  for (const double lag : {0.3, 0.15, 0.07, 0.2, 0.05}) {
    double want = 0.0;
    ASSERT_TRUE(h.NextJump(0.35, 10.0, {{1, lag}}, &want)) << lag;
    EXPECT_EQ(restored(block, {1, lag}), want) << lag;
    EXPECT_EQ(restored(older, {1, lag}), sum + lag) << lag;
  }
  double carried = 0.0;
  ASSERT_TRUE(h.NextJump(0.35, 10.0, {{1, 0.3}}, &carried));
  EXPECT_EQ(carried, 0.6);
  EXPECT_NE(sum + 0.3, 0.6);
}

// A break carried to just past time 0 (a run from negative times) keeps a
// rest of a few roundings of its lags, far above one of its own time: the
// engine's own block still restores, the break where it was.
TEST(DelayHistoryRows, ABreakNearTimeZeroComesBackFromItsBlock) {
  DelayHistory h;
  ASSERT_EQ(h.Init(1), 0u);
  const double near_zero = 1e-10;
  for (const double t : {-0.3, -0.2, -0.1, near_zero, 0.1, 0.2}) {
    h.Record(1, t, std::cos(t));
    if (t == near_zero) h.KeepBeforeJump(t, 2, 5e-17);
  }
  std::vector<std::uint8_t> block;
  ASSERT_EQ(h.WriteBlock(&block), 0u);
  DelayHistory g;
  ASSERT_EQ(g.Init(1), 0u);
  ASSERT_EQ(g.RestoreBlock(block.data(), static_cast<std::uint32_t>(block.size()), 1, delays::kRows,
                           nullptr),
            0u);
  double at = -1.0;
  ASSERT_TRUE(g.NextJump(0.05, 10.0, {{1, 0.1}}, &at));
  EXPECT_NEAR(at, near_zero + 0.1, 1e-15);
}

// Written before breaks were kept, a block is the image alone: its first
// row, where the run began, is a break, as is each time two rows share.
TEST(DelayHistoryRows, AnOlderBlockTakesItsFirstRowForABreak) {
  DelayHistory h;
  ASSERT_EQ(h.Init(1), 0u);
  for (int k = 0; k <= 10; ++k) h.Record(1, 0.1 * k + 0.5, 1.0 - 0.1 * k);
  h.KeepBeforeJump(1.5);
  h.Record(1, 1.5, 5.0);
  std::vector<std::uint8_t> image(reinterpret_cast<const std::uint8_t*>(h.Data()),
                                  reinterpret_cast<const std::uint8_t*>(h.Data() + h.Size()));
  DelayHistory g;
  ASSERT_EQ(g.Init(1), 0u);
  ASSERT_EQ(g.RestoreBlock(image.data(), static_cast<std::uint32_t>(image.size()), 1, delays::kRows,
                           nullptr),
            0u);
  // Lags that carry neither break onto the other.
  for (const double lag : {0.2, 0.7, 1.3, 2.4}) {
    double t = 0.0;
    ASSERT_TRUE(g.NextJump(0.0, 10.0, {{1, lag}}, &t)) << lag;
    EXPECT_NEAR(t, 0.5 + lag, 1e-12) << lag;
    ASSERT_TRUE(g.NextJump(t, 10.0, {{1, lag}}, &t)) << lag;
    EXPECT_NEAR(t, 1.5 + lag, 1e-12) << lag;
  }
  // A block of the wrong size for its rows is no image.
  EXPECT_EQ(g.RestoreBlock(image.data(), static_cast<std::uint32_t>(image.size()) - 8, 1,
                           delays::kRows, nullptr),
            delays::kBadSnapshot);
}

// A history grown past its first rows goes into a snapshot and comes back
// whole, directly and through the name map.
TEST(DelayHistoryRows, AGrownHistoryComesBackWhole) {
  Manager a(2);
  ASSERT_EQ(a.mgr.InitHistory(), 0u);
  a.mgr.History().Reach(2.0);
  a.mgr.SubHistory().Reach(2.0);
  for (int k = 0; k < kMany; ++k) {
    a.vars[0]->SetValue(k);
    a.vars[1]->SetValue(-k);
    ASSERT_EQ(a.mgr.RecordAll(k * kEvery), 0u);
  }
  ASSERT_EQ(a.mgr.History().RecordCount(), kMany);
  const auto block = Block(a.mgr);
  DseMessage* written = nullptr;
  ASSERT_EQ(a.mgr.StructureRecord(delays::kHistoryKind, &written), 0u);
  const auto header = testsupport::ReceivedBody(testsupport::BodyOf(*written));
  delete written;
  {
    Manager b(2);
    ASSERT_EQ(b.mgr.RestoreSection(delays::kHistoryKind, block.data(),
                                   static_cast<std::uint32_t>(block.size())),
              0u);
    ASSERT_EQ(b.mgr.History().RecordCount(), kMany);
    EXPECT_EQ(b.mgr.History().ValueAt(2, kMany - 1), -(kMany - 1.0));
    EXPECT_EQ(Block(b.mgr), block);
  }
  Manager c(3);
  ASSERT_EQ(c.mgr.MapStructure(delays::kHistoryKind, header.get()), 0u);
  std::int32_t ready = 1;
  ASSERT_EQ(c.mgr.Ready(delays::kHistoryKind, &ready), 0u);
  const std::uint8_t* out = nullptr;
  std::uint32_t length = 0;
  ASSERT_EQ(c.mgr.ConvertSection(delays::kHistoryKind, block.data(),
                                 static_cast<std::uint32_t>(block.size()), &out, &length),
            0u);
  EXPECT_EQ(c.mgr.History().RecordCount(), kMany);
  EXPECT_EQ(c.mgr.History().ValueAt(1, 7), 7.0);
  EXPECT_EQ(c.mgr.History().ValueAt(3, 7), 0.0);
}

// A damaged tail or break is refused and changes nothing.
TEST(DelayHistoryRows, DamagedBreaksAreRefused) {
  Manager a(1);
  ASSERT_EQ(a.mgr.InitHistory(), 0u);
  // Five breaks: the first row and four jumps, each two rows.
  for (int k = 0; k < 5; ++k) {
    a.vars[0]->SetValue(k);
    a.mgr.RecordBeforeJump(k);
  }
  ASSERT_EQ(a.mgr.History().RecordCount(), 9);
  const auto block = Block(a.mgr);
  const std::size_t image = (2u * 9u + 1u) * 8u;
  ASSERT_EQ(block.size(), image + 5u * 16u + 16u);
  const auto damaged = [&](std::size_t at, const void* bytes, std::size_t n) {
    auto b = block;
    std::memcpy(b.data() + at, bytes, n);
    return b;
  };
  const double nan = std::nan("");
  const double early = -1.0;
  const std::int32_t negative = -1;
  const std::uint32_t more = 6;
  const std::uint32_t rows = delays::kRows + 1;
  const std::uint8_t mark = 'X';
  const float endless = HUGE_VALF;
  const float far = 1e-9f;  // of the break at 1
  for (const auto& b : {damaged(image + 16, &nan, 8), damaged(image + 16, &early, 8),
                        damaged(image + 24, &negative, 4), damaged(block.size() - 16, &more, 4),
                        damaged(block.size() - 12, &rows, 4), damaged(block.size() - 1, &mark, 1),
                        damaged(image + 28, &endless, 4), damaged(image + 28, &far, 4)}) {
    EXPECT_EQ(
        a.mgr.RestoreSection(delays::kHistoryKind, b.data(), static_cast<std::uint32_t>(b.size())),
        delays::kBadSnapshot);
    EXPECT_EQ(a.mgr.History().RecordCount(), 9);
  }
  EXPECT_EQ(a.mgr.RestoreSection(delays::kHistoryKind, block.data(),
                                 static_cast<std::uint32_t>(block.size())),
            0u);
  // A rest of a few roundings is no damage, either sign.
  for (const float near : {2e-16f, -4e-16f}) {
    const auto b = damaged(image + 28, &near, 4);
    EXPECT_EQ(
        a.mgr.RestoreSection(delays::kHistoryKind, b.data(), static_cast<std::uint32_t>(b.size())),
        0u);
  }
}

}  // namespace historyrows
