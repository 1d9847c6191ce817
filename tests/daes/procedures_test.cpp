// Calls into a user procedure library built by the tests: entry names, the
// placeholder of a missing entry, faults inside user code, and whole calls
// whose arguments a tape packs (real, 8-byte integer, text and array).
#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstring>

#include "daes/procedures/proc_call.h"
#include "foundation/collections/mixins.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/solver_options.h"
#include "framework/libraries/library_loader.h"
#include "framework/messaging/message.h"
#include "tests/expr/tape_helpers.h"
#include "tests/framework/message_helpers.h"
#include "tests/support/capture_sink.h"
#include "tests/support/registry_file.h"
#include "tests/support/stdout_capture.h"

namespace {

using namespace exprtest;
using namespace tapetest;

const std::string kLibrary = std::string(VANTOR_PROC_LIBS) + "/user_procs.so";

// A guarded definition of an entry of the test library.
std::unique_ptr<DAESProcDefWithExceptionHandler> Definition(const char* name,
                                                            std::uint32_t language = 2,
                                                            std::uint32_t version = 2,
                                                            const std::string& library = kLibrary) {
  auto d = std::make_unique<DAESProcDefWithExceptionHandler>();
  d->SetLanguage(language);
  d->SetImplementationName(name);
  d->SetLibrary(library.c_str());
  d->SetInterfaceVersion(version);
  d->SetDisplayName(name);
  return d;
}

// One old-interface call with a single real input and output; room for a
// second input.
struct SimpleCall {
  double in[2] = {2.0, 0.0};
  double out[1] = {0.0};
  ProcInt sizes[1] = {0}, in_offs[2] = {0, 0}, out_offs[1] = {0};
  ProcInt fail = 1, props = 0, wlen = 0, nout = 1, nin = 1, task = 0;
  ProcCallArguments Args() {
    ProcCallArguments a;
    a.inputs = in;
    a.input_sizes = sizes;
    a.outputs = out;
    a.output_sizes = sizes;
    a.input_offsets = in_offs;
    a.output_offsets = out_offs;
    a.fail_code = &fail;
    a.properties_id = &props;
    a.work_length = &wlen;
    a.output_count = &nout;
    a.input_count = &nin;
    a.task = &task;
    return a;
  }
};

bool Contains(const testsupport::CaptureSink& sink, const std::string& text) {
  for (const std::string& line : sink.lines()) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

TEST(ProcedureLibrary, EntryNamesFollowLanguageAndInterface) {
  EXPECT_EQ(Definition("f", 1, 2)->EntryName(), "SU55IF_f");
  EXPECT_EQ(Definition("f", 1, 3)->EntryName(), "QLN13_f");
  EXPECT_EQ(Definition("f", 2, 3)->EntryName(), "f");
  auto fortran = Definition("fproc", 1, 2);
  EXPECT_EQ(fortran->LoadProcedure(), 0u);
  EXPECT_NE(fortran->LibraryFile().find("user_procs.so"), std::string::npos);
  EXPECT_EQ(fortran->LoadProcedure(), 0u);  // loaded once
}

TEST(ProcedureLibrary, MissingLibraryOrEntryReportsAtEveryCall) {
  testsupport::CaptureSink sink;
  auto nolib = Definition("cproc", 2, 2, "/nowhere/none.so");
  SimpleCall c;
  auto a = c.Args();
  for (int round = 0; round < 2; ++round) {
    c.fail = 1;
    EXPECT_TRUE(status::IsFailure(nolib->CallOldInterface(a)));
    EXPECT_EQ(c.fail, 4);  // the placeholder ran
  }
  int seen = 0;
  for (const std::string& line : sink.lines()) {
    seen += line.find("Failed to find dynamic link library") != std::string::npos;
  }
  EXPECT_EQ(seen, 2);
  auto noentry = Definition("absent", 2, 3);
  c.fail = 1;
  EXPECT_EQ(noentry->CallNewInterface(a), status::kSymbolMissing);
  EXPECT_EQ(c.fail, 4);
  EXPECT_TRUE(Contains(sink, "Failed to find procedure absent in dynamic link library"));
  auto unnamed = Definition("cproc", 2, 2, "");
  unnamed->CallOldInterface(a);
  EXPECT_TRUE(Contains(sink, "<unnamed>"));
}

TEST(ProcedureLibrary, FaultsInUserCodeBecomeStatusesAndTheEngineGoesOn) {
  testsupport::CaptureSink sink;
  feclearexcept(FE_ALL_EXCEPT);
  const int traps_before = fegetexcept();
  SimpleCall c;
  auto a = c.Args();

  auto divide = Definition("cdivzero");
  testsupport::StdoutCapture out;
  EXPECT_EQ(divide->CallOldInterface(a), 0u);
  const std::string printed = out.Take();
  EXPECT_GE(c.fail, 3);
  // Division is reported, once, though an overflow happened too.
  EXPECT_NE(printed.find("Floating point division by zero occured in user procedure cdivzero"),
            std::string::npos);
  EXPECT_EQ(printed.find("overflow"), std::string::npos);
  EXPECT_EQ(fegetexcept(), traps_before);
  EXPECT_EQ(fetestexcept(FE_DIVBYZERO | FE_OVERFLOW), 0);

  auto overflow = Definition("coverflow");
  c.fail = 1;
  testsupport::StdoutCapture out2;
  overflow->CallOldInterface(a);
  EXPECT_NE(out2.Take().find("Floating point overflow occured"), std::string::npos);
  EXPECT_EQ(c.fail, 3);

  auto intdiv = Definition("cintdiv");
  c.fail = 1;
  testsupport::StdoutCapture out3;
  EXPECT_EQ(intdiv->CallOldInterface(a), procstatus::kCallFailed);
  EXPECT_NE(out3.Take().find("Integer divide by zero in user procedure cintdiv"),
            std::string::npos);
  EXPECT_EQ(c.fail, 3);

  auto segv = Definition("csegv");
  c.fail = 1;
  EXPECT_EQ(segv->CallOldInterface(a), procstatus::kCallFailed);
  EXPECT_EQ(c.fail, 5);
  EXPECT_TRUE(Contains(sink,
                       "An exception (code 0xc0000005 - access violation) occurred in user "
                       "procedure csegv"));
  EXPECT_EQ(fegetexcept(), traps_before);

  // The next call works.
  auto good = Definition("cfail");
  c.fail = 1;
  c.in[0] = 1.0;
  EXPECT_EQ(good->CallOldInterface(a), 0u);
  EXPECT_EQ(c.out[0], 1.0);
  EXPECT_EQ(c.fail, 1);
  EXPECT_EQ(daes::ProcExceptionText(0xC0000090u),
            "An exception (code 0xc0000090 - floating point invalid operation) occurred");
  EXPECT_EQ(daes::ProcExceptionText(0xC0000096u), "An exception (code 0xc0000096) occurred");
}

TEST(ProcedureLibrary, DebugSwitchFromTheSettingAndTheRegistry) {
  DseMessage m(60, DseMessage::kRequest);
  SUProcDef d;
  d.SetImplementationName("cproc");
  d.SetOptions(0x100);
  d.WriteDefinition(m);
  const auto body = testsupport::BodyOf(m);
  auto read = [&] {
    auto message = testsupport::ReceivedBody(body);
    Status st = 0;
    std::unique_ptr<DAESProcDefWithExceptionHandler> made(DAESCreateProcDef(*message, &st));
    EXPECT_NE(made, nullptr);
    EXPECT_EQ(made->GetStatus(), procstatus::kNotFound);
    return made->DebugSwitch();
  };
  EXPECT_FALSE(read());
  daes::SetDebugCallSetting(1);
  {
    testsupport::RegistryFile registry(
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brunvald\\QVSystem\\38.0\\Customization]\n"
        "DebugPropertyCalls = dword:00000001\n");
    daes::DebugPropertyCalls(true);
    EXPECT_TRUE(read());
    registry.Rewrite("");
    daes::DebugPropertyCalls(true);
    EXPECT_FALSE(read());
  }
  daes::SetDebugCallSetting(0);
  daes::DebugPropertyCalls(true);
  auto truncated = testsupport::ReceivedBody(testsupport::Bytes(body.begin(), body.begin() + 5));
  Status st = 0;
  EXPECT_EQ(DAESCreateProcDef(*truncated, &st), nullptr);
  EXPECT_TRUE(status::IsFailure(st));
}

TEST(ProcedureLibrary, ReadingAReplacementForcesAReload) {
  auto d = Definition("cfail");
  EXPECT_EQ(d->LoadProcedure(), 0u);
  SUProcDef other;
  other.SetLanguage(2);
  other.SetImplementationName("cproc");
  other.SetLibrary(kLibrary.c_str());
  d->ReadFromMessage(other);
  EXPECT_EQ(d->GetStatus(), procstatus::kNotLoaded);
  EXPECT_EQ(d->ImplementationName(), "cproc");
  EXPECT_EQ(d->LoadProcedure(), 0u);
}

#ifdef VANTOR_FORTRAN_PROCS
TEST(ProcedureLibrary, GfortranEntryWithDefaultIntegers) {
  auto d = Definition("gproc", 1, 2, std::string(VANTOR_PROC_LIBS) + "/fortran_procs.so");
  SimpleCall c;
  c.in[0] = 1.5;
  const std::int64_t n = -7;
  std::memcpy(&c.in[1], &n, 8);
  c.in_offs[0] = 1, c.in_offs[1] = 2, c.out_offs[0] = 1;
  c.fail = 0, c.nin = 2;
  auto a = c.Args();
  EXPECT_EQ(d->CallOldInterface(a), 0u);
  EXPECT_EQ(c.fail, 1);
  EXPECT_EQ(c.out[0], 3 * 1.5 - 7);
}
#endif

// Variables x, n (integer), s (text), a (3 reals) in; y1, y2 out.
struct Model {
  ADVar x{"x", 1.5};
  ADVar n{"n", 4.0, false, SUValue::kInteger};
  TextVar s{"s", "water"};
  ArrayVar a{"a", {0.5, -1.0, 2.0}};
  ADVar y1{"y1", 0.25};
  ADVar y2{"y2", -3.0};
  Ref vx = Var(0), vn = Var(1, SUValue::kInteger), vs = Var(2, SUValue::kString),
      va = Var(3, SUValue::kOneDimension | SUValue::kReal), vy1 = Var(4), vy2 = Var(5);
  Ref in = ListOf<ProcIOListExpression>({&vx, &vn, &vs, &va}, 0);
  Ref out = ListOf<ProcIOListExpression>({&vy1, &vy2}, 0);
  Ref call = Hold(new ProcCallExpression(static_cast<ProcIOListExpression*>(in.get()),
                                         static_cast<ProcIOListExpression*>(out.get())));
  Bound bound{call.get(), {&x, &n, &s, &a, &y1, &y2}};
};

class Equation : public BvuNameable {
 public:
  const char* GetNameText(std::int32_t) override { return "T1.flash"; }
};

TEST(ProcedureCall, PacksAllArgumentKindsAndGivesResidualsAndDerivatives) {
  for (const bool fortran : {false, true}) {
    Model m;
    auto d = Definition(fortran ? "fproc" : "cproc", fortran ? 1 : 2);
    d->SetOptions(procdef::kAnalyticDerivatives);
    Equation eq;
    ProcCallData data(static_cast<ProcCallExpression*>(m.call.get()), m.bound.context.get(),
                      d.get(), &eq);
    ASSERT_EQ(data.BuildCallLayouts(true), 0u);
    const ProcArgLayout& in = data.Inputs();
    ASSERT_EQ(in.ArgumentCount(), 4);
    const ProcInt base = fortran ? 1 : 0;
    EXPECT_EQ(in.offsets, (std::vector<ProcInt>{base, base + 1, base + 2, base + 7}));
    EXPECT_EQ(in.SlotCount(), 10);
    EXPECT_EQ(in.sizes, (std::vector<ProcInt>{3, 0}));
    EXPECT_EQ(data.InputElementCount(), 6);
    EXPECT_EQ(data.OutputElementCount(), 2);

    std::int32_t need = 0;
    ASSERT_EQ(data.CallProcedure(4, &need), 0u);
    EXPECT_GT(need, 0);
    // The integer sits in its own 8-byte slot as a 64-bit value.
    std::int64_t packed = 0;
    std::memcpy(&packed, &in.values[1], 8);
    EXPECT_EQ(packed, 4);
    const double y1 = 1.5 * 4 + 0.5 - 2.0 + 6.0 + 5;
    const double y2 = 1.5 * 1.5 - 0.5 * 2.0;
    EXPECT_DOUBLE_EQ(data.Output(0), y1);
    EXPECT_DOUBLE_EQ(data.Output(1), y2);
    // Version 2: variable minus output.
    EXPECT_DOUBLE_EQ(data.Residual(m.y1.Get(), 0), 0.25 - y1);
    // Rows per output: the procedure's derivatives negated.
    const double* r0 = data.DerivativeRow(0);
    const double* r1 = data.DerivativeRow(1);
    ASSERT_NE(r0, nullptr);
    const double expected0[6] = {4, 0, 0, 1, 2, 3};
    const double expected1[6] = {3.0, 0, 0, -2.0, 0, -0.5};
    for (int i = 0; i < 6; ++i) {
      EXPECT_DOUBLE_EQ(r0[i], -expected0[i]) << fortran << i;
      EXPECT_DOUBLE_EQ(r1[i], -expected1[i]) << fortran << i;
    }
    // Central differences of the outputs agree with the x and a columns.
    auto outputs_at = [&](auto set, double v) {
      set(v);
      std::int32_t need_call = 0;
      EXPECT_EQ(data.CallProcedure(0, &need_call), 0u);
      return std::make_pair(data.Output(0), data.Output(1));
    };
    const double h = 1e-6;
    auto set_x = [&](double v) { m.x.Set(v); };
    const auto xp = outputs_at(set_x, 1.5 + h), xm = outputs_at(set_x, 1.5 - h);
    m.x.Set(1.5);
    EXPECT_NEAR((xp.first - xm.first) / (2 * h), -r0[0], 1e-6 * std::fabs(r0[0]));
    EXPECT_NEAR((xp.second - xm.second) / (2 * h), -r1[0], 1e-6 * std::fabs(r1[0]));
    auto set_a2 = [&](double v) { m.a.Set(2, v); };
    const auto ap = outputs_at(set_a2, 2.0 + h), am = outputs_at(set_a2, 2.0 - h);
    m.a.Set(2, 2.0);
    EXPECT_NEAR((ap.first - am.first) / (2 * h), -r0[5], 1e-6 * 3);
    EXPECT_NEAR((ap.second - am.second) / (2 * h), -r1[5], 1e-6);
  }
}

TEST(ProcedureCall, FortranLayoutPlacesColumnMajorAndPadsTexts) {
  ProcArgLayout l;
  l.fortran = true;
  l.kinds = {1, kTextSlots};
  l.elements = {6, 1};
  l.dims = {{2, 3}, {}};
  l.offsets = {1, 7};
  // (i, j) of a 2 x 3 array, packed row by row, lands at i + 2 j.
  for (std::int32_t i = 0; i < 2; ++i) {
    for (std::int32_t j = 0; j < 3; ++j) EXPECT_EQ(l.Place(0, 3 * i + j), i + 2 * j);
  }
  EXPECT_EQ(l.SlotOf(1, 0), 6);
  EXPECT_EQ(l.ElementNumber(1, 0), 6);
  EXPECT_TRUE(l.NeedsArranging());
  std::vector<double> packed = {0, 1, 2, 10, 11, 12, 0, 0, 0, 0, 0};
  std::memcpy(&packed[6], "ab", 3);
  std::vector<double> arranged, back;
  l.Arrange(packed, &arranged);
  EXPECT_EQ(std::vector<double>(arranged.begin(), arranged.begin() + 6),
            (std::vector<double>{0, 10, 1, 11, 2, 12}));
  const char* text = reinterpret_cast<const char*>(&arranged[6]);
  EXPECT_EQ(std::string(text, 40), "ab" + std::string(38, ' '));
  l.Restore(arranged, &back);
  EXPECT_EQ(std::memcmp(back.data(), packed.data(), packed.size() * 8), 0);
  // The C layout leaves everything in place.
  l.fortran = false;
  EXPECT_FALSE(l.NeedsArranging());
  EXPECT_EQ(l.Place(0, 1), 1);
}

// The call with variable 0 its one input and variable 1 its one output.
Ref OneInOneOutCall() {
  const Ref in = Var(0), out = Var(1);
  return Hold(new ProcCallExpression(
      static_cast<ProcIOListExpression*>(ListOf<ProcIOListExpression>({&in}, 0).get()),
      static_cast<ProcIOListExpression*>(ListOf<ProcIOListExpression>({&out}, 0).get())));
}

TEST(ProcedureCall, NeedCallRuleAndFailedAgain) {
  testsupport::CaptureSink sink;
  const std::uint32_t reporting = GetErrorReportSwitch();
  SetErrorReportSwitch(1);
  Model m;
  auto d = Definition("cproc");
  Equation eq;
  ProcCallData data(static_cast<ProcCallExpression*>(m.call.get()), m.bound.context.get(), d.get(),
                    &eq);
  ASSERT_EQ(data.BuildCallLayouts(false), 0u);
  std::int32_t need = 0;
  ASSERT_EQ(data.CallProcedure(0, &need), 0u);
  EXPECT_TRUE(data.OutputsCurrent());
  ASSERT_EQ(data.CallProcedure(0, &need), 0u);
  EXPECT_EQ(need, 0);  // unchanged inputs and task: no call
  m.s.ValuePointer()->SetString("oil");
  ASSERT_EQ(data.CallProcedure(0, &need), 0u);
  EXPECT_EQ(need, 1);
  EXPECT_DOUBLE_EQ(data.Output(0), 1.5 * 4 + 0.5 - 2.0 + 6.0 + 3);
  m.n.ValuePointer()->Assign(SUValue::ConstructInt(-2, SUValue::kInteger));
  ASSERT_EQ(data.CallProcedure(0, &need), 0u);
  EXPECT_DOUBLE_EQ(data.Output(0), 1.5 * -2 + 0.5 - 2.0 + 6.0 + 3);
  ASSERT_EQ(data.CallProcedure(3, &need), 0u);
  EXPECT_EQ(need, 1);  // another task

  // Fail codes.
  ADVar code{"code", 3.0};
  ADVar out{"out", 0.0};
  const Ref call = OneInOneOutCall();
  Bound bound{call.get(), {&code, &out}};
  auto f = Definition("cfail");
  ProcCallData failing(static_cast<ProcCallExpression*>(call.get()), bound.context.get(), f.get(),
                       &eq);
  ASSERT_EQ(failing.BuildCallLayouts(false), 0u);
  const std::pair<double, Status> codes[] = {{2, procstatus::kWarning},
                                             {3, procstatus::kError},
                                             {4, procstatus::kSevere},
                                             {9, procstatus::kWarning},
                                             {5, procstatus::kSevere}};
  for (const auto& [c, expected] : codes) {
    code.Set(c);
    EXPECT_EQ(failing.CallProcedure(0, &need), expected) << c;
    code.Set(1);  // back to success between codes
    EXPECT_EQ(failing.CallProcedure(0, &need), 0u);
  }
  EXPECT_TRUE(Contains(sink, "Procedure cfail failed in equation T1.flash, fail code 3"));
  EXPECT_TRUE(Contains(sink, "Procedure cfail failed in equation T1.flash, fail code 4"));
  // Unchanged inputs after a failure: not called, reported as failing again.
  code.Set(3);
  EXPECT_EQ(failing.CallProcedure(0, &need), procstatus::kError);
  EXPECT_EQ(failing.CallProcedure(0, &need), procstatus::kError);
  EXPECT_EQ(need, 0);
  EXPECT_TRUE(Contains(sink, "Procedure cfail failed again in equation T1.flash"));

  // A fault in user code through a whole call: a status, and the next works.
  auto segv = Definition("csegv");
  ProcCallData faulting(static_cast<ProcCallExpression*>(call.get()), bound.context.get(),
                        segv.get(), &eq);
  ASSERT_EQ(faulting.BuildCallLayouts(false), 0u);
  EXPECT_EQ(faulting.CallProcedure(0, &need), procstatus::kSevere);
  code.Set(1);
  EXPECT_EQ(failing.CallProcedure(0, &need), 0u);
  SetErrorReportSwitch(reporting);
}

TEST(ProcedureCall, IndefiniteOutputsAndTheNewInterface) {
  ADVar x{"x", 0.0};
  ADVar y{"y", 0.0};
  const Ref call = OneInOneOutCall();
  Bound bound{call.get(), {&x, &y}};
  Equation eq;
  testsupport::CaptureSink sink;
  testsupport::StdoutCapture quiet;
  auto divide = Definition("cdivzero");
  ProcCallData data(static_cast<ProcCallExpression*>(call.get()), bound.context.get(), divide.get(),
                    &eq);
  ASSERT_EQ(data.BuildCallLayouts(false), 0u);
  std::int32_t need = 0;
  data.CallProcedure(0, &need);
  EXPECT_EQ(data.CheckCallResults(false), procstatus::kIndefinite);
  quiet.Take();

  auto n = Definition("nproc", 2, 3);
  ProcCallData fresh(static_cast<ProcCallExpression*>(call.get()), bound.context.get(), n.get(),
                     &eq);
  ASSERT_EQ(fresh.BuildCallLayouts(false), 0u);
  x.Set(1.25);
  EXPECT_EQ(fresh.CallProcedure(0, &need), 0u);
  EXPECT_EQ(fresh.Output(0), 2.5);
  EXPECT_EQ(fresh.Residual(1.0, 0), 1.5);  // version 3: output minus variable
  EXPECT_EQ(fresh.CheckCallResults(true), 0u);

  // Task 7: the procedure asks for a pattern; more entries than inputs x
  // outputs is a severe failure and nothing is made.
  auto pattern = Definition("npattern", 2, 3);
  ProcCallData asking(static_cast<ProcCallExpression*>(call.get()), bound.context.get(),
                      pattern.get(), &eq);
  ASSERT_EQ(asking.BuildCallLayouts(true), 0u);
  EXPECT_EQ(asking.PatternCount(), 1);
  x.Set(0.0);
  EXPECT_EQ(asking.CallProcedure(0, &need), 0u);
  EXPECT_EQ(asking.PatternCount(), 0);
  x.Set(2.0);
  EXPECT_EQ(asking.CallProcedure(0, &need), procstatus::kSevere);
  EXPECT_EQ(asking.PatternCount(), 0);
  x.Set(1.0);
  EXPECT_EQ(asking.CallProcedure(0, &need), 0u);
  EXPECT_EQ(asking.PatternCount(), 1);

  // No tape: refused with the argument status.
  ProcCallData none(static_cast<ProcCallExpression*>(call.get()), nullptr, n.get(), &eq);
  EXPECT_EQ(none.CallProcedure(0, &need), procstatus::kArguments);
}

// The entries a call would keep are counted before any is made, each of
// 8 bytes: an entry per input and output value pair and one per output,
// and with the procedure's own derivatives their block and, from
// interface 3, its pattern's values and pairs. 1024 by 1024 is allowed
// either way; 2300 by 2300 is refused either way, 1200 by 1100 only when
// the procedure gives its derivatives.
TEST(ProcedureCall, CallsWithTooManyDerivativeEntriesAreRefused) {
  struct Case {
    std::size_t inputs, outputs;
    bool analytic;
    const char* refusal;  // null: allowed
  };
  const Case cases[] = {
      {2300, 2300, false,
       "has 2300 input and 2300 output values, which would keep 5292300 "
       "derivative entries: more than the 5242880 a call may have"},
      {2300, 2300, true, "which would keep 21162300 derivative entries"},
      {1200, 1100, true, "has 1200 input and 1100 output values, which would keep 5281100"},
      {1200, 1100, false, nullptr},
      {1024, 1024, false, nullptr},
      {1024, 1024, true, nullptr},
  };
  for (const Case& c : cases) {
    ArrayVar many_in{"feed", std::vector<double>(c.inputs, 1.0)};
    ArrayVar many_out{"flows", std::vector<double>(c.outputs, 0.0)};
    Ref in_ref = Var(0, SUValue::kOneDimension | SUValue::kReal);
    Ref out_ref = Var(1, SUValue::kOneDimension | SUValue::kReal);
    Ref in = ListOf<ProcIOListExpression>({&in_ref}, 0);
    Ref out = ListOf<ProcIOListExpression>({&out_ref}, 0);
    Ref call = Hold(new ProcCallExpression(static_cast<ProcIOListExpression*>(in.get()),
                                           static_cast<ProcIOListExpression*>(out.get())));
    Bound bound{call.get(), {&many_in, &many_out}};
    auto d = Definition("cproc", 2, 3);
    if (c.analytic) d->SetOptions(procdef::kAnalyticDerivatives);
    Equation eq;
    ProcCallData data(static_cast<ProcCallExpression*>(call.get()), bound.context.get(), d.get(),
                      &eq);
    testsupport::CaptureSink sink;
    const std::string what = std::to_string(c.inputs) + " by " + std::to_string(c.outputs);
    if (c.refusal == nullptr) {
      EXPECT_EQ(data.BuildCallLayouts(c.analytic), 0u) << what;
      EXPECT_LE(data.EntryBound(), kMaxProcDerivativeEntries) << what;
      EXPECT_EQ(data.OutputElementCount(), static_cast<std::int32_t>(c.outputs));
      continue;
    }
    EXPECT_EQ(data.BuildCallLayouts(c.analytic), procstatus::kArguments) << what;
    EXPECT_EQ(data.PatternCount(), 0);
    EXPECT_EQ(data.DerivativeRow(0), nullptr);
    EXPECT_TRUE(Contains(sink, c.refusal)) << ::testing::PrintToString(sink.lines());
  }
}

TEST(ProcedureCall, PrecallsAndPostcallsByFlag) {
  ADVar x{"x", 1.0};
  ADVar y{"y", 0.0};
  const Ref call = OneInOneOutCall();
  Bound bound{call.get(), {&x, &y}};
  Equation eq;
  auto d = Definition("cfail");
  ProcCallData data(static_cast<ProcCallExpression*>(call.get()), bound.context.get(), d.get(),
                    &eq);
  ASSERT_EQ(data.BuildCallLayouts(false), 0u);
  EXPECT_EQ(data.Precall(1), 0u);
  EXPECT_EQ(data.LastTask(), -1);  // no precall without the flag
  d->SetOptions(procdef::kPrecall | procdef::kPostcall);
  EXPECT_EQ(data.Precall(1), 0u);
  EXPECT_EQ(data.LastTask(), -1);  // reset after the precall
  EXPECT_EQ(data.Precall(2), 0u);
  EXPECT_EQ(data.LastTask(), 2);
  EXPECT_EQ(data.Precall(5), 0u);
  EXPECT_EQ(data.Precall(7), 0u);
}

}  // namespace
