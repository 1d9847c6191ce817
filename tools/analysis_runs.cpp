#include "tools/analysis_runs.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "tools/model_writer/sample_models.h"
#include "tools/road_steps.h"

namespace vantor_scenario {
namespace {

using modelwriter::Step;
using modelwriter::Writer;
using vantor_client::MakeCommand;

constexpr std::uint32_t kHomotopyService = 69;
constexpr std::uint32_t kControlDesignService = 114;
constexpr std::uint16_t kPrintLevelOption = 31;

Step TwoTankNode() { return {2, "TwoTank"}; }

void State(Writer& w, std::uint32_t index, const char* name, double value) {
  w.Item(modelwriter::kStateVariable);
  w.Placement({TwoTankNode(), {index, name}});
  w.Value(value), w.Spec(32), w.Lower(0.0), w.End();
}

void Real(Writer& w, modelwriter::Tag tag, std::uint32_t index, const char* name, double value,
          bool fixed) {
  w.Item(tag);
  w.Placement({TwoTankNode(), {index, name}});
  w.Value(value);
  if (fixed) w.Spec(4);
  w.End();
}

void Equation(Writer& w, std::uint32_t index, const char* name, const modelwriter::Expr& e,
              const std::vector<std::vector<std::uint32_t>>& references) {
  w.Item(modelwriter::kInlineEquation);
  w.U32(0);
  w.Expression(e);
  w.Placement({TwoTankNode(), {index, name}});
  w.EquationHead(static_cast<std::uint32_t>(references.size()));
  for (const auto& r : references) w.Reference(r);
}

// Two tanks joined by a linear valve, the second drained through a weir.
void TwoTank(Writer& w) {
  using modelwriter::Add;
  using modelwriter::Mul;
  using modelwriter::Sqrt;
  using modelwriter::Sub;
  using modelwriter::Var;
  w.List(14);
  State(w, 1, ".h1", 1.0);
  State(w, 2, ".h2", 1.0);
  Real(w, modelwriter::kRealVariable, 3, ".F1", 0.5, true);
  Real(w, modelwriter::kRealVariable, 4, ".F2", 0.5, true);
  Real(w, modelwriter::kRealVariable, 5, ".F12", 0.0, false);
  Real(w, modelwriter::kRealVariable, 6, ".F3", 0.0, false);
  Real(w, modelwriter::kRealParameter, 7, ".A1", 2.0, false);
  Real(w, modelwriter::kRealParameter, 8, ".A2", 1.0, false);
  Real(w, modelwriter::kRealParameter, 9, ".c", 0.25, false);
  Real(w, modelwriter::kRealParameter, 10, ".k", 0.5, false);
  Equation(w, 11, ".Balance1", Sub(Mul(Var(0), Var(1)), Sub(Var(2), Var(3))),
           {{2, 7}, {2, 1, 1}, {2, 3}, {2, 5}});
  Equation(w, 12, ".Valve", Sub(Var(0), Mul(Var(1), Sub(Var(2), Var(3)))),
           {{2, 5}, {2, 9}, {2, 1}, {2, 2}});
  Equation(w, 13, ".Balance2", Sub(Mul(Var(0), Var(1)), Sub(Add(Var(2), Var(3)), Var(4))),
           {{2, 8}, {2, 2, 1}, {2, 4}, {2, 5}, {2, 6}});
  Equation(w, 14, ".Weir", Sub(Var(0), Mul(Var(1), Sqrt(Var(2)))), {{2, 6}, {2, 10}, {2, 2}});
}

bool Load(Road& road, TankModel model) {
  if (model == TankModel::kDrained) return LoadNode(road, modelwriter::T101(), modelwriter::Tank);
  return LoadNode(road, TwoTankNode(), TwoTank);
}

bool SetReal(Road& road, const char* name, double value) {
  return vantor_scenario::SetReal(road, name, value, std::string(name) + " := value (request 145)");
}

constexpr std::uint32_t kStoppedBit = 0x400;

// Command 9, then the notification that the run is over: *failed says
// whether it failed (a failed step without an action stops the run).
bool SteadyState(Road& road, const std::string& what, bool* failed) {
  if (!BeginRun(road, what + " (request 31)") ||
      !road.Expect(MakeCommand(kProblemService, 9), what, 0))
    return false;
  bool failure = false;
  bool running = false;
  const bool ok = road.WaitNotice(
      [&](const Notification& n) {
        if ((n.bits & (kRunFailedBit | kStoppedBit)) != 0) failure = true;
        if ((n.bits & kRunningBit) != 0) running = true;
        return failure || ((n.bits & kRunningBit) == 0 && running);
      },
      what);
  if (failed != nullptr) *failed = failure;
  if (!ok) return false;
  if (failure && failed == nullptr) return road.Fail(what + ": the run failed");
  return true;
}

// Command 9 with the homotopy action hooked: the run steps until the action
// says the target is reached, or gives up.
bool HomotopySteps(Road& road, FirstOrderRun* trace) {
  if (!BeginRun(road, "the homotopy run (request 31)") ||
      !road.Expect(MakeCommand(kProblemService, 9), "the homotopy run (command 9)", 0))
    return false;
  const char* ends[] = {"Steady state solution obtained for target specification",
                        "Homotopy failed", "Could not solve your problem"};
  std::size_t seen = 0;
  bool ended = false;
  road.client().WaitFor([&] {
    road.Collect();
    for (; seen < trace->events.size() && !ended; ++seen) {
      for (const char* end : ends) ended = ended || trace->events[seen].find(end) == 0;
    }
    return ended;
  });
  if (!ended) return road.Fail("the homotopy run: no closing line");
  // The run leaves its running state once the action said it is finished.
  return road.WaitNotice([](const Notification& n) { return (n.bits & kRunningBit) == 0; },
                         "the homotopy run, its end");
}

// Opens the engine, names the simulation, loads and prepares the model.
struct Session {
  std::unique_ptr<Client> client;
  std::unique_ptr<Road> road;

  bool Open(const AnalysisRunOptions& options, FirstOrderRun* trace) {
    client = StartEngine(options.engine, trace);
    if (client == nullptr) return false;
    road = std::make_unique<Road>(*client, trace);
    const char* name = options.model == TankModel::kDrained ? "Tank" : "TwoTank";
    if (!NameSimulation(*road, name, options.folder, 1.0)) return false;
    if (options.print_level >= 0 &&
        !SetOption(*road, kPrintLevelOption, static_cast<std::uint32_t>(options.print_level),
                   "PrintLevel (service 53)"))
      return false;
    for (const auto& [number, value] : options.int_options) {
      if (!SetOption(*road, number, static_cast<std::uint32_t>(value),
                     "option " + std::to_string(number) + " (service 53)"))
        return false;
    }
    return Load(*road, options.model) && Prepare(*road, "preparing (command 6)");
  }

  bool End() { return EndEngine(*road); }

  bool Close(FirstOrderRun* trace, bool ok) {
    if (!client) return false;
    return FinishEngine(*client, *road, trace, ok);
  }
};

// Little-endian reads over a reply body.
class Reader {
 public:
  explicit Reader(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
  template <typename T>
  bool Get(T* value) {
    if (at_ + sizeof(T) > bytes_.size()) return false;
    std::memcpy(value, bytes_.data() + at_, sizeof(T));
    at_ += sizeof(T);
    return true;
  }
  // A message string: a 24-bit length and the bytes.
  // A message string: a 24-bit length and the bytes, the closing NUL
  // counted.
  bool Text(std::string* text) {
    if (at_ + 3 > bytes_.size()) return false;
    const std::uint32_t n = bytes_[at_] | (bytes_[at_ + 1] << 8) | (bytes_[at_ + 2] << 16);
    at_ += 3;
    if (at_ + n > bytes_.size()) return false;
    text->assign(reinterpret_cast<const char*>(bytes_.data() + at_), n);
    at_ += n;
    if (!text->empty() && text->back() == '\0') text->pop_back();
    return true;
  }
  bool AtEnd() const { return at_ == bytes_.size(); }

 private:
  const std::vector<std::uint8_t>& bytes_;
  std::size_t at_ = 0;
};

}  // namespace

double CdiMatrix::At(std::uint16_t row, std::uint16_t col) const {
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (rows[i] == row && cols[i] == col) return values[i];
  }
  return 0.0;
}

const CdiMatrix* CdiReply::Find(std::uint16_t bit) const {
  for (const CdiMatrix& m : matrices) {
    if (m.bit == bit) return &m;
  }
  return nullptr;
}

bool DecodeCdiReply(const std::vector<std::uint8_t>& body, std::uint16_t options, CdiReply* reply) {
  *reply = CdiReply();
  Reader r(body);
  std::uint16_t kind = 0;
  if (!r.Get(&kind) || kind != 84) return false;
  if (!r.Get(&reply->states) || !r.Get(&reply->inputs) || !r.Get(&reply->outputs)) return false;
  for (std::uint16_t bit : {0x1, 0x2, 0x4, 0x8, 0x10, 0x20}) {
    if ((options & bit) == 0) continue;
    CdiMatrix m;
    std::uint32_t count = 0;
    if (!r.Get(&m.bit) || m.bit != bit || !r.Get(&count)) return false;
    if (count >= 0x80000000u) {
      m.error = static_cast<std::int32_t>(count);
    } else {
      m.available = true;
      for (std::uint32_t i = 0; i < count; ++i) {
        double v = 0.0;
        std::uint16_t row = 0, col = 0;
        if (!r.Get(&v) || !r.Get(&row) || !r.Get(&col)) return false;
        m.values.push_back(v);
        m.rows.push_back(row);
        m.cols.push_back(col);
      }
    }
    reply->matrices.push_back(m);
  }
  for (std::uint16_t bit : {0x40, 0x80}) {
    if ((options & bit) == 0) continue;
    std::uint16_t tag = 0, present = 0;
    double value = 0.0;
    if (!r.Get(&tag) || tag != bit || !r.Get(&present)) return false;
    if (present != 0 && !r.Get(&value)) return false;
  }
  std::uint16_t end = 0;
  if (!r.Get(&end) || end != 0xFFFF || !r.Get(&reply->time)) return false;
  const int named = reply->inputs + reply->outputs + reply->states;
  for (int i = 0; i < named; ++i) {
    std::string name;
    double value = 0.0;
    if (!r.Text(&name) || !r.Get(&value)) return false;
    reply->values.emplace_back(name, value);
  }
  return r.Get(&end) && end == 0xFFFF && r.AtEnd();
}

namespace {

// A field of the engine's /proc status ("VmRSS", "VmHWM") in kB; -1 when
// it cannot be read.
long EngineMemoryKb(int pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0)
      return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
  }
  return -1;
}

// Posts `count` commands 81 and polls until all are written to the engine.
bool Flood(vantor_client::Client& client, std::uint32_t count, LinearisationRun* run) {
  run->memory_before_kb = EngineMemoryKb(client.EnginePid(), "VmRSS");
  constexpr std::uint32_t kBatch = 256;
  for (std::uint32_t sent = 0; sent < count; ++sent) {
    auto command = MakeCommand(kProblemService, 81, {0});
    command->flags |= DseMessage::kNoReply;
    if (status::IsFailure(client.Post(std::move(command)))) return false;
    if (sent % kBatch == kBatch - 1 &&
        status::IsFailure(client.WaitFor([&] { return client.Unwritten() < kBatch; })))
      return false;
  }
  if (status::IsFailure(client.WaitFor([&] { return client.Unwritten() == 0; }))) return false;
  run->memory_peak_kb = EngineMemoryKb(client.EnginePid(), "VmHWM");
  return true;
}

}  // namespace

bool RunLinearisation(const AnalysisRunOptions& options, LinearisationRun* run) {
  *run = LinearisationRun();
  Session session;
  bool closed = false;
  bool ok = [&] {
    if (!session.Open(options, &run->trace)) return false;
    Road& road = *session.road;
    const bool two = options.model == TankModel::kInteracting;
    if (!two && !std::isnan(options.inflow) && !SetReal(road, "T101.F_in", options.inflow))
      return false;
    if (!SteadyState(road, "the steady state", nullptr)) return false;
    const std::vector<std::uint32_t> states =
        two ? std::vector<std::uint32_t>{1, 2} : std::vector<std::uint32_t>{1};
    const std::vector<std::uint32_t> inputs =
        two ? std::vector<std::uint32_t>{3, 4} : std::vector<std::uint32_t>{2};
    for (std::uint32_t index : states) {
      double value = NAN;
      if (!road.Read(index, &value, "a steady state")) return false;
      run->steady.push_back(value);
    }
    const bool step = options.most_intervals != 0;
    const std::uint16_t bits = static_cast<std::uint16_t>((two ? 0x3F : 0x1F) | (step ? 0x100 : 0));
    const std::vector<std::uint32_t>& outputs = options.outputs.empty() ? states : options.outputs;
    auto setup = std::make_unique<Request>(kControlDesignService);
    setup->PutUInt16(82);
    setup->PutUInt16(bits);
    setup->PutDouble(0.0);
    setup->PutUInt32(static_cast<std::uint32_t>(states.size()));
    setup->PutUInt32(static_cast<std::uint32_t>(inputs.size()));
    setup->PutUInt32(static_cast<std::uint32_t>(outputs.size()));
    for (const auto* list : {&states, &inputs, &outputs}) {
      for (std::uint32_t index : *list) {
        Writer(*setup).IdPath({2, index});
        setup->PutDouble(1.0);
      }
    }
    if (step) {
      for (double d : {1.0, 1e-5, 1e-5, 0.01, 0.01}) setup->PutDouble(d);
      for (std::uint16_t u : {options.settled, options.most_intervals, options.steps}) {
        setup->PutUInt16(u);
      }
    }
    if (!road.Expect(std::move(setup), "the control-design set-up (kind 82)", 0)) return false;
    auto compute = std::make_unique<Request>(kControlDesignService);
    compute->PutUInt16(83);
    if (options.while_computing != AnalysisRunOptions::WhileComputing::kWait) {
      std::uint32_t id = 0;
      if (status::IsFailure(session.client->Send(std::move(compute), &id)))
        return road.Fail("the control-design computation (kind 83): not sent");
      const auto sent = std::chrono::steady_clock::now();
      session.client->WaitFor([&] {
        const vantor_client::Outcome* outcome = session.client->Find(id);
        return (outcome != nullptr && outcome->complete) ||
               std::chrono::steady_clock::now() - sent > std::chrono::milliseconds(300);
      });
      const vantor_client::Outcome* outcome = session.client->Find(id);
      run->answered_at_once = outcome != nullptr && outcome->complete;
      if (options.while_computing == AnalysisRunOptions::WhileComputing::kClose) {
        road.Collect();
        run->close_status = session.client->Close(&run->closed_exit_code);
        road.Collect();
        closed = true;
        return true;
      }
      if (options.flood > 0 && !Flood(*session.client, options.flood, run)) {
        return road.Fail("the flood of commands was not written out");
      }
      if (!road.Exchange(MakeCommand(kProblemService, 2), "ending the engine (command 2)",
                         &run->end_status))
        return false;
      // The engine ends on its own (FinishEngine waits for it).
      return true;
    }
    std::vector<Message> replies;
    if (!road.Exchange(std::move(compute), "the control-design computation (kind 83)",
                       &run->compute_status, &replies))
      return false;
    if (status::IsFailure(run->compute_status)) {
      // The status alone, or the kind alone.
      if (replies.size() > 1 ||
          (replies.size() == 1 && replies[0].body != std::vector<std::uint8_t>{84, 0}))
        return road.Fail("a failed control-design computation answers more than its kind");
    } else if (step) {
      // The step response's part is not read here.
      if (replies.empty()) return road.Fail("the control-design computation did not answer");
    } else if (replies.empty() || !DecodeCdiReply(replies[0].body, bits, &run->reply)) {
      return road.Fail("the control-design reply does not follow its layout");
    }
    return session.End();
  }();
  if (closed) return ok;
  return session.Close(&run->trace, ok);
}

bool RunHomotopy(const AnalysisRunOptions& options, double target, double good_guess,
                 HomotopyRun* run) {
  *run = HomotopyRun();
  AnalysisRunOptions drained = options;
  drained.model = TankModel::kDrained;
  const double start = std::isnan(options.inflow) ? 0.5 : options.inflow;
  // The direct way, then the reference from a good guess.
  Session direct;
  bool ok = [&] {
    if (!direct.Open(drained, &run->trace)) return false;
    Road& road = *direct.road;
    if (!SetReal(road, "T101.F_in", start) ||
        !SteadyState(road, "the steady state at the start", nullptr) ||
        !SetReal(road, "T101.F_in", target) ||
        !SteadyState(road, "the direct steady state at the target", &run->direct_failed) ||
        !road.Read(1, &run->direct_h, "h after the direct steady state"))
      return false;
    if (!SetReal(road, "T101.h", good_guess) ||
        !SteadyState(road, "the steady state from a good guess", nullptr) ||
        !road.Read(1, &run->reference_h, "h from a good guess"))
      return false;
    return direct.End();
  }();
  if (!direct.Close(&run->trace, ok)) return false;

  Session session;
  ok = [&] {
    if (!session.Open(drained, &run->trace)) return false;
    Road& road = *session.road;
    if (!SetReal(road, "T101.F_in", start) ||
        !SteadyState(road, "the steady state at the start", nullptr))
      return false;
    auto setup = std::make_unique<Request>(kHomotopyService);
    setup->PutUInt16(71);
    setup->PutUInt16(1);
    Writer(*setup).IdPath({2, 2});
    setup->PutDouble(target);
    if (!road.Expect(std::move(setup), "the homotopy set-up (kind 71)", 0)) return false;
    auto begin = std::make_unique<Request>(kHomotopyService);
    begin->PutUInt16(72);
    if (!road.Expect(std::move(begin), "the homotopy start (kind 72)", 0)) return false;
    if (!HomotopySteps(road, &run->trace)) return false;
    auto lambda = std::make_unique<Request>(kHomotopyService);
    lambda->PutUInt16(74);
    Status result = 0;
    std::vector<Message> replies;
    if (!road.Exchange(std::move(lambda), "lambda (kind 74)", &result, &replies)) return false;
    if (replies.empty() || replies[0].body.size() != 10)
      return road.Fail("kind 74: no lambda in the reply");
    std::memcpy(&run->lambda, replies[0].body.data() + 2, 8);
    auto stop = std::make_unique<Request>(kHomotopyService);
    stop->PutUInt16(73);
    if (!road.Expect(std::move(stop), "the homotopy stop (kind 73)", 0)) return false;
    if (!road.Read(1, &run->homotopy_h, "h after the homotopy") ||
        !road.Read(2, &run->homotopy_inflow, "F_in after the homotopy"))
      return false;
    return session.End();
  }();
  return session.Close(&run->trace, ok);
}

}  // namespace vantor_scenario
