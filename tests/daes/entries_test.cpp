#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "daes/equations/row.h"
#include "daes/model/advise_list.h"
#include "daes/model/parameter.h"
#include "daes/model/services.h"
#include "daes/model/variable.h"
#include "framework/messaging/message.h"
#include "framework/messaging/message_controller.h"

namespace {

TEST(Entries, SpecificationsSetTheFlagsOfEntryAndDerivative) {
  struct Case {
    bool state;
    std::int32_t code;
    std::uint32_t flags;
    std::uint32_t derivative_flags;
    std::int32_t spec;
  };
  const Case cases[] = {
      {false, 1, 0x12, 0, 1},      {false, 2, 0x02, 0, 2},     {false, 4, 0x82, 0, 4},
      {false, 16, 0x10012, 0, 16}, {false, 32, 0x8082, 0, 32}, {true, 32, 0x8081, 0x14, 32},
      {true, 4, 0x81, 0x14, 4},    {true, 1, 0x11, 0x14, 1},   {false, 8, 0x11, 0x04, 8},
      {false, 99, 0x12, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    DAESRealVariable v(nullptr, "v");
    if (c.state) v.MakeDerivative();
    v.SetSpec(c.code);
    EXPECT_EQ(v.GetFlags(), c.flags);
    if (v.Derivative() != nullptr) {
      EXPECT_EQ(v.Derivative()->GetFlags(), c.derivative_flags);
    }
    EXPECT_EQ(v.GetStateSpec(), c.spec);
  }
}

TEST(Entries, ClippingAtTheToleranceEdges) {
  struct Case {
    double value;
    double tolerance;
    Status status;
    double result;
  };
  const Case cases[] = {
      {-1e-9, 1e-6, daes::kNearLow, -1e-9}, {-1e-5, 1e-6, daes::kClippedLow, 0.0},
      {0.0, 0.0, daes::kNearLow, 0.0},      {1.0, 0.0, daes::kNearHigh, 1.0},
      {1.5, 0.1, daes::kClippedHigh, 1.0},  {0.5, 0.0, 0, 0.5},
  };
  for (const Case& c : cases) {
    DAESRealVariable v(nullptr, "v");
    v.SetBounds(0.0, 1.0);
    double x = c.value;
    EXPECT_EQ(v.ClipToBounds(&x, c.tolerance), c.status) << c.value;
    EXPECT_EQ(x, c.result);
  }
  DAESRealVariable pinned(nullptr, "p");
  pinned.SetBounds(2.0, 2.0);
  double x = 2.0;
  EXPECT_EQ(pinned.ClipToBounds(&x, 0.0), daes::kNearLow);
}

TEST(Entries, ScaleKeepsUnscaledBoundsAndReachesTheDerivative) {
  DAESRealVariable v(nullptr, "v");
  v.MakeDerivative();
  v.SetBounds(-2.0, 4.0);
  v.SetValue(3.0);
  v.SetScale(10.0);
  double lo = 0, up = 0;
  v.GetBounds(&lo, &up);
  EXPECT_DOUBLE_EQ(lo, -2.0);
  EXPECT_DOUBLE_EQ(up, 4.0);
  v.GetStoredBounds(&lo, &up);
  EXPECT_DOUBLE_EQ(up, 40.0);
  EXPECT_DOUBLE_EQ(v.GetScaledValue(), 30.0);
  EXPECT_EQ(v.Derivative()->GetScale(), 10.0);
  EXPECT_EQ(v.SetBounds(1.0, 0.0), daes::kReservedAnswer);
}

// The engine traps overflow: an unbounded side stays at the marker under
// any scale, and a derivative made after the scale takes it too.
TEST(Entries, UnboundedSidesStayUnboundedUnderAnyScale) {
  for (const double scale : {100.0, 1e-3, 1e300, 1e-300}) {
    DAESRealVariable v(nullptr, "v");
    v.SetScale(scale);
    double lo = 0, up = 0;
    v.GetBounds(&lo, &up);
    EXPECT_EQ(lo, daes::kUnboundedLow) << scale;
    EXPECT_EQ(up, daes::kUnboundedHigh) << scale;
    v.GetStoredBounds(&lo, &up);
    EXPECT_EQ(lo, daes::kUnboundedLow) << scale;
    EXPECT_EQ(up, daes::kUnboundedHigh) << scale;
    v.SetBounds(-1e300, 2.0);
    v.GetBounds(&lo, &up);
    EXPECT_TRUE(std::isfinite(lo) && std::isfinite(up)) << scale;
    EXPECT_DOUBLE_EQ(up, 2.0) << scale;
    EXPECT_EQ(v.MakeDerivative()->GetScale(), scale);
  }
}

TEST(Entries, PerturbationStaysInsideTheBounds) {
  struct Case {
    double x, lower, upper, step, perturbed;
  };
  const Case cases[] = {
      {0.5, 0.0, 1.0, 0.1, 0.6},      // inside
      {0.95, 0.0, 1.0, -0.1, 0.85},   // flips at the upper bound
      {0.5, 0.45, 0.55, 0.05, 0.55},  // neither way fits: the farther bound
      {1.0, 1.0, 1.0, 0.0, 1.0},      // equal bounds: no step
  };
  for (const Case& c : cases) {
    DAESRealVariable v(nullptr, "v");
    v.SetBounds(c.lower, c.upper);
    double p = 0, s = 0;
    v.PerturbationStep(c.x, &p, 0.0, &s, 0.1);
    EXPECT_NEAR(s, c.step, 1e-12) << c.x;
    EXPECT_NEAR(p, c.perturbed, 1e-12);
  }
}

struct Sink : DAESAdviseSink {
  std::uint32_t AddRef() override { return ++refs; }
  std::uint32_t Release() override { return --refs; }
  Status ValuesChanged(std::int32_t n, const std::int32_t* cookies, const double* v) override {
    calls.push_back("values");
    for (int i = 0; i < n; ++i) values.push_back({cookies[i], v[i]});
    return 0;
  }
  Status BoundsChanged(std::int32_t n, const std::int32_t*, const double*, const double*) override {
    calls.push_back("bounds:" + std::to_string(n));
    return 0;
  }
  std::uint32_t refs = 0;
  std::vector<std::string> calls;
  std::vector<std::pair<std::int32_t, double>> values;
};

TEST(AdviseList, BatchesInOrderAndSurvivesRemovalAndDestruction) {
  Sink sink;
  DAESRealVariable a(nullptr, "a"), b(nullptr, "b"), c(nullptr, "c");
  {
    DAESVariableAdviseList list(&sink, 3);
    EXPECT_EQ(sink.refs, 1u);
    ASSERT_EQ(list.Add(&a, 100), 0u);
    ASSERT_EQ(list.Add(&b, 200), 0u);
    ASSERT_EQ(list.Add(&c, 300), 0u);
    DAESRealVariable d(nullptr, "d");
    EXPECT_EQ(list.Add(&d, 400), daes::kListFull);
    a.SetValue(1.0);
    a.SetValue(2.0);
    a.SetValue(2.0);
    c.SetBounds(0.0, 5.0);
    EXPECT_EQ(list.Flush(), 0u);
    EXPECT_EQ(sink.calls, (std::vector<std::string>{"bounds:1", "values"}));
    EXPECT_EQ(sink.values, (std::vector<std::pair<std::int32_t, double>>{{100, 2.0}}));
    EXPECT_EQ(list.Flush(), daes::kNothingPending);
    // Removing the middle entry keeps the last one reported.
    list.RemoveAt(1, &b);
    c.SetValue(7.0);
    sink.values.clear();
    list.Flush();
    EXPECT_EQ(sink.values, (std::vector<std::pair<std::int32_t, double>>{{300, 7.0}}));
  }
  EXPECT_EQ(sink.refs, 0u);
  a.SetValue(9.0);  // the list is gone and unregistered: nothing to call

  // An entry that goes first leaves the list, parameters included.
  DAESVariableAdviseList list(&sink, 2);
  {
    DAESParameter p(".p", nullptr, 19);
    list.Add(&p, 1);
    p.SetRawValue(3.0);
  }
  EXPECT_EQ(list.Flush(), 0u);  // the marked entry is gone: nothing handed out
}

TEST(AdviseList, AVariableHeldTwiceKeepsEachCookieThroughRemovalAndReAdd) {
  Sink sink;
  DAESRealVariable a(nullptr, "a");
  DAESVariableAdviseList list(&sink, 2);
  ASSERT_EQ(list.Add(&a, 10), 0u);
  ASSERT_EQ(list.Add(&a, 20), 0u);
  // The removal must take the registration of entry 0, not the newest one.
  list.RemoveAt(0, &a);
  a.SetValue(1.0);
  list.Flush();
  EXPECT_EQ(sink.values, (std::vector<std::pair<std::int32_t, double>>{{20, 1.0}}));
  ASSERT_EQ(list.Add(&a, 30), 0u);  // takes the emptied slot 0
  sink.values.clear();
  a.SetValue(2.0);
  list.Flush();
  EXPECT_EQ(sink.values, (std::vector<std::pair<std::int32_t, double>>{{30, 2.0}, {20, 2.0}}));
  // Removing the second entry leaves the first one heard.
  list.RemoveAt(1, &a);
  sink.values.clear();
  a.SetValue(3.0);
  list.Flush();
  EXPECT_EQ(sink.values, (std::vector<std::pair<std::int32_t, double>>{{30, 3.0}}));
}

struct Ramp : VariableDriver {
  double ValueAt(double time, double) override { return time; }
};

TEST(Variables, LeaveTheDriverTableWhenDestroyed) {
  Ramp ramp;
  {
    DAESRealVariable v(nullptr, "v");
    SetVariableDriver(&v, &ramp);
    ApplyVariableDrivers(2.0);
    EXPECT_EQ(v.GetRealValue(), 2.0);
  }
  ApplyVariableDrivers(3.0);  // the freed variable is not driven (ASan checks it)
  EXPECT_EQ(VariableDrivers().count() == 0 || VariableDrivers().VariableAt(0) == nullptr, true);
}

struct ForgetLog {
  struct Manager : DAESProblemManagerServices {
    void ForgetVariable(DAESVarTableEntry* e) override { log->push_back({"problem", e}); }
    ForgetLog* log;
  };
  struct Cdi : DAESControlDesignServices {
    void ForgetVariable(DAESVariable* v) override { log->push_back({"cdi", v}); }
    ForgetLog* log;
  };
  void push_back(std::pair<std::string, const void*> e) { entries.push_back(e); }
  std::vector<std::pair<std::string, const void*>> entries;
};

TEST(Variables, DestructionTellsTheProblemManagerThenControlDesign) {
  ForgetLog log;
  ForgetLog::Manager manager;
  ForgetLog::Cdi cdi;
  manager.log = cdi.log = &log;
  daes::SetProblemManagerServices(&manager);
  daes::SetControlDesignServices(&cdi);
  const void* gone = nullptr;
  {
    DAESRealVariable v(nullptr, "v");
    gone = &v;
  }
  using Entries = std::vector<std::pair<std::string, const void*>>;
  EXPECT_EQ(log.entries, (Entries{{"problem", gone}, {"cdi", gone}}));
  log.entries.clear();
  {
    DAESRealVariable h(nullptr, "h");
    h.MakeDerivative();
  }
  // The owned derivative is a variable too and is forgotten with its state.
  EXPECT_EQ(log.entries.size(), 4u);
  log.entries.clear();
  const void* parameter = nullptr;
  {
    DAESParameter p("p", nullptr, 19);
    parameter = static_cast<DAESVarTableEntry*>(&p);
  }
  // A parameter is in no control-design list.
  EXPECT_EQ(log.entries, (Entries{{"problem", parameter}}));
  daes::SetProblemManagerServices(nullptr);
  daes::SetControlDesignServices(nullptr);
  log.entries.clear();
  { DAESRealVariable v(nullptr, "v"); }
  EXPECT_TRUE(log.entries.empty());
}

TEST(Parameters, ValuesByTypeAndPrint) {
  DAESParameter n(".n", nullptr, 16), r(".r", nullptr, 19), s(".s", nullptr, 17);
  EXPECT_EQ(n.SetValue(2.7), 0u);
  EXPECT_EQ(n.GetRealValue(), 2.0);
  EXPECT_EQ(r.SetValue(2.7), 0u);
  EXPECT_EQ(r.GetRealValue(), 2.7);
  EXPECT_EQ(s.SetValue(1.0), daes::kNotImplemented);
  double lo = 0, up = 0;
  r.GetBounds(&lo, &up);
  EXPECT_EQ(up, 1e37);
  std::ostringstream out;
  n.PrintParameter(out);
  EXPECT_EQ(out.str().size(), 15u);  // the name in 12, two blanks, the value
  EXPECT_EQ(out.str().substr(12), "  2");
  std::int32_t cls = 0;
  EXPECT_EQ(s.GetIntegerAttribute(5, &cls), 0u);
  EXPECT_EQ(cls, 4);
  EXPECT_EQ(r.SetRealAttribute(3, 1e38), daes::kNotImplemented);
}

TEST(Rows, SortedBySequenceNumberWithGrowthByEight) {
  std::vector<std::unique_ptr<DAESRealVariable>> vars;
  for (int i = 0; i < 9; ++i) vars.push_back(std::make_unique<DAESRealVariable>(nullptr, "x"));
  DAESEqnRow row;
  EXPECT_EQ(row.FindVariable(vars[0].get()), nullptr);
  std::int32_t at = -1;
  for (int i = 8; i >= 0; --i) EXPECT_EQ(row.InsertVariable(vars[i].get(), &at), 0);
  EXPECT_EQ(row.Capacity(), 16);
  EXPECT_EQ(row.InsertVariable(vars[3].get(), &at), 4);
  EXPECT_EQ(row.VariableCount(), 9);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(row.GetVariable(i), vars[i].get());
  EXPECT_EQ(row.FindVariable(vars[5].get()), vars[5].get());
}

struct FixedRow : DAESEqnRow {
  Status ResidualValue(double* value) override {
    *value = residual;
    return 0;
  }
  Status SetResidualValue(double value) override {
    residual = value;
    return 0;
  }
  const char* GetNameText(std::int32_t) override { return "E1"; }
  double residual = 1.25;
};

TEST(Rows, DecompositionEquationsForwardToTheWrappedRow) {
  FixedRow row;
  row.SetFlags(0x8);
  DAESDecompEquation decomp(&row);
  EXPECT_EQ(decomp.GetFlags(), 0x68u);
  EXPECT_STREQ(decomp.GetNameText(), "E1");
  double r = 0;
  EXPECT_EQ(decomp.GetResidual(&r), 0u);
  EXPECT_EQ(r, 1.25);
  EXPECT_EQ(decomp.SetResidualValue(2.5), 0u);
  EXPECT_EQ(row.residual, 2.5);
  EXPECT_EQ(decomp.ComputeResidual(), 0.0);
  EXPECT_EQ(decomp.UnderlyingEquation(), &row);
  EXPECT_EQ(decomp.EvaluateWrapped(), nullptr);
  DAESRealVariable x(nullptr, "x");
  std::int32_t at = 0;
  decomp.InsertVariable(&x, &at);
  EXPECT_EQ(decomp.VariableCount(), 1);
  EXPECT_EQ(row.VariableCount(), 0);
  std::ostringstream out;
  DAESEqnRow plain;
  plain.Dump(out);
  EXPECT_NE(out.str().find("] QLNRow::Dump() ----\n"), std::string::npos);
  EXPECT_EQ(plain.GetResidual(&r), daes::kRowNotImplemented);
}

TEST(Variables, PrintFlagsLetters) {
  DAESRealVariable v(nullptr, "x");
  v.SetFlags(daes::kTorn | daes::kFixed);
  std::ostringstream out;
  v.PrintFlags(out, false);
  EXPECT_EQ(out.str().substr(0, 3), "ATF");
  double d = 0;
  EXPECT_EQ(v.DelayedValue(-1.0, &d), daes::kNegativeDelay);
  EXPECT_EQ(v.SetDerivativeValue(1.0), daes::kNoDerivative);
}

}  // namespace

namespace {

// As the engine's controller: a notice it cannot route is deleted all the
// same, so a sender that deleted it again would free it twice.
class RefusingController : public DseMessageController {
 public:
  RefusingController() { DseSetCurrentController(this); }
  ~RefusingController() { DseSetCurrentController(nullptr); }
  Status Send(DseMessage* message, std::uint32_t, DseClientCB*, void*, const double*,
              std::int32_t) override {
    ++refused;
    delete message;
    return 0x80000001u;
  }
  Status Poll() override { return 0; }
  bool OutputWaiting() override { return false; }
  Status CancelRequest(std::uint32_t) override { return 21; }
  Status PostEvents(std::uint32_t, std::int32_t, const std::uint32_t*, const std::uint32_t*,
                    const char* const* const*, DseSentMark*) override {
    return 0;
  }
  int refused = 0;
};

TEST(Notices, ANoticeTheControllerCannotRouteIsItsToFree) {
  RefusingController controller;
  auto* notice = new DseMessage(86, DseMessage::kRequest);
  notice->PutUInt16(11);
  EXPECT_NE(daes::SendNotice(notice), 0u);
  EXPECT_EQ(controller.refused, 1);
}

}  // namespace
