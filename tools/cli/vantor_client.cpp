// vantor-client: starts an engine through the vantor client, runs the steps
// given on the command line and prints what comes back.
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tools/cli/command_line.h"
#include "tools/client.h"
#include "tools/first_order.h"
#include "tools/robertson.h"
#include "tools/status_texts.h"

namespace {

using vantor_client::Bytes;
using vantor_client::StatusWithMeaning;

std::string Show(const Bytes& body) {
  std::string hex;
  std::string text;
  char piece[4];
  for (std::uint8_t byte : body) {
    std::snprintf(piece, sizeof piece, "%02x ", byte);
    hex += piece;
    text += std::isprint(byte) ? static_cast<char>(byte) : '.';
  }
  return body.empty() ? "(empty)" : hex + "\"" + text + "\"";
}

// "(class 3, flags 0x80, aux 1, sequence 1)": the rest of the header.
std::string Header(const vantor_client::Message& m) {
  char text[96];
  std::snprintf(text, sizeof text, "(class %u, flags 0x%02X, aux %u, sequence %u)", m.message_class,
                m.flags, m.aux, m.sequence);
  return text;
}

// Prints what arrived since the last call, and lets the client forget it.
void PrintNews(vantor_client::Client& client) {
  for (const vantor_client::Event& e : client.TakeEvents()) {
    for (const std::string& line : e.lines) {
      std::printf("event line (code %u), status %s: %s\n", e.code,
                  StatusWithMeaning(e.value).c_str(), line.c_str());
    }
  }
  for (const auto& m : client.TakeNotifications()) {
    std::printf("message from the engine to service %u (subtype %u, id %u): %s %s\n", m.type,
                m.subtype, m.id, Show(m.body).c_str(), Header(m).c_str());
  }
  for (const std::string& failure : client.TakeFailures()) {
    std::printf("the framework reports: %s\n", failure.c_str());
  }
  std::fflush(stdout);
}

// The status of a request that ends the engine (command 2).
constexpr Status kEngineEnds = 0x00320024u;

// Sends the request and prints its outcome, labelled "request ID on service
// TYPE" or "command NUMBER (id ID) on service TYPE"; false when it was not
// answered. *answered is the status of the answer.
bool Exchange(vantor_client::Client& client, std::unique_ptr<vantor_client::Request> request,
              const std::string& command, std::uint32_t timeout_ms, Status* answered) {
  const std::uint32_t type = request->type;
  std::uint32_t id = 0;
  const Status sent = client.Send(std::move(request), &id);
  const std::string label = (command.empty() ? "request " + std::to_string(id)
                                             : command + " (id " + std::to_string(id) + ")") +
                            " on service " + std::to_string(type);
  if (status::IsFailure(sent)) {
    // Refused before it left: nothing will answer, so nothing is awaited.
    const char* why = client.PeerLost()      ? "the engine is gone"
                      : !client.Serves(type) ? "the engine serves no such service"
                                             : "it could not be sent";
    std::printf("%s refused: %s, status %s\n", label.c_str(), why, StatusWithMeaning(sent).c_str());
    return false;
  }
  const Status result = client.Await(id);
  if (client.PeerLost()) {
    std::printf("no answer to %s: the engine is gone, status %s\n", label.c_str(),
                StatusWithMeaning(result).c_str());
    return false;
  }
  if (result == vantor_client::Client::kTimedOut) {
    std::printf("no answer to %s: time-out after %u ms\n", label.c_str(), timeout_ms);
    return false;
  }
  if (status::IsFailure(result)) {
    std::printf("no answer to %s, status %s\n", label.c_str(), StatusWithMeaning(result).c_str());
    return false;
  }
  for (const auto& reply : client.TakeReplies(id)) {
    std::printf("reply to %s: %s %s\n", label.c_str(), Show(reply.body).c_str(),
                Header(reply).c_str());
  }
  *answered = client.Find(id)->status;
  std::printf("status of %s: %s\n", label.c_str(), StatusWithMeaning(*answered).c_str());
  client.Forget(id);
  return true;
}

bool Run(vantor_client::Client& client, const vantor_cli::Step& step, std::uint32_t timeout_ms,
         Status* answered) {
  switch (step.kind) {
    case vantor_cli::Step::kRequest: {
      auto request = std::make_unique<vantor_client::Request>(step.type);
      for (std::uint8_t byte : step.body) request->PutUInt8(byte);
      return Exchange(client, std::move(request), "", timeout_ms, answered);
    }
    case vantor_cli::Step::kCommand:
      return Exchange(
          client, vantor_client::MakeCommand(step.type, step.number, step.integers, {}, step.texts),
          "command " + std::to_string(step.number), timeout_ms, answered);
    case vantor_cli::Step::kFirstOrder:
    case vantor_cli::Step::kRobertson:
      return false;
    case vantor_cli::Step::kListen: {
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(step.number);
      while (std::chrono::steady_clock::now() < until && !client.PeerLost()) {
        client.Poll();
        PrintNews(client);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      return true;
    }
  }
  return false;
}

// The FirstOrder sample run: the steady state, the table of the dynamic
// run against the exact solution and one closing line; 0 only when every
// value is within tolerance. A run that broke says why first and shows only
// the values it read.
int RunFirstOrder(const vantor_client::EngineOptions& options, const std::string& folder,
                  const std::string& given) {
  vantor_scenario::FirstOrderOptions scenario;
  scenario.engine = options;
  scenario.folder = folder;
  scenario.shown_folder = given;
  vantor_scenario::FirstOrderRun run;
  vantor_scenario::RunFirstOrder(scenario, &run);
  const bool good = vantor_scenario::WithinTolerance(run);
  if (!run.failure.empty()) {
    std::printf("the run failed: %s\n", run.failure.c_str());
    std::fflush(stdout);
  }
  if (!good) {
    for (const std::string& line : run.events)
      std::fprintf(stderr, "event line: %s\n", line.c_str());
    std::fflush(stderr);
  }
  std::printf("FirstOrder: dx/dt = k*(u - x), y = 2*x, k = 1\n");
  if (run.refused != 0) {
    std::printf("malformed instance description refused: status %s\n",
                StatusWithMeaning(run.refused).c_str());
  }
  if (!std::isnan(run.steady_x) && !std::isnan(run.steady_y)) {
    std::printf("steady state (u = 2): x = %.10f, y = %.10f\n", run.steady_x, run.steady_y);
  }
  if (!run.samples.empty()) {
    std::printf("dynamic run after u := 5 from x(0) = 2, exact x = 5 - 3*exp(-t):\n");
    std::printf("%5s %12s %12s %12s %12s\n", "t", "x", "y", "exact x", "rel. error");
  }
  for (const vantor_scenario::Sample& s : run.samples) {
    const double exact = vantor_scenario::ExactX(s.t);
    std::printf("%5.2f %12.6f %12.6f %12.6f %12.1e\n", s.t, s.x, s.y, exact,
                std::fabs(s.x - exact) / exact);
  }
  if (good) {
    std::printf(
        "the run was fine: every value within tolerance (steady state %g, dynamic %g "
        "relative), engine exit code 0, snapshot.snp written\n",
        vantor_scenario::kSteadyTolerance, vantor_scenario::kDynamicTolerance);
  } else if (run.failure.empty()) {
    std::printf("the run failed: values out of tolerance (steady state %g, dynamic %g relative)\n",
                vantor_scenario::kSteadyTolerance, vantor_scenario::kDynamicTolerance);
  }
  return good ? 0 : 1;
}

// The Robertson sample runs: per end time the values against the
// reference and the run's time; 0 only when every value is within 1e-4.
int RunRobertson(const vantor_client::EngineOptions& options, const std::string& folder,
                 const std::string& given) {
  vantor_scenario::RobertsonOptions scenario;
  scenario.engine = options;
  scenario.folder = folder;
  scenario.shown_folder = given;
  vantor_scenario::RobertsonRun run;
  const bool ran = vantor_scenario::RunRobertson(scenario, &run);
  std::printf(
      "Robertson: y1' = -0.04 y1 + 1e4 y2 y3, y2' = 0.04 y1 - 1e4 y2 y3 - 3e7 y2^2,\n"
      "y1 + y2 + y3 = 1 from (1, 0, 0); Gear12, rtol %g, atol %g\n",
      scenario.rtol, scenario.atol);
  std::printf("%8s %17s %17s %17s %10s %8s\n", "t", "y1", "y2", "y3", "rel. error", "seconds");
  bool good = ran;
  for (const vantor_scenario::RobertsonPoint& p : run.points) {
    double reference[3] = {0, 0, 0};
    vantor_scenario::RobertsonReference(p.t, reference);
    const double error = vantor_scenario::RobertsonError(p);
    std::printf("%8.3g %17.10e %17.10e %17.10e %10.1e %8.2f\n", p.t, p.y[0], p.y[1], p.y[2], error,
                p.seconds);
    std::printf("%8s %17.10e %17.10e %17.10e\n", "ref.", reference[0], reference[1], reference[2]);
    good = good && error <= 1e-4 && p.y[0] >= 0 && p.y[1] >= 0;
  }
  if (!ran) {
    std::printf("the run failed: %s\n", run.failure.c_str());
  } else {
    std::printf(good ? "every value within 1e-4 of the reference\n"
                     : "values out of tolerance (1e-4 relative)\n");
  }
  return good ? 0 : 1;
}

// A folder made for a run that failed goes again when the run left nothing
// in it but the empty run folders the engine made; anything else, a link
// included, keeps it (remove fails on a folder that is not empty).
void RemoveIfEmpty(const std::string& folder) {
  namespace fs = std::filesystem;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
    if (fs::is_directory(entry.symlink_status(error))) fs::remove(entry.path(), error);
  }
  fs::remove(folder, error);
}

}  // namespace

int main(int argc, char** argv) {
  vantor_cli::CommandLine line;
  const int read =
      vantor_cli::ReadCommandLine(std::vector<std::string>(argv + 1, argv + argc), &line);
  if (read != 0) return read < 0 ? 0 : read;
  const vantor_client::EngineOptions& options = line.options;
  // The engine starts in its own folder: a relative registry or pipe folder
  // is the user's, from here (else client and engine would look for the
  // pipes in two places).
  for (const char* variable : {"VANTOR_REGISTRY", "VANTOR_PIPE_DIR"}) {
    const char* value = std::getenv(variable);
    if (value == nullptr || value[0] == '\0' || value[0] == '/') continue;
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(value, error);
    if (!error) setenv(variable, absolute.c_str(), 1);
  }
  const bool sample =
      line.steps.size() == 1 && (line.steps[0].kind == vantor_cli::Step::kFirstOrder ||
                                 line.steps[0].kind == vantor_cli::Step::kRobertson);
  if (sample) {
    std::string folder;
    std::string why;
    bool made = false;
    if (!vantor_cli::MakeWorkingFolder(line.steps[0].texts[0], &folder, &why, &made)) {
      std::fprintf(stderr, "vantor-client: %s\n", why.c_str());
      return 2;
    }
    const int result = line.steps[0].kind == vantor_cli::Step::kFirstOrder
                           ? RunFirstOrder(options, folder, line.steps[0].texts[0])
                           : RunRobertson(options, folder, line.steps[0].texts[0]);
    if (made && result != 0) RemoveIfEmpty(folder);
    return result;
  }

  std::unique_ptr<vantor_client::Client> client;
  std::string why;
  const Status started = vantor_client::Client::Start(options, &client, &why);
  if (status::IsFailure(started)) {
    std::fprintf(stderr, "vantor-client: cannot start %s: %s\n", options.program.c_str(),
                 why.c_str());
    return 1;
  }
  bool good = true;
  bool ending = false;
  for (const vantor_cli::Step& step : line.steps) {
    Status answered = 0;
    good = Run(*client, step, options.timeout_ms, &answered);
    ending = ending || (good && answered == kEngineEnds);
    PrintNews(*client);
    if (!good) break;
  }
  // An engine told to end ends by itself (exit code 0); closing first would
  // end it as one whose client is gone.
  if (ending) {
    client->WaitForEnd();
    PrintNews(*client);
  }
  int exit_code = -1;
  const Status closed = client->Close(&exit_code);
  PrintNews(*client);
  if (closed == vantor_client::Client::kTimedOut) {
    std::printf("engine killed: it did not end within %u ms of closing\n",
                client->EngineEndBoundMs());
  } else {
    std::printf("%s\n", vantor_client::EngineEnd(exit_code).c_str());
  }
  return good ? 0 : 1;
}
