#include "solve/methods/solver_factories.h"

#include <gtest/gtest.h>

#include <memory>

#include <string>
#include <utility>
#include <vector>

#include "foundation/interfaces/solver_options.h"
#include "solve/methods/open_solvers.h"
#include "solve/optimisers/dense_optimiser.h"
#include "solve/options/solver_option_table.h"
#include "solve/proxies/integrator_server_proxy.h"
#include "tests/support/capture_sink.h"
#include "tests/support/numbered_options.h"

namespace {

using GM = GroupMethodClass;
using DO = DenseOptimiserClass;

// Records what the integrator factory requests of the option table.
class RecordingOptions final : public testsupport::NumberedOptions {
 public:
  std::int32_t GetInt(std::int32_t) override { return 0; }
  double GetReal(std::int32_t) override { return 0.0; }
  bool GetBool(std::int32_t) override { return false; }
  Status SetInt(std::int32_t number, std::int32_t value) override {
    requests.emplace_back(number, value);
    return 0;
  }
  std::vector<std::pair<std::int32_t, std::int32_t>> requests;
};

TEST(GroupMethodFactory, CodeAndChoicePickTheClass) {
  const struct {
    std::int32_t code, choice;
    bool nla_loaded;
    GM expected;
  } cases[] = {
      {50, 4, false, GM::kNone},
      {9, 4, false, GM::kNone},
      {102, 4, false, GM::kNone},
      {-1, 4, false, GM::kNone},
      {10, 5, false, GM::kExplicitSolve},
      {20, 4, false, GM::kKVSSluProxy},
      {30, 4, false, GM::kKVSSluProxy},
      {20, 5, false, GM::kKVSMflProxy},
      {30, 5, false, GM::kKVSMflProxy},
      {40, 4, false, GM::kKVSSparseProxy},
      {60, 5, false, GM::kKVSSparseMflProxy},
      {40, 4, true, GM::kOpenNLASolver},
      {60, 5, true, GM::kOpenNLASolver},
      {30, 5, true, GM::kKVSMflProxy},
      {100, 4, false, GM::kTornSolve},
      {101, 5, false, GM::kWegsteinStrategy},
  };
  for (const auto& c : cases) {
    SetOpenNLASolverName(c.nla_loaded ? "my_nla.dll" : "");
    EXPECT_EQ(SelectGroupMethod(c.code, c.choice), c.expected)
        << "code " << c.code << " choice " << c.choice << " nla " << c.nla_loaded;
    Status status = 0;
    std::unique_ptr<QLNGroupMethod> made(CreateGroupMethod(c.code, c.choice, &status));
    const bool built = c.expected != GM::kNone;
    EXPECT_EQ(made != nullptr, built);
    EXPECT_EQ(status, c.expected == GM::kNone ? status::kBadArguments
                      : built                 ? 0u
                                              : kSolverClassUnavailable);
  }
  SetOpenNLASolverName("");
}

TEST(DenseOptimiserFactory, KindAndConfiguredLibraryPickTheClass) {
  const struct {
    std::int32_t run_type, kind;
    const char* estimation_library;
    DO expected;
  } cases[] = {
      {kRunEstimation, 1, "", DO::kKVSSqpaProxy},
      {kRunEstimation, 2, "kvs_sqpb.dll", DO::kNlsOptimiser},
      {kRunOptimisation, 10, "", DO::kKVSSqpbProxy},
      {kRunEstimation, 5, "KVS_SQPB.DLL", DO::kKVSSqpbProxy},
      {kRunEstimation, 5, "kvs_sqpb.dll.bak", DO::kKVSOptimiser},
      {kRunOptimisation, 5, "kvs_sqpb.dll", DO::kKVSOptimiser},  // named for the other run
      {3, 5, "kvs_sqpb.dll", DO::kKVSOptimiser},
  };
  for (const auto& c : cases) {
    SetOpenNLPSolverName(kRunEstimation, c.estimation_library);
    EXPECT_EQ(SelectDenseOptimiser(c.run_type, c.kind), c.expected)
        << "run " << c.run_type << " kind " << c.kind << " " << c.estimation_library;
    // Every class is made; an NLP optimiser without its library says why.
    Status status = 0;
    std::unique_ptr<QLNDenseOptimiser> made(
        CreateDenseOptimiser(c.run_type, c.kind, 1, 2, 3, nullptr, &status));
    EXPECT_NE(made, nullptr);
    if (c.expected == DO::kNlsOptimiser) {
      EXPECT_EQ(status, 0u);
    }
  }
  SetOpenNLPSolverName(kRunEstimation, "");
}

TEST(IntegratorFactory, OlderScriptValuesAreReplacedWithTheirOwnWarning) {
  const struct {
    std::int32_t choice, kind;
    const char* warning;  // null: nothing printed, nothing requested
  } cases[] = {
      {0, 0, nullptr},
      {1, 1, nullptr},
      {4, 4, nullptr},
      {5, 3, "Warning: ImpEuler 11.1 integrator specified in script, substituting ImplicitEuler"},
      {6, 3, "Warning: VSIE 11.1 integrator specified in script, substituting ImplicitEuler"},
      {7, 4, "Warning: Gear 11.1 integrator specified in script, substituting Gear12"},
      {8, 0, nullptr},
  };
  RecordingOptions options;
  SolverOptions* before = SolverOptions::Install(&options);
  testsupport::CaptureSink sink;
  for (const auto& c : cases) {
    options.requests.clear();
    sink.Clear();
    EXPECT_EQ(SelectIntegratorKind(c.choice), c.kind) << c.choice;
    if (c.warning == nullptr) {
      EXPECT_TRUE(options.requests.empty()) << c.choice;
      EXPECT_TRUE(sink.lines().empty()) << c.choice;
      continue;
    }
    using Request = std::pair<std::int32_t, std::int32_t>;
    EXPECT_EQ(options.requests, (std::vector<Request>{{kOptIntegrator, c.kind}})) << c.choice;
    ASSERT_EQ(sink.groups().size(), 1u) << c.choice;
    EXPECT_EQ(sink.groups()[0].status, status::kOk);
    EXPECT_EQ(sink.groups()[0].lines, std::vector<std::string>{c.warning});
  }
  SolverOptions::Install(before);
}

// Through the real table the substitute is only requested: the integrator in
// force changes when the staged values are applied.
TEST(IntegratorFactory, TheSubstituteWaitsForTheStagedValuesToApply) {
  SolverOptionTable table;
  SolverOptions* before = SolverOptions::Install(&table);
  testsupport::CaptureSink sink;
  const std::int32_t in_force = table.GetInt(kOptIntegrator);
  ASSERT_NE(in_force, 4);
  EXPECT_EQ(SelectIntegratorKind(7), 4);
  EXPECT_EQ(table.GetInt(kOptIntegrator), in_force);
  table.ApplyPendingChanges();
  EXPECT_EQ(table.GetInt(kOptIntegrator), 4);
  SolverOptions::Install(before);
}

// The proxy is handed out even without its server, its creation status
// telling why; a choice of no kind makes nothing.
TEST(IntegratorFactory, CreatesTheServerProxyOfTheChosenKind) {
  // The proxy reads the option table: a table of the test's own, or the
  // process would keep one that later tests' option clients then follow.
  SolverOptionTable table;
  testsupport::CaptureSink sink;
  Status status = 0;
  EXPECT_EQ(CreateIntegrator(0, &status), nullptr);
  EXPECT_EQ(status, status::kBadArguments);
  std::unique_ptr<UnifiedIntegratorProxy> made(CreateIntegrator(3, &status));
  auto* proxy = dynamic_cast<IntegratorServerProxy*>(made.get());
  ASSERT_NE(proxy, nullptr);
  EXPECT_EQ(proxy->GetIntegratorKind(), 3);
  EXPECT_EQ(status, proxy->GetStatus());
}

}  // namespace
