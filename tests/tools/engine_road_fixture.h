// What the client-driven road tests share: the real engine started through
// the client, the simulation named, options written, the model loaded into
// the node at root index 2 through the instance manager and prepared, and
// the engine ended with its exit code checked.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "road_env.h"
#include "tests/support/event_lines.h"
#include "tests/support/fault_tests.h"
#include "tests/support/hang_bound.h"
#include "tools/client.h"
#include "tools/model_writer/model_writer.h"
#include "tools/road.h"
#include "tools/road_steps.h"

namespace engineroad {

constexpr std::uint32_t kProblemService = 50;
constexpr std::uint32_t kOptionService = 53;
constexpr std::uint32_t kResultsService = 55;
constexpr std::uint32_t kLibraryService = 61;
constexpr Status kBeginRunDone = 0x0000026Au;
constexpr Status kRunEnded = 0x00320049u;
constexpr Status kEnding = 0x00320024u;
constexpr std::uint32_t kPreparedBits = 0x4 | 0x8 | 0x10 | 0x20;

// Roads heavy in numbers skip under the thread sanitizer: every road runs
// the same engine threads, so there they add minutes, not hand-overs.
inline constexpr const char* kNumbersNotThreads =
    "numbers, not threads: the other roads run the same hand-overs";

// Runs start() with this process's standard output and error on `fd`, so
// an engine started there inherits them; the test's own come back at once.
inline bool WithStreamsOn(int fd, const std::function<bool()>& start) {
  std::fflush(stdout);
  std::fflush(stderr);
  const int kept[2] = {::dup(1), ::dup(2)};
  ::dup2(fd, 1);
  ::dup2(fd, 2);
  const bool started = start();
  ::dup2(kept[0], 1);
  ::dup2(kept[1], 2);
  for (const int each : kept) ::close(each);
  return started;
}

inline modelwriter::Step Node() { return {2, "Model"}; }

// A variable of the model in Node(): its item kind, index, name, value and
// specification.
inline void ModelVariable(modelwriter::Writer& w, modelwriter::Tag kind, std::uint32_t index,
                          const std::string& name, double value, std::uint16_t spec) {
  w.Item(kind);
  w.Placement({Node(), {index, name}});
  w.Value(value), w.Spec(spec), w.End();
}

// An inline equation expression = 0 of the model in Node(); Var(k) in it
// is the k-th of the references.
inline void ModelEquation(modelwriter::Writer& w, std::uint32_t index, const std::string& name,
                          const modelwriter::Expr& expression,
                          const std::vector<std::vector<std::uint32_t>>& references) {
  w.Item(modelwriter::kInlineEquation);
  w.U32(0);
  w.Expression(expression);
  w.Placement({Node(), {index, name}});
  w.EquationHead(static_cast<std::uint32_t>(references.size()));
  for (const auto& reference : references) w.Reference(reference);
}

// x' = -k x from x(0) = 1: the rate k fixed (index 1, named by `rate`), the
// state x (2), the equation (10).
inline void DecayModel(modelwriter::Writer& w, const std::string& rate, double k) {
  using modelwriter::Var;
  w.List(3);
  ModelVariable(w, modelwriter::kRealVariable, 1, rate, k, 4);
  ModelVariable(w, modelwriter::kStateVariable, 2, ".x", 1.0, 32);
  ModelEquation(w, 10, ".e", modelwriter::Add(Var(0), modelwriter::Mul(Var(1), Var(2))),
                {{2, 2, 1}, {2, 1}, {2, 2}});
}

// A tank drained through a valve, M' = 2 - F with F = k sqrt(M), from
// M(0) = 1: the valve's k = 0.8 fixed (index 1), the state M (2), the flow
// F (3), the equations (10, 11).
inline void ValveTankModel(modelwriter::Writer& w) {
  using modelwriter::Var;
  w.List(5);
  ModelVariable(w, modelwriter::kRealVariable, 1, ".k", 0.8, 4);
  ModelVariable(w, modelwriter::kStateVariable, 2, ".M", 1.0, 32);
  ModelVariable(w, modelwriter::kRealVariable, 3, ".F", 1.0, 1);
  ModelEquation(w, 10, ".mass",
                modelwriter::Add(modelwriter::Sub(Var(0), modelwriter::Real(2.0)), Var(1)),
                {{2, 2, 1}, {2, 3}});
  ModelEquation(w, 11, ".valve",
                modelwriter::Sub(Var(0), modelwriter::Mul(Var(1), modelwriter::Sqrt(Var(2)))),
                {{2, 3}, {2, 1}, {2, 2}});
}

// `pairs` groups that are singular yet consistent, exp(u + v) = e^2 and
// 2 u + 2 v = 4 over u (index + 2k) and v (index + 2k + 1) of their own,
// their equations after all the variables: every solve names one variable
// of each indeterminate. Its 4 * pairs items.
inline void SingularPairs(modelwriter::Writer& w, std::uint32_t index, std::uint32_t pairs) {
  using namespace modelwriter;
  for (std::uint32_t k = 0; k < pairs; ++k) {
    const std::string name = std::to_string(k);
    ModelVariable(w, kRealVariable, index + 2 * k, ".u" + name, 0.0, 1);
    ModelVariable(w, kRealVariable, index + 2 * k + 1, ".v" + name, 0.0, 1);
  }
  for (std::uint32_t k = 0; k < pairs; ++k) {
    const std::vector<std::vector<std::uint32_t>> ab = {{2, index + 2 * k}, {2, index + 2 * k + 1}};
    const std::uint32_t at = index + 2 * pairs + 2 * k;
    ModelEquation(w, at, ".p" + std::to_string(k),
                  Sub(Unary(32, Add(Var(0), Var(1))), Real(std::exp(2.0))), ab);
    ModelEquation(w, at + 1, ".q" + std::to_string(k),
                  Sub(Add(Mul(Real(2.0), Var(0)), Mul(Real(2.0), Var(1))), Real(4.0)), ab);
  }
}

// A field of a process's /proc status ("VmRSS", "VmHWM") in kB; -1 when
// it cannot be read.
inline long MemoryKb(int pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0)
      return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
  }
  return -1;
}

// The processor time the process has used so far, in ms; -1 when it
// cannot be read (once the process has gone).
inline long CpuMs(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string text{std::istreambuf_iterator<char>(stat), {}};
  const std::size_t name_end = text.rfind(')');
  if (name_end == std::string::npos) return -1;
  // From the state (field 3) on: user and system time are fields 14 and 15.
  std::istringstream fields(text.substr(name_end + 1));
  std::string skipped;
  for (int field = 3; field < 14; ++field) fields >> skipped;
  long user = -1, system = -1;
  fields >> user >> system;
  return user < 0 || system < 0 ? -1 : (user + system) * 1000 / ::sysconf(_SC_CLK_TCK);
}

// The time the engine's busiest thread so far (its control loop, or the
// run thread that hands its steps to it) chose to sleep since this was
// made: wall time less the thread's time on a processor and waiting in the
// run queue, which a busy machine stretches while the sleeping stays. A
// pause of the control loop shows in either, whatever the load.
class SleepClock {
 public:
  explicit SleepClock(int pid) : pid_(pid), tid_(Busiest(pid)), from_(Read()) {}

  // Ms slept so far; -1 when the thread cannot be read (it has gone).
  long SleptMs() const {
    const Times now = Read();
    if (now.on_cpu_ns < 0 || from_.on_cpu_ns < 0) return -1;
    const long long wall =
        std::chrono::duration_cast<std::chrono::nanoseconds>(now.at - from_.at).count();
    const long long slept =
        wall - (now.on_cpu_ns - from_.on_cpu_ns) - (now.queued_ns - from_.queued_ns);
    return static_cast<long>(std::max(slept, 0LL) / 1000000);
  }

 private:
  struct Times {
    long long on_cpu_ns = -1;
    long long queued_ns = -1;
    std::chrono::steady_clock::time_point at;
  };

  static Times ReadTask(const std::string& task) {
    Times times;
    std::ifstream stat(task + "/schedstat");
    times.at = std::chrono::steady_clock::now();
    if (!(stat >> times.on_cpu_ns >> times.queued_ns)) times.on_cpu_ns = times.queued_ns = -1;
    return times;
  }

  static int Busiest(int pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    int busiest = pid;
    long long most = -1;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
      const Times times = ReadTask(task.path().string());
      if (times.on_cpu_ns > most) {
        most = times.on_cpu_ns;
        busiest = std::atoi(task.path().filename().c_str());
      }
    }
    return busiest;
  }

  Times Read() const {
    return ReadTask("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(tid_));
  }

  int pid_;
  int tid_;
  Times from_;
};

// The lines one under the other.
inline std::string Joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& line : lines) all += line + "\n";
  return all;
}

// How many of the lines begin with `start`.
inline std::size_t CountStarting(const std::vector<std::string>& lines, const std::string& start) {
  return static_cast<std::size_t>(std::count_if(
      lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(start, 0) == 0; }));
}

// The count the engine gave the repeats of `line` ("The report "line" was
// repeated N more times"), or -1 without one.
inline long RepeatCount(const std::vector<std::string>& lines, const std::string& line) {
  const std::string counted = "The report \"" + line + "\" was repeated ";
  long repeats = -1;
  for (const std::string& l : lines) {
    if (l.rfind(counted, 0) == 0) repeats = std::stol(l.substr(counted.size()));
  }
  return repeats;
}

// How each steady state of a run command ends, told once and counted
// after: the line that it is complete, the header of the list of its
// `groups` indeterminate variables and each of its lines once, their
// repeats counted, and so the command's lines no more than the different
// reports it keeps, the list and their counts.
inline void ExpectAListToldOnce(const std::vector<std::string>& lines, std::size_t groups) {
  EXPECT_EQ(CountStarting(lines, "Steady state solution complete"), 1u);
  EXPECT_GE(RepeatCount(lines, "Steady state solution complete"), 1);
  EXPECT_EQ(CountStarting(lines, "Warning: the following variables are indeterminate:"), 1u);
  EXPECT_EQ(CountStarting(lines, "  Group "), groups);
  const auto first = std::find_if(lines.begin(), lines.end(),
                                  [](const std::string& l) { return l.rfind("  Group ", 0) == 0; });
  ASSERT_NE(first, lines.end());
  EXPECT_GE(RepeatCount(lines, *first), 1) << *first;
  EXPECT_LT(lines.size(), 2 * (10000 + groups) + 1000);
}

// Reads a reply body; a read past its end gives zero and clears ok().
class Reader {
 public:
  explicit Reader(const vantor_client::Bytes& bytes) : bytes_(bytes) {}
  bool ok() const { return ok_; }
  template <typename T>
  T Get() {
    T value{};
    if (at_ + sizeof(T) > bytes_.size()) {
      ok_ = false;
      return value;
    }
    std::memcpy(&value, bytes_.data() + at_, sizeof(T));
    at_ += sizeof(T);
    return value;
  }
  std::string Text() {
    std::uint32_t length = 0;
    if (at_ + 3 > bytes_.size()) {
      ok_ = false;
      return {};
    }
    std::memcpy(&length, bytes_.data() + at_, 3);
    at_ += 3;
    if (length == 0 || at_ + length > bytes_.size()) {
      ok_ = false;
      return {};
    }
    std::string text(reinterpret_cast<const char*>(bytes_.data() + at_), length - 1);
    at_ += length;
    return text;
  }

 private:
  const vantor_client::Bytes& bytes_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

class EngineRoad : public roadtest::RoadEnv {
 protected:
  using Writer = modelwriter::Writer;

  void TearDown() override { CloseEngine(); }

  // Closes an engine still running, for a test that starts another; the
  // record starts afresh.
  void CloseEngine() {
    if (client_ != nullptr) {
      int exit_code = -1;
      client_->Close(&exit_code);
      client_.reset();
    }
    run_ = vantor_scenario::FirstOrderRun();
  }

  bool Fail(const std::string& what) { return road_->Fail(what); }
  std::string Failure() const { return run_.failure; }
  std::string Events() const { return roadtest::Lines(run_); }

  // Starts the engine and names the simulation `name` in the work folder
  // (or in `folder`, when given).
  bool StartEngine(const vantor_client::EngineOptions& engine, const std::string& name,
                   const std::string& in = {}) {
    std::string why;
    if (status::IsFailure(vantor_client::Client::Start(engine, &client_, &why))) {
      run_.failure = "the engine did not start: " + why;
      return false;
    }
    road_ = std::make_unique<vantor_scenario::Road>(*client_, &run_);
    const std::string folder = (in.empty() ? work_.path().string() : in) + "/";
    return road_->Expect(vantor_client::MakeCommand(kProblemService, 3, {}, {}, {name, folder}),
                         "command 3", 0);
  }

  // Creates the node, fills it with what `model` writes and prepares it.
  bool Load(const std::function<void(Writer&)>& model) {
    auto create = vantor_scenario::InstanceEdit(5, 5);
    Writer(*create).Placement({Node()});
    if (!road_->Expect(std::move(create), "creating the node", 0)) return false;
    auto fill = vantor_scenario::InstanceEdit(3, 10);
    Writer w(*fill);
    w.IdPath({2});
    model(w);
    if (w.status() != 0) return Fail("the model does not fit its message");
    if (!road_->Expect(std::move(fill), "filling the node", 0)) return false;
    if (!road_->Expect(vantor_client::MakeCommand(kProblemService, 6, {0, 0}), "command 6", 0))
      return false;
    return road_->WaitNotice(
        [](const vantor_scenario::Notification& n) {
          return (n.bits & kPreparedBits) == kPreparedBits;
        },
        "the four stages");
  }

  bool BeginRun() { return vantor_scenario::BeginRun(*road_, "request 31"); }

  // One command 10, ending at `time`.
  bool Step(double time) {
    return road_->Expect(vantor_client::MakeCommand(kProblemService, 10), "command 10", 0) &&
           road_->WaitStep(time, "the step to " + std::to_string(time));
  }

  // One command 10 for a step that must fail: the run's failure, then a
  // line that begins with `start`, each within the client's timeout; the
  // line goes into *said.
  bool StepFailsSaying(const std::string& start, std::string* said) {
    if (!road_->Expect(vantor_client::MakeCommand(kProblemService, 10), "command 10", 0))
      return false;
    bool running = false, failed = false;
    if (!road_->WaitNotice(
            [&](const vantor_scenario::Notification& n) {
              failed = failed || (n.bits & vantor_scenario::kRunFailedBit) != 0;
              running = running || (n.bits & vantor_scenario::kRunningBit) != 0;
              return failed || (running && (n.bits & vantor_scenario::kRunningBit) == 0);
            },
            "the failing step"))
      return false;
    if (!failed) return Fail("the step did not fail");
    return Said(start, said);
  }

  // A line that begins with `start`, once it came within the client's
  // timeout; it goes into *said.
  bool Said(const std::string& start, std::string* said) {
    const auto found = [&] {
      for (const std::string& line : run_.events) {
        if (line.rfind(start, 0) == 0) {
          *said = line;
          return true;
        }
      }
      return false;
    };
    client_->WaitFor([&] {
      road_->Collect();
      return found();
    });
    return found() || Fail("no line \"" + start + "...\"");
  }

  // Commands 10 until the run clock stands at `time`: an event inside the
  // interval ends a step there first (its time goes into *stops, and
  // `at_stop`, when given, is called with it).
  bool StepTo(double time, std::vector<double>* stops,
              const std::function<bool(double)>& at_stop = nullptr) {
    const std::string what = "the step to " + std::to_string(time);
    for (int n = 0; n < 10; ++n) {
      bool failed = false;
      if (!StepEnds(what, &failed)) return false;
      if (failed) return Fail(what + ": the run failed");
      const double now = road_->Last().time;
      if (std::fabs(now - time) < 1e-9 * std::max(1.0, time)) return true;
      if (now > time) return Fail(what + ": passed it, at " + std::to_string(now));
      stops->push_back(now);
      if (at_stop && !at_stop(now)) return false;
    }
    return Fail(what + ": not reached in ten steps");
  }
  // One command 10 until its step ends, within the client's timeout;
  // *failed says whether the run failed in it.
  bool StepEnds(const std::string& what, bool* failed) {
    const double before = road_->Last().time;
    if (!road_->Expect(vantor_client::MakeCommand(kProblemService, 10), what, 0)) return false;
    bool running = false;
    *failed = false;
    return road_->WaitNotice(
        [&](const vantor_scenario::Notification& m) {
          *failed = *failed || (m.bits & vantor_scenario::kRunFailedBit) != 0;
          running = running || (m.bits & vantor_scenario::kRunningBit) != 0;
          return *failed ||
                 ((m.bits & vantor_scenario::kRunningBit) == 0 && (running || m.time != before));
        },
        what);
  }
  // The value of the node's variable at `index`; NaN when it cannot be read.
  double Value(std::uint32_t index) {
    double value = std::nan("");
    road_->Read(index, &value, "reading (2, " + std::to_string(index) + ")");
    return value;
  }
  // Command 9 and the steady state's rest at t = 0.
  bool SteadyState() {
    return road_->Expect(vantor_client::MakeCommand(kProblemService, 9), "command 9", 0) &&
           road_->WaitStep(0.0, "the steady state");
  }
  // The event lines since the `from`-th that have come, each wrapped one
  // joined again; after the engine's end, every line it sent.
  std::vector<std::string> CameSince(std::size_t from) const {
    return testsupport::UnwrappedLines(
        {run_.events.begin() + static_cast<std::ptrdiff_t>(from), run_.events.end()});
  }
  // Reads until the lines since the `from`-th satisfy `done`, within the
  // client's time-out (a hang's bound): for lines the engine may still be
  // sending after the reply or notice that ended their command.
  bool LinesCame(std::size_t from, const std::function<bool(const std::vector<std::string>&)>& done,
                 const std::string& what) {
    std::size_t seen = 0;
    bool came = false;
    // The client asks more than once a round: once the lines came, the
    // answer stays yes, or the wait would run to its bound.
    client_->WaitFor([&] {
      if (came) return true;
      road_->Collect();
      if (run_.events.size() == seen) return false;
      seen = run_.events.size();
      came = done(CameSince(from));
      return came;
    });
    return came || done(CameSince(from)) ||
           Fail(what + ": not within " + std::to_string(client_->TimeoutMs()) + " ms");
  }
  // The event lines since the `from`-th, once those on their way came,
  // each wrapped one joined again.
  std::vector<std::string> LinesSince(std::size_t from) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    client_->WaitFor([&] { return std::chrono::steady_clock::now() > until; });
    road_->Collect();
    return testsupport::UnwrappedLines(
        {run_.events.begin() + static_cast<std::ptrdiff_t>(from), run_.events.end()});
  }
  // Sets a value of the node by name (request 145).
  bool Set(const std::string& name, double value) {
    return vantor_scenario::SetReal(*road_, "Model." + name, value, name + " := value");
  }

  // Request 134 until the run has ended (a step still computing answers
  // busy: asked again a little later), then the engine ends.
  bool FinishRun() { return EndRun() && EndEngine(); }

  // Request 134 until the run has ended; the engine goes on.
  bool EndRun() {
    return AskWhileBusy(
        [] {
          auto end = std::make_unique<vantor_client::Request>(kProblemService);
          end->PutUInt16(134);
          return end;
        },
        "request 134", kRunEnded);
  }

  // A command of the problem service answered 0 once no step computes.
  bool CommandOnceIdle(std::uint16_t command, const std::string& what) {
    return AskWhileBusy([&] { return vantor_client::MakeCommand(kProblemService, command); },
                        what, 0);
  }

  // Sends what `make` builds until no step still computing answers busy
  // (asked again a little later, for up to 30 s); the answer must be `want`.
  bool AskWhileBusy(const std::function<std::unique_ptr<vantor_client::Request>()>& make,
                    const std::string& what, Status want) {
    constexpr Status kBusy = 0x0032000Au;
    Status answered = kBusy;
    const auto until =
        std::chrono::steady_clock::now() + testsupport::HangBound(std::chrono::seconds(30));
    for (bool first = true; answered == kBusy && std::chrono::steady_clock::now() < until;
         first = false) {
      if (!first) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (!road_->Exchange(make(), what, &answered)) return false;
    }
    if (answered != want) return Fail(what + ": " + vantor_scenario::Hex(answered));
    return true;
  }

  // Command 2 once the run has ended; the engine's exit code must be 0.
  bool EndEngine() {
    if (!road_->Expect(vantor_client::MakeCommand(kProblemService, 2), "command 2", kEnding))
      return false;
    client_->WaitFor([&] { return client_->PeerLost(); });
    // Every line the engine sent came before its end.
    road_->Collect();
    int exit_code = -1;
    client_->Close(&exit_code);
    client_.reset();
    if (exit_code != 0) return Fail("the engine ended with " + std::to_string(exit_code));
    return true;
  }

  // A numbered request of service 55: the body of its reply (empty when
  // none came) and its status.
  vantor_client::Bytes Ask(const std::function<void(vantor_client::Request&)>& body,
                           Status* result) {
    auto request = std::make_unique<vantor_client::Request>(kResultsService);
    body(*request);
    std::vector<vantor_client::Message> replies;
    *result = 0xFFFFFFFFu;
    if (!road_->Exchange(std::move(request), "results request", result, &replies)) return {};
    return replies.empty() ? vantor_client::Bytes{} : replies[0].body;
  }
  // The client was told the run files were saved: command 136 of service
  // 95 with the integer 1.
  bool ToldFilesSaved() {
    auto told = [&] {
      road_->Collect();
      for (const vantor_client::Message& m : road_->Others()) {
        if (m.type != 95 || m.subtype != DseMessage::kCommand) continue;
        Reader r(m.body);
        const std::uint32_t command = r.Get<std::uint32_t>();
        const std::uint32_t integers = r.Get<std::uint32_t>();
        if (command == 136 && integers == 1 && r.Get<std::int32_t>() == 1) return true;
      }
      return false;
    };
    client_->WaitFor(told);
    return told();
  }

  // Service 61: each condition, a library expression (item kind 2), replaces
  // the library node at its index.
  bool Conditions(const std::vector<std::pair<std::uint32_t, modelwriter::Expr>>& conditions) {
    for (const auto& [index, condition] : conditions) {
      auto request = std::make_unique<vantor_client::Request>(kLibraryService);
      Writer w(*request);
      w.U16(3);
      w.U16(2);
      w.Placement({{index, "Condition" + std::to_string(index)}});
      w.Expression(condition);
      if (!road_->Expect(std::move(request), "library condition", 0)) return false;
    }
    return true;
  }

  bool IntOption(std::uint16_t number, std::uint32_t value) {
    return vantor_scenario::SetOption(*road_, number, value, "option " + std::to_string(number));
  }
  bool RealOption(std::uint16_t number, double value) {
    return Option(number, 4, [&](Writer& w) { w.F64(value); });
  }

 private:
  bool Option(std::uint16_t number, std::uint16_t code, const std::function<void(Writer&)>& put) {
    auto request = std::make_unique<vantor_client::Request>(kOptionService, 8);
    Writer w(*request);
    w.IdPath({number});
    w.U16(number);
    w.U16(0);
    w.U16(code);
    put(w);
    return road_->Expect(std::move(request), "option " + std::to_string(number), 0);
  }

 protected:
  std::unique_ptr<vantor_client::Client> client_;
  vantor_scenario::FirstOrderRun run_;
  std::unique_ptr<vantor_scenario::Road> road_;
};

}  // namespace engineroad
