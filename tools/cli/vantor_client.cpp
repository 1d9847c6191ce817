// vantor-client: starts an engine through the vantor client, runs the steps
// given on the command line and prints what comes back.
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tools/cli/command_line.h"
#include "tools/client.h"

namespace {

using vantor_client::Bytes;

std::string Show(const Bytes& body) {
  std::string hex;
  std::string text;
  char piece[4];
  for (std::uint8_t byte : body) {
    std::snprintf(piece, sizeof piece, "%02x ", byte);
    hex += piece;
    text += std::isprint(byte) ? static_cast<char>(byte) : '.';
  }
  return body.empty() ? "(empty)" : hex + " \"" + text + "\"";
}

void PrintMessage(const char* what, const vantor_client::Message& m) {
  std::printf("%s %u/%u id=%u class=%u flags=0x%02X aux=%u sequence=%u body: %s\n", what, m.type,
              m.subtype, m.id, m.message_class, m.flags, m.aux, m.sequence, Show(m.body).c_str());
}

// Prints what arrived since the last call, and lets the client forget it.
void PrintNews(vantor_client::Client& client) {
  for (const vantor_client::Event& e : client.TakeEvents()) {
    for (const std::string& line : e.lines) {
      std::printf("event %u 0x%08X: %s\n", e.code, e.value, line.c_str());
    }
  }
  for (const auto& note : client.TakeNotifications()) PrintMessage("notification", note);
  for (const std::string& failure : client.TakeFailures()) std::printf("failure: %s\n", failure.c_str());
  std::fflush(stdout);
}

// Sends the request and prints its outcome; false when it did not complete.
bool Exchange(vantor_client::Client& client, std::unique_ptr<vantor_client::Request> request) {
  std::uint32_t id = 0;
  Status result = client.Send(std::move(request), &id);
  if (status::IsSuccess(result)) result = client.Await(id);
  if (status::IsFailure(result)) {
    std::printf("no answer: 0x%08X\n", result);
    return false;
  }
  for (const auto& reply : client.TakeReplies(id)) PrintMessage("reply", reply);
  std::printf("status 0x%08X\n", client.Find(id)->status);
  client.Forget(id);
  return true;
}

bool Run(vantor_client::Client& client, const vantor_cli::Step& step) {
  switch (step.kind) {
    case vantor_cli::Step::kRequest: {
      auto request = std::make_unique<vantor_client::Request>(step.type);
      for (std::uint8_t byte : step.body) request->PutUInt8(byte);
      return Exchange(client, std::move(request));
    }
    case vantor_cli::Step::kCommand:
      return Exchange(client, vantor_client::MakeCommand(step.type, step.number, step.integers));
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

}  // namespace

int main(int argc, char** argv) {
  vantor_cli::CommandLine line;
  if (!vantor_cli::ReadCommandLine(std::vector<std::string>(argv + 1, argv + argc), &line)) return 2;
  const vantor_client::EngineOptions& options = line.options;
  const std::vector<vantor_cli::Step>& steps = line.steps;

  std::unique_ptr<vantor_client::Client> client;
  const Status started = vantor_client::Client::Start(options, &client);
  if (status::IsFailure(started)) {
    std::fprintf(stderr, "vantor-client: cannot start %s: 0x%08X\n", options.program.c_str(), started);
    return 1;
  }
  bool good = true;
  for (const vantor_cli::Step& step : steps) {
    good = Run(*client, step);
    PrintNews(*client);
    if (!good) break;
  }
  int exit_code = -1;
  client->Close(&exit_code);
  PrintNews(*client);
  std::printf("engine exit code %d\n", exit_code);
  return good ? 0 : 1;
}
