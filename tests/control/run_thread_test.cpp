// The baton between the server thread and the run thread: every step runs
// exactly once and is collected only after it ran, the server never sees a
// step's data while it runs, and stops end the thread by handshake or, for
// a step that never hands back, by giving up after the tries.
#include "control/problem/run_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "control/engine/engine_handlers.h"
#include "framework/runtime/xos_thread.h"
#include "tests/support/fault_tests.h"
#include "tests/support/hang_bound.h"
#include "tests/support/wait_until.h"

namespace {

using std::chrono::milliseconds;

class FakeStepper : public SimRunStepper {
 public:
  Status ThreadSetUp() override {
    if (setup_delay_ms > 0) std::this_thread::sleep_for(milliseconds(setup_delay_ms));
    return 0;
  }
  bool HandsBackFirst() override { return hand_back_first; }
  bool StepAllowed() override { return true; }
  Status RunStep() override {
    ++calls;
    if (faults > 0) {
      --faults;
      testsupport::WriteThroughNull();
    }
    // The server must not touch `data` until the step is collected.
    ++data;
    running.store(true);
    if (step_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(step_us));
    while (hang.load() && !Heard()) std::this_thread::sleep_for(milliseconds(1));
    running.store(false);
    ++data;
    steps.fetch_add(1);
    return result;
  }

  // A hanging step ends once asked to stop; a deaf one only after the
  // server has given up waiting for it.
  bool Heard() const {
    return XosStopRequested() && (deaf_to == nullptr || deaf_to->LastStopForced());
  }

  const SimRunHandover* deaf_to = nullptr;
  int setup_delay_ms = 0;
  bool hand_back_first = true;
  int step_us = 0;
  std::atomic<bool> hang{false};
  std::atomic<bool> running{false};
  std::atomic<int> steps{0};
  // Steps begun, and faults still to make at their start.
  std::atomic<int> calls{0};
  std::atomic<int> faults{0};
  Status result = 0;
  long data = 0;
};

// Starts a step as the control loop does and collects it.
void StartStep(SimRunHandover& handover) {
  handover.StartSolverThread(false);
  handover.ReleaseStep();
}

// The bound only catches a step that never comes back.
bool Collect(SimRunHandover& handover) {
  const auto until = std::chrono::steady_clock::now() + testsupport::HangBound(milliseconds(5000));
  while (handover.TakeRunLock() != 0) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return true;
}

class RunThreadTest : public ::testing::Test {
 protected:
  ~RunThreadTest() override { handover->Shutdown(); }
  FakeStepper stepper;
  std::shared_ptr<SimRunHandover> handover = SimRunHandover::Create(&stepper);
};

TEST_F(RunThreadTest, EveryStepRunsOnceAndIsCollectedOnlyAfterItRan) {
  std::mt19937 random(27);
  std::uniform_int_distribution<int> step_length(0, 300);
  std::uniform_int_distribution<int> poll_gap(0, 2000);
  constexpr int kSteps = 10000;
  for (int i = 0; i < kSteps; ++i) {
    stepper.step_us = step_length(random) < 250 ? 0 : step_length(random);
    StartStep(*handover);
    while (handover->TakeRunLock() == SimRunHandover::kNotYet) {
      std::this_thread::sleep_for(std::chrono::microseconds(poll_gap(random) / 20));
    }
    ASSERT_FALSE(stepper.running.load());
    ASSERT_EQ(stepper.data, 2L * (i + 1));
    ASSERT_EQ(stepper.steps.load(), i + 1);
    handover->RunOneStep();
  }
  EXPECT_EQ(handover->StepsRun(), static_cast<std::uint64_t>(kSteps));
  handover->StopRun();
  EXPECT_FALSE(handover->LastStopForced());
  EXPECT_FALSE(handover->ThreadStarted());
  EXPECT_EQ(stepper.steps.load(), kSteps);
}

TEST_F(RunThreadTest, TakingTheRunLockDuringAStepChangesNothing) {
  stepper.hang = true;
  StartStep(*handover);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return stepper.running.load(); }));
  EXPECT_FALSE(handover->ServerHoldsA());
  EXPECT_EQ(handover->TakeRunLock(), SimRunHandover::kNotYet);
  EXPECT_FALSE(handover->ServerHoldsA());
  stepper.hang = false;
  ASSERT_TRUE(Collect(*handover));
  EXPECT_TRUE(handover->ServerHoldsA());
  EXPECT_EQ(handover->TakeRunLock(), 0u);
  handover->RunOneStep();
  EXPECT_EQ(stepper.steps.load(), 1);
}

TEST_F(RunThreadTest, AStopWhileTheThreadWaitsForItsStepRunsNoOtherStep) {
  StartStep(*handover);
  ASSERT_TRUE(Collect(*handover));
  handover->RunOneStep();  // the thread now waits on A
  EXPECT_EQ(handover->StopRun(), 0u);
  EXPECT_FALSE(handover->LastStopForced());
  EXPECT_FALSE(handover->ThreadStarted());
  EXPECT_TRUE(handover->ServerHoldsA());
  EXPECT_EQ(stepper.steps.load(), 1);
}

TEST_F(RunThreadTest, AStopReachesAStepStillComputing) {
  stepper.hang = true;
  StartStep(*handover);
  while (!stepper.running.load()) std::this_thread::sleep_for(milliseconds(1));
  EXPECT_EQ(handover->StopRun(), 0u);
  // The step heard the request and ended: no waiting out the tries.
  EXPECT_FALSE(handover->LastStopForced());
  EXPECT_FALSE(handover->ThreadStarted());
  EXPECT_TRUE(handover->ServerHoldsA());
  EXPECT_EQ(stepper.steps.load(), 1);
  stepper.hang = false;
  StartStep(*handover);
  ASSERT_TRUE(Collect(*handover));
  handover->RunOneStep();
  EXPECT_EQ(stepper.steps.load(), 2);
}

TEST_F(RunThreadTest, AStepThatNeverHandsBackIsGivenUpAfterTheTries) {
  stepper.hang = true;
  stepper.deaf_to = handover.get();
  StartStep(*handover);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return stepper.running.load(); }));
  const auto begun = std::chrono::steady_clock::now();
  EXPECT_EQ(handover->StopRun(), 0u);
  const auto waited = std::chrono::steady_clock::now() - begun;
  EXPECT_TRUE(handover->LastStopForced());
  EXPECT_GE(waited, milliseconds(SimRunHandover::kStopTries * SimRunHandover::kTryMs / 2));
  EXPECT_FALSE(handover->ThreadStarted());
  EXPECT_TRUE(handover->ServerHoldsA());
  // A new thread runs its steps as if nothing had happened.
  stepper.hang = false;
  StartStep(*handover);
  ASSERT_TRUE(Collect(*handover));
  handover->RunOneStep();
  EXPECT_EQ(stepper.steps.load(), 2);
}

TEST_F(RunThreadTest, AStepStartedWithASlowThreadRunsBeforeItIsCollected) {
  stepper.setup_delay_ms = 50;
  StartStep(*handover);
  ASSERT_TRUE(Collect(*handover));
  EXPECT_EQ(stepper.steps.load(), 1);
  handover->RunOneStep();
}

TEST_F(RunThreadTest, AThreadAfterAStopStartsStraightAtItsWait) {
  // With stops counted the thread skips its first hand-back.
  stepper.hand_back_first = false;
  stepper.setup_delay_ms = 20;
  StartStep(*handover);
  ASSERT_TRUE(Collect(*handover));
  EXPECT_EQ(stepper.steps.load(), 1);
  handover->RunOneStep();
  StartStep(*handover);
  ASSERT_TRUE(Collect(*handover));
  EXPECT_EQ(stepper.steps.load(), 2);
  handover->RunOneStep();
}

TEST_F(RunThreadTest, TheFirstHandBackIsNotTakenForAFinishedStep) {
  handover->StartSolverThread(true);
  ASSERT_TRUE(handover->Waiting());
  // A collect before any step was released must not succeed.
  EXPECT_EQ(handover->TakeRunLock(), SimRunHandover::kNotYet);
  std::this_thread::sleep_for(milliseconds(5));
  EXPECT_EQ(handover->TakeRunLock(), SimRunHandover::kNotYet);
  EXPECT_EQ(stepper.steps.load(), 0);
  handover->ReleaseStep();
  ASSERT_TRUE(Collect(*handover));
  EXPECT_EQ(stepper.steps.load(), 1);
  handover->RunOneStep();
}

// The verdict a fault in a step gets, and what the handler was told.
std::atomic<std::int32_t> g_verdict{0};
std::atomic<Status> g_fault_status{0};
std::atomic<std::uint32_t> g_fault_kind{0};

std::int32_t Verdict(XosThread*, Status status, std::uint32_t kind) {
  g_fault_status = status;
  g_fault_kind = kind;
  return g_verdict.load();
}

class StepFaultTest : public RunThreadTest {
 protected:
  void SetUp() override {
    VANTOR_SKIP_FAULTS_UNDER_ASAN();
    if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << "faults on purpose need our handlers";
    testsupport::UseThreadsafeDeathTests();
    handover->SetStepFaultHandler(Verdict);
  }
  // One step, collected; the step's result.
  Status OneStep() {
    StartStep(*handover);
    EXPECT_TRUE(Collect(*handover));
    handover->RunOneStep();
    return handover->StepResult();
  }
};

constexpr Status kAccessViolation = 0x800000F1u;

TEST_F(StepFaultTest, VerdictsRunTheStepAgainOrEndIt) {
  // 1: the step runs again at once and its own result stands.
  g_verdict = XosThread::kRunAgain;
  stepper.faults = 1;
  EXPECT_EQ(OneStep(), 0u);
  EXPECT_EQ(stepper.calls.load(), 2);
  EXPECT_EQ(stepper.steps.load(), 1);
  EXPECT_EQ(g_fault_status.load(), kAccessViolation);
  EXPECT_EQ(g_fault_kind.load(), 2u);
  // 2: the step ends with the fault as its failure; the thread goes on.
  g_verdict = XosThread::kStop;
  stepper.faults = 1;
  EXPECT_EQ(OneStep(), kAccessViolation);
  EXPECT_EQ(stepper.calls.load(), 3);
  EXPECT_EQ(stepper.steps.load(), 1);
  // Anything else is said and taken as 2.
  g_verdict = 7;
  stepper.faults = 1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(OneStep(), kAccessViolation);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "User exception handler returned bad value 7\n");
  EXPECT_EQ(OneStep(), 0u);
  EXPECT_EQ(stepper.steps.load(), 2);
}

TEST_F(StepFaultTest, AFaultLetPassEndsTheProcessThroughBothHandlers) {
  handover->SetStepFaultHandler(nullptr);
  stepper.faults = 1;
  EXPECT_DEATH(
      {
        XosSetDefaultFailureHandler(sync_server_handler);
        OneStep();
      },
      "sync_solver_handler: Error was: Solver failed due to Access Violation(.|\n)*"
      "sync_server_handler, Error was: Server failed due to Access Violation");
}

}  // namespace

// The server waits for a step on descriptors: a step's hand-back must make
// the descriptor readable, and nothing but this step's hand-back may.
TEST_F(RunThreadTest, OnlyTheStepsHandBackWakesTheServer) {
  auto readable = [&] {
    return platform::WaitForAny({{handover->HandBackDescriptor(), false}}, 0);
  };
  ASSERT_GE(handover->HandBackDescriptor(), 0);
  stepper.hang = true;
  StartStep(*handover);  // the first hand-back is done with here
  ASSERT_TRUE(testsupport::WaitUntil([&] { return stepper.running.load(); }));
  EXPECT_FALSE(readable());
  stepper.hang = false;
  // Bounded only so that a broken signal fails rather than hangs.
  EXPECT_TRUE(platform::WaitForAny({{handover->HandBackDescriptor(), false}}, 60000));
  ASSERT_TRUE(Collect(*handover));
  EXPECT_TRUE(readable());  // until the server lets the thread go
  handover->RunOneStep();
  EXPECT_FALSE(readable());
  stepper.hang = true;
  StartStep(*handover);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return stepper.running.load(); }));
  EXPECT_FALSE(readable());
  stepper.hang = false;
  ASSERT_TRUE(Collect(*handover));
  handover->RunOneStep();
}
