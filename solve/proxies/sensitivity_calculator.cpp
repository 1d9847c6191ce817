#include "solve/proxies/sensitivity_calculator.h"

#include "daes/blocks/solver_block.h"
#include "daes/problem/problem.h"
#include "daes/problem/solver_equation.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/solver_options.h"
#include "foundation/messages/su_print.h"
#include "solve/groups/decomposition.h"
#include "solve/groups/eso_group.h"
#include "solve/linear/lsi.h"
#include "solve/proxies/decomposer_proxy.h"
#include "solve/proxies/server_host.h"

namespace {

SensitivityManagerFace* g_manager = nullptr;

constexpr std::int32_t kOptLinearSolver = 25;
constexpr std::uint32_t kOptionsWord = 524;
constexpr std::uint32_t kWithDerivatives = 16;
constexpr std::uint32_t kInitialValues = 0x400;
constexpr std::uint32_t kArrayParameter = 0x200000;
constexpr std::uint32_t kNotFreeBits = 0x10 | 0x80;

// A single-group decomposition of the current problem for the case.
Status BuildDecomposition(std::uint32_t m, std::uint32_t k, bool second, QLNDecomposition** out) {
  *out = nullptr;
  DAESProblem* problem = GetCurrentProblem();
  ServerProxyHost* host = GetServerProxyHost();
  if (problem == nullptr) return kSensitivityFailed;
  auto* proxy = new QLNDecomposerProxy();
  auto* group = new QLNESOGroup(problem);
  group->AddRef();
  void* set = nullptr;
  Status s = kSensitivityFailed;
  if (group->QueryInterface(platform::IID_IUnknown, &set) == 0 && set != nullptr) {
    IQLNDecomposition* made = nullptr;
    const std::uint32_t flags = kOptionsWord + kWithDerivatives + (second ? kInitialValues : 0);
    const Status d = proxy->Decompose(host != nullptr ? host->Executive() : nullptr,
                                      static_cast<platform::IUnknown*>(set), m, k, flags, &made);
    if (status::IsSuccess(d) && made != nullptr) {
      void* ours = nullptr;
      if (made->QueryInterface(IID_IQLNDecomposition, &ours) == 0 && ours != nullptr) {
        auto* d2 = dynamic_cast<QLNDecomposition*>(static_cast<IQLNDecomposition*>(ours));
        if (d2 != nullptr && d2->GetRowCount() >= 1 &&
            dynamic_cast<DAESSolverBlock*>(d2->GetRow(0)) != nullptr) {
          *out = d2;
          s = 0;
        } else {
          static_cast<IQLNDecomposition*>(ours)->Release();
        }
      }
    }
    if (made != nullptr) made->Release();
    static_cast<platform::IUnknown*>(set)->Release();
  }
  group->Release();
  proxy->Release();
  return s;
}

}  // namespace

namespace {
// The manager's parameter entries as the blocks' parameter columns.
class ManagerParameters final : public BlockSensitivityParameters {
 public:
  std::int32_t ParameterCount() override {
    return g_manager != nullptr ? g_manager->EntryCount() : 0;
  }
  DAESVarTableEntry* Parameter(std::int32_t j) override {
    return g_manager != nullptr ? g_manager->Entry(j) : nullptr;
  }
};
ManagerParameters g_manager_parameters;
}  // namespace

std::int32_t SensitivityManagerFace::MatrixRowCount() {
  std::int32_t rows = 0;
  for (std::int32_t j = 0; j < EntryCount(); ++j) {
    DAESVarTableEntry* p = Entry(j);
    rows +=
        p != nullptr && (p->GetFlags() & kArrayParameter) != 0 ? std::max(1, ControlElements()) : 1;
  }
  return rows;
}

SensitivityManagerFace* GetSensitivityManagerFace() { return g_manager; }
void SetSensitivityManagerFace(SensitivityManagerFace* manager) {
  g_manager = manager;
  SetBlockSensitivityParameters(manager != nullptr ? &g_manager_parameters : nullptr);
}

DAESSolverBlock* QLNSensitivityCalculator::System() const {
  return steady_ != nullptr ? dynamic_cast<DAESSolverBlock*>(steady_->GetRow(0)) : nullptr;
}

void QLNSensitivityCalculator::DropSteady() {
  if (steady_handle_ != nullptr) {
    const std::int64_t destroy = 64, zero = 0, kind = 0;
    std::int64_t info = 0;
    LSISolve(nullptr, nullptr, nullptr, nullptr, nullptr, &zero, &zero, &steady_handle_, &destroy,
             &info, &kind);
    steady_handle_ = nullptr;
  }
  if (steady_ != nullptr) steady_->Release();
  steady_ = nullptr;
}

void QLNSensitivityCalculator::Release() {
  DropSteady();
  matrix_.clear();
}

Status QLNSensitivityCalculator::Compute(double, std::int32_t run_kind, std::int32_t phase) {
  Status s = 0;
  if (run_kind == 1) {
    s = SteadyState(phase, 3, 0, 68);
  } else if (run_kind == 4 || run_kind == 5) {
    s = phase == 2 ? SteadyState(phase, 6, 1, 64) : SteadyState(phase, 16, 0, 96);
  } else if (run_kind == 6) {
    s = SteadyState(phase, 6, 1, 64);
  } else {
    return 0;
  }
  if (status::IsFailure(s)) return s;
  return HandOver();
}

Status QLNSensitivityCalculator::SteadyState(std::int32_t phase, std::uint32_t m, std::int32_t v,
                                             std::uint32_t k) {
  SensitivityManagerFace* manager = GetSensitivityManagerFace();
  if (manager == nullptr) return kSensitivityFailed;
  const std::int64_t solver_kind = SolverOptions::Instance()->GetInt(kOptLinearSolver);
  if (steady_ != nullptr && (phase != built_phase_ || m != built_m_ || k != built_k_)) {
    DropSteady();
  }
  built_phase_ = phase;
  built_m_ = m;
  built_k_ = k;
  Status s = manager->PrepareStorage();
  if (status::IsFailure(s)) return s;
  if (steady_ == nullptr) {
    if (BuildDecomposition(m, k, v == 1 || (k & 0x20) != 0, &steady_) != 0) {
      return kSensitivityFailed;
    }
    matrix_.clear();
  }
  DAESSolverBlock* system = System();
  const std::int64_t* rows = nullptr;
  const std::int64_t* cols = nullptr;
  s = system->BuildStructure(&rows, &cols, nullptr, 0);
  if (status::IsFailure(s)) return s;
  const std::int64_t ne = system->StructureSize();
  const std::int64_t n = system->VariableCount();
  const std::uint32_t equations = system->GetRowCount();

  // One row per parameter element.
  std::int32_t row_count = 0;
  for (std::int32_t j = 0; j < manager->EntryCount(); ++j) {
    DAESVarTableEntry* p = manager->Entry(j);
    row_count += p != nullptr && (p->GetFlags() & kArrayParameter) != 0
                     ? std::max(1, manager->ControlElements())
                     : 1;
  }
  if (matrix_.size() != static_cast<std::size_t>(row_count)) {
    matrix_.assign(static_cast<std::size_t>(row_count),
                   std::vector<double>(static_cast<std::size_t>(n), 0.0));
  }

  s = system->EvaluateRows(daes::kEvalResidual | daes::kEvalDerivatives);
  if (status::IsFailure(s)) return s;
  std::vector<double> values(static_cast<std::size_t>(ne));
  s = system->EvaluateJacobianEntries(static_cast<std::uint32_t>(ne), rows, cols, values.data(), 0,
                                      0.0);
  if (status::IsFailure(s)) return s;

  std::vector<double> rhs(equations);
  std::size_t r = 0;
  bool first = true;
  for (std::int32_t j = 0; j < manager->EntryCount(); ++j) {
    DAESVarTableEntry* p = manager->Entry(j);
    const bool array = p != nullptr && (p->GetFlags() & kArrayParameter) != 0;
    const std::int32_t elements = array ? std::max(1, manager->ControlElements()) : 1;
    const std::int32_t base = array ? manager->CurrentInterval() - 1 : 0;
    for (std::int32_t e = 0; e < elements; ++e, ++r) {
      std::vector<double>& x = matrix_[r];
      if (e > base) {
        std::fill(x.begin(), x.end(), 0.0);
        continue;
      }
      std::fill(rhs.begin(), rhs.end(), 0.0);
      if (e == base && p != nullptr) {
        s = system->EvaluateJacobianColumn(p, rhs.data(), 0);
        if (status::IsFailure(s)) return s;
        for (double& b : rhs) b = -b;
      }
      const std::int64_t flags = first ? 12 : 8;
      std::int64_t info = 0;
      LSISolve(values.data(), rows, cols, x.data(), rhs.data(), &ne, &n, &steady_handle_, &flags,
               &info, &solver_kind);
      first = false;
      if (info != 0 && info != -2) {
        if (info == -1) SuPrint(0, "Sensitivity matrix is structurally singular!");
        SuPrint(kSensitivityFailed, "Fatal error calculating sensitivities");
        return kSensitivityFailed;
      }
    }
  }
  return s;
}

Status QLNSensitivityCalculator::HandOver() {
  SensitivityManagerFace* manager = GetSensitivityManagerFace();
  DAESSolverBlock* system = System();
  if (manager == nullptr || system == nullptr) return kSensitivityFailed;
  Status last = 0;
  for (std::int32_t i = 0; i < manager->VariableCount(); ++i) {
    DAESVarTableEntry* v = manager->Variable(i);
    if (v == nullptr) continue;
    const std::int32_t position = system->FindVariable(v) - 1;
    std::size_t r = 0;
    for (std::int32_t j = 0; j < manager->EntryCount(); ++j) {
      DAESVarTableEntry* p = manager->Entry(j);
      const bool array = p != nullptr && (p->GetFlags() & kArrayParameter) != 0;
      const std::int32_t elements = array ? std::max(1, manager->ControlElements()) : 1;
      for (std::int32_t e = 0; e < elements; ++e, ++r) {
        double value = 0.0;
        if (position >= 0 && r < matrix_.size()) {
          value = matrix_[r][static_cast<std::size_t>(position)];
        } else if (p == v && (v->GetFlags() & kNotFreeBits) == 0) {
          value = 1.0;
        }
        const Status s = manager->Store(j, v, value, e);
        if (status::IsFailure(s)) last = s;
      }
    }
  }
  return last;
}
