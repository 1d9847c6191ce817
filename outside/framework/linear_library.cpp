#include "outside/framework/linear_library.h"

#include <cstring>
#include <vector>

#include "outside/framework/linear_core.h"

namespace kvs {
namespace {

constexpr Status kFailed = 1;
constexpr Status kNoInterface = 0x80004002u;

class LinearSystem final : public KVSLASystem,
                           public KVSLinearDependency,
                           public KVSParameters,
                           RefCounted {
 public:
  LinearSystem(std::unique_ptr<SparseLu> lu, KVSMessagesHandler* handler)
      : core_(std::move(lu)), print_(handler, &print_level_) {
    params_.AddChoice("Triangularisation", &triangularise_, {"Yes", "No"});
    params_.AddReal("DropTolerance", &settings_.lu.drop_tolerance, 0, 1e300);
    params_.AddReal("PivotTolerance", &settings_.lu.pivot_tolerance, 0, 1);
    params_.AddBool("UseTranspose", &settings_.lu.transpose);
    params_.AddBool("ScaleMatrix", &settings_.lu.scale);
    params_.AddBool("RePivot", &settings_.lu.repivot);
    params_.AddInt("PivotSearch", &settings_.lu.strategy, 0, 2);
    params_.AddReal("ErrorTol", &settings_.error_tol, 0, 1e300);
    params_.AddInt("MaxRefineIter", &settings_.max_refine, 0, 1 << 20);
    params_.AddInt("PrintLevel", &print_level_, -100, 100);
  }

  LinearCore& core() { return core_; }

  Status QueryInterface(const platform::IID& iid, void** out) override {
    if (out == nullptr) return kNoInterface;
    if (iid == platform::IID_IUnknown || iid == IID_KVSLinearDependency)
      *out = static_cast<KVSLinearDependency*>(this);
    else if (iid == IID_KVSParameters)
      *out = static_cast<KVSParameters*>(this);
    else {
      *out = nullptr;
      return kNoInterface;
    }
    AddRefImpl();
    return 0;
  }
  std::uint32_t AddRef() override { return AddRefImpl(); }
  std::uint32_t Release() override { return ReleaseImpl(); }

  Status SetMatrixValues(const double* values) override {
    has_values_ = false;
    switch (core_.Factorise(values, settings_)) {
      case FactorResult::kOk:
        has_values_ = true;
        return 0;
      case FactorResult::kSingular:
        has_values_ = true;
        print_(2, "Matrix is singular: rank %lld of %lld", static_cast<long long>(core_.rank()),
               static_cast<long long>(core_.n()));
        return kKvsSingular;
      case FactorResult::kFailed:
        break;
    }
    print_(1, "Factorisation failed");
    return kFailed;
  }

  Status SetRHS(const double* rhs) override {
    if (rhs == nullptr) return kFailed;
    rhs_.assign(rhs, rhs + core_.n());
    return 0;
  }

  Status Solve(double* x) override {
    if (x == nullptr || !has_values_ || rhs_.empty()) return kFailed;
    switch (core_.Solve(rhs_.data(), x, settings_)) {
      case SolveResult::kOk:
        return 0;
      case SolveResult::kNormError:
        return kKvsNormError;
      case SolveResult::kFailed:
        break;
    }
    return kFailed;
  }

  Status GetRank(std::int32_t* rank) override {
    if (rank == nullptr) return kFailed;
    *rank = static_cast<std::int32_t>(core_.rank());
    return 0;
  }
  Status GetDependentRows(std::int32_t* rows) override { return Order(core_.row_order(), rows); }
  Status GetDependentCols(std::int32_t* cols) override { return Order(core_.col_order(), cols); }

  Status GetCount(std::int32_t* count) override {
    if (count == nullptr) return kFailed;
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
  // Full rank: every row and column in order, none dependent.
  Status Order(const std::vector<std::int64_t>& order, std::int32_t* out) {
    if (out == nullptr) return kFailed;
    const std::int64_t n = core_.n();
    for (std::int64_t k = 0; k < n; ++k)
      out[k] = core_.rank() == n ? std::int32_t(k + 1) : std::int32_t(order[size_t(k)] + 1);
    return 0;
  }

  LinearCore core_;
  LinearSettings settings_;
  ParameterTable params_;
  std::int32_t print_level_ = 0;
  std::int32_t triangularise_ = 0;
  Printer print_;
  bool has_values_ = false;
  std::vector<double> rhs_;
};

class LinearFactory final : public KVSLASystemFactory, public KVSUtilityComponent, RefCounted {
 public:
  LinearFactory(const LibraryTexts& texts, LuMaker lu) : texts_(texts), lu_(std::move(lu)) {}

  Status QueryInterface(const platform::IID& iid, void** out) override {
    if (out == nullptr) return kNoInterface;
    if (iid == platform::IID_IUnknown || iid == IID_KVSLASystemFactory)
      *out = static_cast<KVSLASystemFactory*>(this);
    else if (iid == IID_KVSUtilityComponent)
      *out = static_cast<KVSUtilityComponent*>(this);
    else {
      *out = nullptr;
      return kNoInterface;
    }
    AddRefImpl();
    return 0;
  }
  std::uint32_t AddRef() override { return AddRefImpl(); }
  std::uint32_t Release() override { return ReleaseImpl(); }

  Status CreateSystem(std::int32_t equations, std::int32_t variables, std::int32_t non_zeros,
                      const std::int64_t* rows, const std::int64_t* cols,
                      KVSMessagesHandler* handler, KVSLASystem** out) override {
    if (out == nullptr) return kFailed;
    *out = nullptr;
    if (equations != variables) return kFailed;
    auto* system = new LinearSystem(lu_(), handler);
    if (!system->core().SetPattern(equations, non_zeros, rows, cols)) {
      system->Release();
      return kFailed;
    }
    *out = system;
    return 0;
  }

  Status GetVersion(char** text) override { return AnswerText(texts_.version, text); }
  Status GetProduct(char** text) override { return AnswerText(texts_.product, text); }
  Status GetDescription(char** text) override { return AnswerText(texts_.description, text); }
  Status DeleteThis() override {
    delete this;
    return 0;
  }
  Status GetName(char** text) override { return AnswerText(texts_.name, text); }

 private:
  LibraryTexts texts_;
  LuMaker lu_;
};

}  // namespace

platform::IUnknown* MakeLinearFactory(const LibraryTexts& texts, LuMaker lu) {
  return static_cast<KVSLASystemFactory*>(new LinearFactory(texts, std::move(lu)));
}

}  // namespace kvs
