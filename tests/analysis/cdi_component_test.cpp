#include <gtest/gtest.h>

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "analysis/control_design/cdi_component.h"
#include "tests/support/capture_sink.h"

namespace {

// One Jacobian part as triplets.
struct Part {
  std::vector<double> v;
  std::vector<std::int64_t> r, c;
  void Add(std::int64_t row, std::int64_t col, double value) {
    r.push_back(row);
    c.push_back(col);
    v.push_back(value);
  }
};

struct Model {
  Part dyn, ss;
  std::int32_t nvars = 0, nstates = 0, nalg = 0;
  std::vector<std::int32_t> states, inputs, outputs;
  std::vector<double> scale;

  CdiComputeInput Input(std::int32_t options) const {
    CdiComputeInput in;
    in.dyn_values = dyn.v.data();
    in.dyn_rows = dyn.r.data();
    in.dyn_cols = dyn.c.data();
    in.dyn_count = static_cast<std::int64_t>(dyn.v.size());
    in.ss_values = ss.v.data();
    in.ss_rows = ss.r.data();
    in.ss_cols = ss.c.data();
    in.ss_count = static_cast<std::int64_t>(ss.v.size());
    in.nvars = nvars;
    in.nstates = nstates;
    in.nalgebraic = nalg;
    in.state_cols = states.data();
    in.input_cols = inputs.data();
    in.ninputs = static_cast<std::int32_t>(inputs.size());
    in.output_cols = outputs.data();
    in.noutputs = static_cast<std::int32_t>(outputs.size());
    in.options = options;
    in.scale = scale.empty() ? nullptr : scale.data();
    in.scaling = !scale.empty();
    in.print_level = 0;
    return in;
  }
};

using Dense = std::map<std::pair<int, int>, double>;

Dense Get(const CDIcomponent& cdi, std::int32_t bit, std::int32_t* status = nullptr) {
  std::vector<double> v;
  std::vector<std::int32_t> r, c;
  std::int32_t count = 0, st = 0;
  cdi.GetMatrix(bit, &v, &r, &c, &count, &st);
  if (status != nullptr) *status = st;
  Dense d;
  for (std::int32_t e = 0; e < count; ++e) d[{r[e], c[e]}] = v[e];
  return d;
}

double At(const Dense& d, int r, int c) {
  auto it = d.find({r, c});
  return it == d.end() ? 0.0 : it->second;
}

// x1' = -2 x1 + x2 + 3 u1; 2 x2' = x1 - 4 x2 + u2; y = x1 + 2 x2 + 0.5 u1.
// Unknown columns: 1 x1, 2 y, 3 x2; inputs 4 and 5. Outputs y and x1.
Model LinearDae() {
  Model m;
  m.nvars = 3;
  m.nstates = 2;
  m.nalg = 1;
  m.states = {1, 3};
  m.inputs = {4, 5};
  m.outputs = {2, 1};
  for (Part* p : {&m.dyn, &m.ss}) {
    p->Add(3, 2, 1.0);
    p->Add(1, 4, -3.0);
    p->Add(2, 5, -1.0);
    p->Add(3, 4, -0.5);
  }
  m.dyn.Add(1, 1, 1.0);
  m.dyn.Add(2, 3, 2.0);
  m.ss.Add(1, 1, 2.0);
  m.ss.Add(2, 1, -1.0);
  m.ss.Add(3, 1, -1.0);
  m.ss.Add(1, 3, -1.0);
  m.ss.Add(2, 3, 4.0);
  m.ss.Add(3, 3, -2.0);
  return m;
}

TEST(CdiComponent, LinearDaeGivesStateSpaceAndGain) {
  const Model m = LinearDae();
  CDIcomponent cdi;
  CdiComputeInput in = m.Input(kCdiA | kCdiB | kCdiC | kCdiD | kCdiG);
  in.drop_tolerance = 5.0;  // would drop the unit C entry if it were not kept
  cdi.Compute(m.Input(kCdiA | kCdiB | kCdiC | kCdiD | kCdiG));
  const double a[2][2] = {{-2, 1}, {0.5, -2}};
  const double b[2][2] = {{3, 0}, {0, 0.5}};
  const double c[2][2] = {{1, 2}, {1, 0}};
  const double d[2][2] = {{0.5, 0}, {0, 0}};
  std::int32_t st[5];
  const Dense A = Get(cdi, kCdiA, &st[0]), B = Get(cdi, kCdiB, &st[1]), C = Get(cdi, kCdiC, &st[2]),
              D = Get(cdi, kCdiD, &st[3]), G = Get(cdi, kCdiG, &st[4]);
  for (int s : st) EXPECT_EQ(s, 0);
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < 2; ++j) {
      EXPECT_NEAR(At(A, i + 1, j + 1), a[i][j], 1e-12);
      EXPECT_NEAR(At(B, i + 1, j + 1), b[i][j], 1e-12);
      EXPECT_NEAR(At(C, i + 1, j + 1), c[i][j], 1e-12);
      EXPECT_NEAR(At(D, i + 1, j + 1), d[i][j], 1e-12);
    }
  }
  // G = D - C A^-1 B.
  const double det = a[0][0] * a[1][1] - a[0][1] * a[1][0];
  const double ai[2][2] = {{a[1][1] / det, -a[0][1] / det}, {-a[1][0] / det, a[0][0] / det}};
  for (int k = 0; k < 2; ++k) {
    for (int j = 0; j < 2; ++j) {
      double g = d[k][j];
      for (int p = 0; p < 2; ++p)
        for (int q = 0; q < 2; ++q) g -= c[k][p] * ai[p][q] * b[q][j];
      EXPECT_NEAR(At(G, k + 1, j + 1), g, 1e-12);
    }
  }

  // A drop tolerance above every entry keeps only the unit C entry.
  cdi.Compute(in);
  const Dense C2 = Get(cdi, kCdiC);
  EXPECT_EQ(C2.size(), 1u);
  EXPECT_DOUBLE_EQ(At(C2, 2, 1), 1.0);
  EXPECT_TRUE(Get(cdi, kCdiA).empty());
}

TEST(CdiComponent, ScalingMultipliesBySiOverSj) {
  Model m = LinearDae();
  // States 2, 3; outputs 5, 7; inputs 11, 13.
  m.scale = {2, 3, 5, 7, 11, 13};
  CDIcomponent cdi;
  cdi.Compute(m.Input(kCdiA | kCdiB | kCdiC | kCdiD));
  const Dense A = Get(cdi, kCdiA), B = Get(cdi, kCdiB), C = Get(cdi, kCdiC), D = Get(cdi, kCdiD);
  EXPECT_NEAR(At(A, 1, 2), 1.0 * 2 / 3, 1e-12);
  EXPECT_NEAR(At(A, 2, 1), 0.5 * 3 / 2, 1e-12);
  EXPECT_NEAR(At(B, 1, 1), 3.0 * 2 / 11, 1e-12);
  EXPECT_NEAR(At(B, 2, 2), 0.5 * 3 / 13, 1e-12);
  EXPECT_NEAR(At(C, 1, 2), 2.0 * 5 / 3, 1e-12);
  EXPECT_NEAR(At(C, 2, 1), 7.0 / 2, 1e-12);
  EXPECT_NEAR(At(D, 1, 1), 0.5 * 5 / 11, 1e-12);
}

// y_k = sum_j g_kj u_j as an algebraic model (columns 1..no outputs, then
// the inputs).
Model GainModel(const std::vector<std::vector<double>>& g) {
  Model m;
  const int no = static_cast<int>(g.size()), ni = static_cast<int>(g[0].size());
  m.nvars = no;
  m.nalg = no;
  for (int k = 0; k < no; ++k) {
    m.outputs.push_back(k + 1);
    for (Part* p : {&m.dyn, &m.ss}) {
      p->Add(k + 1, k + 1, 1.0);
      for (int j = 0; j < ni; ++j)
        if (g[k][j] != 0.0) p->Add(k + 1, no + j + 1, -g[k][j]);
    }
  }
  for (int j = 0; j < ni; ++j) m.inputs.push_back(no + j + 1);
  return m;
}

TEST(CdiComponent, GainIndicesAndRga) {
  const std::int32_t all = kCdiG | kCdiRga | kCdiMri | kCdiNi;
  {
    CDIcomponent cdi;
    cdi.Compute(GainModel({{1, 2}, {3, 4}}).Input(all));
    std::int32_t st = 1;
    const Dense rga = Get(cdi, kCdiRga, &st);
    EXPECT_EQ(st, 0);
    EXPECT_NEAR(At(rga, 1, 1), -2, 1e-12);
    EXPECT_NEAR(At(rga, 1, 2), 3, 1e-12);
    EXPECT_NEAR(At(rga, 2, 1), 3, 1e-12);
    EXPECT_NEAR(At(rga, 2, 2), -2, 1e-12);
    double ni = 0;
    EXPECT_EQ(cdi.GetNI(&ni), 0);
    EXPECT_NEAR(ni, -0.5, 1e-12);
    double mri = 0;
    EXPECT_EQ(cdi.GetMRI(&mri), 0);
    // Smallest singular value of [[1,2],[3,4]].
    EXPECT_NEAR(mri, std::sqrt(15 - std::sqrt(221.0)), 1e-12);
  }
  {
    CDIcomponent cdi;
    cdi.Compute(GainModel({{3, 0}, {0, 0.5}}).Input(all));
    double mri = 0;
    EXPECT_EQ(cdi.GetMRI(&mri), 0);
    EXPECT_NEAR(mri, 0.5, 1e-14);
  }
  {
    // Eigenvalues 1 +- 2i: det 5 from re^2 + im^2, diagonal product 1.
    CDIcomponent cdi;
    cdi.Compute(GainModel({{1, -2}, {2, 1}}).Input(kCdiNi));
    double ni = 0;
    EXPECT_EQ(cdi.GetNI(&ni), 0);
    EXPECT_NEAR(ni, 5.0, 1e-12);
  }
  {
    CDIcomponent cdi;
    cdi.Compute(GainModel({{1}, {2}}).Input(all));
    double x = 0;
    EXPECT_EQ(cdi.GetMRI(&x), kCdiGNotSquare);
    EXPECT_EQ(cdi.GetNI(&x), kCdiGNotSquare);
    std::int32_t st = 1;
    const Dense g = Get(cdi, kCdiG, &st);
    EXPECT_EQ(st, 0);
    EXPECT_NEAR(At(g, 2, 1), 2.0, 1e-14);
  }
}

TEST(CdiComponent, RgaRowsAndColumnsSumToOne) {
  const std::vector<std::vector<double>> g = {{2.0, 1.0, 0.5}, {1.0, 3.0, 0.0}, {0.2, 0.4, 1.5}};
  CDIcomponent cdi;
  cdi.Compute(GainModel(g).Input(kCdiRga));
  std::int32_t st = 1;
  const Dense rga = Get(cdi, kCdiRga, &st);
  ASSERT_EQ(st, 0);
  for (int i = 1; i <= 3; ++i) {
    double row = 0, col = 0;
    for (int j = 1; j <= 3; ++j) {
      row += At(rga, i, j);
      col += At(rga, j, i);
    }
    EXPECT_NEAR(row, 1.0, 1e-12);
    EXPECT_NEAR(col, 1.0, 1e-12);
  }
}

// x' = (K u - x)/tau, output x.
Model FirstOrderLag(double k, double tau) {
  Model m;
  m.nvars = 1;
  m.nstates = 1;
  m.states = {1};
  m.inputs = {2};
  m.outputs = {1};
  m.dyn.Add(1, 1, 1.0);
  m.dyn.Add(1, 2, -k / tau);
  m.ss.Add(1, 1, 1.0 / tau);
  m.ss.Add(1, 2, -k / tau);
  return m;
}

TEST(CdiComponent, StepResponseOfFirstOrderLag) {
  const double k = 2.0, tau = 5.0;
  CDIcomponent cdi;
  // One step per interval of 1: y_n = K(1 - (1 + h/tau)^-n).
  EXPECT_EQ(cdi.SetStepResponseOptions(1, 15, 200, 1.0, 1e-5, 1e-5, 1e300, 0.01, 0.01), 0);
  cdi.Compute(FirstOrderLag(k, tau).Input(kCdiStepResponse));
  std::vector<double> y;
  std::int32_t n = 0;
  double tf = 0;
  std::vector<std::int32_t> ramp;
  ASSERT_EQ(cdi.GetStepResponse(&y, &n, &tf, &ramp), 0);
  ASSERT_EQ(static_cast<std::int32_t>(y.size()), n);
  EXPECT_DOUBLE_EQ(tf, n * 1.0);
  for (int i = 0; i < n; ++i) EXPECT_NEAR(y[i], k * (1 - std::pow(1 + 1.0 / tau, -(i + 1))), 1e-12);
  // Requested only the response: A..D are not reported as requested.
  EXPECT_LT(n, 200);
  EXPECT_EQ(n % 15, 0);
  EXPECT_EQ(ramp, std::vector<std::int32_t>{0});
}

TEST(CdiComponent, StepResponseStopsSettledUnstableOrRamping) {
  {
    // Settles at once: 30 intervals, the first listed count of at least 15.
    CDIcomponent cdi;
    cdi.Compute(FirstOrderLag(1.0, 1e-3).Input(kCdiStepResponse));
    std::int32_t n = 0;
    ASSERT_EQ(cdi.GetStepResponse(nullptr, &n, nullptr, nullptr), 0);
    EXPECT_EQ(n, 30);
  }
  {
    // x' = x + u grows by 10/9 a step; traps armed must not fire.
    CDIcomponent cdi;
    EXPECT_EQ(cdi.SetStepResponseOptions(10, 15, 1000, 1.0, 1e-5, 1e-5, 1e16, 0.01, 0.01), 0);
    Model m = FirstOrderLag(-1.0, -1.0);
    feenableexcept(FE_OVERFLOW);
    cdi.Compute(m.Input(kCdiStepResponse));
    fedisableexcept(FE_OVERFLOW);
    std::int32_t n = 0;
    ASSERT_EQ(cdi.GetStepResponse(nullptr, &n, nullptr, nullptr), 0);
    EXPECT_EQ(n, 30);
    // The bound near the largest double overflows to inf first.
    cdi.SetStepResponseOptions(10, 15, 1000, 1.0, 1e-5, 1e-5, 1.79e303, 0.01, 0.01);
    feenableexcept(FE_OVERFLOW);
    cdi.Compute(m.Input(kCdiStepResponse));
    fedisableexcept(FE_OVERFLOW);
    EXPECT_EQ(cdi.GetStepResponse(nullptr, &n, nullptr, nullptr), 0);
    EXPECT_EQ(n % 15, 0);
  }
  {
    // An integrator's slope never changes: it counts as settled, yet ramps.
    Model m;
    m.nvars = 1;
    m.nstates = 1;
    m.states = {1};
    m.inputs = {2};
    m.outputs = {1};
    m.dyn.Add(1, 1, 1.0);
    m.dyn.Add(1, 2, -1.0);
    m.ss.Add(1, 2, -1.0);
    CDIcomponent cdi;
    cdi.SetStepResponseOptions(10, 15, 40, 1.0, 1e-5, 1e-5, 1e16, 0.01, 0.01);
    cdi.Compute(m.Input(kCdiStepResponse));
    std::int32_t n = 0;
    std::vector<std::int32_t> ramp;
    ASSERT_EQ(cdi.GetStepResponse(nullptr, &n, nullptr, &ramp), 0);
    EXPECT_EQ(n, 30);
    EXPECT_EQ(ramp, std::vector<std::int32_t>{1});
  }
}

TEST(CdiComponent, StepResponseStopsWhenAsked) {
  CDIcomponent cdi;
  EXPECT_EQ(cdi.SetStepResponseOptions(100, 15, 1000, 1.0, 1e-5, 1e-5, 1e16, 0.01, 0.01), 0);
  Model m = FirstOrderLag(2.0, 5.0);
  CdiComputeInput in = m.Input(kCdiStepResponse);
  int asked = 0;
  in.stop = [&] { return ++asked > 250; };
  cdi.Compute(in);
  EXPECT_EQ(asked, 251);
  EXPECT_EQ(cdi.GetStepResponse(nullptr, nullptr, nullptr, nullptr), -1);
  // Not asked to stop, the same response runs to its end.
  in.stop = [&] { return false; };
  cdi.Compute(in);
  EXPECT_EQ(cdi.GetStepResponse(nullptr, nullptr, nullptr, nullptr), 0);
  // A transition over 10^15 with steps of 10^-5 ends only when stopped:
  // t + h stops counting long before t reaches T.
  EXPECT_EQ(cdi.SetSTMOptions(1e15, 1e-5, 0.0, nullptr, 0), 0);
  asked = 0;
  in.stop = [&] { return ++asked > 1000; };
  in.options = kCdiStm;
  cdi.Compute(in);
  EXPECT_EQ(asked, 1001);
  std::int32_t status = 0;
  Get(cdi, kCdiStm, &status);
  EXPECT_EQ(status, kCdiNotComputed);
}

// The solution is read at the state and output columns: one outside the
// unknowns is bad input, not a read outside the solution.
TEST(CdiComponent, StatesAndOutputsMustBeUnknowns) {
  for (std::int32_t column : {0, 4, 6}) {
    for (bool output : {true, false}) {
      Model m = LinearDae();
      (output ? m.outputs[0] : m.states[1]) = column;
      CDIcomponent cdi;
      cdi.Compute(m.Input(kCdiA | kCdiB | kCdiC | kCdiD | kCdiG));
      std::int32_t status = 0;
      Get(cdi, kCdiC, &status);
      EXPECT_EQ(status, kCdiBadInput) << column << output;
      Get(cdi, kCdiG, &status);
      EXPECT_EQ(status, kCdiBadInput) << column << output;
    }
  }
}

TEST(CdiComponent, StepResponseOptionsRejectedBits) {
  CDIcomponent cdi;
  EXPECT_EQ(cdi.SetStepResponseOptions(0, 0, 0, 0, 0, 2, -1, 0, 1.5), 511);
  EXPECT_EQ(cdi.SetStepResponseOptions(1, 20, 10, 1, 1, 1, 1, 1, 1), 4);
}

// (I - hA)^-(T/h), dense, by repeated Gaussian elimination in 3x3.
std::vector<std::vector<double>> DenseStm(const double a[3][3], double h, int steps) {
  std::vector<std::vector<double>> x(3, std::vector<double>(3, 0.0));
  for (int i = 0; i < 3; ++i) x[i][i] = 1.0;
  for (int s = 0; s < steps; ++s) {
    for (int col = 0; col < 3; ++col) {
      double m[3][4];
      for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) m[i][j] = (i == j ? 1.0 : 0.0) - h * a[i][j];
        m[i][3] = x[i][col];
      }
      for (int p = 0; p < 3; ++p)
        for (int i = p + 1; i < 3; ++i) {
          const double f = m[i][p] / m[p][p];
          for (int j = p; j < 4; ++j) m[i][j] -= f * m[p][j];
        }
      for (int i = 2; i >= 0; --i) {
        double v = m[i][3];
        for (int j = i + 1; j < 3; ++j) v -= m[i][j] * x[j][col];
        x[i][col] = v / m[i][i];
      }
    }
  }
  return x;
}

TEST(CdiComponent, StateTransitionMatrixAgainstDense) {
  // A = [[-1, 0.5, 0], [0, -2, 0], [0, 0, -3]] as x' = A x (+ u on x1).
  const double a[3][3] = {{-1, 0.5, 0}, {0, -2, 0}, {0, 0, -3}};
  Model m;
  m.nvars = 3;
  m.nstates = 3;
  m.states = {1, 2, 3};
  m.inputs = {4};
  m.outputs = {1};
  for (int i = 0; i < 3; ++i) {
    m.dyn.Add(i + 1, i + 1, 1.0);
    for (int j = 0; j < 3; ++j)
      if (a[i][j] != 0.0) m.ss.Add(i + 1, j + 1, -a[i][j]);
  }
  m.dyn.Add(1, 4, -1.0);
  m.ss.Add(1, 4, -1.0);
  CDIcomponent cdi;
  EXPECT_EQ(cdi.SetSTMOptions(1.0, 0.25, 0.0, nullptr, 0), 0);
  cdi.Compute(m.Input(kCdiStm));
  std::int32_t st = 1;
  const Dense stm = Get(cdi, kCdiStm, &st);
  ASSERT_EQ(st, 0);
  EXPECT_EQ(cdi.StmIntegrations(), 2);  // {x1, x3} and {x2}
  const auto ref = DenseStm(a, 0.25, 4);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(At(stm, i + 1, j + 1), ref[i][j], 1e-12);

  // Excluding x3 drops its row and column.
  const std::int32_t excluded[] = {3};
  EXPECT_EQ(cdi.SetSTMOptions(1.0, 0.25, 0.0, excluded, 1), 0);
  CdiComputeInput in = m.Input(kCdiStm);
  in.new_pattern = true;
  cdi.Compute(in);
  const Dense stm2 = Get(cdi, kCdiStm, &st);
  ASSERT_EQ(st, 0);
  for (const auto& [at, v] : stm2) {
    EXPECT_LE(at.first, 2);
    EXPECT_LE(at.second, 2);
    EXPECT_NEAR(v, ref[at.first - 1][at.second - 1], 1e-12);
  }
  EXPECT_EQ(stm2.size(), 3u);

  EXPECT_EQ(cdi.SetSTMOptions(0.1, 0.2, 0.0, nullptr, 0), -3);
  EXPECT_EQ(cdi.SetSTMOptions(-1.0, 0.01, 0.0, nullptr, 0), -2);
  EXPECT_EQ(cdi.SetSTMOptions(1.0, -0.01, 0.0, nullptr, 0), -1);
  EXPECT_EQ(cdi.SetSTMOptions(1.0, 0.01, -1.0, nullptr, 0), -4);
}

TEST(CdiComponent, ErrorMapping) {
  {
    // No inputs: all six bad input.
    Model m = LinearDae();
    m.inputs.clear();
    CDIcomponent cdi;
    cdi.Compute(m.Input(kCdiA | kCdiG));
    for (std::int32_t bit : {kCdiA, kCdiB, kCdiC, kCdiD, kCdiG, kCdiRga}) {
      std::int32_t st = 0;
      Get(cdi, bit, &st);
      EXPECT_EQ(st, kCdiBadInput) << bit;
    }
  }
  {
    // x2' never appears: the dynamic Jacobian is singular; the steady one is not.
    Model m = LinearDae();
    m.dyn = Part();
    m.dyn.Add(1, 1, 1.0);
    m.dyn.Add(3, 2, 1.0);
    m.dyn.Add(1, 4, -3.0);
    CDIcomponent cdi;
    cdi.Compute(m.Input(kCdiA | kCdiB | kCdiC | kCdiD | kCdiG));
    for (std::int32_t bit : {kCdiA, kCdiB, kCdiC, kCdiD}) {
      std::int32_t st = 0;
      Get(cdi, bit, &st);
      EXPECT_TRUE(st == kCdiIndexAboveOne || st == kCdiIndeterminate) << st;
    }
    std::int32_t st = 1;
    Get(cdi, kCdiG, &st);
    EXPECT_EQ(st, 0);
  }
  {
    // A steady-state Jacobian without x2's column.
    Model m = LinearDae();
    Part ss;
    for (std::size_t e = 0; e < m.ss.v.size(); ++e)
      if (m.ss.c[e] != 3) ss.Add(m.ss.r[e], m.ss.c[e], m.ss.v[e]);
    m.ss = ss;
    CDIcomponent cdi;
    cdi.Compute(m.Input(kCdiG));
    std::int32_t st = 0;
    Get(cdi, kCdiG, &st);
    EXPECT_TRUE(st == kCdiStructurallySingular || st == kCdiIndeterminate) << st;
  }
  EXPECT_STREQ(CdiErrorText(-3), "   The model is structually singular");
}

TEST(CdiComponent, SummaryLines) {
  testsupport::CaptureSink sink;
  const Model m = LinearDae();
  CDIcomponent cdi;
  CdiComputeInput in = m.Input(kCdiA | kCdiMri);
  in.print_level = 2;
  cdi.Compute(in);
  const std::vector<std::string> expected = {"Control Design Interface:",
                                             "Computing A and C matrices...",
                                             "Computing the steady state gain (G) matrix...",
                                             "CDI summary of matrices computed:",
                                             "A matrix computed, number of non-zero elements = 4",
                                             "MRI unavailable",
                                             "NI unavailable",
                                             "Control Design Interface computation completed."};
  std::vector<std::string> lines = sink.lines();
  // The MRI of a 2x2 gain is computed: its line replaces "MRI unavailable".
  ASSERT_EQ(lines.size(), expected.size() + 1);
  EXPECT_EQ(lines[3],
            "Computing the Morari resiliency index (MRI) of the steady state gain matrix...");
  lines.erase(lines.begin() + 3);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (expected[i] == "MRI unavailable") {
      EXPECT_EQ(lines[i].substr(0, 6), "MRI = ");
    } else {
      EXPECT_EQ(lines[i], expected[i]);
    }
  }

  // A failure names the matrix and the reason.
  sink.Clear();
  Model bad = LinearDae();
  bad.dyn = Part();
  bad.dyn.Add(1, 1, 1.0);
  bad.dyn.Add(3, 2, 1.0);
  in = bad.Input(kCdiB);
  in.print_level = 2;
  cdi.Compute(in);
  lines = sink.lines();
  const auto has = [&](const std::string& text) {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
  };
  const bool singular = has("B matrix requested but unavailable due to error:") &&
                        has("   The Index of your model is >1");
  const bool indeterminate = has("Warning: your model contained indeterminate variables");
  EXPECT_TRUE(singular || indeterminate);
}

}  // namespace
