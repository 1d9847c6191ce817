// Stopping a run whose lines flood a client that reads slowly, through the
// real engine: a step that grinds on with an indeterminate linear group at
// every corrector attempt, and no bound on its steps. Command 2 is answered
// (not only once the step ends or the flood has drained) and the engine
// ends with 0; a client that closes ends the engine with its usual code,
// however far behind the client is.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "tests/support/hang_bound.h"
#include "tests/tools/engine_road_fixture.h"
#include "tests/tools/failing_models.h"
#include "tools/client.h"
#include "tools/model_writer/model_writer.h"
#include "tools/road.h"

namespace floodstop {

using engineroad::EngineRoad;
using engineroad::kProblemService;
using vantor_client::MakeCommand;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::int32_t kNoBound = 2147483647;
// The engine's exit code when its client has gone (0xA0000037).
constexpr int kPeerGoneExit = 0x37;
// How often the slow client reads.
constexpr milliseconds kReadEvery{200};
// The answer to command 2 takes a second on a quiet machine; the step
// never ends by itself, so only an engine that does not see the command,
// or answers behind the flood, goes past its hang bound.
milliseconds AnswerBound() { return testsupport::HangBound(milliseconds(1000)); }
// Unread bytes that show a flood, not the odd line: the lines before it
// were read.
constexpr long kFilled = 64 * 1024;

class FloodStopRoad : public EngineRoad {
 protected:
  // The step to 1e8 under way at the print level, its first line read.
  bool StartTheFlood(std::uint32_t print_level) {
    vantor_client::EngineOptions engine = Engine();
    engine.services = {4, 55, 67, 81, 82, 85, 86, 95};
    if (!StartEngine(engine, "Flood") ||
        !road_->Expect(MakeCommand(engineroad::kResultsService, 32, {}, {1e8}), "command 32", 0) ||
        !IntOption(29, 4) || !IntOption(30, 4) || !IntOption(103, kNoBound) ||
        !IntOption(31, print_level) || !Load(failingmodels::StalledGroup) || !BeginRun() ||
        !road_->Expect(MakeCommand(kProblemService, 10), "the initialisation", 0) ||
        !road_->WaitStep(0.0, "the initialisation") ||
        !road_->Expect(MakeCommand(kProblemService, 10), "the step", 0))
      return false;
    return ReadSlowly(testsupport::HangBound(milliseconds(10000)),
                      [&] { return Said("Integrating from 0 to"); }) ||
           Fail("the step did not begin");
  }

  // Reads once every kReadEvery until done() or the time is up; false when
  // it is up.
  bool ReadSlowly(milliseconds most, const std::function<bool()>& done) {
    const auto until = Clock::now() + most;
    while (Clock::now() < until) {
      client_->Poll();
      road_->Collect();
      if (done()) return true;
      if (client_->PeerLost()) return false;
      std::this_thread::sleep_for(kReadEvery);
    }
    return false;
  }

  // The CPU time the engine has used so far, in ms; -1 once it has gone.
  long EngineCpuMs() const { return engineroad::CpuMs(client_->EnginePid()); }

  // Reads nothing while the engine works on for `work` of its CPU time: a
  // client busy elsewhere, however loaded the machine. False when the
  // engine has gone.
  bool LookAway(milliseconds work) const {
    const long from = EngineCpuMs();
    for (long now = from; now - from < work.count(); now = EngineCpuMs()) {
      if (now < 0 || from < 0) return false;
      std::this_thread::sleep_for(milliseconds(10));
    }
    return true;
  }

  bool Said(const std::string& text) const {
    for (const std::string& line : run_.events) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

  // Command 2 read slowly: answered "the engine ends" within the bound.
  bool StopInTime() {
    std::uint32_t id = 0;
    if (status::IsFailure(client_->Send(MakeCommand(kProblemService, 2), &id)))
      return Fail("command 2: not sent");
    const auto sent = Clock::now();
    ReadSlowly(AnswerBound() + milliseconds(30000), [&] { return client_->Find(id)->complete; });
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - sent);
    RecordProperty("command_2_ms", std::to_string(took.count()));
    if (!client_->Find(id)->complete) return Fail("command 2: no answer");
    const Status result = client_->Find(id)->status;
    client_->Forget(id);
    if (result != engineroad::kEnding) return Fail("command 2: " + vantor_scenario::Hex(result));
    if (took > AnswerBound())
      return Fail("command 2: answered after " + std::to_string(took.count()) + " ms");
    return true;
  }

  // Read slowly until the engine has gone, then its exit code.
  int ExitCode() {
    ReadSlowly(testsupport::HangBound(milliseconds(30000)), [&] { return client_->PeerLost(); });
    int exit_code = -1;
    client_->Close(&exit_code);
    client_.reset();
    return exit_code;
  }
};

TEST_F(FloodStopRoad, CommandTwoIsAnsweredWithinASecondWhileAStalledStepFloodsASlowReader) {
  ASSERT_TRUE(StartTheFlood(2)) << Failure() << Events();
  ASSERT_FALSE(ReadSlowly(milliseconds(1500), [&] { return Said("The report"); }))
      << "the step ended by itself";
  ASSERT_TRUE(StopInTime()) << Failure();
  // The group's two lines, once each.
  int warnings = 0;
  for (const std::string& line : run_.events)
    warnings += line.rfind("Warning: linear group", 0) == 0;
  EXPECT_EQ(warnings, 1) << Events();
  EXPECT_EQ(ExitCode(), 0) << Events();
}

// At print level 5 every corrector attempt prints its group's values: lines
// that differ each time, more than the connection holds (the step's bound
// on different reports stops them at some 500 kB).
TEST_F(FloodStopRoad, CommandTwoIsAnsweredWithinASecondWhenEveryLineDiffers) {
  ASSERT_TRUE(StartTheFlood(5)) << Failure() << Events();
  // A client busy elsewhere while the engine works on, until the lines
  // fill the connection: what waits to be read no longer grows while the
  // engine works on. The engine then holds the rest of the flood (or has
  // dropped it), however fast either side ran.
  long unread = client_->Unread();
  for (long before = -1; unread != before && unread >= 0;) {
    ASSERT_TRUE(LookAway(milliseconds(500))) << "the engine has gone";
    before = unread;
    unread = client_->Unread();
  }
  RecordProperty("unread_bytes", std::to_string(unread));
  ASSERT_GE(unread, kFilled) << "the flood did not fill the connection";
  ASSERT_TRUE(StopInTime()) << Failure();
  EXPECT_EQ(ExitCode(), 0);
}

TEST_F(FloodStopRoad, AClientThatClosesDuringTheFloodEndsTheEngineWithItsUsualCode) {
  ASSERT_TRUE(StartTheFlood(5)) << Failure() << Events();
  std::this_thread::sleep_for(milliseconds(1000));
  const auto closed = Clock::now();
  int exit_code = -1;
  // Not killed: the engine ends by itself.
  EXPECT_EQ(client_->Close(&exit_code), 0u);
  client_.reset();
  EXPECT_EQ(exit_code, kPeerGoneExit);
  EXPECT_LE(Clock::now() - closed, testsupport::HangBound(milliseconds(3000)));
}

}  // namespace floodstop
