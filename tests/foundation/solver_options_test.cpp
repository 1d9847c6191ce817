#include "foundation/solver_options.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(SolverOptions, DefaultsAnswerOnlyThroughTheirOwnGetter) {
  ASSERT_EQ(SolverOptions::Install(nullptr), nullptr);
  SolverOptions& options = *SolverOptions::Instance();

  EXPECT_EQ(options.GetInt(31), 2);   // PrintLevel
  EXPECT_EQ(options.GetInt(78), 0);   // CheckProcDerivs
  EXPECT_EQ(options.GetInt(97), 1);   // Tearing
  EXPECT_EQ(options.GetReal(0), 1.0e-5);   // EqnTol
  EXPECT_EQ(options.GetReal(75), 1.0e-5);  // AbsPerturb
  EXPECT_EQ(options.GetReal(76), 1.0e-5);  // RelPerturb
  EXPECT_EQ(options.GetReal(109), 0.1);    // DerivRelTol
  EXPECT_EQ(options.GetReal(110), 0.001);  // DerivAbsTol
  EXPECT_TRUE(options.GetBool(111));       // Compression
  EXPECT_TRUE(options.GetBool(168));       // ListEquivalenceVariables

  // The wrong getter, or a number nobody knows, gives the neutral value.
  for (std::int32_t number : {31, 97, 111, 168}) EXPECT_EQ(options.GetReal(number), 0.0) << number;
  for (std::int32_t number : {0, 75, 109, 111, 168}) EXPECT_EQ(options.GetInt(number), 0) << number;
  for (std::int32_t number : {0, 31, 97, 110}) EXPECT_FALSE(options.GetBool(number)) << number;
  for (std::int32_t number : {-1, 1, 171, 172, 100000}) {
    EXPECT_EQ(options.GetInt(number), 0) << number;
    EXPECT_EQ(options.GetReal(number), 0.0) << number;
    EXPECT_FALSE(options.GetBool(number)) << number;
  }
}

TEST(SolverOptions, ThreadsAskingAtOnceShareOneTable) {
  constexpr int kThreads = 8;
  std::atomic<int> ready{0};
  std::vector<SolverOptions*> seen(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      seen[i] = SolverOptions::Instance();
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_NE(seen[0], nullptr);
  for (auto* table : seen) EXPECT_EQ(table, seen[0]);
  EXPECT_EQ(SolverOptions::Instance(), seen[0]);
}

class FixedTable : public SolverOptions {
 public:
  std::int32_t GetInt(std::int32_t) override { return 9; }
  double GetReal(std::int32_t) override { return 9.0; }
  bool GetBool(std::int32_t) override { return true; }
};

TEST(SolverOptions, InstalledTableAnswersUntilItIsRemoved) {
  SolverOptions* defaults = SolverOptions::Instance();
  FixedTable table;
  EXPECT_EQ(SolverOptions::Install(&table), nullptr);
  EXPECT_EQ(SolverOptions::Instance(), &table);
  EXPECT_EQ(SolverOptions::Instance()->GetInt(31), 9);
  EXPECT_EQ(SolverOptions::Install(nullptr), &table);
  EXPECT_EQ(SolverOptions::Instance(), defaults);
  EXPECT_EQ(SolverOptions::Instance()->GetInt(31), 2);
}

}  // namespace
