#include "outside/nlp/nlp_system.h"

#include <strings.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

extern "C" void dgelss_(const int* m, const int* n, const int* nrhs, double* a, const int* lda,
                        double* b, const int* ldb, double* s, const double* rcond, int* rank,
                        double* work, const int* lwork, int* info);

namespace kvsnlp {

// --- bridge ---

void Bridge::Hand(bool worker) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    worker_turn_.store(worker, std::memory_order_release);
  }
  turn_changed_.notify_all();
}

void Bridge::Await(bool worker) {
  for (int spin = 0; spin < 256; ++spin) {
    if (worker_turn_.load(std::memory_order_acquire) == worker) return;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
  std::unique_lock<std::mutex> lock(mutex_);
  turn_changed_.wait(lock, [&] { return worker_turn_.load(std::memory_order_acquire) == worker; });
}

const Values* Bridge::Ask(const std::vector<double>& x, std::uint32_t flags) {
  if (abandon_.load(std::memory_order_acquire)) return nullptr;
  request_x_ = x;
  request_flags_ = flags;
  Hand(false);
  Await(true);
  if (abandon_.load(std::memory_order_acquire) || failed_) return nullptr;
  return &values_;
}

bool Bridge::Abandoning() const { return abandon_.load(std::memory_order_acquire); }

void Bridge::Resume(bool failed) {
  failed_ = failed;
  Hand(true);
  Await(false);
}

void Bridge::Abandon() {
  if (!worker_.joinable()) return;
  abandon_.store(true, std::memory_order_release);
  Hand(true);
  worker_.join();
}

void Bridge::Join() {
  if (worker_.joinable()) worker_.join();
}

// --- values on the worker ---

const Values* ValueCache::At(const double* x, bool derivatives) {
  const std::vector<double> point(x, x + problem_->n);
  const bool same = values_.functions && values_.x == point;
  if (same && (!derivatives || values_.derivatives)) return &values_;
  std::uint32_t flags = kFunctions;
  if (derivatives) flags = same ? kDerivatives : kFunctions | kDerivatives;
  const Values* got = bridge_->Ask(point, flags);
  if (got == nullptr) return nullptr;
  ++evaluations_;
  if (!same) {
    values_ = Values{};
    values_.x = point;
  }
  if ((flags & kFunctions) != 0) {
    values_.f = got->f;
    values_.c = got->c;
    values_.functions = true;
  }
  if ((flags & kDerivatives) != 0) {
    values_.grad = got->grad;
    values_.jac = got->jac;
    values_.derivatives = true;
  }
  return &values_;
}

// --- multipliers ---

double Infeasibility(const Problem& p, const Values& v) {
  double worst = 0.0;
  for (std::int32_t i = 0; i < p.m() && i < static_cast<std::int32_t>(v.c.size()); ++i) {
    const double c = v.c[static_cast<std::size_t>(i)];
    worst = std::max(worst, i < p.equalities ? std::fabs(c) : -c);
  }
  for (std::int32_t j = 0; j < p.n && j < static_cast<std::int32_t>(v.x.size()); ++j) {
    const auto k = static_cast<std::size_t>(j);
    worst = std::max({worst, p.lower[k] - v.x[k], v.x[k] - p.upper[k]});
  }
  return worst;
}

void EstimateMultipliers(const Problem& p, const Values& v, double tolerance, Outcome* out) {
  const auto n = static_cast<std::size_t>(p.n);
  const auto m = static_cast<std::size_t>(p.m());
  out->constraint_multipliers.assign(m, 0.0);
  out->variable_multipliers.assign(n, 0.0);
  if (!v.derivatives || v.grad.size() != n || v.c.size() != m) return;
  const double active = std::max(tolerance, 1e-6);
  // Dense constraint gradients, row i of the Jacobian.
  std::vector<double> dense(m * n, 0.0);
  for (std::size_t k = 0; k < p.rows.size(); ++k) {
    dense[static_cast<std::size_t>(p.rows[k]) * n + static_cast<std::size_t>(p.cols[k])] +=
        v.jac[k];
  }
  struct Column {
    bool bound;
    std::size_t index;
    double sign;  // required sign of the multiplier, 0 for free
  };
  std::vector<Column> columns;
  for (std::size_t i = 0; i < m; ++i) {
    const bool equality = static_cast<std::int32_t>(i) < p.equalities;
    if (equality) {
      columns.push_back({false, i, 0.0});
    } else if (v.c[i] <= active * (1.0 + std::fabs(v.c[i]))) {
      columns.push_back({false, i, 1.0});
    }
  }
  for (std::size_t j = 0; j < n; ++j) {
    const double scale = active * (1.0 + std::fabs(v.x[j]));
    if (v.x[j] - p.lower[j] <= scale) {
      columns.push_back({true, j, 1.0});
    } else if (p.upper[j] - v.x[j] <= scale) {
      columns.push_back({true, j, -1.0});
    }
  }
  std::vector<double> residual(v.grad);
  if (!columns.empty() && n > 0) {
    const int rows = static_cast<int>(n);
    const int cols = static_cast<int>(columns.size());
    const int ldb = std::max(rows, cols);
    std::vector<double> a(n * columns.size(), 0.0);
    for (std::size_t k = 0; k < columns.size(); ++k) {
      for (std::size_t j = 0; j < n; ++j) {
        a[k * n + j] = columns[k].bound ? (columns[k].index == j ? 1.0 : 0.0)
                                        : dense[columns[k].index * n + j];
      }
    }
    std::vector<double> b(static_cast<std::size_t>(ldb), 0.0);
    std::copy(v.grad.begin(), v.grad.end(), b.begin());
    std::vector<double> s(static_cast<std::size_t>(std::min(rows, cols)));
    const int one = 1;
    const double rcond = 1e-12;
    int rank = 0, info = 0, lwork = -1;
    double size = 0.0;
    dgelss_(&rows, &cols, &one, a.data(), &rows, b.data(), &ldb, s.data(), &rcond, &rank, &size,
            &lwork, &info);
    lwork = std::max(1, static_cast<int>(size));
    std::vector<double> work(static_cast<std::size_t>(lwork));
    dgelss_(&rows, &cols, &one, a.data(), &rows, b.data(), &ldb, s.data(), &rcond, &rank,
            work.data(), &lwork, &info);
    if (info == 0) {
      for (std::size_t k = 0; k < columns.size(); ++k) {
        double y = b[k];
        if (columns[k].sign > 0) y = std::max(y, 0.0);
        if (columns[k].sign < 0) y = std::min(y, 0.0);
        if (columns[k].bound) {
          out->variable_multipliers[columns[k].index] = y;
        } else {
          out->constraint_multipliers[columns[k].index] = y;
        }
      }
    }
  }
  // Stationarity: grad f - J^T lambda - z.
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      residual[j] -= dense[i * n + j] * out->constraint_multipliers[i];
    }
  }
  double worst = 0.0;
  for (std::size_t j = 0; j < n; ++j) {
    worst = std::max(worst, std::fabs(residual[j] - out->variable_multipliers[j]));
  }
  out->measure = worst;
}

double FeasibilityTolerance(const Settings& s) {
  constexpr double kFloor = 1e-6;
  return std::isfinite(s.opt_tol) ? std::max(kFloor, s.opt_tol) : kFloor;
}

void Finish(ValueCache* cache, const Problem& p, const std::vector<double>& x, bool estimate,
            double feasibility, Outcome* out) {
  out->x = x;
  if (x.size() != static_cast<std::size_t>(p.n)) return;
  const Values* v = cache->At(x.data(), true);
  if (v == nullptr) return;
  if (estimate) EstimateMultipliers(p, *v, feasibility, out);
  const bool ended = out->result == kConverged || out->result == kAccuracyLimit ||
                     out->result == kUphill || out->result == kFailed;
  if (ended && Infeasibility(p, *v) > feasibility) out->result = kInfeasible;
  if (out->result != kInfeasible) return;
  out->inconsistent.assign(static_cast<std::size_t>(p.m()), 0.0);
  for (std::int32_t i = 0; i < p.m(); ++i) {
    const double c = v->c[static_cast<std::size_t>(i)];
    const bool violated = i < p.equalities ? std::fabs(c) > feasibility : c < -feasibility;
    if (violated) out->inconsistent[static_cast<std::size_t>(i)] = 1.0;
  }
}

namespace {

using kvs::ParameterTable;
using kvs::RefCounted;

constexpr Status kNoInterface = 0x80004002u;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

void Bind(ParameterTable* table, Settings* s) {
  table->AddInt("PrintLevel", &s->print_level, -100, 100);
  table->AddInt("MaxIterations", &s->max_iterations, 0, 1 << 30);
  table->AddReal("MaxAbsStep", &s->max_abs_step, 0, kInfinity);
  table->AddReal("MaxRelStep", &s->max_rel_step, 0, kInfinity);
  table->AddReal("OptTol", &s->opt_tol, 0, kInfinity);
  table->AddReal("OBJCVG", &s->objcvg, 0, kInfinity);
}

class NlpSystem final : public KVSNLPSystem,
                        public KVSParameters,
                        public KVSNLPResult,
                        public KVSNLPAttributes,
                        RefCounted {
 public:
  NlpSystem(KVSNumericNLPESO* eso, KVSMessagesHandler* handler, Driver* driver,
            const Settings& defaults, const char* product)
      : eso_(eso), handler_(handler), driver_(driver), settings_(defaults), product_(product) {
    eso_->AddRef();
    Bind(&params_, &settings_);
  }

  Status QueryInterface(const platform::IID& iid, void** out) override {
    if (out == nullptr) return kNoInterface;
    *out = nullptr;
    if (iid == platform::IID_IUnknown) {
      *out = static_cast<KVSNLPSystem*>(this);
    } else if (iid == IID_KVSParameters) {
      *out = static_cast<KVSParameters*>(this);
    } else if (iid == IID_KVSNLPResult) {
      *out = static_cast<KVSNLPResult*>(this);
    } else if (iid == IID_KVSNLPAttributes) {
      *out = static_cast<KVSNLPAttributes*>(this);
    }
    if (*out == nullptr) return kNoInterface;
    AddRefImpl();
    return 0;
  }
  std::uint32_t AddRef() override { return AddRefImpl(); }
  std::uint32_t Release() override { return ReleaseImpl(); }

  Status Step(std::int32_t mode, KVSMessagesHandler* handler) override {
    if (handler != nullptr) handler_ = handler;
    if (mode == 2) {
      bridge_.Abandon();
      if (!ReadProblem()) return static_cast<Status>(kBadProblem);
      Driver* driver = driver_.get();
      Bridge* bridge = &bridge_;
      bridge_.Start([driver, bridge, problem = problem_, settings = settings_] {
        return driver->Run(bridge, problem, settings);
      });
      return Handle();
    }
    if (!bridge_.Running()) return static_cast<Status>(kNoRun);
    if (mode == -100) {
      bridge_.Resume(true);
    } else {
      if (!ReadValues()) {
        bridge_.Resume(true);
      } else {
        bridge_.Resume(false);
      }
    }
    return Handle();
  }

  // --- parameters ---
  Status GetCount(std::int32_t* count) override {
    *count = params_.Count();
    return 0;
  }
  Status GetNames(char*** names) override { return params_.Names(names); }
  Status GetValue(const char* name, std::int32_t* kind, void* value) override {
    return params_.Get(name, kind, value);
  }
  Status Set(const char* name, std::int32_t kind, const void* value) override {
    return params_.Set(name, kind, value);
  }

  // --- results and attributes ---
  Status GetResult(const char* name, double* value) override {
    if (name == nullptr || value == nullptr) return 1;
    if (strcasecmp(name, "OPT_CVRG") != 0) return 1;
    *value = measure_;
    return 0;
  }
  Status GetConstraintAttribute(std::int32_t index, const char* name, double* value) override {
    if (name == nullptr || strcasecmp(name, "Consistency") != 0) return 1;
    if (index < 0 || index >= problem_.m()) return 1;
    *value = inconsistent_.empty() ? 0.0 : inconsistent_[static_cast<std::size_t>(index)];
    return 0;
  }

 private:
  ~NlpSystem() override {
    bridge_.Abandon();
    eso_->Release();
  }

  // The adapter's answers are checked, never trusted.
  bool ReadProblem() {
    Problem p;
    if (eso_->GetNumVariables(&p.n) != 0 || eso_->GetNumEqualities(&p.equalities) != 0 ||
        eso_->GetNumInequalities(&p.inequalities) != 0) {
      return false;
    }
    if (p.n <= 0 || p.equalities < 0 || p.inequalities < 0 || p.n > (1 << 24) ||
        p.m() > (1 << 24)) {
      return false;
    }
    const auto n = static_cast<std::size_t>(p.n);
    p.lower.assign(n, 0.0), p.upper.assign(n, 0.0), p.start.assign(n, 0.0);
    if (eso_->GetVariableBounds(nullptr, p.lower.data(), p.upper.data()) != 0 ||
        eso_->GetVariableValues(nullptr, p.start.data()) != 0) {
      return false;
    }
    for (std::size_t j = 0; j < n; ++j) {
      if (std::isnan(p.lower[j]) || std::isnan(p.upper[j]) || p.lower[j] > p.upper[j]) {
        return false;
      }
      // Start inside the bounds, as both optimisers want.
      if (!std::isfinite(p.start[j])) p.start[j] = 0.0;
      p.start[j] = std::clamp(p.start[j], p.lower[j], p.upper[j]);
    }
    std::int32_t columns = 0, nz = 0;
    if (eso_->GetJacobianSizes(&columns, &nz) != 0 || nz < 0 ||
        static_cast<std::int64_t>(nz) > static_cast<std::int64_t>(p.m()) * p.n) {
      return false;
    }
    std::vector<std::int32_t> rows(static_cast<std::size_t>(nz)), cols(rows.size());
    if (nz > 0 && eso_->GetJacobianStructure(rows.data(), cols.data(), nullptr) != 0) return false;
    for (std::size_t k = 0; k < rows.size(); ++k) {
      if (rows[k] < 1 || rows[k] > p.m() || cols[k] < 1 || cols[k] > p.n) return false;
      p.rows.push_back(rows[k] - 1);
      p.cols.push_back(cols[k] - 1);
    }
    std::int32_t sense = 1;
    if (eso_->GetObjectiveSense(&sense) != 0) return false;
    p.sense = sense == -1 ? -1.0 : 1.0;
    problem_ = std::move(p);
    inconsistent_.clear();
    measure_ = -1.0;
    return true;
  }

  // What the last request asked for, into the bridge; false when the
  // adapter refuses or gives values that are not numbers.
  bool ReadValues() {
    Values& v = bridge_.Answer();
    const std::uint32_t flags = bridge_.RequestFlags();
    const auto n = static_cast<std::size_t>(problem_.n);
    bool good = true;
    if ((flags & kNlpWantsObjective) != 0) {
      good = good && eso_->GetObjective(&v.f) == 0 && std::isfinite(v.f);
      v.f *= problem_.sense;
    }
    if ((flags & kNlpWantsConstraints) != 0) {
      v.c.assign(static_cast<std::size_t>(problem_.m()), 0.0);
      good = good && eso_->GetConstraints(v.c.data()) == 0;
    }
    if ((flags & kNlpWantsGradient) != 0) {
      v.grad.assign(n, 0.0);
      good = good && eso_->GetObjectiveGradient(v.grad.data()) == 0;
      for (double& g : v.grad) g *= problem_.sense;
    }
    if ((flags & kNlpWantsJacobian) != 0) {
      v.jac.assign(problem_.rows.size(), 0.0);
      good = good && (v.jac.empty() || eso_->GetConstraintJacobian(v.jac.data()) == 0);
    }
    for (const std::vector<double>* list : {&v.c, &v.grad, &v.jac}) {
      for (double x : *list) good = good && std::isfinite(x);
    }
    return good;
  }

  Status Handle() {
    if (!bridge_.Finished()) {
      eso_->SetVariableValues(nullptr, bridge_.RequestPoint().data());
      eso_->SetRequest(bridge_.RequestFlags());
      return kEvaluate;
    }
    bridge_.Join();
    Outcome& o = bridge_.Result();
    if (o.x.size() == static_cast<std::size_t>(problem_.n)) {
      eso_->SetVariableValues(nullptr, o.x.data());
    }
    if (o.variable_multipliers.size() == static_cast<std::size_t>(problem_.n) &&
        o.constraint_multipliers.size() == static_cast<std::size_t>(problem_.m())) {
      std::vector<double> z(o.variable_multipliers), lambda(o.constraint_multipliers);
      // Multipliers of the engine's own objective.
      for (double& y : z) y *= problem_.sense;
      for (double& y : lambda) y *= problem_.sense;
      eso_->SetMultipliers(z.data(), lambda.data());
    }
    inconsistent_ = o.inconsistent;
    if (!inconsistent_.empty()) {
      void* raw = nullptr;
      if (eso_->QueryInterface(IID_KVSNumericNLPESOExtended, &raw) == 0 && raw != nullptr) {
        auto* extended = static_cast<KVSNumericNLPESOExtended*>(raw);
        for (std::size_t i = 0; i < inconsistent_.size(); ++i) {
          extended->SetConstraintAttribute(static_cast<std::int32_t>(i), "Consistency",
                                           inconsistent_[i]);
        }
        extended->Release();
      }
    }
    measure_ = o.measure;
    eso_->SetRequest(0);
    // Why a run failed is said at every print level: the engine's own
    // failure message cannot tell.
    kvs::Printer print(handler_, &settings_.print_level);
    const bool failed = o.result != kConverged && o.result != kStopped;
    print(failed ? 0 : 1, "%s: %s after %d iterations (result %d, optimality %.3e)",
          product_.c_str(), o.message.c_str(), o.iterations, o.result, o.measure);
    return static_cast<Status>(o.result);
  }

  KVSNumericNLPESO* eso_;
  KVSMessagesHandler* handler_;
  std::unique_ptr<Driver> driver_;
  Settings settings_;
  ParameterTable params_;
  std::string product_;
  Problem problem_;
  std::vector<double> inconsistent_;
  double measure_ = -1.0;
  // Last: the worker is joined before anything it reads goes.
  Bridge bridge_;
};

class NlpFactory final : public KVSNLPSystemFactory,
                         public KVSUtilityComponent,
                         public KVSParameters,
                         RefCounted {
 public:
  NlpFactory(const kvs::LibraryTexts& texts, DriverMaker make, const Settings& defaults)
      : texts_(texts), make_(make), defaults_(defaults) {
    Bind(&params_, &defaults_);
  }

  Status QueryInterface(const platform::IID& iid, void** out) override {
    if (out == nullptr) return kNoInterface;
    *out = nullptr;
    if (iid == platform::IID_IUnknown || iid == IID_KVSNLPSystemFactory) {
      *out = static_cast<KVSNLPSystemFactory*>(this);
    } else if (iid == IID_KVSUtilityComponent) {
      *out = static_cast<KVSUtilityComponent*>(this);
    } else if (iid == IID_KVSParameters) {
      *out = static_cast<KVSParameters*>(this);
    }
    if (*out == nullptr) return kNoInterface;
    AddRefImpl();
    return 0;
  }
  std::uint32_t AddRef() override { return AddRefImpl(); }
  std::uint32_t Release() override { return ReleaseImpl(); }

  Status CreateSystem(KVSNumericNLPESO* eso, KVSMessagesHandler* handler,
                      KVSNLPSystem** out) override {
    if (out == nullptr) return static_cast<Status>(kBadProblem);
    *out = nullptr;
    if (eso == nullptr) return static_cast<Status>(kBadProblem);
    *out = new NlpSystem(eso, handler, make_(), defaults_, texts_.product);
    return 0;
  }

  Status GetVersion(char** text) override { return kvs::AnswerText(texts_.version, text); }
  Status GetProduct(char** text) override { return kvs::AnswerText(texts_.product, text); }
  Status GetDescription(char** text) override { return kvs::AnswerText(texts_.description, text); }
  Status DeleteThis() override {
    delete this;
    return 0;
  }
  Status GetName(char** text) override { return kvs::AnswerText(texts_.name, text); }

  // Defaults of the systems made afterwards.
  Status GetCount(std::int32_t* count) override {
    *count = params_.Count();
    return 0;
  }
  Status GetNames(char*** names) override { return params_.Names(names); }
  Status GetValue(const char* name, std::int32_t* kind, void* value) override {
    return params_.Get(name, kind, value);
  }
  Status Set(const char* name, std::int32_t kind, const void* value) override {
    return params_.Set(name, kind, value);
  }

 private:
  kvs::LibraryTexts texts_;
  DriverMaker make_;
  Settings defaults_;
  ParameterTable params_;
};

}  // namespace

platform::IUnknown* MakeNlpFactory(const kvs::LibraryTexts& texts, DriverMaker make,
                                   const Settings& defaults) {
  return static_cast<KVSNLPSystemFactory*>(new NlpFactory(texts, make, defaults));
}

}  // namespace kvsnlp
