// Dynamic integration in the integrator server, through its COM interface
// with the decomposition server and the fake executive doing the engine's
// corrector: against analytic solutions and against plain IDA (dense
// Newton, analytic Jacobian) at the same tolerances in the same run.
#include <gtest/gtest.h>
#include <ida/ida.h>
#include <nvector/nvector_serial.h>
#include <sunlinsol/sunlinsol_dense.h>
#include <sunmatrix/sunmatrix_dense.h>

#include <algorithm>
#include <cmath>
#include <functional>

#include "platform/registry.h"
#include "tests/outside/integrator_fixture.h"
#include "tests/outside/server_models.h"
#include "tests/support/registry_file.h"

namespace {

using namespace server_test;

constexpr Status kTargetBeforeStep = 0x80FF000Bu;
constexpr Status kCorrectorFailed = 0x80FF000Cu;
constexpr Status kGroupFailedSevere = 0xC0FE0002u;

class IntegratorDynamic : public IntegratorFixture {
 protected:
  void Set(std::uint32_t id, double v) { ASSERT_EQ(server_->SetOption(id, RealValue(v)), 0u); }
  void SetInt(std::uint32_t id, std::int32_t v) {
    ASSERT_EQ(server_->SetOption(id, IntValue(v)), 0u);
  }
  // Gear12 at the given tolerances.
  void Gear(double rtol, double atol) {
    SetInt(30, 4);
    Set(130, rtol);
    Set(131, atol);
  }
  // Set up on the model, with the engine's sensitivity manager when given.
  // The schedule's event condition, when given, is read at set-up.
  void Attach(Model* model, IQLNSensitivityManager* sensitivity = nullptr,
              std::function<double(const std::vector<double>&)> condition = {}) {
    model->integrator = server_;
    group_ = new FakeProblemGroup(model);
    group_->AddRef();
    exec_ = new FakeExecutive(model);
    exec_->AddRef();
    exec_->sensitivity = sensitivity;
    exec_->schedule.condition = std::move(condition);
    ASSERT_EQ(server_->SetUp(group_, exec_), 0u);
  }
  // Set up and initialise at 0, ready to integrate; with sensitivities
  // when a manager is given.
  void Start(Model* model, std::function<double(const std::vector<double>&)> condition = {},
             IQLNSensitivityManager* sensitivity = nullptr) {
    Attach(model, sensitivity, std::move(condition));
    ASSERT_EQ(server_->RunControl(kRunControlPrepare), 0u);
    double reached = -1;
    ASSERT_EQ(server_->Initialise(&reached, 0.0, kIntegratorInitialiseAt, sensitivity ? 1 : 0),
              0u);
    ASSERT_EQ(server_->RunControl(kRunControlSolve), 0u);
  }
  // Ends the run: the server lets go of the problem and the engine's
  // manager, the fakes are released, ready for the next Start.
  void Drop() {
    if (exec_ != nullptr) exec_->sensitivity = nullptr;
    EXPECT_EQ(server_->ReleaseProblem(), 0u);
    if (group_ != nullptr) group_->Release();
    if (exec_ != nullptr) {
      EXPECT_EQ(exec_->Release(), 0u);
    }
    group_ = nullptr;
    exec_ = nullptr;
  }
  Status To(double t, double* reached = nullptr) {
    double r = -1;
    const Status s = server_->Initialise(&r, t, kIntegratorIntegrateTo, 0);
    if (reached != nullptr) *reached = r;
    return s;
  }
  std::uint32_t Steps() {
    void* p = nullptr;
    if (server_->GetInterface(IID_IServerCount, &p) != 0) return 0;
    auto* c = static_cast<IServerCount*>(p);
    std::uint32_t n = 0;
    EXPECT_EQ(c->GetCount(&n), 0u);
    c->Release();
    return n;
  }
};

// ---------------------------------------------------------------- problems

// A semi-explicit DAE F(t, y, y') = 0 for plain IDA, with its Jacobian.
struct Dae {
  int n;
  std::function<void(double, const double*, const double*, double*)> residual;
  // dF/dy + cj dF/dy', column-major n x n.
  std::function<void(double, double, const double*, double*)> jacobian;
};

struct PlainResult {
  std::vector<std::vector<double>> outputs;
  long steps = 0;
  long iterations = 0;  // Newton iterations
  long jacobians = 0;
};

// Plain IDA: Newton with a dense direct solver and the analytic Jacobian.
PlainResult PlainIda(const Dae& dae, std::vector<double> y0, std::vector<double> yp0,
                     const std::vector<double>& times, double rtol, double atol, double h0,
                     double hmax) {
  SUNContext ctx = nullptr;
  SUNContext_Create(nullptr, &ctx);
  const auto n = static_cast<sunindextype>(dae.n);
  N_Vector y = N_VNew_Serial(n, ctx), yp = N_VNew_Serial(n, ctx);
  std::copy(y0.begin(), y0.end(), NV_DATA_S(y));
  std::copy(yp0.begin(), yp0.end(), NV_DATA_S(yp));
  void* mem = IDACreate(ctx);
  IDAInit(
      mem,
      [](realtype t, N_Vector yy, N_Vector yyp, N_Vector rr, void* ud) {
        static_cast<const Dae*>(ud)->residual(t, NV_DATA_S(yy), NV_DATA_S(yyp), NV_DATA_S(rr));
        return 0;
      },
      0.0, y, yp);
  IDASetUserData(mem, const_cast<Dae*>(&dae));
  IDASStolerances(mem, rtol, atol);
  IDASetInitStep(mem, h0);
  IDASetMaxStep(mem, hmax);
  IDASetMaxNumSteps(mem, 1000000);
  SUNMatrix a = SUNDenseMatrix(n, n, ctx);
  SUNLinearSolver ls = SUNLinSol_Dense(y, a, ctx);
  IDASetLinearSolver(mem, ls, a);
  IDASetJacFn(mem, [](realtype t, realtype cj, N_Vector yy, N_Vector, N_Vector, SUNMatrix j,
                      void* ud, N_Vector, N_Vector, N_Vector) {
    static_cast<const Dae*>(ud)->jacobian(t, cj, NV_DATA_S(yy), SM_DATA_D(j));
    return 0;
  });
  PlainResult out;
  for (const double t : times) {
    // Interpolating to each output, as the server does by default.
    realtype reached = 0;
    EXPECT_GE(IDASolve(mem, t, &reached, y, yp, IDA_NORMAL), 0);
    out.outputs.emplace_back(NV_DATA_S(y), NV_DATA_S(y) + dae.n);
  }
  IDAGetNumSteps(mem, &out.steps);
  IDAGetNumNonlinSolvIters(mem, &out.iterations);
  IDAGetNumJacEvals(mem, &out.jacobians);
  IDAFree(&mem);
  SUNLinSolFree(ls);
  SUNMatDestroy(a);
  N_VDestroy(y);
  N_VDestroy(yp);
  SUNContext_Free(&ctx);
  return out;
}

double ErrorOverTolerance(const std::vector<double>& got, const std::vector<double>& exact,
                          double rtol, double atol) {
  double worst = 0;
  for (std::size_t i = 0; i < exact.size(); ++i)
    worst = std::max(worst, std::fabs(got[i] - exact[i]) / (rtol * std::fabs(exact[i]) + atol));
  return worst;
}

// Plain IDA's worst error over tolerance at the times, from the start
// (y0, yp0) with a first step of 0.005.
double PlainWorst(const Dae& dae, const std::vector<double>& y0, const std::vector<double>& yp0,
                  const std::vector<double>& times,
                  const std::function<std::vector<double>(std::size_t)>& exact, double rtol,
                  double atol, double hmax, long* steps = nullptr) {
  const PlainResult plain = PlainIda(dae, y0, yp0, times, rtol, atol, 0.005, hmax);
  double worst = 0;
  for (std::size_t i = 0; i < times.size(); ++i)
    worst = std::max(worst, ErrorOverTolerance(plain.outputs[i], exact(i), rtol, atol));
  if (steps != nullptr) *steps = plain.steps;
  return worst;
}

double Of(const Model& m, std::int32_t v) { return m.values[static_cast<std::size_t>(v)]; }

// x' = -k x.
struct Decay {
  static constexpr double k = 0.7;
  Model m;
  std::int32_t x, dx;
  Decay() {
    x = m.AddState(1.0, &dx);
    const auto X = static_cast<std::size_t>(x), D = static_cast<std::size_t>(dx);
    m.AddEquation({dx, x}, {1, 1}, [=](const V& v) { return v[D] + k * v[X]; });
  }
  static Dae Plain() {
    return Dae{
        1, [](double, const double* y, const double* yp, double* r) { r[0] = yp[0] + k * y[0]; },
        [](double, double cj, const double*, double* j) { j[0] = k + cj; }};
  }
};

// x1' = -z, x2' = -100(x2 - cos t) - sin t + (z - x1^2), 0 = z + z^3 - x1^2 - x1^6;
// x1 = 1/(1+t), x2 = cos t, z = x1^2.
struct IndexOne {
  Model m;
  std::int32_t x1, d1, x2, d2, z;
  IndexOne() {
    x1 = m.AddState(1.0, &d1);
    x2 = m.AddState(1.0, &d2);
    z = m.AddVariable(kAlgebraic, 0.5);
    const auto X1 = static_cast<std::size_t>(x1), D1 = static_cast<std::size_t>(d1),
               X2 = static_cast<std::size_t>(x2), D2 = static_cast<std::size_t>(d2),
               Z = static_cast<std::size_t>(z);
    Model* model = &m;
    m.AddEquation({d1, z}, {1, 1}, [=](const V& v) { return v[D1] + v[Z]; });
    m.AddEquation({d2, x2, z, x1}, {1, 1, 1, 3}, [=](const V& v) {
      const double t = model->time;
      return v[D2] + 100 * (v[X2] - std::cos(t)) + std::sin(t) - (v[Z] - v[X1] * v[X1]);
    });
    m.AddEquation({z, x1}, {3, 3}, [=](const V& v) {
      return v[Z] + std::pow(v[Z], 3) - v[X1] * v[X1] - std::pow(v[X1], 6);
    });
  }
  static std::vector<double> Exact(double t) {
    const double a = 1 / (1 + t);
    return {a, std::cos(t), a * a};
  }
  static Dae Plain() {
    return Dae{3,
               [](double t, const double* y, const double* yp, double* r) {
                 r[0] = yp[0] + y[2];
                 r[1] = yp[1] + 100 * (y[1] - std::cos(t)) + std::sin(t) - (y[2] - y[0] * y[0]);
                 r[2] = y[2] + std::pow(y[2], 3) - y[0] * y[0] - std::pow(y[0], 6);
               },
               [](double, double cj, const double* y, double* j) {
                 std::fill(j, j + 9, 0.0);
                 j[0 + 0 * 3] = cj;
                 j[0 + 2 * 3] = 1;
                 j[1 + 0 * 3] = 2 * y[0];
                 j[1 + 1 * 3] = cj + 100;
                 j[1 + 2 * 3] = -1;
                 j[2 + 0 * 3] = -2 * y[0] - 6 * std::pow(y[0], 5);
                 j[2 + 2 * 3] = 1 + 3 * y[2] * y[2];
               }};
  }
};

// Robertson: y1' = -0.04 y1 + 1e4 y2 y3, y2' = 0.04 y1 - 1e4 y2 y3 - 3e7 y2^2,
// 0 = y1 + y2 + y3 - 1.
struct Robertson {
  Model m;
  std::int32_t y1, d1, y2, d2, y3;
  Robertson() {
    y1 = m.AddState(1.0, &d1);
    y2 = m.AddState(0.0, &d2);
    y3 = m.AddVariable(kAlgebraic, 0.0);
    const auto Y1 = static_cast<std::size_t>(y1), D1 = static_cast<std::size_t>(d1),
               Y2 = static_cast<std::size_t>(y2), D2 = static_cast<std::size_t>(d2),
               Y3 = static_cast<std::size_t>(y3);
    m.AddEquation({d1, y1, y2, y3}, {1, 1, 3, 3},
                  [=](const V& v) { return v[D1] + 0.04 * v[Y1] - 1e4 * v[Y2] * v[Y3]; });
    m.AddEquation({d2, y1, y2, y3}, {1, 1, 3, 3}, [=](const V& v) {
      return v[D2] - 0.04 * v[Y1] + 1e4 * v[Y2] * v[Y3] + 3e7 * v[Y2] * v[Y2];
    });
    m.AddEquation({y1, y2, y3}, {1, 1, 1}, [=](const V& v) { return v[Y1] + v[Y2] + v[Y3] - 1; });
  }
  static Dae Plain() {
    return Dae{3,
               [](double, const double* y, const double* yp, double* r) {
                 r[0] = yp[0] + 0.04 * y[0] - 1e4 * y[1] * y[2];
                 r[1] = yp[1] - 0.04 * y[0] + 1e4 * y[1] * y[2] + 3e7 * y[1] * y[1];
                 r[2] = y[0] + y[1] + y[2] - 1;
               },
               [](double, double cj, const double* y, double* j) {
                 j[0] = cj + 0.04;
                 j[1] = -0.04;
                 j[2] = 1;
                 j[3] = -1e4 * y[2];
                 j[4] = cj + 1e4 * y[2] + 6e7 * y[1];
                 j[5] = 1;
                 j[6] = -1e4 * y[1];
                 j[7] = 1e4 * y[1];
                 j[8] = 1;
               }};
  }
};

// ---------------------------------------------------------------- sensitivities

// The engine's sensitivity manager, by hand: a test object with `rows`
// sensitivity rows.
class HandManager : public IQLNSensitivityManager {
 public:
  explicit HandManager(std::int32_t rows) : rows_(rows) {}
  Status QueryInterface(const platform::IID& iid, void** out) override {
    *out = nullptr;
    if (iid != IID_IQLNSensitivityManager) return platform::E_NOINTERFACE;
    *out = static_cast<IQLNSensitivityManager*>(this);
    return 0;
  }
  std::uint32_t AddRef() override { return 1; }
  std::uint32_t Release() override { return 1; }
  Status GetCount(std::int32_t* count) override {
    *count = rows_;
    return 0;
  }
  // Takes no jump unless a test's manager does: the rows stay as they are.
  Status SensitivityJump(double*, double*, const double*, double*) override {
    return platform::E_NOTIMPL;
  }

 private:
  std::int32_t rows_;
};

// The engine's part for x' = -k x, by hand: rows d/dk and d/dx0. The
// corrector row of a linear model: s' + k s + x dk = 0 with
// s' = s'pred + cj (s - spred).
class DecaySensitivities final : public HandManager {
 public:
  DecaySensitivities(Model* m, std::int32_t x, IUnifiedIntegrator* server)
      : HandManager(2), m_(m), x_(static_cast<std::size_t>(x)), server_(server) {}
  // One non-derivative column (x) and one derivative column (x').
  Status SensitivityInit(double* first, double* second, double* t) override {
    ++inits;
    init_time = *t;
    first[0] = 0.0, second[0] = -m_->values[x_];
    first[1] = 1.0, second[1] = -Decay::k;
    return 0;
  }
  Status SensitivityUpdate(double* first, double* second, double* t) override {
    ++updates;
    double v = 0.0;
    if (server_->GetValue(&v) != 0 || !(v > 0.0) || *t != m_->time) ++bad_calls;
    if (fail) return 0x80004005u;
    const double cj = 1.0 / v;
    for (int r = 0; r < 2; ++r) {
      const double forcing = r == 0 ? m_->values[x_] : 0.0;
      const double s = (cj * first[r] - second[r] - forcing) / (cj + Decay::k);
      second[r] += cj * (s - first[r]);
      first[r] = s;
    }
    return 0;
  }
  int inits = 0, updates = 0, bad_calls = 0;
  double init_time = -1.0;
  bool fail = false;

 private:
  Model* m_;
  std::size_t x_;
  IUnifiedIntegrator* server_;
};

TEST_F(IntegratorDynamic, SensitivitiesOfTheDecayMatchTheClosedForms) {
  Decay p;
  Gear(1e-10, 1e-12);
  DecaySensitivities engine(&p.m, p.x, server_);
  Start(&p.m, {}, &engine);
  EXPECT_EQ(engine.inits, 1);
  EXPECT_EQ(engine.init_time, 0.0);
  double reached = -1;
  std::vector<double> row(2);
  // Before any step: the rows of the initialisation.
  ASSERT_EQ(server_->GetSensitivityData(row.data(), 1, 0, 2), 0u);
  EXPECT_EQ(row[static_cast<std::size_t>(p.x)], 1.0);
  for (const double t : {0.5, 1.0, 2.0, 5.0}) {
    ASSERT_EQ(To(t, &reached), 0u) << Text(To(t));
    const double e = std::exp(-Decay::k * t);
    ASSERT_EQ(server_->GetSensitivityData(row.data(), 1, 0, 1), 0u);
    EXPECT_NEAR(row[static_cast<std::size_t>(p.x)], -t * e, 1e-7 * t * e) << t;
    EXPECT_NEAR(row[static_cast<std::size_t>(p.dx)], -e + Decay::k * t * e, 1e-6 * e) << t;
    ASSERT_EQ(server_->GetSensitivityData(row.data(), 1, 0, 2), 0u);
    EXPECT_NEAR(row[static_cast<std::size_t>(p.x)], e, 1e-7 * e) << t;
    // The extra row: the time derivative of x.
    ASSERT_EQ(server_->GetSensitivityData(row.data(), 1, 1, 0), 0u);
    EXPECT_NEAR(row[static_cast<std::size_t>(p.x)], -Decay::k * e, 1e-6 * e) << t;
  }
  EXPECT_GT(engine.updates, 10);
  EXPECT_EQ(engine.bad_calls, 0);
  EXPECT_EQ(server_->GetSensitivityData(row.data(), 1, 0, 3), platform::E_INVALIDARG);

  // Items: one per variable in order, both sensitivity items.
  void* made = nullptr;
  ASSERT_EQ(server_->GetInterface(IID_ISensitivityItemEnumerator, &made), 0u);
  auto* items = static_cast<ISensitivityItemEnumerator*>(made);
  SensitivityItem batch[32];
  std::uint32_t fetched = 0;
  EXPECT_EQ(items->Next(32, batch, &fetched), 1u);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(batch[1].position, 1);
  EXPECT_EQ(batch[0].flags & 0x200u, 0x200u);
  EXPECT_EQ(batch[1].flags & 0x200u, 0x200u);
  items->Release();

  // An engine that cannot correct its sensitivities ends the run.
  engine.fail = true;
  const Status s = To(6.0);
  EXPECT_EQ(s, 0xC0FF0011u);
  EXPECT_EQ(Text(s), "The engine could not compute the sensitivities: the run stops");
  // The server lets go of the engine's manager before it goes.
  Drop();
}

// Records what the server hands the engine at initialise.
class RecordingSensitivities final : public HandManager {
 public:
  RecordingSensitivities() : HandManager(1) {}
  // As the engine's ops: a null matrix is refused.
  Status SensitivityInit(double* first, double* second, double*) override {
    ++inits;
    return first != nullptr && second != nullptr ? 0 : platform::E_INVALIDARG;
  }
  Status SensitivityUpdate(double*, double*, double*) override { return 0; }
  int inits = 0;
};

// A steady-state model has no derivative columns, yet the engine gets two
// matrices; a state whose initial value is given (fixed bits with the
// state bit) is integrated and so is a sensitivity item.
TEST_F(IntegratorDynamic, SteadyModelsGetBothMatricesAndInitialStatesAreItems) {
  Model steady;
  const std::int32_t y = steady.AddVariable(kAlgebraic, 0.0);
  const std::int32_t q = steady.AddVariable(kFixed, 2.0);
  const auto Y = static_cast<std::size_t>(y), Q = static_cast<std::size_t>(q);
  steady.AddEquation({y, q}, {1, 1}, [=](const V& v) { return v[Y] - 3 * v[Q]; });
  RecordingSensitivities engine;
  Attach(&steady, &engine);
  double reached = -1;
  EXPECT_EQ(server_->Initialise(&reached, 0.0, kIntegratorStart, 1), 0u);
  EXPECT_EQ(engine.inits, 1);
  EXPECT_NEAR(steady.values[Y], 6.0, 1e-12);
  Drop();

  Decay d;
  d.m.types[static_cast<std::size_t>(d.x)] |= 0x60;
  const std::int32_t fixed = d.m.AddVariable(kFixed, 1.0);
  Start(&d.m);
  void* made = nullptr;
  ASSERT_EQ(server_->GetInterface(IID_ISensitivityItemEnumerator, &made), 0u);
  auto* items = static_cast<ISensitivityItemEnumerator*>(made);
  SensitivityItem batch[8];
  std::uint32_t fetched = 0;
  items->Next(8, batch, &fetched);
  ASSERT_EQ(fetched, 3u);
  EXPECT_EQ(batch[d.x].flags & 0x200u, 0x200u);
  EXPECT_EQ(batch[d.dx].flags & 0x200u, 0x200u);
  EXPECT_EQ(batch[fixed].flags & 0x200u, 0u);
  items->Release();
}

// x' = -p z, 0 = z - x^2 from x = 1: x = 1/(1 + p t). The engine's part by
// hand again: s' + p s_z + z = 0, s_z = 2 x s. The algebraic sensitivity
// starts without a slope and follows the state's.
class AlgebraicSensitivities final : public HandManager {
 public:
  static constexpr double p = 0.8;
  AlgebraicSensitivities(Model* m, std::int32_t x, std::int32_t z, IUnifiedIntegrator* server)
      : HandManager(1),
        m_(m),
        x_(static_cast<std::size_t>(x)),
        z_(static_cast<std::size_t>(z)),
        server_(server) {}
  // Columns: x and z in the first matrix, x' in the second.
  Status SensitivityInit(double* first, double* second, double*) override {
    first[0] = first[1] = 0.0;
    second[0] = -m_->values[z_];
    return 0;
  }
  Status SensitivityUpdate(double* first, double* second, double*) override {
    double v = 0.0;
    if (server_->GetValue(&v) != 0 || !(v > 0.0)) return 0x80004005u;
    const double cj = 1.0 / v, x = m_->values[x_], z = m_->values[z_];
    const double s = (cj * first[0] - second[0] - z) / (cj + 2.0 * p * x);
    second[0] += cj * (s - first[0]);
    first[0] = s;
    first[1] = 2.0 * x * s;
    return 0;
  }

 private:
  Model* m_;
  std::size_t x_, z_;
  IUnifiedIntegrator* server_;
};

TEST_F(IntegratorDynamic, AlgebraicSensitivityMatchesTheClosedForm) {
  Model m;
  std::int32_t dx = 0;
  const std::int32_t x = m.AddState(1.0, &dx);
  const std::int32_t z = m.AddVariable(kAlgebraic, 1.0);
  const auto X = static_cast<std::size_t>(x), D = static_cast<std::size_t>(dx),
             Z = static_cast<std::size_t>(z);
  constexpr double p = AlgebraicSensitivities::p;
  m.AddEquation({dx, z}, {1, 1}, [=](const V& v) { return v[D] + p * v[Z]; });
  m.AddEquation({z, x}, {1, 3}, [=](const V& v) { return v[Z] - v[X] * v[X]; });
  Gear(1e-10, 1e-12);
  AlgebraicSensitivities engine(&m, x, z, server_);
  Start(&m, {}, &engine);
  double reached = -1;
  std::vector<double> row(3);
  for (const double t : {0.5, 1.0, 2.0, 5.0}) {
    ASSERT_EQ(To(t, &reached), 0u) << Text(To(t));
    const double a = 1.0 / (1.0 + p * t), ds = -t * a * a;
    ASSERT_EQ(server_->GetSensitivityData(row.data(), 1, 0, 1), 0u);
    EXPECT_NEAR(row[X], ds, 1e-7 * std::fabs(ds)) << t;
    EXPECT_NEAR(row[Z], 2.0 * a * ds, 1e-7 * std::fabs(2.0 * a * ds)) << t;
  }
  Drop();
}

// x1' = -a x1, x2' = a x1 - b x2 from (1, 0): x2 = a (e^-at - e^-bt)/(b - a).
// The engine's part by hand for the row of a.
class ChainSensitivities final : public HandManager {
 public:
  static constexpr double a = 0.6, b = 1.5;
  ChainSensitivities(Model* m, std::int32_t x1, IUnifiedIntegrator* server)
      : HandManager(1), m_(m), x1_(static_cast<std::size_t>(x1)), server_(server) {}
  // Columns: x1, x2 in the first matrix, their derivatives in the second.
  Status SensitivityInit(double* first, double* second, double*) override {
    first[0] = first[1] = 0.0;
    second[0] = -m_->values[x1_];
    second[1] = m_->values[x1_];
    return 0;
  }
  Status SensitivityUpdate(double* first, double* second, double*) override {
    double v = 0.0;
    if (server_->GetValue(&v) != 0 || !(v > 0.0)) return 0x80004005u;
    const double cj = 1.0 / v, x1 = m_->values[x1_];
    const double s1 = (cj * first[0] - second[0] - x1) / (cj + a);
    const double s2 = (cj * first[1] - second[1] + x1 + a * s1) / (cj + b);
    second[0] += cj * (s1 - first[0]);
    second[1] += cj * (s2 - first[1]);
    first[0] = s1;
    first[1] = s2;
    return 0;
  }

 private:
  Model* m_;
  std::size_t x1_;
  IUnifiedIntegrator* server_;
};

TEST_F(IntegratorDynamic, ChainSensitivityMatchesTheClosedForm) {
  Model m;
  std::int32_t d1 = 0, d2 = 0;
  const std::int32_t x1 = m.AddState(1.0, &d1);
  const std::int32_t x2 = m.AddState(0.0, &d2);
  const auto X1 = static_cast<std::size_t>(x1), D1 = static_cast<std::size_t>(d1),
             X2 = static_cast<std::size_t>(x2), D2 = static_cast<std::size_t>(d2);
  constexpr double a = ChainSensitivities::a, b = ChainSensitivities::b;
  m.AddEquation({d1, x1}, {1, 1}, [=](const V& v) { return v[D1] + a * v[X1]; });
  m.AddEquation({d2, x1, x2}, {1, 1, 1}, [=](const V& v) { return v[D2] - a * v[X1] + b * v[X2]; });
  Gear(1e-10, 1e-12);
  ChainSensitivities engine(&m, x1, server_);
  Start(&m, {}, &engine);
  double reached = -1;
  std::vector<double> row(4);
  for (const double t : {0.5, 1.0, 2.0, 5.0}) {
    ASSERT_EQ(To(t, &reached), 0u) << Text(To(t));
    const double ea = std::exp(-a * t), eb = std::exp(-b * t);
    const double ds1 = -t * ea;
    const double ds2 =
        (ea - eb) / (b - a) - a * t * ea / (b - a) + a * (ea - eb) / ((b - a) * (b - a));
    ASSERT_EQ(server_->GetSensitivityData(row.data(), 1, 0, 1), 0u);
    EXPECT_NEAR(row[X1], ds1, 1e-7 * std::fabs(ds1)) << t;
    EXPECT_NEAR(row[X2], ds2, 1e-7 * std::fabs(ds2)) << t;
  }
  Drop();
}

// x' = u - x from x = 1 with u switched from 1.5 to -0.5 where the leg is
// ended at 0.5. The one row is the switch time's: the engine's part by hand
// (zero before, s' = -s after) and the jump it is handed at the restart.
class SwitchSensitivities final : public IQLNSensitivityManager {
 public:
  SwitchSensitivities(std::size_t dx, IUnifiedIntegrator* server) : dx_(dx), server_(server) {}
  Status QueryInterface(const platform::IID& iid, void** out) override {
    *out = nullptr;
    if (iid != IID_IQLNSensitivityManager) return platform::E_NOINTERFACE;
    *out = static_cast<IQLNSensitivityManager*>(this);
    return 0;
  }
  std::uint32_t AddRef() override { return 1; }
  std::uint32_t Release() override { return 1; }
  Status GetCount(std::int32_t* count) override {
    *count = 1;
    return 0;
  }
  Status SensitivityInit(double* first, double* second, double*) override {
    first[0] = second[0] = 0.0;
    return 0;
  }
  Status SensitivityUpdate(double* first, double* second, double*) override {
    double v = 0.0;
    if (server_->GetValue(&v) != 0 || !(v > 0.0)) return 0x80004005u;
    const double cj = 1.0 / v;
    const double s = (cj * first[0] - second[0]) / (cj + 1.0);
    second[0] += cj * (s - first[0]);
    first[0] = s;
    return 0;
  }
  Status SensitivityJump(double* first, double* second, const double* change,
                         double* time) override {
    changes.push_back(change[dx_]);
    times.push_back(*time);
    first[0] = change[dx_];
    second[0] = -first[0];
    return 0;
  }
  std::vector<double> changes, times;

 private:
  std::size_t dx_;
  IUnifiedIntegrator* server_;
};

TEST_F(IntegratorDynamic, RestartHandsTheEngineTheDerivativesJump) {
  Model m;
  std::int32_t dx = 0;
  const std::int32_t x = m.AddState(1.0, &dx);
  const auto X = static_cast<std::size_t>(x), D = static_cast<std::size_t>(dx);
  double u = 1.5;
  m.AddEquation({dx, x}, {1, 1}, [&u, X, D](const V& v) { return v[D] - (u - v[X]); });
  SetInt(30, 4);
  Set(130, 1e-10);
  Set(131, 1e-12);
  SwitchSensitivities engine(D, server_);
  m.integrator = server_;
  group_ = new FakeProblemGroup(&m);
  group_->AddRef();
  exec_ = new FakeExecutive(&m);
  exec_->AddRef();
  exec_->sensitivity = &engine;
  ASSERT_EQ(server_->SetUp(group_, exec_), 0u);
  ASSERT_EQ(server_->RunControl(kRunControlPrepare), 0u);
  double reached = -1;
  ASSERT_EQ(server_->Initialise(&reached, 0.0, kIntegratorInitialiseAt, 1), 0u);
  ASSERT_EQ(server_->RunControl(kRunControlSolve), 0u);
  std::vector<double> row(2);
  ASSERT_EQ(To(0.5, &reached), 0u);
  ASSERT_EQ(server_->GetSensitivityData(row.data(), 1, 0, 1), 0u);
  EXPECT_EQ(row[X], 0.0);
  // The initialisation handed the rows over once, with nothing ended there.
  ASSERT_EQ(engine.changes.size(), 1u);
  EXPECT_EQ(engine.changes[0], 0.0);
  u = -0.5;
  ASSERT_EQ(server_->Finish(), 0u);
  ASSERT_EQ(To(1.0, &reached), 0u) << Text(To(1.0));
  // x'(0.5-) - x'(0.5+) = u before less u after.
  ASSERT_EQ(engine.changes.size(), 2u);
  EXPECT_NEAR(engine.changes[1], 2.0, 1e-8);
  EXPECT_DOUBLE_EQ(engine.times[1], 0.5);
  ASSERT_EQ(server_->GetSensitivityData(row.data(), 1, 0, 1), 0u);
  EXPECT_NEAR(row[X], 2.0 * std::exp(-0.5), 1e-7);
  // A leg that merely goes on hands nothing over.
  ASSERT_EQ(To(1.5, &reached), 0u);
  EXPECT_EQ(engine.changes.size(), 2u);
  // Ended, then initialised where it ended: the jump is handed over after
  // the engine's own rows.
  u = 1.5;
  ASSERT_EQ(server_->Finish(), 0u);
  ASSERT_EQ(server_->Initialise(&reached, 1.5, kIntegratorInitialiseAt, 1), 0u);
  ASSERT_EQ(engine.changes.size(), 3u);
  EXPECT_NEAR(engine.changes[2], -2.0, 1e-8);
  EXPECT_DOUBLE_EQ(engine.times[2], 1.5);
  ASSERT_EQ(To(2.0, &reached), 0u);
  EXPECT_EQ(engine.changes.size(), 3u);
  exec_->sensitivity = nullptr;
  EXPECT_EQ(server_->ReleaseProblem(), 0u);
}

// ---------------------------------------------------------------- accuracy

TEST_F(IntegratorDynamic, DecayMatchesAnalyticAndPlainIda) {
  Decay p;
  const double rtol = 1e-6, atol = 1e-10;
  Gear(rtol, atol);
  Start(&p.m);
  std::vector<double> times;
  double worst = 0;
  for (int i = 1; i <= 10; ++i) {
    times.push_back(i);
    double reached = 0;
    ASSERT_EQ(To(i, &reached), 0u) << Text(To(i));
    EXPECT_EQ(reached, i);
    worst = std::max(worst, ErrorOverTolerance({Of(p.m, p.x)}, {std::exp(-Decay::k * i)}, rtol,
                                               atol));
    // The derivative is consistent with the state (both interpolated).
    EXPECT_NEAR(Of(p.m, p.dx), -Decay::k * Of(p.m, p.x), 1e-5);
  }
  long plain_steps = 0;
  const double plain_worst = PlainWorst(
      Decay::Plain(), {1.0}, {-Decay::k}, times,
      [&](std::size_t i) { return std::vector<double>{std::exp(-Decay::k * times[i])}; }, rtol,
      atol, 1.0, &plain_steps);
  EXPECT_LE(worst, 1.5 * plain_worst)
      << "ours " << worst << " in " << Steps() << " steps, plain IDA " << plain_worst << " in "
      << plain_steps;
  EXPECT_GT(Steps(), 10u);
  EXPECT_GT(exec_->schedule.delay_records, 10);
}

TEST_F(IntegratorDynamic, IndexOneDaeMatchesAnalyticAndPlainIda) {
  IndexOne p;
  const double rtol = 1e-6, atol = 1e-10;
  Gear(rtol, atol);
  Start(&p.m);
  // The initialisation made z and the derivatives consistent.
  EXPECT_NEAR(Of(p.m, p.z), 1.0, 1e-12);
  EXPECT_NEAR(Of(p.m, p.d1), -1.0, 1e-12);
  std::vector<double> times;
  double worst = 0;
  for (int i = 1; i <= 10; ++i) {
    times.push_back(i);
    ASSERT_EQ(To(i), 0u);
    worst = std::max(worst, ErrorOverTolerance({Of(p.m, p.x1), Of(p.m, p.x2), Of(p.m, p.z)},
                                               IndexOne::Exact(i), rtol, atol));
  }
  const double plain_worst = PlainWorst(
      IndexOne::Plain(), {1, 1, 1}, {-1, 0, 0}, times,
      [&](std::size_t i) { return IndexOne::Exact(times[i]); }, rtol, atol, 1.0);
  EXPECT_LE(worst, 1.5 * plain_worst) << "ours " << worst << ", plain IDA " << plain_worst;
}

// x follows sin t closely, x' = k (sin t - x), and the algebraic z = G (x -
// sin t) magnifies how far it lags. z's own past values are smooth, so
// judging z by them misses the state's error G carries into it: the run
// must hold z to the tolerance and keep its steps long.
struct Follower {
  static constexpr double k = 1e4, gain = 1e5;
  Model m;
  std::int32_t x, dx, z;
  Follower() {
    x = m.AddState(Lag(0.0), &dx);
    z = m.AddVariable(kAlgebraic, gain * Lag(0.0));
    const auto X = static_cast<std::size_t>(x), D = static_cast<std::size_t>(dx),
               Z = static_cast<std::size_t>(z);
    Model* model = &m;
    m.AddEquation({dx, x}, {1, 1}, [=](const V& v) {
      return v[D] - k * (std::sin(model->time) - v[X]);
    });
    m.AddEquation({z, x}, {1, 1}, [=](const V& v) {
      return v[Z] - gain * (v[X] - std::sin(model->time));
    });
  }
  // The periodic lag x - sin t, reached from the start.
  static double Lag(double t) { return -(k * std::cos(t) + std::sin(t)) / (k * k + 1); }
};

TEST_F(IntegratorDynamic, AnAlgebraicUnknownThatMagnifiesAStatesErrorIsHeldToTheTolerance) {
  Follower p;
  const double rtol = 1e-8, atol = 1e-8;
  Gear(rtol, atol);
  Start(&p.m);
  double worst = 0.0;
  for (int i = 1; i <= 6; ++i) {
    const double t = 0.5 * i;
    ASSERT_EQ(To(t), 0u);
    const double z = Follower::gain * Follower::Lag(t);
    worst = std::max(worst, std::fabs(Of(p.m, p.z) - z) / (rtol * std::fabs(z) + atol));
  }
  // Judged by its own past values alone, z ended 3.1 tolerances off after
  // 6,261 steps.
  EXPECT_LE(worst, 2.0);
  EXPECT_LT(Steps(), 1500u) << worst;
}

// z starts with no slope while its true one is -2: the first step's
// correction of z is h times that, at any step size. At tight tolerances
// judging it would fail every first step; the run must still go on, to the
// tolerance, and again after a restart, with no failure text for the
// attempt given up.
TEST_F(IntegratorDynamic, TightTolerancesPassTheFirstStepOfEveryLeg) {
  IndexOne p;
  const double tol = 1e-12;
  Gear(tol, tol);
  SetInt(148, 1);
  Start(&p.m);
  for (const double t : {0.5, 1.0}) {
    ASSERT_EQ(To(t), 0u) << Text(To(t));
    EXPECT_LE(ErrorOverTolerance({Of(p.m, p.x1), Of(p.m, p.x2), Of(p.m, p.z)}, IndexOne::Exact(t),
                                 tol, tol),
              1e3)
        << t;
    // The next leg starts afresh, with no slope for z again.
    ASSERT_EQ(server_->Finish(), 0u);
  }
  for (const std::string& m : exec_->messages) EXPECT_NE(m.rfind("Integrator (", 0), 0u) << m;
}

TEST_F(IntegratorDynamic, RobertsonTo4e5MatchesReferenceAsPlainIdaDoes) {
  Robertson p;
  const double rtol = 1e-4, atol = 1e-8;
  Gear(rtol, atol);
  Set(141, 1e10);
  Start(&p.m);
  const std::vector<double> times{0.4, 4e5};
  const std::vector<std::vector<double>> reference{
      {9.8517211387e-01, 3.3863953774e-05, 1.4794022179e-02},
      {4.9382745232e-03, 1.9849940889e-08, 9.9506170563e-01}};
  double worst = 0;
  for (std::size_t i = 0; i < times.size(); ++i) {
    ASSERT_EQ(To(times[i]), 0u);
    worst = std::max(worst, ErrorOverTolerance({Of(p.m, p.y1), Of(p.m, p.y2), Of(p.m, p.y3)},
                                               reference[i], rtol, atol));
  }
  const double plain_worst =
      PlainWorst(Robertson::Plain(), {1, 0, 0}, {-0.04, 0.04, 0}, times,
                 [&](std::size_t i) { return reference[i]; }, rtol, atol, 1e10);
  EXPECT_LE(worst, 1.5 * plain_worst) << "ours " << worst << ", plain IDA " << plain_worst;
}

// The corrector iterates as IDAS's own Newton does: the decomposition's
// iterations and set-ups follow plain IDA's Newton iterations and Jacobian
// evaluations (with the steps), matrices are kept across steps, and each
// iteration evaluates every residual once.
TEST_F(IntegratorDynamic, CorrectorIteratesAsIdasOwnNewton) {
  struct Case {
    const char* name;
    Model* model;
    Dae plain;
    std::vector<double> y0, yp0;
    double rtol, atol, end, hmax;
  };
  Robertson rober;
  IndexOne dae;
  const std::vector<Case> cases = {
      {"Robertson",
       &rober.m,
       Robertson::Plain(),
       {1, 0, 0},
       {-0.04, 0.04, 0},
       1e-4,
       1e-8,
       4e5,
       1e10},
      {"index one", &dae.m, IndexOne::Plain(), {1, 1, 1}, {-1, 0, 0}, 1e-6, 1e-10, 10.0, 1.0},
  };
  for (const Case& c : cases) {
    Gear(c.rtol, c.atol);
    Set(141, c.hmax);
    Start(c.model);
    const long evaluations_before = c.model->evaluations;
    ASSERT_EQ(To(c.end), 0u) << c.name;
    const long evaluations = c.model->evaluations - evaluations_before;
    RecordingDecomposition* corrector = exec_->last_decomposition;
    ASSERT_NE(corrector, nullptr);
    const long passes = corrector->iterations;
    long setups = 0, setup_evaluations = 0, equations = 0;
    for (const RecordingGroup* g : corrector->groups) {
      const auto n = static_cast<long>(g->equations.size());
      equations += n;
      setups = std::max<long>(setups, g->setups);
      // A difference Jacobian: the group's residuals once per column.
      setup_evaluations += n * n * g->setups;
    }
    const std::size_t groups = corrector->groups.size();
    const long steps = Steps();
    Drop();
    const PlainResult plain =
        PlainIda(c.plain, c.y0, c.yp0, {c.end}, c.rtol, c.atol, 0.005, c.hmax);
    std::printf(
        "%s: %zu groups; ours / plain IDA: steps %ld / %ld, iterations %ld / %ld, "
        "set-ups %ld / %ld\n",
        c.name, groups, steps, plain.steps, passes, plain.iterations, setups, plain.jacobians);
    EXPECT_EQ(evaluations, equations * passes + setup_evaluations) << c.name;
    EXPECT_NEAR(steps, plain.steps, 0.15 * plain.steps) << c.name;
    // A leg's first step and every eighth after it, one more pass measures
    // how the states' errors reach the algebraic unknowns: no iteration.
    const long measures = (steps + 7) / 8;
    EXPECT_NEAR(passes - measures, plain.iterations, 0.15 * plain.iterations) << c.name;
    EXPECT_NEAR(setups, plain.jacobians, 0.3 * plain.jacobians + 2) << c.name;
    EXPECT_LT(3 * setups, passes) << c.name;
  }
}

// ---------------------------------------------------------------- methods

TEST_F(IntegratorDynamic, ImplicitEulerIsFirstOrderOnly) {
  Decay p;
  Set(130, 1e-4);
  Set(131, 1e-8);
  Start(&p.m);  // the default method
  ASSERT_EQ(To(2.0), 0u);
  EXPECT_NEAR(Of(p.m, p.x), std::exp(-1.4), 1e-2);
  // Order 1 needs far more steps than the same tolerance at order 5.
  EXPECT_GT(Steps(), 150u);
}

// Gear12 up to Integration.MaxOrder: held at order 1 it needs many times
// the steps of order 5 for the same tolerance.
TEST_F(IntegratorDynamic, MaximumOrderBoundsGear) {
  std::uint32_t steps[2] = {0, 0};
  const std::int32_t orders[2] = {1, 5};
  for (int i = 0; i < 2; ++i) {
    Decay p;
    Gear(1e-6, 1e-10);
    SetInt(129, orders[i]);
    Start(&p.m);
    ASSERT_EQ(To(2.0), 0u);
    EXPECT_NEAR(Of(p.m, p.x), std::exp(-1.4), 1e-3) << orders[i];
    steps[i] = Steps();
    Drop();
  }
  EXPECT_GT(steps[0], 3 * steps[1]) << steps[0] << " at order 1, " << steps[1] << " at order 5";
}

TEST_F(IntegratorDynamic, MaximumStepSizeBoundsTheSteps) {
  Decay p;
  SetInt(30, 4);
  Set(141, 0.1);
  Start(&p.m);
  ASSERT_EQ(To(10.0), 0u);
  EXPECT_GE(Steps(), 100u);
  EXPECT_NEAR(Of(p.m, p.x), std::exp(-7.0), 1e-5);
}

// Integration.MaxSteps bounds the steps one call may take: the call ends
// where they led, with a line that names the bound, and the next call goes
// on from there.
TEST_F(IntegratorDynamic, TheStepBoundEndsACallThatNeedsMoreAndTheNextGoesOn) {
  constexpr Status kTooMuchWork = 0x80FF000Du;
  Decay p;
  SetInt(30, 4);
  Set(141, 0.1);
  SetInt(103, 40);
  EXPECT_NE(server_->SetOption(103, IntValue(0)), 0u);
  Start(&p.m);
  EXPECT_EQ(To(10.0), kTooMuchWork);
  EXPECT_EQ(Steps(), 40u);
  const double stopped = p.m.time;
  EXPECT_GT(stopped, 0.5);
  EXPECT_LE(stopped, 4.0 + 1e-12);
  EXPECT_NEAR(Of(p.m, p.x), std::exp(-Decay::k * stopped), 1e-4);
  ASSERT_EQ(exec_->messages.size(), 1u);
  const std::string& said = exec_->messages[0];
  EXPECT_EQ(said.rfind("The integrator took 40 steps from t = 0 to t = ", 0), 0u) << said;
  EXPECT_NE(said.find("without reaching t = 10: Integration.MaxSteps (40) ends the step"),
            std::string::npos)
      << said;
  SetInt(103, 1000);
  ASSERT_EQ(To(10.0), 0u);
  EXPECT_GE(Steps(), 100u);
  EXPECT_NEAR(Of(p.m, p.x), std::exp(-7.0), 1e-5);
}

class FixedStep : public IntegratorDynamic {
 protected:
  double ErrorAt1(std::int32_t method, double h) {
    Decay p;
    SetInt(30, method);
    Set(138, h);
    Start(&p.m);
    EXPECT_EQ(To(1.0), 0u);
    const double error = std::fabs(Of(p.m, p.x) - std::exp(-Decay::k));
    Drop();
    return error;
  }
};

TEST_F(FixedStep, EulerIsFirstOrderAndRK4FourthOrder) {
  const double euler = std::log2(ErrorAt1(1, 0.02) / ErrorAt1(1, 0.01));
  EXPECT_NEAR(euler, 1.0, 0.1);
  const double rk4 = std::log2(ErrorAt1(2, 0.1) / ErrorAt1(2, 0.05));
  EXPECT_NEAR(rk4, 4.0, 0.2);
}

// A fixed step below the rounding of t = 1 leaves time where it is: the
// call ends within a few steps, long before the step bound, with a line
// that says where and to take a larger step.
TEST_F(FixedStep, AStepTooSmallToMoveTimeEndsTheCall) {
  constexpr Status kStepTooSmall = 0x80FF0012u;
  Decay p;
  SetInt(30, 1);
  SetInt(103, 1000);
  Set(138, 0.25);
  Start(&p.m);
  ASSERT_EQ(To(1.0), 0u);
  const std::uint32_t before = Steps();
  Set(138, 1e-17);
  EXPECT_EQ(To(2.0), kStepTooSmall);
  EXPECT_LT(Steps() - before, 100u);
  ASSERT_EQ(exec_->messages.size(), 1u);
  const std::string& said = exec_->messages[0];
  EXPECT_EQ(said.rfind("The integration stands still at t = 1: steps of 1e-17 no longer move", 0),
            0u)
      << said;
  EXPECT_NE(said.find("Take a larger Integration.StepSize"), std::string::npos) << said;
}

TEST_F(FixedStep, StepsAreShortenedToLandOnTargets) {
  Decay p;
  SetInt(30, 2);
  Set(138, 0.3);
  Start(&p.m);
  double reached = 0;
  ASSERT_EQ(To(1.0, &reached), 0u);
  EXPECT_EQ(reached, 1.0);
  EXPECT_EQ(Steps(), 4u);  // 0.3, 0.3, 0.3, 0.1
  EXPECT_NEAR(Of(p.m, p.x), std::exp(-0.7), 1e-4);
  EXPECT_NEAR(Of(p.m, p.dx), -0.7 * std::exp(-0.7), 1e-4);
}

TEST_F(IntegratorDynamic, StepSizeTypeFixedTakesTheStepSizeOnly) {
  Decay p;
  SetInt(30, 4);
  SetInt(137, 0);
  Set(138, 0.05);
  Set(130, 1e-2);
  Set(131, 1e-2);
  Start(&p.m);
  ASSERT_EQ(To(1.0), 0u);
  // Loose tolerances: no step is cut, none is longer.
  EXPECT_EQ(Steps(), 20u);
  EXPECT_NEAR(Of(p.m, p.x), std::exp(-Decay::k), 1e-2);
  // A fixed step needs a size.
  Decay q;
  Drop();
  Set(138, 0.0);
  Start(&q.m);
  EXPECT_NE(To(1.0), 0u);
}

// ---------------------------------------------------------------- failures

TEST_F(IntegratorDynamic, CorrectorThatNeverConvergesEndsInTheDesignedFailure) {
  Decay p;
  SetInt(30, 4);
  Start(&p.m);
  exec_->fail_correctors = 0x8020022Bu;
  const Status s = To(1.0);
  EXPECT_EQ(s, kCorrectorFailed);
  EXPECT_FALSE(Text(s).empty());
  // A severe group failure stops at once, with the group's status.
  Robertson r;
  Drop();
  Start(&r.m);
  exec_->fail_correctors = 0xA020FFFFu;
  EXPECT_EQ(To(1.0), kGroupFailedSevere);
}

// One corrector failure cuts the step by Integration.StepRedFact: the
// harder cut takes more steps to grow back, and the run goes on.
TEST_F(IntegratorDynamic, ACorrectorFailureCutsTheStepByStepRedFact) {
  std::uint32_t steps[2] = {0, 0};
  const double factors[2] = {0.9, 0.01};
  for (int i = 0; i < 2; ++i) {
    Decay p;
    Gear(1e-6, 1e-10);
    Set(150, factors[i]);
    Attach(&p.m);
    exec_->fail_corrector_once_at = 60;
    ASSERT_EQ(server_->RunControl(kRunControlPrepare), 0u);
    double reached = -1;
    ASSERT_EQ(server_->Initialise(&reached, 0.0, kIntegratorInitialiseAt, 0), 0u);
    ASSERT_EQ(server_->RunControl(kRunControlSolve), 0u);
    ASSERT_EQ(To(5.0), 0u) << Text(To(5.0));
    EXPECT_NEAR(Of(p.m, p.x), std::exp(-Decay::k * 5.0), 1e-5) << factors[i];
    steps[i] = Steps();
    Drop();
  }
  EXPECT_GT(steps[1], steps[0] + 3) << steps[0] << " after a cut to 0.9, " << steps[1]
                                    << " after a cut to 0.01";
}

// IDA's times are the leg's own: a leg that starts late says from where.
TEST_F(IntegratorDynamic, TheCoresOwnErrorTextsArePostedOnlyWhenAskedFor) {
  for (const auto& [show, t0] : {std::pair{0, 0.0}, std::pair{1, 0.0}, std::pair{1, 1e6}}) {
    Decay p;
    SetInt(30, 4);
    SetInt(148, show);
    Attach(&p.m);
    ASSERT_EQ(server_->RunControl(kRunControlPrepare), 0u);
    double reached = -1;
    ASSERT_EQ(server_->Initialise(&reached, t0, kIntegratorInitialiseAt, 0), 0u);
    ASSERT_EQ(server_->RunControl(kRunControlSolve), 0u);
    exec_->fail_correctors = 0x8020022Bu;
    EXPECT_EQ(To(t0 + 1.0), kCorrectorFailed);
    const auto posted =
        std::find_if(exec_->messages.begin(), exec_->messages.end(),
                     [](const std::string& m) { return m.rfind("Integrator (", 0) == 0; });
    ASSERT_EQ(posted != exec_->messages.end(), show != 0) << show;
    if (show != 0) {
      const bool said =
          posted->find("(times from the leg's start at t = 1000000)") != std::string::npos;
      EXPECT_EQ(said, t0 != 0.0) << *posted;
    }
    Drop();
  }
}

TEST_F(IntegratorDynamic, TargetsInsideTheLastStepComeFromTheInterpolantOnly) {
  IndexOne p;
  SetInt(30, 4);
  Start(&p.m);
  ASSERT_EQ(To(3.0), 0u);
  EXPECT_EQ(To(-1.0), kTargetBeforeStep);
  EXPECT_EQ(To(1.0), kTargetBeforeStep);
  EXPECT_NE(Text(kTargetBeforeStep).find("before"), std::string::npos);
  // Re-evaluation at the current time and a point just inside the step.
  const long before = p.m.evaluations;
  double reached = 0;
  ASSERT_EQ(To(3.0, &reached), 0u);
  EXPECT_EQ(reached, 3.0);
  ASSERT_EQ(To(3.0 - 1e-4, &reached), 0u);
  EXPECT_EQ(reached, 3.0 - 1e-4);
  EXPECT_EQ(p.m.evaluations, before);
  EXPECT_NEAR(Of(p.m, p.x1), 1 / (4.0 - 1e-4), 1e-5);
  // Integration goes on from the last step, not from the interpolated point.
  ASSERT_EQ(To(4.0), 0u);
  EXPECT_NEAR(Of(p.m, p.x1), 0.2, 1e-4);
}

// Communication points every 0.1: by default the steps pass them and the
// values come from the interpolant, within the tolerance of the closed
// form; with Integration.ItplToComTime off each point ends a step.
TEST_F(IntegratorDynamic, CommunicationPointsAreInterpolatedUnlessAskedOtherwise) {
  const double rtol = 1e-6, atol = 1e-10;
  std::uint32_t steps[2] = {0, 0};
  for (const int interpolate : {1, 0}) {
    Decay p;
    Gear(rtol, atol);
    SetInt(143, interpolate);
    Start(&p.m);
    double worst = 0;
    int passed = 0;  // points the last step had gone beyond
    for (int i = 1; i <= 50; ++i) {
      const double t = 0.1 * i;
      double reached = 0;
      ASSERT_EQ(To(t, &reached), 0u) << interpolate << " at " << t;
      EXPECT_EQ(reached, t);
      EXPECT_EQ(exec_->times.back(), t);
      // A step that went past the target set the time beyond it first.
      if (exec_->times.size() > 1 && exec_->times[exec_->times.size() - 2] > t) ++passed;
      worst = std::max(worst, ErrorOverTolerance({Of(p.m, p.x)}, {std::exp(-Decay::k * t)}, rtol,
                                                 atol));
      EXPECT_NEAR(Of(p.m, p.dx), -Decay::k * Of(p.m, p.x), 1e-5) << interpolate << " at " << t;
    }
    EXPECT_LE(worst, 20.0) << interpolate;
    if (interpolate != 0) {
      EXPECT_GT(passed, 10);
    } else {
      EXPECT_EQ(passed, 0);
    }
    steps[interpolate] = Steps();
    Drop();
  }
  // Fifty stops cost steps of their own.
  EXPECT_LT(steps[1] + 20, steps[0]) << steps[1] << " against " << steps[0];
}

// x' = u - x from x = 0, u fixed at 1 for the test to set between calls:
// x's index, and u's place among the values.
std::pair<std::int32_t, std::size_t> AddLag(Model* m) {
  std::int32_t dx = -1;
  const std::int32_t x = m->AddState(0.0, &dx);
  const std::int32_t u = m->AddVariable(kFixed, 1.0);
  const auto X = static_cast<std::size_t>(x), DX = static_cast<std::size_t>(dx),
             U = static_cast<std::size_t>(u);
  m->AddEquation({dx, u, x}, {1, 1, 1}, [=](const V& v) { return v[DX] - v[U] + v[X]; });
  return {x, U};
}

// x' = u - x with u fixed, set between calls as a ramp monitor does: the
// step that went past the first point ran on the old u, so the leg starts
// again at that point, and from then on each point ends a step.
TEST_F(IntegratorDynamic, AnInputSetBetweenCallsHoldsFromItsTime) {
  Model m;
  const auto [x, U] = AddLag(&m);
  Gear(1e-8, 1e-10);
  Start(&m);
  ASSERT_EQ(To(1.0), 0u);
  ASSERT_GT(exec_->times.size(), 1u);
  EXPECT_GT(exec_->times[exec_->times.size() - 2], 1.0);  // interpolated
  double exact = 1.0 - std::exp(-1.0);
  EXPECT_NEAR(Of(m, x), exact, 1e-6);
  for (int t = 2; t <= 4; ++t) {
    m.values[U] = t;  // u = t from t - 1 on
    ASSERT_EQ(To(t), 0u) << t;
    exact = t - (t - exact) * std::exp(-1.0);
    EXPECT_NEAR(Of(m, x), exact, 1e-6) << t;
    EXPECT_LE(exec_->times[exec_->times.size() - 2], t) << "landed on " << t;
  }
}

// The same u set at t = 1, 2 and 3, then left alone: once it has rested
// for a call, steps go past the targets again (the points interpolated)
// and the values still follow the closed form.
TEST_F(IntegratorDynamic, StepsGoPastTheTargetsAgainOnceTheInputsRest) {
  Model m;
  const auto [x, U] = AddLag(&m);
  Gear(1e-8, 1e-10);
  Start(&m);
  ASSERT_EQ(To(1.0), 0u);
  double exact = 1.0 - std::exp(-1.0);
  for (int t = 2; t <= 4; ++t) {
    m.values[U] = t;
    ASSERT_EQ(To(t), 0u) << t;
    exact = t - (t - exact) * std::exp(-1.0);
  }
  int passed = 0;
  for (int t = 5; t <= 12; ++t) {
    ASSERT_EQ(To(t), 0u) << t;
    exact = 4.0 - (4.0 - exact) * std::exp(-1.0);
    EXPECT_NEAR(Of(m, x), exact, 1e-6) << t;
    if (exec_->times[exec_->times.size() - 2] > t) ++passed;
  }
  EXPECT_GT(passed, 0) << "every target still ended a step";
}

// Values the engine sets between calls without a restart (a guess for a
// free variable, a state's derivative) are the model's until the integrator
// writes again: a point served from the last step's interpolant puts the
// integration's values back, even those that did not move since it last
// wrote them.
TEST_F(IntegratorDynamic, ValuesSetBetweenCallsAreWrittenOverByTheNextPoint) {
  Model m;
  std::int32_t dx = -1;
  const std::int32_t x = m.AddState(1.0, &dx);
  const std::int32_t z = m.AddVariable(kAlgebraic, 2.0);
  const std::int32_t p = m.AddVariable(kFixed, 2.0);
  const auto X = static_cast<std::size_t>(x), DX = static_cast<std::size_t>(dx),
             Z = static_cast<std::size_t>(z), P = static_cast<std::size_t>(p);
  // x' = 0 and z = p: neither moves, so every write gives them as before.
  m.AddEquation({dx}, {1}, [=](const V& v) { return v[DX]; });
  m.AddEquation({z, p}, {1, 1}, [=](const V& v) { return v[Z] - v[P]; });
  Gear(1e-4, 1e-6);
  Start(&m);
  ASSERT_EQ(To(1.0), 0u);
  const double end = exec_->times[exec_->times.size() - 2];
  ASSERT_GT(end, 1.0) << "the last step must pass the target";
  m.values[Z] = 99.0;
  m.values[DX] = 5.0;
  m.values[X] = 7.0;
  ASSERT_EQ(To(0.5 * (1.0 + end)), 0u);
  EXPECT_EQ(Of(m, z), 2.0);
  EXPECT_EQ(Of(m, dx), 0.0);
  EXPECT_EQ(Of(m, x), 1.0);
}

TEST_F(IntegratorDynamic, AfterARewindTheNextLegStartsAtTheEnginesTime) {
  Decay p;
  Gear(1e-8, 1e-10);
  Start(&p.m);
  ASSERT_EQ(To(2.0), 0u);
  // The engine restores the values at t = 1, finishes and sets the time.
  ASSERT_EQ(server_->Finish(), 0u);
  p.m.values[static_cast<std::size_t>(p.x)] = std::exp(-Decay::k);
  ASSERT_EQ(server_->SetTime(1.0), 0u);
  ASSERT_EQ(server_->Finish(), 0u);
  double reached = 0;
  ASSERT_EQ(To(1.5, &reached), 0u);
  EXPECT_EQ(reached, 1.5);
  EXPECT_NEAR(Of(p.m, p.x), std::exp(-1.5 * Decay::k), 1e-6);
  // The derivative was made consistent before the new leg.
  EXPECT_NEAR(Of(p.m, p.dx),
              -Decay::k * Of(p.m, p.x), 1e-6);
}

// ---------------------------------------------------------------- events

// A tank draining through a valve that shuts when the level falls to 1:
// 2 h' = -q, q = IF h > 1 THEN 0.5 sqrt(h) ELSE 0. From h = 4 the level is
// (2 - t/8)^2 and reaches 1 at t = 8.
struct ValvedTank {
  Model m;
  std::int32_t h, dh, q;
  bool shut = false;
  ValvedTank() {
    h = m.AddState(4.0, &dh);
    q = m.AddVariable(kAlgebraic, 1.0);
    const auto H = static_cast<std::size_t>(h), DH = static_cast<std::size_t>(dh),
               Q = static_cast<std::size_t>(q);
    m.AddEquation({dh, q}, {1, 1}, [=](const V& x) { return 2.0 * x[DH] + x[Q]; });
    m.AddEquation({q, h}, {1, 3}, [this, H, Q](const V& x) {
      return x[Q] - (shut ? 0.0 : 0.5 * std::sqrt(std::fabs(x[H])));
    });
  }
  double Level() const { return Of(m, h); }
};

class TankEvents : public IntegratorDynamic {
 protected:
  void StartTank(ValvedTank* tank, bool locate) {
    Gear(1e-8, 1e-10);
    Set(156, 1e-5);
    SetInt(144, locate ? 1 : 0);
    SetInt(145, locate ? 1 : 0);
    Start(&tank->m, [tank](const std::vector<double>& x) {
      return x[static_cast<std::size_t>(tank->h)] - 1.0;
    });
  }
  // What the engine's schedule does when the event acts.
  void Act(ValvedTank* tank) {
    tank->shut = true;
    exec_->schedule.committed_positive = false;
  }
};

TEST_F(TankEvents, LocatedByTheEngineThenReinitialised) {
  ValvedTank tank;
  StartTank(&tank, true);
  double low = 0;
  ASSERT_EQ(To(20.0, &low), kIntegratorDiscontinuity);
  EXPECT_LT(low, 8.0);
  // The model stands at the step's end, past the event.
  EXPECT_LT(tank.Level(), 1.0);
  // The engine's bisection: targets inside the step, no residuals.
  const long evaluations = tank.m.evaluations;
  double high = exec_->times.back();
  EXPECT_GT(high, 8.0);
  int bisections = 0;
  while (high - low > 1e-5 && bisections < 60) {
    const double mid = 0.5 * (low + high);
    double reached = 0;
    ASSERT_EQ(To(mid, &reached), 0u);
    EXPECT_EQ(reached, mid);
    const bool fired = tank.Level() < 1.0;  // the schedule's own test
    (fired ? high : low) = mid;
    ++bisections;
  }
  EXPECT_EQ(tank.m.evaluations, evaluations);
  EXPECT_NEAR(high, 8.0, 1e-5 + 1e-6);
  ASSERT_EQ(To(high), 0u);
  Act(&tank);
  double reached = 0;
  ASSERT_EQ(server_->Initialise(&reached, high, kIntegratorReinitialiseAt, 0), 0u);
  EXPECT_EQ(Of(tank.m, tank.q), 0.0);
  const double level = tank.Level();
  ASSERT_EQ(To(20.0, &reached), 0u);
  EXPECT_EQ(reached, 20.0);
  EXPECT_NEAR(tank.Level(), level, 1e-9);
}

TEST_F(TankEvents, LocatedByTheServerThenFinished) {
  ValvedTank tank;
  StartTank(&tank, false);
  double at = 0;
  ASSERT_EQ(To(20.0, &at), kIntegratorDiscontinuity);
  EXPECT_NEAR(at, 8.0, 1e-5 + 1e-6);
  EXPECT_NEAR(tank.Level(), 1.0, 1e-5);
  Act(&tank);
  ASSERT_EQ(server_->Finish(), 0u);
  ASSERT_EQ(server_->Finish(), 0u);  // twice in a row, as a rewind does
  double reached = 0;
  ASSERT_EQ(To(20.0, &reached), 0u);
  EXPECT_EQ(reached, 20.0);
  EXPECT_NEAR(tank.Level(), 1.0, 1e-5);
  EXPECT_EQ(Of(tank.m, tank.q), 0.0);
  EXPECT_NEAR(Of(tank.m, tank.dh), 0.0, 1e-12);
}

// Targets 0.01 apart across the event at t = 8: the step that meets it
// goes past its target, where the valve is still open, so that target is
// reached and the event is left for the call whose target lies beyond it,
// which takes no step. The server locates it there, or hands the engine
// the bracket from the last target.
TEST_F(TankEvents, AnEventPastTheTargetIsFoundByTheCallBeyondIt) {
  for (const bool locate : {false, true}) {
    ValvedTank tank;
    StartTank(&tank, locate);
    double t = 7.5, reached = 0;
    ASSERT_EQ(To(t), 0u);
    Status s = 0;
    long evaluations = 0;
    while (s == 0 && t < 9.0) {
      evaluations = tank.m.evaluations;
      t += 0.01;
      s = To(t, &reached);
      if (s == 0) {
        EXPECT_EQ(reached, t);
        EXPECT_GT(tank.Level(), 1.0) << t;
      }
    }
    ASSERT_EQ(s, kIntegratorDiscontinuity) << locate;
    EXPECT_GT(t, 8.0);
    EXPECT_LT(t, 8.0 + 0.0101);
    EXPECT_EQ(tank.m.evaluations, evaluations) << locate;
    if (locate) {
      // From the last target reached; the model at this target.
      EXPECT_NEAR(reached, t - 0.01, 1e-12);
      EXPECT_EQ(exec_->times.back(), t);
      EXPECT_LT(tank.Level(), 1.0);
    } else {
      EXPECT_NEAR(reached, 8.0, 1e-5 + 1e-6);
      EXPECT_NEAR(tank.Level(), 1.0, 1e-5);
      Act(&tank);
      ASSERT_EQ(server_->Finish(), 0u);
      ASSERT_EQ(To(9.0), 0u);
      EXPECT_NEAR(tank.Level(), 1.0, 1e-5);
    }
    Drop();
  }
}

TEST_F(TankEvents, FixedStepsLocateOnTheirOwnInterpolant) {
  ValvedTank tank;
  SetInt(30, 2);
  Set(138, 0.05);
  Set(156, 1e-6);
  SetInt(144, 0);
  Start(&tank.m, [&tank](const std::vector<double>& x) {
    return x[static_cast<std::size_t>(tank.h)] - 1.0;
  });
  double at = 0;
  ASSERT_EQ(To(20.0, &at), kIntegratorDiscontinuity);
  EXPECT_NEAR(at, 8.0, 1e-5);
  Act(&tank);
  ASSERT_EQ(server_->Finish(), 0u);
  ASSERT_EQ(To(9.0), 0u);
  EXPECT_NEAR(tank.Level(), 1.0, 1e-5);
}

// x' = 1 + z from 0 at t0, z a delayed value that the engine says jumps
// from 0 to 1 at T (as the history would answer it: 0 before T, 1 from T
// on). No step passes over the jump: the steps end just before T, the
// values before it are kept there, and the leg starts again at T from
// where the steps ended (not from a target before it that the interpolant
// served), so x = s + (t - T) after it to the tolerance, for the
// variable-step and the fixed-step methods alike. From t0 = 1e6 as well,
// where IDA runs on the leg's own clock and the model reads the time.
TEST_F(IntegratorDynamic, AJumpOfADelayedValueEndsTheStepsAndStartsTheLegAgain) {
  for (const auto& [t0, method] : {std::pair{0.0, 4}, std::pair{0.0, 2}, std::pair{1e6, 4}}) {
    const double kJump = t0 + 0.3 + 1e-7;
    Model m;
    std::int32_t dx = -1;
    const std::int32_t x = m.AddState(0.0, &dx);
    const std::int32_t z = m.AddVariable(kAlgebraic, 0.0);
    const auto DX = static_cast<std::size_t>(dx), Z = static_cast<std::size_t>(z);
    const Model* model = &m;
    m.AddEquation({dx, z}, {1, 1}, [=](const V& v) { return v[DX] - 1.0 - v[Z]; });
    m.AddEquation({z}, {1}, [=](const V& v) { return v[Z] - (model->time >= kJump ? 1.0 : 0.0); });
    Gear(1e-8, 1e-10);
    SetInt(30, method);
    Set(138, 0.05);
    m.integrator = server_;
    group_ = new FakeProblemGroup(&m);
    group_->AddRef();
    exec_ = new FakeExecutive(&m);
    exec_->AddRef();
    // Asked for at set-up.
    exec_->schedule.jumps = {kJump};
    ASSERT_EQ(server_->SetUp(group_, exec_), 0u);
    ASSERT_EQ(server_->RunControl(kRunControlPrepare), 0u);
    double reached = -1;
    ASSERT_EQ(server_->Initialise(&reached, t0, kIntegratorInitialiseAt, 0), 0u);
    ASSERT_EQ(server_->RunControl(kRunControlSolve), 0u);
    for (const double s : {0.25, 0.5, 1.0}) {
      const double t = t0 + s;
      ASSERT_EQ(To(t, &reached), 0u) << Text(To(t)) << " method " << method;
      EXPECT_EQ(reached, t);
      EXPECT_NEAR(Of(m, x), (t - t0) + std::max(0.0, t - kJump), 1e-7) << t << " method " << method;
    }
    EXPECT_EQ(exec_->schedule.kept_before, std::vector<double>{kJump}) << "method " << method;
    const auto& times = exec_->times;
    EXPECT_NE(std::find(times.begin(), times.end(), std::nextafter(kJump, 0.0)), times.end());
    // Nothing between the last time before the jump and the jump itself.
    for (const double t : times) {
      EXPECT_FALSE(t > std::nextafter(kJump, 0.0) && t < kJump) << t;
    }
    EXPECT_GE(*std::min_element(times.begin(), times.end()), t0);
    Drop();
  }
}

}  // namespace
