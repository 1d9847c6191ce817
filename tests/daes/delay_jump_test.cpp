// A jump in the delayed variables' history (an event acted on, values set, a
// re-initialisation): the values before and after it recorded at one time,
// looked up as a jump, found ahead by the lags the model uses, and carried
// whole through a snapshot image.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "daes/delays/delay_mgr.h"
#include "daes/instance/instance_node.h"
#include "daes/model/variable.h"
#include "foundation/interfaces/run_mode.h"

// Named apart: the folder's files are built as one.
namespace delayjump {

double Before(double t) { return std::nextafter(t, -HUGE_VAL); }

double At(const DelayHistory& h, double t, std::int32_t column = 1) {
  double v = std::nan("");
  EXPECT_EQ(h.Lookup(column, t, 1e9, &v), 0u) << t;
  return v;
}

// Column 1: 2t up to the jump at 0.25, then 10 - t; column 2: 5 throughout
// (recorded after the jump only from 0.3 on). Rows at 0, 0.1, 0.2, 0.25
// (twice), 0.3, 0.4.
void Stepped(DelayHistory* h) {
  ASSERT_EQ(h->Init(2), 0u);
  for (const double t : {0.0, 0.1, 0.2, 0.25}) {
    h->Record(1, t, 2.0 * t);
    h->Record(2, t, 5.0);
  }
  h->KeepBeforeJump(0.25);
  for (const double t : {0.25, 0.3, 0.4}) {
    h->Record(1, t, 10.0 - t);
    if (t > 0.25) h->Record(2, t, 5.0);
  }
}

TEST(DelayJump, TheRowsBeforeAndAfterShareTheTimeAndStayAJump) {
  DelayHistory h;
  Stepped(&h);
  ASSERT_EQ(h.RecordCount(), 7);
  // The copy took the other columns along.
  EXPECT_EQ(h.ValueAt(2, 4), 5.0);
  EXPECT_EQ(h.TimeAt(2), 0.2);
  EXPECT_EQ(h.TimeAt(3), 0.25);
  EXPECT_EQ(h.TimeAt(4), 0.25);
  // Each side keeps its own line right up to the jump: the two rows at one
  // time give neither side a slope, nor a value past its own.
  for (const double t : {0.0, 0.05, 0.15, 0.2, 0.22, 0.249, Before(0.25)}) {
    EXPECT_NEAR(At(h, t), 2.0 * t, 1e-13) << t;
  }
  for (const double t : {0.25, std::nextafter(0.25, 1.0), 0.26, 0.3, 0.35, 0.4}) {
    EXPECT_NEAR(At(h, t), 10.0 - t, 1e-13) << t;
  }
  EXPECT_EQ(At(h, 0.25), 9.75);
  EXPECT_EQ(At(h, 0.33, 2), 5.0);

  // A second jump at the time overwrites the values after the first: two
  // rows at most share a time.
  h.Record(1, 0.4, 0.0);
  h.KeepBeforeJump(0.4);
  h.KeepBeforeJump(0.4);
  h.Record(1, 0.4, 1.0);
  h.KeepBeforeJump(0.4);
  h.Record(1, 0.4, 2.0);
  EXPECT_EQ(h.RecordCount(), 8);
  EXPECT_NEAR(At(h, Before(0.4)), 0.0, 1e-12);
  EXPECT_EQ(At(h, 0.4), 2.0);
  // Not at the newest time: nothing to keep.
  h.KeepBeforeJump(0.3);
  EXPECT_EQ(h.RecordCount(), 8);
  // Back before the jump: both of its rows go.
  h.Record(1, 0.22, -1.0);
  EXPECT_EQ(h.RecordCount(), 4);
  EXPECT_EQ(h.TimeAt(h.Newest()), 0.22);
}

// A jump at the start of the history: before it the value before, with the
// note that the time lies before the history.
TEST(DelayJump, AJumpAtTheOldestTime) {
  DelayHistory h;
  ASSERT_EQ(h.Init(1), 0u);
  h.KeepBeforeJump(0.0);
  EXPECT_EQ(h.RecordCount(), 0);
  h.Record(1, 0.0, 3.0);
  h.KeepBeforeJump(0.0);
  h.Record(1, 0.0, 4.0);
  double v = 0.0;
  EXPECT_EQ(h.Lookup(1, -0.5, 1e9, &v), delays::kBeforeHistory);
  EXPECT_EQ(v, 3.0);
  EXPECT_EQ(At(h, 0.0), 4.0);
  h.Record(1, 1.0, 4.0);
  EXPECT_EQ(At(h, 0.5), 4.0);
}

// A value solved again at a restart differs from the one before by its
// solver's round-off: no jump, only an event's break (a derivative may
// jump there). A real change of the same column is a jump, seen one
// derivative rougher a lag later.
TEST(DelayJump, AChangeOfRoundOffIsNoJump) {
  DelayHistory h;
  ASSERT_EQ(h.Init(1), 0u);
  h.Record(1, 0.0, 1.0);
  h.Record(1, 0.5, 1000.0);
  h.KeepBeforeJump(0.5);
  h.Record(1, 0.5, 1000.0 * (1.0 + 1e-9));
  h.Record(1, 0.6, 1000.0);
  double at = 0.0;
  ASSERT_TRUE(h.NextJump(0.6, 2.0, {{1, 0.2}}, &at));
  EXPECT_NEAR(at, 0.7, 1e-15);
  EXPECT_EQ(h.OrderSeenAt(at, {{1, 0.2}}), 2);
  h.KeepBeforeJump(0.6);
  h.Record(1, 0.6, 1000.001);
  ASSERT_TRUE(h.NextJump(at, 2.0, {{1, 0.2}}, &at));
  EXPECT_NEAR(at, 0.8, 1e-15);
  EXPECT_EQ(h.OrderSeenAt(at, {{1, 0.2}}), 1);
  // Where no break is seen: an event's.
  EXPECT_EQ(h.OrderSeenAt(0.75, {{1, 0.2}}), 1);
}

// The start of the history, seen a lag later, ends a run of steps there;
// the break recorded where it starts again is one derivative smoother, and
// so on, until the integrator no longer sees the derivative that jumps.
// A row a rounding unit before a break (where the steps ended) gives way
// to the break's.
TEST(DelayJump, BreaksCarryForwardUntilSmoothEnough) {
  DelayHistory h;
  ASSERT_EQ(h.Init(1), 0u);
  const std::vector<delays::Lag> lags{{1, 1.0}, {1, 0.75}};
  std::vector<double> restarts;
  double now = 0.0, at = 0.0;
  h.Record(1, now, 1.0);
  while (h.NextJump(now, 20.0, lags, &at)) {
    // Steps of 1/16 up to a rounding unit before the break.
    for (; now + 1.0 / 16 < at; now += 1.0 / 16) h.Record(1, now + 1.0 / 16, std::cos(now));
    h.Record(1, Before(at), std::cos(at));
    const std::int32_t rows = h.RecordCount();
    now = at;
    const std::int32_t order = h.OrderSeenAt(now, lags);
    h.Record(1, now, std::cos(now));
    h.KeepBeforeJump(now, order);
    h.Record(1, now, std::cos(now));
    EXPECT_EQ(h.RecordCount(), rows + 1) << now;
    EXPECT_EQ(h.TimeAt(h.Newest()), now);
    restarts.push_back(now);
  }
  // Each sum of at most kRoughestSmooth lags, once.
  std::vector<double> sums;
  for (int m = 0; m <= delays::kRoughestSmooth; ++m) {
    for (int n = 0; m + n <= delays::kRoughestSmooth; ++n) {
      if (m + n > 0) sums.push_back(m * 1.0 + n * 0.75);
    }
  }
  std::sort(sums.begin(), sums.end());
  sums.erase(std::unique(sums.begin(), sums.end()), sums.end());
  ASSERT_EQ(restarts.size(), sums.size());
  for (std::size_t k = 0; k < sums.size(); ++k) EXPECT_NEAR(restarts[k], sums[k], 1e-12) << k;
  // A value jump is seen at its own order, and smooths as far again.
  EXPECT_FALSE(h.NextJump(now, 100.0, lags, &at));
  h.KeepBeforeJump(now);
  h.Record(1, now, 5.0);
  ASSERT_TRUE(h.NextJump(now, 100.0, lags, &at));
  EXPECT_EQ(h.OrderSeenAt(at, lags), 1);
}

// Beside a break, the slopes at the rows come from four rows on the side
// that has them: the curve keeps a cubic to rounding there, as between
// rows far from it, where three rows left it off by 1e-4.
TEST(DelayJump, BesideABreakTheCurveKeepsItsOrder) {
  DelayHistory h;
  ASSERT_EQ(h.Init(1), 0u);
  const auto cubic = [](double t) { return t * t * t - 2.0 * t; };
  for (int k = 0; k <= 10; ++k) h.Record(1, 0.1 * k, cubic(0.1 * k));
  h.KeepBeforeJump(1.0, 2);
  h.Record(1, 1.0, cubic(1.0));
  for (int k = 11; k <= 20; ++k) h.Record(1, 0.1 * k, cubic(0.1 * k));
  for (const double t : {0.02, 0.05, 0.45, 0.93, 0.97, Before(1.0), 1.0, 1.03, 1.07, 1.95}) {
    EXPECT_NEAR(At(h, t), cubic(t), 1e-13) << t;
  }
}

// The time from which a look-up `lag` back sees the values after the jump,
// to the last bit: the time just before it still sees those before.
TEST(DelayJump, TheNextJumpIsWhereALagFirstSeesTheValuesAfter) {
  DelayHistory h;
  Stepped(&h);
  const std::vector<delays::Lag> lags = {{2, 0.02}, {1, 0.3}, {1, 0.1}, {1, 0.7}};
  double at = 0.0;
  ASSERT_TRUE(h.NextJump(0.3, 2.0, lags, &at));
  EXPECT_NEAR(at, 0.35, 1e-15);
  EXPECT_NEAR(At(h, at - 0.1), 9.75, 1e-12);
  EXPECT_NEAR(At(h, Before(at) - 0.1), 0.5, 1e-12);
  const double first = at;
  // The others follow in order, the history's start among them.
  ASSERT_TRUE(h.NextJump(at, 2.0, lags, &at));
  EXPECT_NEAR(at, 0.55, 1e-15);
  EXPECT_NEAR(At(h, at - 0.3), 9.75, 1e-12);
  EXPECT_NEAR(At(h, Before(at) - 0.3), 0.5, 1e-12);
  ASSERT_TRUE(h.NextJump(at, 2.0, lags, &at));
  EXPECT_NEAR(at, 0.7, 1e-15);
  ASSERT_TRUE(h.NextJump(at, 2.0, lags, &at));
  EXPECT_NEAR(at, 0.95, 1e-15);
  EXPECT_FALSE(h.NextJump(at, 2.0, lags, &at));
  // Only inside the stretch asked for, its end included.
  EXPECT_FALSE(h.NextJump(0.3, Before(first), lags, &at));
  at = 0.0;
  EXPECT_TRUE(h.NextJump(0.3, first, {{1, 0.1}}, &at));
  EXPECT_EQ(at, first);
  EXPECT_FALSE(h.NextJump(first, 2.0, {{1, 0.1}}, &at));
  EXPECT_FALSE(h.NextJump(0.3, 2.0, {}, &at));
  DelayHistory smooth;
  ASSERT_EQ(smooth.Init(1), 0u);
  for (int k = 0; k < 5; ++k) smooth.Record(1, 0.1 * k, k);
  // Its start is its only break.
  ASSERT_TRUE(smooth.NextJump(0.0, 2.0, {{1, 0.1}}, &at));
  EXPECT_EQ(at, 0.1);
  EXPECT_FALSE(smooth.NextJump(at, 2.0, {{1, 0.1}}, &at));
}

// A manager with delayed variables u and w.
struct Two {
  Two() : root(new DAESInstanceNode(nullptr, nullptr)) {
    for (const char* name : {"u", "w"}) {
      auto* v = new DAESRealVariable(root, name);
      root->InsertChildAt(static_cast<std::int32_t>(vars.size()) + 1, v);
      vars.push_back(v);
      EXPECT_EQ(v->RegisterDelay(), 0u);
    }
    EXPECT_EQ(mgr.InitHistory(), 0u);
  }
  ~Two() {
    BvuDirectoryProper::DeleteBelow(root);
    delete root;
  }
  DelayMgr mgr;
  DAESInstanceNode* root;
  std::vector<DAESRealVariable*> vars;
};

struct Dynamic {
  explicit Dynamic(double t) : mode(GetRunMode()), time(GetSimulationTime()) {
    SetRunMode(kRunDynamic);
    SetSimulationTime(t);
  }
  ~Dynamic() {
    SetRunMode(mode);
    SetSimulationTime(time);
  }
  std::int32_t mode;
  double time;
};

// u steps from 0 to 1 at t = 1; the lags come from the model's look-ups:
// those of the last step stand until the next step has looked up its own.
TEST(DelayJump, TheManagerFindsJumpsThroughTheLagsLookedUp) {
  Two d;
  // A run starts at 0 from the values it initialises: nothing before them.
  ASSERT_EQ(d.mgr.RecordAll(0.0), 0u);
  ASSERT_EQ(d.mgr.RecordBeforeJump(0.0), 0u);
  d.mgr.KeepBeforeJump(0.0);
  EXPECT_EQ(d.mgr.History().RecordCount(), 1);
  for (int k = 0; k <= 10; ++k) ASSERT_EQ(d.mgr.RecordAll(0.1 * k), 0u);
  ASSERT_EQ(d.mgr.RecordBeforeJump(1.0), 0u);
  d.vars[0]->SetValue(1.0);
  ASSERT_EQ(d.mgr.RecordAll(1.0), 0u);
  double at = 0.0;
  EXPECT_FALSE(d.mgr.NextJump(1.0, 9.0, &at));
  double v = 0.0;
  {
    Dynamic clock(1.05);
    for (const double lag : {0.5, 0.25, 0.5}) ASSERT_EQ(d.vars[0]->DelayedValue(lag, &v), 0u);
    ASSERT_EQ(d.vars[1]->DelayedValue(0.125, &v), 0u);
    // A look-up that only probes the history (a difference in the lag) is
    // none the model makes.
    {
      const DelayProbe probe;
      ASSERT_EQ(d.vars[0]->DelayedValue(0.1, &v), 0u);
    }
    // A lag not finite is no lag.
    EXPECT_EQ(d.mgr.GetDelayedValue(1, HUGE_VAL, &v), delays::kBeforeHistory);
  }
  // w does not jump, but the event may have turned it: seen through its
  // lag as well.
  ASSERT_TRUE(d.mgr.NextJump(1.05, 9.0, &at));
  EXPECT_EQ(at, 1.125);
  ASSERT_TRUE(d.mgr.NextJump(at, 9.0, &at));
  EXPECT_EQ(at, 1.25);
  ASSERT_EQ(d.mgr.RecordAll(1.1), 0u);
  ASSERT_TRUE(d.mgr.NextJump(1.25, 9.0, &at));
  EXPECT_EQ(at, 1.5);
  // The next step looks up with 0.5 only: 0.25 is no longer in use.
  {
    Dynamic clock(1.2);
    ASSERT_EQ(d.vars[0]->DelayedValue(0.5, &v), 0u);
    EXPECT_EQ(v, 0.0);
  }
  ASSERT_EQ(d.mgr.RecordAll(1.2), 0u);
  ASSERT_TRUE(d.mgr.NextJump(1.2, 9.0, &at));
  EXPECT_EQ(at, 1.5);
  {
    Dynamic clock(1.5);
    ASSERT_EQ(d.vars[0]->DelayedValue(0.5, &v), 0u);
    EXPECT_EQ(v, 1.0);
    Dynamic just_before(Before(1.5));
    ASSERT_EQ(d.vars[0]->DelayedValue(0.5, &v), 0u);
    EXPECT_EQ(v, 0.0);
  }
  // Forgotten with the problem.
  d.mgr.Clear();
  EXPECT_FALSE(d.mgr.NextJump(1.2, 9.0, &at));
}

// The snapshot image carries both rows of a jump: a manager restored from
// it looks up the same jump.
TEST(DelayJump, ASnapshotImageKeepsTheJumpWhole) {
  Two a;
  for (int k = 0; k <= 4; ++k) ASSERT_EQ(a.mgr.RecordAll(0.25 * k), 0u);
  ASSERT_EQ(a.mgr.RecordBeforeJump(1.0), 0u);
  a.vars[0]->SetValue(1.0);
  a.vars[1]->SetValue(-1.0);
  ASSERT_EQ(a.mgr.RecordAll(1.0), 0u);
  ASSERT_EQ(a.mgr.RecordAll(1.5), 0u);
  const std::uint8_t* data = nullptr;
  std::uint32_t length = 0;
  ASSERT_EQ(a.mgr.SectionData(delays::kHistoryKind, &data, &length), 0u);
  const std::vector<std::uint8_t> image(data, data + length);

  Two b;
  ASSERT_EQ(b.mgr.RestoreSection(delays::kHistoryKind, image.data(),
                                 static_cast<std::uint32_t>(image.size())),
            0u);
  const DelayHistory& h = b.mgr.History();
  ASSERT_EQ(h.RecordCount(), 7);
  for (const std::int32_t column : {1, 2}) {
    const double after = column == 1 ? 1.0 : -1.0;
    EXPECT_EQ(At(h, Before(1.0), column), 0.0);
    EXPECT_EQ(At(h, 0.9, column), 0.0);
    EXPECT_EQ(At(h, 1.0, column), after);
    EXPECT_EQ(At(h, 1.2, column), after);
  }
  double v = 0.0;
  {
    Dynamic clock(1.5);
    ASSERT_EQ(b.vars[1]->DelayedValue(0.5, &v), 0u);
    EXPECT_EQ(v, -1.0);
  }
  double at = 0.0;
  ASSERT_TRUE(b.mgr.NextJump(1.0, 2.0, &at));
  EXPECT_EQ(at, 1.5);
}

// Lags of 0.3 and 0.35 put kinks of the delayed values at 0.3 and 0.35, and
// breaks of a higher derivative at the sums of two and three. The
// integrator starts again at every kink and wherever the break before lies
// half the shortest lag or more away; it goes on across those closer.
TEST(DelayJump, OnlyBreaksCloseTogetherAreGoneAcross) {
  Two d;
  const std::vector<double> lags{0.3, 0.35};
  // Each step looks its lags up: before the history's start at first.
  const auto look = [&](double t) {
    Dynamic clock(t);
    double v = 0.0;
    for (const double lag : lags) d.vars[0]->DelayedValue(lag, &v);
  };
  ASSERT_EQ(d.mgr.RecordAll(0.0), 0u);
  look(0.1);
  double now = 0.0, at = 0.0;
  std::vector<double> across, again;
  while (d.mgr.NextJump(now, 2.0, &at)) {
    look(at);
    (d.mgr.GoesOnAt(at) ? across : again).push_back(at);
    d.vars[0]->SetValue(1.0 + at);
    ASSERT_EQ(d.mgr.RecordBeforeBreak(at), 0u);
    now = at;
  }
  const auto expect = [](const std::vector<double>& got, const std::vector<double>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(got[i], want[i], 1e-12) << i;
  };
  expect(again, {0.3, 0.35, 0.6, 0.9});
  expect(across, {0.65, 0.7, 0.95, 1.0, 1.05});
  // Nothing to go across where no look-up reaches a break.
  EXPECT_FALSE(d.mgr.GoesOnAt(0.8));
}

}  // namespace delayjump

// A lag that moves, L = 1 + c t, looked up at two times: the break at 0
// is reached where t - L(t) = 0, t = 1 / (1 - c), not where the lag of the
// last look-up would reach it; a restart short of it is no crossing and
// the one on it is, one derivative smoother. A lag looked up again at a
// later time does not move: its break is a lag later.
TEST(DelayJump, AMovingLagReachesABreakWhereItsLookUpDoes) {
  for (const double c : {0.05, 0.3, 0.9}) {
    SCOPED_TRACE(c);
    DelayHistory h;
    ASSERT_EQ(h.Init(1), 0u);
    h.Record(1, 0.0, 1.0);
    h.Record(1, 0.5, 0.5);
    const auto look = [&](double t) { return delays::Lag{1, 1.0 + c * t, t, t}; };
    const std::vector<delays::Lag> earlier{look(0.4)};
    const std::vector<delays::Lag> lags{look(0.5)};
    double at = 0.0;
    ASSERT_TRUE(h.NextJump(0.5, 1e3, lags, &at, &earlier));
    EXPECT_NEAR(at, 1.0 / (1.0 - c), 1e-12);
    std::int32_t order = 0;
    double rest = 1.0;
    EXPECT_TRUE(h.CrossingAt(at, lags, &order, &rest, &earlier));
    EXPECT_EQ(order, 2);
    EXPECT_EQ(rest, 0.0);
    EXPECT_FALSE(h.CrossingAt(lags[0].lag, lags, &order, &rest, &earlier));
    // Without the earlier look-up, the lag is taken as it is.
    ASSERT_TRUE(h.NextJump(0.5, 1e3, lags, &at));
    EXPECT_EQ(at, 1.0 + c * 0.5);
    const std::vector<delays::Lag> still{{1, 1.0 + c * 0.5, 0.4, 0.5}};
    ASSERT_TRUE(h.NextJump(0.5, 1e3, still, &at, &earlier));
    EXPECT_EQ(at, 1.0 + c * 0.5);
  }
}

// A break carried through lags lands on the sum of the lags, rounded once:
// 0.1 + 0.2 + 0.3 as 0.6, and by either order, where carrying the rounded
// sums lands a rounding unit off.
TEST(DelayJump, ACarriedBreakLandsOnTheSumOfItsLags) {
  DelayHistory h;
  ASSERT_EQ(h.Init(1), 0u);
  const std::vector<delays::Lag> lags{{1, 0.1}, {1, 0.2}, {1, 0.3}};
  double now = 0.0, at = 0.0;
  h.Record(1, now, 1.0);
  std::vector<double> restarts;
  while (h.NextJump(now, 20.0, lags, &at)) {
    h.Record(1, std::nextafter(at, 0.0), 1.0 + at);
    now = at;
    std::int32_t order = 0;
    double rest = 0.0;
    ASSERT_TRUE(h.CrossingAt(now, lags, &order, &rest)) << now;
    h.Record(1, now, 1.0 + now);
    h.KeepBeforeJump(now, order, rest);
    restarts.push_back(now);
  }
  EXPECT_NE(0.1 + 0.2 + 0.3, 0.6);
  EXPECT_NE(std::find(restarts.begin(), restarts.end(), 0.6), restarts.end());
  EXPECT_NE(std::find(restarts.begin(), restarts.end(), 0.7), restarts.end());
  // Each sum of up to three of them once, nothing between.
  EXPECT_EQ(restarts.size(), 9u);
}
