// vantor-client: starts an engine through the vantor client, runs the steps
// given on the command line and prints what comes back.
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tools/client.h"

namespace {

constexpr const char* kUsage =
    "Usage: vantor-client [--tcp] [--timeout=MS] [--arg=ITEM]... ENGINE STEP...\n"
    "Starts ENGINE as child 1 (over the named-pipe pair, or TCP on loopback with\n"
    "--tcp; --arg adds a name=value item to its command line) and runs the steps:\n"
    "  request TYPE HEX                 a request whose body is the hex bytes\n"
    "  command TYPE NUMBER [INTEGER]... a command with integers\n"
    "  listen MS                        prints what arrives for MS milliseconds\n"
    "Replies, statuses, event lines and notifications are printed as they come;\n"
    "at the end the connection is closed and the engine's exit code printed.\n";

using vantor_client::Bytes;

bool ParseHex(const std::string& text, Bytes* bytes) {
  std::string digits;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) {
      digits += c;
    } else if (c != ' ') {
      return false;
    }
  }
  if (digits.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    bytes->push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return true;
}

bool ParseNumber(const std::string& text, long long* value) {
  char* end = nullptr;
  *value = std::strtoll(text.c_str(), &end, 0);
  return !text.empty() && *end == '\0';
}

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

// Prints what arrived since the last call.
class Printer {
 public:
  explicit Printer(const vantor_client::Client& client) : client_(client) {}
  void News() {
    for (; events_ < client_.Events().size(); ++events_) {
      const vantor_client::Event& e = client_.Events()[events_];
      for (const std::string& line : e.lines) {
        std::printf("event %u 0x%08X: %s\n", e.code, e.value, line.c_str());
      }
    }
    for (; notes_ < client_.Notifications().size(); ++notes_) {
      PrintMessage("notification", client_.Notifications()[notes_]);
    }
    for (; failures_ < client_.Failures().size(); ++failures_) {
      std::printf("failure: %s\n", client_.Failures()[failures_].c_str());
    }
    std::fflush(stdout);
  }

 private:
  const vantor_client::Client& client_;
  std::size_t events_ = 0;
  std::size_t notes_ = 0;
  std::size_t failures_ = 0;
};

// Sends the request and prints its outcome; false when it did not complete.
bool Exchange(vantor_client::Client& client, std::unique_ptr<vantor_client::Request> request) {
  std::uint32_t id = 0;
  Status result = client.Send(std::move(request), &id);
  if (status::IsSuccess(result)) result = client.Await(id);
  if (status::IsFailure(result)) {
    std::printf("no answer: 0x%08X\n", result);
    return false;
  }
  const vantor_client::Outcome& outcome = *client.Find(id);
  for (const auto& reply : outcome.replies) PrintMessage("reply", reply);
  std::printf("status 0x%08X\n", outcome.status);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  vantor_client::EngineOptions options;
  std::vector<std::string> words(argv + 1, argv + argc);
  std::size_t at = 0;
  for (; at < words.size() && words[at].rfind("--", 0) == 0; ++at) {
    long long number = 0;
    if (words[at] == "--tcp") {
      options.tcp = true;
    } else if (words[at].rfind("--timeout=", 0) == 0 && ParseNumber(words[at].substr(10), &number) &&
               number > 0) {
      options.timeout_ms = static_cast<std::uint32_t>(number);
    } else if (words[at].rfind("--arg=", 0) == 0) {
      options.arguments.push_back(words[at].substr(6));
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (at >= words.size()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  options.program = words[at++];

  std::unique_ptr<vantor_client::Client> client;
  const Status started = vantor_client::Client::Start(options, &client);
  if (status::IsFailure(started)) {
    std::fprintf(stderr, "vantor-client: cannot start %s: 0x%08X\n", options.program.c_str(), started);
    return 1;
  }
  Printer printer(*client);
  bool good = true;
  while (good && at < words.size()) {
    const std::string step = words[at++];
    long long type = 0;
    long long number = 0;
    if (step == "request" && at + 2 <= words.size() && ParseNumber(words[at], &type)) {
      Bytes body;
      good = ParseHex(words[at + 1], &body);
      at += 2;
      if (!good) break;
      auto request = std::make_unique<vantor_client::Request>(static_cast<std::uint32_t>(type));
      for (std::uint8_t byte : body) request->PutUInt8(byte);
      good = Exchange(*client, std::move(request));
    } else if (step == "command" && at + 2 <= words.size() && ParseNumber(words[at], &type) &&
               ParseNumber(words[at + 1], &number)) {
      at += 2;
      std::vector<std::int32_t> integers;
      long long value = 0;
      while (at < words.size() && ParseNumber(words[at], &value)) {
        integers.push_back(static_cast<std::int32_t>(value));
        ++at;
      }
      good = Exchange(*client, vantor_client::MakeCommand(static_cast<std::uint32_t>(type),
                                                           static_cast<std::uint32_t>(number),
                                                           integers));
    } else if (step == "listen" && at < words.size() && ParseNumber(words[at++], &number)) {
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(number);
      while (std::chrono::steady_clock::now() < until && !client->PeerLost()) {
        client->Poll();
        printer.News();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    } else {
      std::fprintf(stderr, "vantor-client: cannot read the step \"%s\"\n", step.c_str());
      good = false;
    }
    printer.News();
  }
  int exit_code = -1;
  client->Close(&exit_code);
  printer.News();
  std::printf("engine exit code %d\n", exit_code);
  return good ? 0 : 1;
}
