// Clients that do not read what the engine sends them, through the real
// engine: one that sends requests and never takes a reply, and one that
// never drains the engine's standard output and error while failed steady
// states print their lines there. The engine's memory stays bounded, it
// goes on working, nothing the client sent is lost, and command 2 or a
// close ends it without a kill. A second peer of the engine is served
// while the client reads nothing; and a second peer that stops reading, or
// reads slowly, holds no run of the client back and still gets every reply
// to its own requests.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "framework/connections/pipe_connection.h"
#include "tests/support/hang_bound.h"
#include "tests/tools/engine_road_fixture.h"
#include "tools/client.h"
#include "tools/model_writer/model_writer.h"
#include "tools/model_writer/sample_models.h"
#include "tools/road.h"
#include "tools/road_steps.h"

namespace unreadoutput {

using engineroad::EngineRoad;
using engineroad::kProblemService;
using engineroad::MemoryKb;
using engineroad::ModelEquation;
using engineroad::ModelVariable;
using engineroad::WithStreamsOn;
using modelwriter::Writer;
using vantor_client::MakeCommand;

// The engine's exit code when its client has gone (0xA0000037).
constexpr int kPeerGoneExit = 0x37;

// What the engine may grow by while a client reads nothing: the replies
// and requests it holds for one peer (some 4 MB), the lines it keeps for
// its streams (1 MB each) and the runs themselves; several times that
// under a sanitizer's shadow memory.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr long kMostGrowthMb = 4 * 48;
constexpr int kSlower = 4;
#else
constexpr long kMostGrowthMb = 48;
constexpr int kSlower = 1;
#endif
// The engine ends once told, or once its client has closed: a second, and
// the client's own polling. Only a hang goes past.
std::chrono::milliseconds EndBound() {
  return testsupport::HangBound(std::chrono::milliseconds(3000));
}

// p = -1 fixed; y - SQRT(p) = 0: every steady state fails, and says so in
// lines of a failed group, which the engine also writes to its standard
// output.
void NoSteadyState(Writer& w) {
  using namespace modelwriter;
  w.List(3);
  ModelVariable(w, kRealVariable, 1, ".p", -1.0, 4);
  ModelVariable(w, kRealVariable, 2, ".y", 0.0, 0);
  ModelEquation(w, 10, ".root", Sub(Var(0), Sqrt(Var(1))), {{2, 2}, {2, 1}});
}

constexpr char kFailure[] = "Steady state solution failure";

// How often `what` occurs in `text`.
std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++count;
  return count;
}

class UnreadOutputRoad : public EngineRoad {
 protected:
  ~UnreadOutputRoad() override {
    if (unread_ >= 0) ::close(unread_);
  }

  // Starts the engine with standard output and error on a pipe of one page
  // that nobody reads (the test's own streams are put back at once).
  bool StartWithUnreadStreams(const std::string& name) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    ::fcntl(ends[0], F_SETPIPE_SZ, 4096);
    capacity_ = ::fcntl(ends[0], F_GETPIPE_SZ);
    unread_ = ends[0];
    const bool started = WithStreamsOn(ends[1], [&] { return StartEngine(Engine(), name); });
    ::close(ends[1]);
    return started;
  }

  // Bytes the engine's streams hold, unread.
  int Held() const {
    int held = 0;
    return ::ioctl(unread_, FIONREAD, &held) == 0 ? held : -1;
  }

  // Whether a line since the `from`-th says that the steady state failed.
  bool FailedSince(std::size_t from) {
    road_->Collect();
    for (std::size_t i = from; i < run_.events.size(); ++i) {
      if (run_.events[i].find(kFailure) != std::string::npos) return true;
    }
    return false;
  }

  // Failed steady states, one after the other, each telling at least the
  // line of its failure on standard output: more than its pipe takes. Each
  // must end.
  bool FailMoreThanTheStreamsTake() {
    const std::string line = "Dialog: Steady state solution failure\n";
    const int runs = capacity_ / static_cast<int>(line.size()) + 5;
    for (int run = 1; run <= runs; ++run) {
      road_->Collect();
      const std::size_t from = run_.events.size();
      if (!road_->Expect(MakeCommand(kProblemService, 9), "command 9", 0)) return false;
      if (client_->WaitFor([&] { return FailedSince(from); }) != 0) {
        return Fail("steady state " + std::to_string(run) + " did not end; the engine's streams " +
                    "hold " + std::to_string(Held()) + " bytes");
      }
    }
    // They fill up indeed, once the engine's relay has passed its lines on.
    client_->WaitFor([&] { return Held() > capacity_ / 2; });
    return Held() > capacity_ / 2 || Fail("the engine's streams did not fill: " + Diagnosis());
  }

  // Why the streams did not fill: what the pipe holds, the engine's line
  // count (the failures it told the client), each engine thread's system
  // call (a relay waiting in write names the bytes it holds out), and then,
  // the pipe drained, what the relay still held and said it had dropped.
  std::string Diagnosis() {
    std::string told = "the pipe holds " + std::to_string(Held()) + " of " +
                       std::to_string(capacity_) + " bytes; the engine told " +
                       std::to_string(Count(Events(), kFailure)) + " failures; its threads:";
    const std::string tasks = "/proc/" + std::to_string(client_->EnginePid()) + "/task";
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
      std::ifstream name(task.path() / "comm");
      std::ifstream call(task.path() / "syscall");
      std::string comm, number, fd, buffer, count;
      std::getline(name, comm);
      call >> number >> fd >> buffer >> count;
      told += "\n  " + comm + ": system call " + number;
      if (number == "1") {
        told += " (write), " + std::to_string(std::stoul(count, nullptr, 16)) +
                " bytes to descriptor " + std::to_string(std::stoul(fd, nullptr, 16));
      }
    }
    std::string drained;
    ::fcntl(unread_, F_SETFL, O_NONBLOCK);
    for (int quiet = 0; quiet < 20;) {
      char piece[4096];
      const ssize_t got = ::read(unread_, piece, sizeof piece);
      if (got > 0) drained.append(piece, static_cast<std::size_t>(got));
      quiet = got > 0 ? 0 : quiet + 1;
      if (got <= 0) ::usleep(50000);
    }
    told += "\nthen drained: " + std::to_string(drained.size()) + " bytes, " +
            std::to_string(Count(drained, "\n")) + " lines, " +
            std::to_string(Count(drained, kFailure)) + " failures";
    const std::size_t dropped = drained.find(" were dropped");
    if (dropped != std::string::npos) {
      const std::size_t from = drained.rfind('\n', dropped) + 1;
      told += "; " + drained.substr(from, drained.find('\n', dropped) - from);
    }
    return told;
  }

  int unread_ = -1;
  int capacity_ = 0;
};

// A client that sends requests and never reads: once the replies it has
// not taken reach the engine's bound, the engine takes no more requests,
// which wait with the client; once it reads, every request is answered.
TEST_F(UnreadOutputRoad, AClientThatSendsAndNeverReadsFillsNoMemoryAndLosesNoRequest) {
  // Far more than the engine holds for a peer (1,024 blocks of 4 kB in
  // replies and requests) and the connection takes, and as many as the
  // client's message ids allow.
  constexpr std::size_t kMostSent = 6000;
  // What taking them all would have cost (some 30 MB) shows.
  constexpr long kMostRepliesMb = 16 * kSlower;
  constexpr std::size_t kBatch = 256;
  // How long the engine may take nothing before the client sees that it
  // has stopped taking.
  constexpr std::uint32_t kStallMs = 1000 * kSlower;
  ASSERT_TRUE(StartEngine(Engine(), "Unread")) << Failure();
  const int pid = client_->EnginePid();
  const long before = MemoryKb(pid, "VmRSS");
  ASSERT_GT(before, 0);
  std::vector<std::uint32_t> ids;
  bool taking = true;
  while (taking && ids.size() < kMostSent) {
    for (std::size_t k = 0; k < kBatch; ++k) {
      auto request = std::make_unique<vantor_client::Request>(kProblemService);
      request->PutUInt16(134);
      std::uint32_t id = 0;
      ASSERT_EQ(client_->Send(std::move(request), &id), 0u);
      ids.push_back(id);
    }
    const Status pushed = client_->Push(kStallMs);
    ASSERT_TRUE(pushed == 0 || pushed == vantor_client::Client::kTimedOut) << pushed;
    taking = pushed == 0;
  }
  const long peak = MemoryKb(pid, "VmHWM");
  RecordProperty("requests_taken", std::to_string(ids.size() - client_->Unwritten()));
  RecordProperty("grown_kb", std::to_string(peak - before));
  EXPECT_FALSE(taking) << "the engine took all " << ids.size() << " requests";
  EXPECT_LT((peak - before) / 1024, kMostRepliesMb)
      << "the engine grew from " << before / 1024 << " MB, taking "
      << ids.size() - client_->Unwritten() << " requests";
  ASSERT_EQ(client_->WaitFor([&] {
    for (std::uint32_t id : ids) {
      if (!client_->Find(id)->complete) return false;
    }
    return true;
  }),
            0u);
  std::size_t ended = 0;
  for (std::uint32_t id : ids) {
    ended += client_->Find(id)->status == engineroad::kRunEnded;
    client_->Forget(id);
  }
  EXPECT_EQ(ended, ids.size());
  const long after = MemoryKb(pid, "VmHWM");
  ASSERT_TRUE(EndEngine()) << Failure();
  EXPECT_LT((after - before) / 1024, kMostRepliesMb);
}

// The sibling peer program (its process number 2, the engine's 1), driven
// through its standard input and output.
class SiblingPeer {
 public:
  ~SiblingPeer() {
    if (to_ >= 0) ::close(to_);
    if (from_ >= 0) ::close(from_);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      // The next sibling of the session takes the same names.
      XosPipeConnection::RemoveKilledPeerSocket(1, 2, session_);
      XosPipeConnection::RemoveKilledPeerSocket(2, 1, session_);
    }
  }

  // `services` lists the service types it offers in its connect ("4,81"),
  // when not empty.
  bool Start(std::uint32_t session, const std::string& services = "") {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return false;
    if (::pipe2(out, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const std::string program = VANTOR_SIBLING_PEER;
    session_ = session;
    const std::string session_text = std::to_string(session);
    char* argv[] = {const_cast<char*>(program.c_str()),
                    const_cast<char*>(session_text.c_str()),
                    const_cast<char*>("2"),
                    const_cast<char*>("1"),
                    services.empty() ? nullptr : const_cast<char*>(services.c_str()),
                    nullptr};
    const int spawned = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    to_ = in[1];
    from_ = out[0];
    if (spawned != 0) pid_ = 0;
    return spawned == 0;
  }

  void Tell(const std::string& line) {
    const std::string text = line + "\n";
    if (::write(to_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return;
  }

  // A line it said within `wait_ms`, each wait also polling `poll`; empty
  // when none came.
  std::string Line(std::uint32_t wait_ms, const std::function<void()>& poll) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while (std::chrono::steady_clock::now() < end) {
      const std::size_t at = said_.find('\n');
      if (at != std::string::npos) {
        std::string line = said_.substr(0, at);
        said_.erase(0, at + 1);
        return line;
      }
      pollfd ready{from_, POLLIN, 0};
      if (::poll(&ready, 1, 20) > 0) {
        char buffer[256];
        const ssize_t got = ::read(from_, buffer, sizeof buffer);
        if (got <= 0) return "";
        said_.append(buffer, static_cast<std::size_t>(got));
      }
      if (poll) poll();
    }
    return "";
  }

 private:
  pid_t pid_ = 0;
  std::uint32_t session_ = 0;
  int to_ = -1;
  int from_ = -1;
  std::string said_;
};

// Starts the sibling and has the client's peer list name it peer 2; true
// once it says it is ready.
bool JoinSibling(vantor_client::Client& client, SiblingPeer& sibling,
                 const std::string& services = "") {
  if (!sibling.Start(client.SessionId(), services)) return false;
  auto list = std::make_unique<DseMessage>(DseMessage::kConnectionType, DseMessage::kPeerList);
  list->message_class = DseMessage::kControlClass;
  list->PutUInt32(1);
  list->PutUInt32(0);
  list->PutUInt16(0);
  list->PutUInt16(2);
  return client.Post(std::move(list)) == 0u &&
         sibling.Line(client.TimeoutMs(), [&] { client.Poll(); }) == "ready";
}

// The milliseconds of an "answered MS" line; -1 for any other line.
long AnsweredWithin(const std::string& line) {
  const std::string answered = "answered ";
  return line.rfind(answered, 0) == 0 ? std::stol(line.substr(answered.size())) : -1;
}

// The client reads nothing until the engine stops reading it: its replies
// wait in the engine. A second peer, added by the client's peer list, is
// served meanwhile, its request and its command 2 alike, and the engine
// ends by that command. (Before, every answer to anyone waited 100 ms on
// the client that took nothing: the peer waited for many seconds.)
TEST_F(UnreadOutputRoad, AClientThatReadsNothingKeepsNoOtherPeerWaiting) {
  // What the engine may sleep while it serves the peer: the peer's own
  // turn to send, milliseconds, however busy the machine; the client's
  // backed-up answers alone used to hold the peer for 7 seconds and more,
  // asleep in 100 ms pauses.
  constexpr long kMostSleptMs = 1000;
  constexpr std::uint32_t kStallMs = 1000 * kSlower;
  ASSERT_TRUE(StartEngine(Engine(), "Peers")) << Failure();
  SiblingPeer sibling;
  ASSERT_TRUE(JoinSibling(*client_, sibling));

  // Requests until the engine takes no more: its answers to the client
  // fill the connection and its bound.
  std::size_t sent = 0;
  for (Status pushed = 0; pushed == 0 && sent < 6000;) {
    for (int k = 0; k < 256; ++k, ++sent) {
      auto request = std::make_unique<vantor_client::Request>(kProblemService);
      request->PutUInt16(134);
      std::uint32_t id = 0;
      ASSERT_EQ(client_->Send(std::move(request), &id), 0u);
    }
    pushed = client_->Push(kStallMs);
    ASSERT_TRUE(pushed == 0 || pushed == vantor_client::Client::kTimedOut) << pushed;
  }
  ASSERT_GT(client_->Unwritten(), 0u) << "the engine took all " << sent << " requests";

  const engineroad::SleepClock request_clock(client_->EnginePid());
  sibling.Tell("request");
  EXPECT_GE(AnsweredWithin(sibling.Line(120000, nullptr)), 0);
  const long request_slept = request_clock.SleptMs();
  EXPECT_GE(request_slept, 0);
  EXPECT_LT(request_slept, kMostSleptMs);
  std::printf("the engine slept %ld ms serving the peer's request\n", request_slept);
  // Its command 2 is answered (the engine then ends, asleep in its drain).
  sibling.Tell("stop");
  EXPECT_GE(AnsweredWithin(sibling.Line(120000, nullptr)), 0);
  client_->WaitFor([&] { return client_->PeerLost(); });
  int exit_code = -1;
  EXPECT_EQ(client_->Close(&exit_code), 0u);
  client_.reset();
  EXPECT_EQ(exit_code, 0);
}

// Standard output and error that nobody drains: the failed steady states
// go on once they are full, and command 2 ends the engine with 0.
TEST_F(UnreadOutputRoad, StreamsNobodyReadsHoldNoRunAndCommandTwoEndsTheEngine) {
  ASSERT_TRUE(StartWithUnreadStreams("Streams")) << Failure();
  const int pid = client_->EnginePid();
  const long before = MemoryKb(pid, "VmRSS");
  ASSERT_TRUE(Load(NoSteadyState) && BeginRun()) << Failure() << Events();
  ASSERT_TRUE(FailMoreThanTheStreamsTake()) << Failure();
  EXPECT_LT((MemoryKb(pid, "VmHWM") - before) / 1024, kMostGrowthMb);
  ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 2), "command 2", engineroad::kEnding))
      << Failure();
  const auto told = std::chrono::steady_clock::now();
  client_->WaitFor([&] { return client_->PeerLost(); });
  int exit_code = -1;
  // Not killed: the engine ended by itself.
  EXPECT_EQ(client_->Close(&exit_code), 0u);
  EXPECT_LE(std::chrono::steady_clock::now() - told, EndBound());
  client_.reset();
  EXPECT_EQ(exit_code, 0);
}

// The same, ended by a client that closes.
TEST_F(UnreadOutputRoad, StreamsNobodyReadsDoNotKeepAClosedClientsEngineAlive) {
  ASSERT_TRUE(StartWithUnreadStreams("Closed")) << Failure();
  ASSERT_TRUE(Load(NoSteadyState) && BeginRun()) << Failure() << Events();
  ASSERT_TRUE(FailMoreThanTheStreamsTake()) << Failure();
  int exit_code = -1;
  const auto closed = std::chrono::steady_clock::now();
  EXPECT_EQ(client_->Close(&exit_code), 0u);
  EXPECT_LE(std::chrono::steady_clock::now() - closed, EndBound());
  client_.reset();
  EXPECT_EQ(exit_code, kPeerGoneExit);
}

// A peer that sent requests and then stopped reading costs a run of many
// short steps nothing: the engine sleeps about as long in them beside it as
// alone (waiting for the client's next command). (Before, every pass of the
// control loop paused 100 ms on its untaken replies, some ten times a
// step.) The engine's sleep, not wall time: a busy machine stretches the
// time it runs and waits to run, not the time it chooses to sleep.
TEST_F(UnreadOutputRoad, APeerThatStoppedReadingSlowsNoRunOfAnother) {
  // Each half; the pauses cost a second or more a step, against
  // milliseconds alone.
  constexpr int kSteps = 30;
  constexpr double kInterval = 0.1;
  vantor_client::EngineOptions engine = Engine();
  engine.timeout_ms = testsupport::HangBoundMs(120000);
  ASSERT_TRUE(StartEngine(engine, "Beside") &&
              road_->Expect(MakeCommand(engineroad::kResultsService, 32, {}, {kInterval}),
                            "command 32", 0) &&
              IntOption(29, 4) && Load([](Writer& w) { engineroad::DecayModel(w, ".k", 0.5); }) &&
              BeginRun())
      << Failure() << Events();
  // The first one initialises, at 0. The engine's sleep in them, in ms,
  // or -1.
  int step = 0;
  const auto steps = [&] {
    const engineroad::SleepClock clock(client_->EnginePid());
    for (int k = 0; k < kSteps; ++k, ++step) {
      if (!Step(kInterval * step)) return -1L;
    }
    return clock.SleptMs();
  };
  const long alone = steps();
  ASSERT_GE(alone, 0) << Failure();

  SiblingPeer sibling;
  ASSERT_TRUE(JoinSibling(*client_, sibling));
  const auto poll = [&] { client_->Poll(); };
  sibling.Tell("flood");
  const std::string flooded = sibling.Line(120000, poll);
  ASSERT_EQ(flooded.rfind("flooded ", 0), 0u) << flooded;

  const long beside = steps();
  ASSERT_GE(beside, 0) << Failure();
  RecordProperty("alone_slept_ms", std::to_string(alone));
  RecordProperty("beside_slept_ms", std::to_string(beside));
  std::printf("%d steps: the engine slept %ld ms alone, %ld ms beside a peer that %s requests\n",
              kSteps, alone, beside, flooded.c_str());
  // Five times its sleep alone, and 50 ms a step on top for the client's
  // own turns, against the pauses' 100 ms and more a step.
  EXPECT_LT(beside, 5 * alone + 50 * kSteps);
  ASSERT_TRUE(FinishRun()) << Failure();
}

// A second peer that takes what the engine sends it late, slowly or never:
// what it offers in its connect, what it is told once it has joined, and
// whether it reads at last (and must then have every reply).
struct PeerPace {
  const char* name;
  const char* services;
  const char* told;
  bool reads_at_last;
};

void PrintTo(const PeerPace& pace, std::ostream* out) { *out << pace.name; }

class SlowPeerRoad : public EngineRoad, public ::testing::WithParamInterface<PeerPace> {
 protected:
  // Joins the peer of the parameter to the running engine and tells it its
  // part: the requests it sent (0 for none).
  bool JoinTheSlowPeer(SiblingPeer& peer, std::size_t* sent) {
    const PeerPace& pace = GetParam();
    *sent = 0;
    if (!JoinSibling(*client_, peer, pace.services)) return Fail("the peer did not join");
    if (*pace.told == '\0') return true;
    peer.Tell(pace.told);
    const std::string said = peer.Line(120000, [&] { client_->Poll(); });
    if (said.rfind("sent ", 0) == 0) *sent = std::stoul(said.substr(5));
    return !said.empty() || Fail(std::string("the peer did not answer ") + pace.told);
  }

  // What the peer's connection holds unread; -1 when it does not say.
  long Held(SiblingPeer& peer) {
    peer.Tell("held");
    const std::string said = peer.Line(120000, [&] { client_->Poll(); });
    return said.rfind("held ", 0) == 0 ? std::stol(said.substr(5)) : -1;
  }

  // Steps of the run until the peer's connection holds all it takes (what
  // it holds has not grown for ten steps), or its reader takes as it goes:
  // the peer is behind from now on.
  bool FillThePeer(SiblingPeer& peer, const std::function<bool()>& step, int* steps) {
    constexpr int kMostSteps = 5000;
    long most = -1;
    *steps = 0;
    for (int still = 0; *steps < kMostSteps && still < 10; ++*steps) {
      if (!step()) return false;
      const long held = Held(peer);
      if (held < 0) return Fail("the peer did not say what it holds");
      still = held > most ? 0 : still + 1;
      most = std::max(most, held);
    }
    std::printf("%s: the peer holds %ld bytes unread\n", GetParam().name, most);
    return true;
  }

  // Once the peer reads at last: every reply to what it asked came.
  void ExpectEveryReply(SiblingPeer& peer, std::size_t sent) {
    if (!GetParam().reads_at_last) return;
    peer.Tell("drain");
    const std::string said = peer.Line(120000, [&] { client_->Poll(); });
    EXPECT_EQ(said.rfind("replies " + std::to_string(sent) + " ", 0), 0u)
        << said << ", of " << sent << " requests";
  }

  // Starts an engine with the communication interval given; the slow peer
  // joins it when given.
  bool StartBeside(const std::string& name, double interval, SiblingPeer* peer, std::size_t* sent) {
    vantor_client::EngineOptions engine = Engine();
    engine.timeout_ms = testsupport::HangBoundMs(120000);
    return StartEngine(engine, name) &&
           road_->Expect(MakeCommand(engineroad::kResultsService, 32, {}, {interval}), "command 32",
                         0) &&
           (peer == nullptr || JoinTheSlowPeer(*peer, sent));
  }

  // Robertson's kinetics loaded, prepared and initialised, its largest step
  // a tenth of `end`.
  bool ReadyRobertson(double end) {
    using namespace vantor_scenario;
    return SetRealOption(*road_, 141, end / 10, "Integration.MaxStepSize") &&
           SetOption(*road_, 30, 4, "Integrator Gear12") && IntOption(29, 4) &&
           LoadNode(*road_, modelwriter::RobertsonNode(),
                    [](Writer& w) { modelwriter::Robertson(w); }) &&
           Prepare(*road_, "command 6") && BeginRun() && Step(0.0);
  }

  // 30 one-step commands of Robertson's kinetics after `*fill` steps (with
  // the peer beside them: as many as it takes until its connection holds
  // all it takes, counted into *fill): the ms the engine slept in them, or
  // -1.
  long StepsSleptMs(bool beside, int* fill) {
    constexpr double kInterval = 0.125;  // exact as the wire's float
    SiblingPeer peer;
    std::size_t sent = 0;
    if (!StartBeside(beside ? "StepsBeside" : "Steps", kInterval, beside ? &peer : nullptr,
                     &sent) ||
        !ReadyRobertson(1.0))
      return -1;
    int step = 1;
    const auto next = [&] { return Step(kInterval * step++); };
    if (beside && !FillThePeer(peer, next, fill)) return -1;
    for (int k = beside ? *fill : 0; k < *fill; ++k) {
      if (!next()) return -1;
    }
    const engineroad::SleepClock clock(client_->EnginePid());
    for (int k = 0; k < 30; ++k) {
      if (!next()) return -1;
    }
    const long took = clock.SleptMs();
    if (beside) ExpectEveryReply(peer, sent);
    if (!FinishRun()) return -1;
    CloseEngine();
    return took;
  }

  // Robertson's kinetics from its start to 1e11 in one interval, as a
  // client runs it from the model on: the ms the engine slept in it, or -1.
  long RunSleptMs(bool beside) {
    constexpr double kEnd = 1e11;
    SiblingPeer peer;
    std::size_t sent = 0;
    if (!StartBeside(beside ? "RunBeside" : "Run", kEnd, beside ? &peer : nullptr, &sent))
      return -1;
    const engineroad::SleepClock clock(client_->EnginePid());
    if (!ReadyRobertson(kEnd) || !Step(static_cast<float>(kEnd))) return -1;
    const long took = clock.SleptMs();
    if (beside) ExpectEveryReply(peer, sent);
    if (!FinishRun()) return -1;
    CloseEngine();
    return took;
  }
};

// A peer that falls behind, however it does, holds no run of the engine's
// own client back: in 30 one-step commands and in a run of a stiff model
// in one interval the engine sleeps about as long beside it as alone.
// (Before, every pass of the control loop paused 100 ms on what the peer
// had not taken, once its connection was full: a second a step.)
TEST_P(SlowPeerRoad, SlowsNoRunOfAnother) {
  int fill = 0;
  const long steps_beside = StepsSleptMs(true, &fill);
  ASSERT_GE(steps_beside, 0) << Failure() << Events();
  const long steps_alone = StepsSleptMs(false, &fill);
  ASSERT_GE(steps_alone, 0) << Failure() << Events();
  const long run_beside = RunSleptMs(true);
  ASSERT_GE(run_beside, 0) << Failure() << Events();
  const long run_alone = RunSleptMs(false);
  ASSERT_GE(run_alone, 0) << Failure() << Events();
  std::printf(
      "%s: the engine slept in 30 steps %ld ms alone, %ld ms beside; in the run %ld ms "
      "alone, %ld ms beside\n",
      GetParam().name, steps_alone, steps_beside, run_alone, run_beside);
  // Three times alone, and 50 ms a command on top for the client's own
  // turns (the run's road has some ten), against the pauses' second a
  // command.
  EXPECT_LT(steps_beside, 3 * steps_alone + 50 * 30);
  EXPECT_LT(run_beside, 3 * run_alone + 50 * 10);
}

INSTANTIATE_TEST_SUITE_P(
    Paces, SlowPeerRoad,
    ::testing::Values(PeerPace{"SilentMonitor", "4,81", "", false},
                      PeerPace{"StoppedAfterOneRequest", "4,81", "send 1", true},
                      PeerPace{"StoppedAt300Requests", "4", "send 300", true},
                      PeerPace{"StoppedAt800Requests", "", "send 800", true},
                      PeerPace{"AByteASecond", "4,81", "trickle", false}),
    [](const ::testing::TestParamInfo<PeerPace>& info) { return std::string(info.param.name); });

}  // namespace unreadoutput
