// The control loop's passes against a fake controller: the run-state
// notification, the polls, the idle states and the ways the loop ends.
#include "control/problem/control_loop.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "control/problem/problem_manager.h"
#include "framework/connections/segment.h"
#include "framework/messaging/message.h"
#include "framework/messaging/message_controller.h"
#include "framework/servers/server_registry.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/temp_dir.h"

namespace {

struct Notification {
  double time;
  std::uint16_t counter;
  std::uint16_t stops;
  std::uint32_t bits;
};

// Takes what the loop sends; refuses sends while `refusing`.
class FakeController : public DseMessageController {
 public:
  FakeController() { DseSetCurrentController(this); }
  ~FakeController() { DseSetCurrentController(nullptr); }

  Status Send(DseMessage* message, std::uint32_t, DseClientCB*, void*, const double*,
              std::int32_t) override {
    Notification n{};
    std::uint64_t time_bits = 0;
    EXPECT_EQ(message->type, 81u);
    EXPECT_EQ(message->subtype, 12u);
    // Read back from the start of the body: exactly 16 bytes.
    std::uint8_t* end = message->Tell();
    message->Seek(message->FirstSegment()->DataStart());
    message->GetUInt64(&time_bits);
    std::memcpy(&n.time, &time_bits, sizeof n.time);
    message->GetUInt16(&n.counter);
    message->GetUInt16(&n.stops);
    message->GetUInt32(&n.bits);
    EXPECT_EQ(message->Tell(), end);
    EXPECT_EQ(end - message->FirstSegment()->DataStart(), 16);
    delete message;
    if (refusing) return status::kGeneralFailure;
    sent.push_back(n);
    return status::kOk;
  }
  Status Poll() override { return 0; }
  bool OutputWaiting() override { return false; }
  Status CancelRequest(std::uint32_t) override { return 21; }
  Status PostEvents(std::uint32_t, std::int32_t count, const std::uint32_t*, const std::uint32_t*,
                    const char* const* const*, DseSentMark*) override {
    events += count;
    return 0;
  }

  bool refusing = false;
  std::vector<Notification> sent;
  int events = 0;
};

// Polls run what the test queued, as the controller would run commands.
class FakePort : public ControlLoopPort {
 public:
  Status Poll() override {
    ++polls;
    if (on_poll.empty()) return status::kOk;
    auto next = std::move(on_poll.front());
    on_poll.pop_front();
    return next();
  }
  Status PollWithTimers() override {
    ++timer_polls;
    return status::kOk;
  }
  void Idle(std::uint32_t) override { ++idles; }
  // The idle is short enough not to watch the hand-back.
  void IdleOrWake(std::uint32_t ms, int) override { Idle(ms); }
  std::int32_t ChildNumber() override { return 1; }

  std::deque<std::function<Status()>> on_poll;
  int polls = 0;
  int timer_polls = 0;
  int idles = 0;
};

class Logger : public QLNSubSystemManager {
 public:
  explicit Logger(std::vector<std::string>* log) : log_(log) {}
  Status AttachProblem(const char*, const char* name) override {
    log_->push_back(std::string("attach ") + name);
    return 0;
  }
  Status ProblemEdited() override {
    log_->push_back("edited");
    return 0;
  }
  Status DetachProblem(const char*, const char* sub) override {
    log_->push_back(std::string("detach ") + sub);
    return 0;
  }

 private:
  std::vector<std::string>* log_;
};

class ControlLoopTest : public ::testing::Test {
 protected:
  Status Command(std::uint32_t number, std::vector<const char*> texts = {}) {
    return manager.HandleCommand(50, number, static_cast<std::uint32_t>(texts.size()), texts.data(),
                                 0, nullptr, 0, nullptr);
  }
  // Runs passes until the loop ends or `passes` ran; whether it ended.
  bool Passes(int passes, Status* result = nullptr) {
    Status ended = 0;
    for (int i = 0; i < passes; ++i) {
      if (loop.Pass(&ended)) {
        if (result != nullptr) *result = ended;
        return true;
      }
    }
    return false;
  }

  testsupport::TempDir folder;
  testsupport::ScopedCurrentFolder here{folder.path()};
  FakeController controller;
  FakePort port;
  DseServerRegistry registry;
  SimProblemMgr manager{&registry};
  std::vector<std::string> log;
  Logger logger{&log};
  SimControlLoop loop{manager, port};
};

TEST_F(ControlLoopTest, NotifiesOnlyWhatChangedAndOneShotBitsOnce) {
  loop.SetUp();
  ASSERT_FALSE(Passes(1));
  ASSERT_EQ(controller.sent.size(), 1u);
  EXPECT_EQ(controller.sent[0].time, 0.0);
  EXPECT_EQ(controller.sent[0].counter, 0u);
  EXPECT_EQ(controller.sent[0].stops, 0u);
  EXPECT_EQ(controller.sent[0].bits, 0x1u);

  ASSERT_FALSE(Passes(5));
  EXPECT_EQ(controller.sent.size(), 1u);  // nothing changed
  EXPECT_EQ(port.idles, 6);               // idle passes wait
  EXPECT_EQ(port.polls, 6);

  manager.SetStatusBits(0x800);
  ASSERT_FALSE(Passes(3));
  ASSERT_EQ(controller.sent.size(), 2u);
  EXPECT_EQ(controller.sent[1].bits, 0x801u);
  EXPECT_EQ(manager.StatusBits(), 0x1u);  // cleared once sent

  // A notification that cannot be sent is tried again on the next pass.
  controller.refusing = true;
  manager.SetStatusBits(0x1000);
  ASSERT_FALSE(Passes(2));
  EXPECT_EQ(manager.StatusBits(), 0x1001u);
  controller.refusing = false;
  ASSERT_FALSE(Passes(1));
  ASSERT_EQ(controller.sent.size(), 3u);
  EXPECT_EQ(controller.sent[2].bits, 0x1001u);
  EXPECT_EQ(manager.StatusBits(), 0x1u);
}

TEST_F(ControlLoopTest, NamingASimulationAttachesItsRunFolder) {
  loop.SetUp();
  ASSERT_FALSE(Passes(2));
  EXPECT_EQ(loop.State(), kStateIdle);  // no name yet
  const std::string work = folder.path().string() + "/";
  ASSERT_EQ(Command(3, {"Tank", work.c_str()}), 0u);
  ASSERT_FALSE(Passes(1));
  EXPECT_EQ(loop.State(), kStateAttached);
  EXPECT_EQ(log, (std::vector<std::string>{"attach Tank"}));
  EXPECT_TRUE(manager.Folders().HoldsLock());
  EXPECT_TRUE(std::filesystem::exists(folder / "Tank" / "OrvelQVLock.aml"));
  ASSERT_FALSE(Passes(2));
  // Told once that the problem was edited, on the first pass of state 1.
  EXPECT_EQ(log, (std::vector<std::string>{"attach Tank", "edited"}));
  EXPECT_EQ(loop.State(), kStateAttached);
}

// Without its run folder the loop stays idle, trying no second time, until
// the client names the simulation again.
TEST_F(ControlLoopTest, ARunFolderThatCannotBeMadeKeepsTheLoopIdle) {
  loop.SetUp();
  const std::string work = folder.path().string() + "/";
  folder.WriteFile("Tank", "in the way");
  ASSERT_EQ(Command(3, {"Tank", work.c_str()}), 0u);
  ASSERT_FALSE(Passes(1));
  // Why, sent at once with the installation look-ups' lines.
  const int lines = controller.events;
  EXPECT_GE(lines, 1);
  EXPECT_EQ(manager.Collector().GroupCount(), 0);
  ASSERT_FALSE(Passes(2));
  EXPECT_EQ(controller.events + manager.Collector().GroupCount(), lines);
  EXPECT_EQ(loop.State(), kStateIdle);
  EXPECT_TRUE(log.empty());
  ASSERT_EQ(Command(3, {"Pond", work.c_str()}), 0u);
  ASSERT_FALSE(Passes(1));
  EXPECT_EQ(loop.State(), kStateAttached);
  EXPECT_EQ(log, (std::vector<std::string>{"attach Pond"}));
}

TEST_F(ControlLoopTest, ASingleActionDetachesAndGoesBackToIdle) {
  loop.SetUp();
  const std::string work = folder.path().string() + "/";
  ASSERT_EQ(Command(3, {"Tank", work.c_str()}), 0u);
  ASSERT_FALSE(Passes(2));
  ASSERT_EQ(Command(142), 0u);
  EXPECT_FALSE(manager.Folders().HoldsLock());
  ASSERT_FALSE(Passes(1));
  EXPECT_EQ(loop.State(), kStateSingleAction);
  const int polls = port.polls;
  ASSERT_FALSE(Passes(1));
  EXPECT_EQ(port.polls, polls);  // the single action skips its poll
  EXPECT_EQ(loop.State(), kStateIdle);
  EXPECT_EQ(log.back(), "detach Tank");
}

TEST_F(ControlLoopTest, CommandTwoEndsAfterOnePassOfTheEndingState) {
  loop.SetUp();
  ASSERT_FALSE(Passes(1));
  port.on_poll.push_back([this] { return Command(2); });
  ASSERT_FALSE(Passes(1));  // the command arrives in this pass's poll
  EXPECT_EQ(manager.StatusBits() & 0x1u, 0u);
  ASSERT_FALSE(Passes(1));  // state 0 sees the interrupt
  EXPECT_EQ(loop.State(), kStateEnding);
  Status result = 1;
  ASSERT_TRUE(Passes(1, &result));
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(log, (std::vector<std::string>{"detach NULL"}));
  // The last notification says the engine is no longer up.
  EXPECT_EQ(controller.sent.back().bits, 0x0u);
}

TEST_F(ControlLoopTest, ALostPeerEndsTheLoopInTheSamePass) {
  loop.SetUp();
  port.on_poll.push_back([] { return status::kOk; });
  port.on_poll.push_back([] { return 0xA0000037u; });
  Status result = 0;
  EXPECT_FALSE(loop.Pass(&result));
  EXPECT_TRUE(loop.Pass(&result));
  EXPECT_EQ(result, 0xA0000037u);
  EXPECT_TRUE(log.empty());  // no detach without the ending state
  // A failure that is not severe goes on.
  SimControlLoop other(manager, port);
  other.SetUp();
  port.on_poll.push_back([] { return 0x80000001u; });
  EXPECT_FALSE(other.Pass(&result));
}

// The ready state flushes the collected lines in every pass; the flush's
// success must not turn the end of the client into exit status 0.
TEST_F(ControlLoopTest, ALostPeerEndsWithItsStatusInAPassThatFlushed) {
  loop.SetUp();
  port.on_poll.push_back([] { return 0x80000001u; });  // a failed pass lands in the ready state
  port.on_poll.push_back([] { return 0xA0000037u; });
  Status result = 0;
  EXPECT_FALSE(loop.Pass(&result));
  EXPECT_TRUE(loop.Pass(&result));
  EXPECT_EQ(loop.State(), kStateReady);
  EXPECT_EQ(result, 0xA0000037u);
}

TEST_F(ControlLoopTest, ARunRequestWithoutAPreparedProblemIsRefused) {
  loop.SetUp();
  EXPECT_EQ(Command(9), 0x80320025u);
  EXPECT_EQ(manager.RunState(), 2);
  EXPECT_EQ(Command(8), 0x0032000Au);
  EXPECT_EQ(Command(14), 0x0032000Au);
  ASSERT_FALSE(Passes(3));
  EXPECT_EQ(loop.State(), kStateIdle);
}

}  // namespace
