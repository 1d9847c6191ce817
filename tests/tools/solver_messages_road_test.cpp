// What the group solvers and the option table tell a client, through the
// real engine: a singular nonlinear group named as a singular linear one
// is, in a steady state and when a dynamic step fails on it; a far root
// solved at the reset options; options out of their bounds told once with
// what the solver uses; a logical written to a flag option refused and the
// flag kept; the group list of a group without a block refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/hang_bound.h"
#include "tests/tools/engine_road_fixture.h"
#include "tools/client.h"
#include "tools/model_writer/model_writer.h"
#include "tools/result_replies.h"
#include "tools/road.h"

namespace solvermessages {

using engineroad::CountStarting;
using engineroad::EngineRoad;
using engineroad::Joined;
using engineroad::kProblemService;
using engineroad::kResultsService;
using engineroad::ModelEquation;
using engineroad::ModelVariable;
using modelwriter::Add;
using modelwriter::Mul;
using modelwriter::Real;
using modelwriter::Sub;
using modelwriter::Var;
using modelwriter::Writer;
using vantor_client::MakeCommand;

constexpr std::uint16_t kFixed = 4;
constexpr std::uint16_t kFree = 1;
constexpr Status kGeneralFailure = 0xA000FFFFu;

modelwriter::Expr Exp(modelwriter::Expr a) { return modelwriter::Unary(32, std::move(a)); }

// exp(x1 + x2) = e^2 and 2 x1 + 2 x2 = 4: one equation too few, yet
// consistent; every root has x1 + x2 = 2. Its items, for a larger model.
void SingularPairItems(Writer& w) {
  ModelVariable(w, modelwriter::kRealVariable, 1, ".x1", 0.0, kFree);
  ModelVariable(w, modelwriter::kRealVariable, 2, ".x2", 0.0, kFree);
  ModelEquation(w, 10, ".e1", Sub(Exp(Add(Var(0), Var(1))), Real(std::exp(2.0))), {{2, 1}, {2, 2}});
  ModelEquation(w, 11, ".e2", Sub(Add(Mul(Real(2.0), Var(0)), Mul(Real(2.0), Var(1))), Real(4.0)),
                {{2, 1}, {2, 2}});
}

void SingularPair(Writer& w) {
  w.List(4);
  SingularPairItems(w);
}

// y = 2 u, u fixed at 3: one explicit group.
void Doubling(Writer& w) {
  w.List(3);
  ModelVariable(w, modelwriter::kRealVariable, 1, ".u", 3.0, kFixed);
  ModelVariable(w, modelwriter::kRealVariable, 2, ".y", 0.0, kFree);
  ModelEquation(w, 10, ".e", Sub(Var(0), Mul(Real(2.0), Var(1))), {{2, 2}, {2, 1}});
}

class SolverMessagesRoad : public EngineRoad {
 protected:
  // The engine on `name` in run mode `mode`, the model loaded and prepared,
  // the run begun.
  bool Begin(const std::string& name, std::uint32_t mode,
             const std::function<void(Writer&)>& model) {
    return StartEngine(Engine(), name) &&
           road_->Expect(MakeCommand(kResultsService, 32, {}, {1.0}), "command 32", 0) &&
           IntOption(29, mode) && (mode != 4 || IntOption(30, 4)) && Load(model) && BeginRun();
  }
  // One command 10; *failed when the run-failed bit came.
  bool Step(bool* failed) {
    if (!road_->Expect(MakeCommand(kProblemService, 10), "command 10", 0)) return false;
    bool running = false;
    *failed = false;
    return road_->WaitNotice(
        [&](const vantor_scenario::Notification& n) {
          *failed = *failed || (n.bits & vantor_scenario::kRunFailedBit) != 0;
          running = running || (n.bits & vantor_scenario::kRunningBit) != 0;
          return *failed || ((n.bits & vantor_scenario::kRunningBit) == 0 && running);
        },
        "the step");
  }
  // Request 35 with the index list; its status.
  Status GroupList(const std::vector<std::uint32_t>& indices) {
    auto request = std::make_unique<vantor_client::Request>(kProblemService);
    request->PutUInt16(35);
    request->PutUInt16(static_cast<std::uint16_t>(indices.size()));
    for (std::uint32_t i : indices) request->PutUInt32(i);
    Status result = 1;
    road_->Exchange(std::move(request), "request 35", &result);
    return result;
  }
};

// The steady state ends at a root, and says which variable its equations
// leave undetermined, once: in the group's lines and in the report after
// the solve. A second steady state after an edit tells it again, once, and
// so does a third with nothing edited, which starts at the root.
TEST_F(SolverMessagesRoad, ASingularNonlinearGroupNamesItsIndeterminateVariable) {
  ASSERT_TRUE(Begin("Singular", 1, SingularPair)) << Failure();
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    const std::size_t from = run_.events.size();
    ASSERT_TRUE(SteadyState()) << Failure() << Events();
    EXPECT_NEAR(Value(1) + Value(2), 2.0, 1e-6);
    const std::vector<std::string> lines = LinesSince(from);
    const std::string all = Joined(lines);
    EXPECT_EQ(CountStarting(lines, "Indeterminate variable Model.x"), 1u) << all;
    EXPECT_EQ(CountStarting(lines, "Warning: nonlinear group 1 is indeterminate"), 1u) << all;
    EXPECT_EQ(CountStarting(lines, "Warning: the following variables are indeterminate:"), 1u)
        << all;
    EXPECT_EQ(CountStarting(lines, "  Group 1: Model.x"), 1u) << all;
    EXPECT_EQ(CountStarting(lines, "Steady state solution complete"), 1u) << all;
    // The edit: a value set between the first two solves moves the start only.
    if (round == 0) {
      ASSERT_TRUE(Set("x1", 5.0)) << Failure();
    }
  }
  EXPECT_TRUE(FinishRun()) << Failure();
}

// The same pair behind 10,100 explicit groups, each of which a steady state
// (or the initialisation of a dynamic run) at print level 4 announces: past
// the 10,000 different reports a command keeps, the rest are held back and
// counted (the last ten told after the count), but the lines that say how
// the solve ended are told as they come: its outcome and its indeterminate
// variables.
class ManyGroupsRoad : public SolverMessagesRoad,
                       public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(ManyGroupsRoad, PastTheReportsItKeepsARunSaysHowItsSolveEnded) {
  const std::uint32_t mode = GetParam();
  constexpr std::uint32_t kGroups = 10100;
  const auto model = [](Writer& w) {
    w.List(4 + 2 * kGroups);
    SingularPairItems(w);
    for (std::uint32_t k = 0; k < kGroups; ++k) {
      const std::string name = std::to_string(k);
      ModelVariable(w, modelwriter::kRealVariable, 100 + k, ".c" + name, 0.0, kFree);
      ModelEquation(w, 20000 + k, ".e" + name, Sub(Var(0), Real(k)), {{2, 100 + k}});
    }
  };
  ASSERT_TRUE(Begin("Reports", mode, model) && IntOption(31, 4)) << Failure();
  const std::size_t from = run_.events.size();
  bool failed = true;
  ASSERT_TRUE(mode == 1 ? SteadyState() : Step(&failed) && !failed) << Failure();
  EXPECT_NEAR(Value(1) + Value(2), 2.0, 1e-6);
  // The count of the reports held back ends the step's lines; it may come
  // after the step's notice.
  const auto counted = [](const std::string& l) {
    return l.find(" further reports were not told: beyond 10000 different ") != std::string::npos;
  };
  ASSERT_TRUE(LinesCame(
      from,
      [&](const std::vector<std::string>& came) {
        return std::any_of(came.begin(), came.end(), counted);
      },
      "the count of the reports held back"))
      << Failure() << "\nthe solve stayed within the keys";
  const std::vector<std::string> lines = CameSince(from);
  const auto held = std::find_if(lines.begin(), lines.end(), counted);
  ASSERT_NE(held, lines.end());
  // Told where they came, once, not among the last reports held back.
  std::vector<const char*> ended = {"Warning: the following variables are indeterminate:",
                                    "  Group 1: Model.x"};
  if (mode == 1) ended.push_back("Steady state solution complete");
  for (const char* told : ended) {
    EXPECT_EQ(CountStarting(lines, told), 1u) << told;
    EXPECT_EQ(CountStarting({lines.begin(), held}, told), 1u) << told;
  }
  EXPECT_TRUE(FinishRun()) << Failure();
}

INSTANTIATE_TEST_SUITE_P(SteadyAndInitial, ManyGroupsRoad, ::testing::Values(1u, 4u),
                         [](const auto& info) {
                           return std::string(info.param == 1 ? "SteadyState" : "Initialisation");
                         });

// One steady state of 20,000 groups that are singular, read every 200 ms:
// the list of their indeterminate variables is longer than the lines held
// for a client that falls behind, and older lines give way, yet how the
// steady state ended arrives whole: the line that it is complete, the
// list's header and every one of its lines.
TEST_F(SolverMessagesRoad, ASlowReaderGetsTheWholeOutcomeOfALongSteadyState) {
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << engineroad::kNumbersNotThreads;
  constexpr std::uint32_t kPairs = 20000;
  ASSERT_TRUE(Begin("Slow", 1, [](Writer& w) {
    w.List(4 * kPairs);
    engineroad::SingularPairs(w, 100, kPairs);
  })) << Failure();
  std::uint32_t id = 0;
  ASSERT_FALSE(status::IsFailure(client_->Send(MakeCommand(kProblemService, 9), &id)));
  const auto arrived = [&] {
    return CountStarting(run_.events, "  Group ") >= kPairs &&
           CountStarting(run_.events, "Steady state solution complete") > 0;
  };
  const auto until =
      std::chrono::steady_clock::now() + testsupport::HangBound(std::chrono::seconds(120));
  while (!arrived() && !client_->PeerLost() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    client_->Poll();
    road_->Collect();
  }
  const std::vector<std::string>& lines = run_.events;
  EXPECT_EQ(CountStarting(lines, "Steady state solution complete"), 1u);
  EXPECT_EQ(CountStarting(lines, "Warning: the following variables are indeterminate:"), 1u);
  EXPECT_EQ(CountStarting(lines, "  Group "), kPairs);
  EXPECT_TRUE(client_->Find(id)->complete && client_->Find(id)->status == 0u);
  client_->Forget(id);
  EXPECT_TRUE(FinishRun()) << Failure();
}

// Whether a thread of the process is running or waits for a processor.
bool AnyThreadRunnable(int pid) {
  std::error_code error;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
    std::ifstream stat(task.path() / "stat");
    const std::string text{std::istreambuf_iterator<char>(stat), {}};
    const std::size_t name_end = text.rfind(')');
    if (name_end != std::string::npos && name_end + 2 < text.size() && text[name_end + 2] == 'R')
      return true;
  }
  return false;
}

// Waits until the process has worked and then, for a third of a second,
// used no processor time with no thread waiting for one: an engine that
// did a command and waits for its client. A busy machine may give an
// engine still at work no processor for that long: taken for settled, it
// had later commands join its run (4 steady states of 20) and its memory
// peak read before it came. False when that did not come within a bound
// that only catches a hang.
bool WorkedAndSettled(int pid, std::chrono::seconds base) {
  const auto until = std::chrono::steady_clock::now() + testsupport::HangBound(base);
  const long before = engineroad::CpuMs(pid);
  long last = before;
  for (int quiet = 0; std::chrono::steady_clock::now() < until;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const long now = engineroad::CpuMs(pid);
    if (now < 0) return false;
    quiet = now == last && !AnyThreadRunnable(pid) ? quiet + 1 : 0;
    last = now;
    if (now > before && quiet >= 7) return true;
  }
  return false;
}

// How many of `lines` say that outcome lines were replaced; the sum of the
// numbers they give into *replaced.
std::size_t ReplacedLines(const std::vector<std::string>& lines, std::uint64_t* replaced) {
  static const std::string kSaid = " outcome lines were replaced by those of a later command";
  std::size_t told = 0;
  *replaced = 0;
  for (const std::string& line : lines) {
    const std::size_t at = line.find(kSaid);
    if (at == std::string::npos || at == 0) continue;
    ++told;
    *replaced += std::stoull(line.substr(0, at));
  }
  return told;
}

// 20,000 groups that are singular: each steady state ends with the list of
// their indeterminate variables, some 0.75 MB of lines.
constexpr std::uint32_t kListPairs = 20000;
constexpr const char* kListHeader = "Warning: the following variables are indeterminate:";

// Where each list's header, each count of lines that went and each
// steady state's end came among `lines`, with the runs of group lines and
// of other lines between them counted: what a failure shows.
std::string Outline(const std::vector<std::string>& lines) {
  std::string out;
  std::size_t groups = 0;
  std::size_t others = 0;
  const auto close_runs = [&] {
    if (groups > 0) out += "  [" + std::to_string(groups) + " group lines]\n";
    if (others > 0) out += "  [" + std::to_string(others) + " other lines]\n";
    groups = others = 0;
  };
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.rfind("  Group ", 0) == 0) {
      if (others > 0) close_runs();
      ++groups;
      continue;
    }
    const bool told = line.rfind(kListHeader, 0) == 0 || line.rfind("Steady state", 0) == 0 ||
                      line.find(" lines were ") != std::string::npos ||
                      line.find(" was repeated ") != std::string::npos;
    if (!told) {
      if (groups > 0) close_runs();
      ++others;
      continue;
    }
    close_runs();
    out += std::to_string(i) + ": " + line.substr(0, 160) + "\n";
  }
  close_runs();
  return out;
}

void ManySingularPairs(Writer& w) {
  w.List(4 * kListPairs);
  engineroad::SingularPairs(w, 100, kListPairs);
}

// The steady states that came to rest, each with its list, among the
// run-state notices from the `from`-th: the running bit cleared with the
// problem still ready. A command answered 0 is no such count: one that
// came while the run it asked for had not begun joins it, and one the
// end of the run stops before it began tells nothing. Their bits (and the
// stops count) go into *seen.
std::size_t CameToRest(const std::vector<vantor_scenario::Notification>& notices, std::size_t from,
                       std::string* seen) {
  constexpr std::uint32_t kReady = 0x20;
  std::size_t rested = 0;
  bool running = false;
  for (std::size_t i = from; i < notices.size(); ++i) {
    const vantor_scenario::Notification& n = notices[i];
    const bool now = (n.bits & vantor_scenario::kRunningBit) != 0;
    if (running && !now && (n.bits & kReady) != 0 &&
        (n.bits & vantor_scenario::kRunFailedBit) == 0) {
      ++rested;
    }
    running = now;
    char text[32];
    std::snprintf(text, sizeof text, " %x/%u", n.bits, n.stops);
    *seen += text;
  }
  return rested;
}

// A client that sends steady states one after the other and reads nothing
// until the last has been sent: each command's list would wait for it in
// the engine, one more with every command. The next command's list
// replaces one the client has not taken, so once it reads it gets every
// reply, the first list whole (the engine had begun to send it), one line
// counting the outcome lines of the lists replaced and the last list whole
// (and the one before, when the last came after the client began to
// read). Two commands replace nothing; over twenty the engine's memory
// stays flat. The lists due are those of the steady states that came to
// rest, not the commands answered 0: a command that comes before the run
// the one before it asked for has begun joins that run (on a loaded
// machine, or with `pairs`, where every other command comes at once
// after the one before).
struct Unread {
  int commands;
  bool pairs;
};

void PrintTo(const Unread& unread, std::ostream* out) {
  *out << unread.commands << (unread.pairs ? " commands in pairs" : " commands");
}

class UnreadListsRoad : public SolverMessagesRoad, public ::testing::WithParamInterface<Unread> {};

TEST_P(UnreadListsRoad, ALaterCommandsListReplacesOneTheClientHasNotTaken) {
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << engineroad::kNumbersNotThreads;
  constexpr Status kBusy = 0x0032000Au;
  const int commands = GetParam().commands;
  const bool pairs = GetParam().pairs;
  ASSERT_TRUE(Begin("Unread", 1, ManySingularPairs)) << Failure();
  const std::size_t from = run_.events.size();
  const std::size_t notices_from = road_->Pending().size();
  const int pid = client_->EnginePid();
  std::vector<std::uint32_t> ids;
  std::vector<long> peaks;
  for (int command = 0; command < commands; ++command) {
    std::uint32_t id = 0;
    ASSERT_EQ(client_->Send(MakeCommand(kProblemService, 9), &id), 0u);
    ids.push_back(id);
    if (pairs && command % 2 == 0) continue;
    // Done before the next, which a steady state still computing refuses.
    ASSERT_TRUE(WorkedAndSettled(pid, std::chrono::seconds(60))) << "command " << command;
    peaks.push_back(engineroad::MemoryKb(pid, "VmHWM"));
  }
  // Each list the engine held on to would add 0.75 MB: over the last half
  // of the commands, less than four lists' growth. The address
  // sanitizer's quarantine keeps what every command frees.
  const long grown_kb = peaks.back() - peaks[peaks.size() / 2];
  RecordProperty("grown_kb", std::to_string(grown_kb));
  if (commands >= 10 && !testsupport::kUnderAddressSanitizer) {
    EXPECT_LT(grown_kb, 3 * 1024);
  }
  ASSERT_EQ(client_->WaitFor([&] {
    return std::all_of(ids.begin(), ids.end(),
                       [&](std::uint32_t id) { return client_->Find(id)->complete; });
  }),
            0u);
  // A machine so loaded that a command came before the last had ended
  // has it refused as busy: it tells no list.
  std::uint64_t accepted = 0;
  std::string statuses;
  for (std::uint32_t id : ids) {
    const Status status = client_->Find(id)->status;
    EXPECT_TRUE(status == 0u || status == kBusy) << status;
    accepted += status == 0u ? 1 : 0;
    statuses += " " + vantor_scenario::Hex(status);
    client_->Forget(id);
  }
  // A command that comes at once after another may find its steady state
  // computing.
  EXPECT_GE(accepted, static_cast<std::uint64_t>(commands) * (pairs ? 2 : 3) / 4);
  // Once it reads: the first list and the last whole, and the count of
  // those replaced between them. Their lines go on coming after the last
  // reply; what came is counted once the engine's end has closed them.
  std::uint64_t replaced = 0;
  std::string seen;
  EXPECT_TRUE(LinesCame(
      from,
      [&](const std::vector<std::string>& came) {
        const std::size_t solved = CameToRest(road_->Pending(), notices_from, &seen);
        const std::size_t lists = CountStarting(came, kListHeader);
        return lists >= std::min<std::size_t>(solved, 2) &&
               CountStarting(came, "  Group ") >= lists * kListPairs &&
               (solved <= 2 || ReplacedLines(came, &replaced) > 0);
      },
      "the lists once the client reads"))
      << Failure();
  EXPECT_TRUE(FinishRun()) << Failure();
  const std::vector<std::string> lines = CameSince(from);
  road_->Collect();
  seen.clear();
  const std::uint64_t solved = CameToRest(road_->Pending(), notices_from, &seen);
  // What came, so that a failure explains itself.
  SCOPED_TRACE("replies:" + statuses + "\nsteady states at rest: " + std::to_string(solved) +
               "; notices (bits/stops):" + seen + "\n" + Outline(lines));
  RecordProperty("accepted", std::to_string(accepted));
  RecordProperty("steady_states", std::to_string(solved));
  EXPECT_LE(solved, accepted);
  EXPECT_GE(solved, std::max<std::uint64_t>(commands / 4, 1));
  const std::size_t told = CountStarting(lines, kListHeader);
  EXPECT_GE(told, std::min<std::size_t>(solved, 2));
  EXPECT_LE(told, std::min<std::size_t>(solved, 3));
  EXPECT_EQ(CountStarting(lines, "  Group "), told * kListPairs);
  EXPECT_EQ(ReplacedLines(lines, &replaced), solved > told ? 1u : 0u);
  if (solved > told) {
    // Whole lists, each of a header and a line for every group at least.
    const std::uint64_t lists = solved - told;
    EXPECT_EQ(replaced % lists, 0u) << replaced;
    EXPECT_GT(replaced / lists, kListPairs) << replaced;
  }
}

INSTANTIATE_TEST_SUITE_P(Commands, UnreadListsRoad,
                         ::testing::Values(Unread{2, false}, Unread{20, false}, Unread{20, true}));

// A client that reads between the commands gets every command's list
// whole, and no line of lists replaced.
TEST_F(SolverMessagesRoad, AClientThatReadsGetsTheWholeListOfEveryCommand) {
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << engineroad::kNumbersNotThreads;
  ASSERT_TRUE(Begin("Read", 1, ManySingularPairs)) << Failure();
  const std::size_t first = run_.events.size();
  constexpr int kCommands = 3;
  for (int command = 0; command < kCommands; ++command) {
    SCOPED_TRACE(command);
    const std::size_t from = run_.events.size();
    ASSERT_TRUE(SteadyState()) << Failure();
    // The list may come after the notice that the steady state ended.
    ASSERT_TRUE(LinesCame(
        from,
        [](const std::vector<std::string>& came) {
          return CountStarting(came, "  Group ") >= kListPairs;
        },
        "the list"))
        << Failure();
    const std::vector<std::string> lines = CameSince(from);
    EXPECT_EQ(CountStarting(lines, kListHeader), 1u);
    EXPECT_EQ(CountStarting(lines, "  Group "), kListPairs);
    std::uint64_t replaced = 0;
    EXPECT_EQ(ReplacedLines(lines, &replaced), 0u);
  }
  // Nothing more after the engine's end: each list once, none replaced.
  EXPECT_TRUE(FinishRun()) << Failure();
  const std::vector<std::string> lines = CameSince(first);
  EXPECT_EQ(CountStarting(lines, kListHeader), static_cast<std::size_t>(kCommands));
  EXPECT_EQ(CountStarting(lines, "  Group "), kCommands * kListPairs);
  std::uint64_t replaced = 0;
  EXPECT_EQ(ReplacedLines(lines, &replaced), 0u);
}

// A dynamic run on the same group: the initialisation names it as the
// steady state does; a step the corrector cannot take says the group is
// singular and what it leaves undetermined.
TEST_F(SolverMessagesRoad, ADynamicStepFailingOnASingularGroupSaysSo) {
  ASSERT_TRUE(Begin("SingularRun", 4, SingularPair)) << Failure();
  bool failed = true;
  ASSERT_TRUE(Step(&failed)) << Failure() << Events();
  ASSERT_FALSE(failed) << Events();
  EXPECT_EQ(CountStarting(LinesSince(0), "Warning: nonlinear group 1 is indeterminate"), 1u)
      << Events();
  EXPECT_NEAR(Value(1) + Value(2), 2.0, 1e-6);
  const std::size_t from = run_.events.size();
  ASSERT_TRUE(Step(&failed)) << Failure() << Events();
  ASSERT_TRUE(failed) << Events();
  const std::vector<std::string> lines = LinesSince(from);
  const std::string all = Joined(lines);
  // Told once although the step was cut again and again.
  EXPECT_EQ(CountStarting(lines, "Warning: nonlinear group 1 is indeterminate"), 1u) << all;
  EXPECT_EQ(CountStarting(lines, "Indeterminate variable Model.x"), 1u) << all;
  const auto failure = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
    return l.rfind("The corrector did not converge", 0) == 0;
  });
  ASSERT_NE(failure, lines.end()) << all;
  EXPECT_EQ(CountStarting({failure, lines.end()},
                          "Group 1 is singular: its equations do not determine "
                          "Model.x"),
            1u)
      << all;
  EXPECT_TRUE(FinishRun()) << Failure();
}

// x^3 = 1e9 from 0.5 at the reset options: the first steps are cut to the
// largest variable step, and the solve goes on to the root 1000.
TEST_F(SolverMessagesRoad, AFarRootIsReachedAtTheResetOptions) {
  ASSERT_TRUE(Begin("Far", 1, [](Writer& w) {
    w.List(2);
    ModelVariable(w, modelwriter::kRealVariable, 1, ".x", 0.5, kFree);
    ModelEquation(w, 10, ".cube", Sub(Mul(Mul(Var(0), Var(0)), Var(0)), Real(1e9)), {{2, 1}});
  })) << Failure();
  ASSERT_TRUE(SteadyState()) << Failure() << Events();
  EXPECT_NEAR(Value(1), 1000.0, 1e-6);
  // From a start far on the other side as well.
  ASSERT_TRUE(Set("x", -0.5) && SteadyState()) << Failure() << Events();
  EXPECT_NEAR(Value(1), 1000.0, 1e-6);
  EXPECT_TRUE(FinishRun()) << Failure();
}

// Nonlinear.MaxIter written as -5 and Nonlinear.Method as 9, out of their
// bounds, are stored, and the nonlinear solver cannot take them: it says
// once what it goes on with, its 100 iterations (x^3 = 1e9 from 0.5 needs
// more than one) and its Hybrid method, over two groups (y^3 + y = x after
// it) and two solves.
TEST_F(SolverMessagesRoad, NonlinearOptionsOutOfTheirBoundsAreToldOnceAndNotUsed) {
  ASSERT_TRUE(Begin("Bounds", 1, [](Writer& w) {
    w.List(4);
    ModelVariable(w, modelwriter::kRealVariable, 1, ".x", 0.5, kFree);
    ModelVariable(w, modelwriter::kRealVariable, 2, ".y", 0.0, kFree);
    ModelEquation(w, 10, ".cube", Sub(Mul(Mul(Var(0), Var(0)), Var(0)), Real(1e9)), {{2, 1}});
    ModelEquation(w, 11, ".chain", Sub(Add(Mul(Mul(Var(0), Var(0)), Var(0)), Var(0)), Var(1)),
                  {{2, 2}, {2, 1}});
  })) << Failure();
  ASSERT_TRUE(IntOption(24, static_cast<std::uint32_t>(-5)) && IntOption(38, 9)) << Failure();
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(SteadyState()) << Failure() << Events();
    EXPECT_NEAR(Value(1), 1000.0, 1e-6);
    const double y = Value(2);
    EXPECT_NEAR(y * y * y + y, 1000.0, 1e-4);
    ASSERT_TRUE(Set("x", 0.5) && Set("y", 0.0)) << Failure();
  }
  const std::vector<std::string> lines = LinesSince(0);
  const std::string told =
      "The nonlinear solver refuses Nonlinear.MaxIter = -5 and goes on with 100";
  EXPECT_EQ(CountStarting(lines, told), 1u) << Joined(lines);
  EXPECT_EQ(engineroad::RepeatCount(lines, told), -1) << Joined(lines);
  const std::string method =
      "The nonlinear solver refuses Nonlinear.Method = 9 and goes on with Hybrid";
  EXPECT_EQ(CountStarting(lines, method), 1u) << Joined(lines);
  EXPECT_EQ(engineroad::RepeatCount(lines, method), -1) << Joined(lines);
  EXPECT_TRUE(FinishRun()) << Failure();
}

// y = 2 u, u fixed: a logical written to AssignmentWarningsEnabled (a
// flag) is refused and the flag stays on, so an assignment to the free y
// in a dynamic run is still warned of; the flag written as an integer
// turns the warning off.
TEST_F(SolverMessagesRoad, ALogicalWrittenToAFlagOptionIsRefusedAndTheFlagKept) {
  const auto option = [&](std::uint16_t code, std::uint32_t value, Status expected) {
    auto request = std::make_unique<vantor_client::Request>(engineroad::kOptionService, 8);
    Writer w(*request);
    w.IdPath({85});
    w.U16(85);
    w.U16(0);
    w.U16(code);
    w.U32(value);
    return road_->Expect(std::move(request), "option 85", expected);
  };
  ASSERT_TRUE(Begin("Flag", 4, Doubling)) << Failure();
  ASSERT_TRUE(option(3, 0, kGeneralFailure)) << Failure();
  const std::string warning = "Warning: Assignment to Free variable Model.y";
  // y := value through the results manager, which queues it for the step.
  const auto assign = [&](double value) {
    auto request = std::make_unique<vantor_client::Request>(kResultsService, 8);
    vantor_client::PutSetReal(*request, {2, 2}, 1, value);
    return road_->Expect(std::move(request), "y := value", 0);
  };
  bool failed = true;
  ASSERT_TRUE(Step(&failed) && !failed) << Failure() << Events();
  ASSERT_TRUE(assign(1.0)) << Failure();
  EXPECT_EQ(CountStarting(LinesSince(0), warning), 1u) << Events();
  ASSERT_TRUE(option(2, 0, 0)) << Failure();
  ASSERT_TRUE(assign(2.0)) << Failure();
  EXPECT_EQ(CountStarting(LinesSince(0), warning), 1u) << Events();
  ASSERT_TRUE(Step(&failed) && !failed) << Failure() << Events();
  EXPECT_NEAR(Value(2), 6.0, 1e-9) << "the assignment to a free variable does not hold";
  EXPECT_TRUE(FinishRun()) << Failure();
}

// The same model in a steady state: one explicit group, which has no block
// of sub-groups; nor has a group that is not there.
TEST_F(SolverMessagesRoad, TheGroupListOfAGroupWithoutABlockIsRefused) {
  ASSERT_TRUE(Begin("Groups", 1, Doubling)) << Failure();
  ASSERT_TRUE(SteadyState()) << Failure() << Events();
  EXPECT_NEAR(Value(2), 6.0, 1e-9);
  EXPECT_EQ(GroupList({0}), 0u);
  EXPECT_EQ(GroupList({0, 1}), kGeneralFailure);
  EXPECT_EQ(GroupList({0, 7}), kGeneralFailure);
  EXPECT_TRUE(FinishRun()) << Failure();
}

}  // namespace solvermessages
