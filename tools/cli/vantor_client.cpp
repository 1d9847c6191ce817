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

#include "tools/client.h"

namespace {

constexpr const char* kUsage =
    "Usage: vantor-client [--tcp] [--timeout=MS] [--arg=ITEM]... ENGINE STEP...\n"
    "       vantor-client --help\n"
    "Starts ENGINE as child 1 (over the named-pipe pair in $VANTOR_PIPE_DIR, or TCP\n"
    "on loopback with --tcp; --arg adds a name=value item to its command line) and\n"
    "runs the steps:\n"
    "  request TYPE HEX                 a request whose body is the hex bytes\n"
    "  command TYPE NUMBER [INTEGER]... a command with integers\n"
    "  listen MS                        prints what arrives for MS milliseconds\n"
    "Replies, statuses, event lines and notifications are printed as they come;\n"
    "at the end the connection is closed and the engine's exit code printed.\n"
    "Starting, the handshake and every wait give up after MS milliseconds\n"
    "(--timeout, 10000 by default). Exit status: 0 when every step was answered,\n"
    "1 when the engine failed to start or to answer, 2 for a bad command line.\n";

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

// A whole number from first to last, decimal or with a "0x" prefix.
bool ParseNumber(const std::string& text, long long first, long long last, long long* value) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  char* end = nullptr;
  errno = 0;
  *value = std::strtoll(text.c_str(), &end, hex ? 16 : 10);
  return *end == '\0' && errno == 0 && *value >= first && *value <= last;
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
  return body.empty() ? "(empty)" : hex + "\"" + text + "\"";
}

// "(class 3, flags 0x80, aux 1, sequence 1)": the rest of the header.
std::string Header(const vantor_client::Message& m) {
  char text[96];
  std::snprintf(text, sizeof text, "(class %u, flags 0x%02X, aux %u, sequence %u)",
                m.message_class, m.flags, m.aux, m.sequence);
  return text;
}

// Prints what arrived since the last call, and lets the client forget it.
void PrintNews(vantor_client::Client& client) {
  for (const vantor_client::Event& e : client.TakeEvents()) {
    for (const std::string& line : e.lines) {
      std::printf("event line (code %u, status 0x%08X): %s\n", e.code, e.value, line.c_str());
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

// Sends the request and prints its outcome, labelled "request ID on service
// TYPE" or "command NUMBER (id ID) on service TYPE"; false when it was not
// answered.
bool Exchange(vantor_client::Client& client, std::unique_ptr<vantor_client::Request> request,
              const std::string& command, std::uint32_t timeout_ms) {
  const std::uint32_t type = request->type;
  std::uint32_t id = 0;
  Status result = client.Send(std::move(request), &id);
  const std::string label = (command.empty() ? "request " + std::to_string(id)
                                              : command + " (id " + std::to_string(id) + ")") +
                            " on service " + std::to_string(type);
  if (status::IsSuccess(result)) result = client.Await(id);
  if (result == vantor_client::Client::kTimedOut && !client.PeerLost()) {
    std::printf("no answer to %s: time-out after %u ms\n", label.c_str(), timeout_ms);
    return false;
  }
  if (status::IsFailure(result)) {
    std::printf("no answer to %s: %s (status 0x%08X)\n", label.c_str(),
                client.PeerLost() ? "the engine is gone" : "it could not be sent", result);
    return false;
  }
  for (const auto& reply : client.TakeReplies(id)) {
    std::printf("reply to %s: %s %s\n", label.c_str(), Show(reply.body).c_str(),
                Header(reply).c_str());
  }
  std::printf("status of %s: 0x%08X\n", label.c_str(), client.Find(id)->status);
  client.Forget(id);
  return true;
}

struct Step {
  enum Kind { kRequest, kCommand, kListen } kind = kRequest;
  std::uint32_t type = 0;
  std::uint32_t number = 0;  // the command's number, or how long to listen
  std::vector<std::int32_t> integers;
  Bytes body;
};

bool Refuse(const char* what, const std::string& word, const char* range) {
  std::fprintf(stderr, "vantor-client: %s \"%s\" is not %s\n", what, word.c_str(), range);
  return false;
}

// Reads every step before the engine starts; false after saying what is wrong.
bool ReadSteps(const std::vector<std::string>& words, std::size_t at, std::vector<Step>* steps) {
  constexpr const char* kTypes = "a service type from 1 to 255";
  auto looks_numeric = [](const std::string& word) {
    const std::size_t digit = word.size() > 1 && (word[0] == '-' || word[0] == '+') ? 1 : 0;
    return digit < word.size() && std::isdigit(static_cast<unsigned char>(word[digit]));
  };
  while (at < words.size()) {
    const std::string& name = words[at++];
    Step step;
    long long value = 0;
    const std::size_t left = words.size() - at;
    if (name == "request" && left >= 2) {
      step.kind = Step::kRequest;
      if (!ParseNumber(words[at], 1, 255, &value)) return Refuse("TYPE", words[at], kTypes);
      step.type = static_cast<std::uint32_t>(value);
      if (!ParseHex(words[at + 1], &step.body)) return Refuse("HEX", words[at + 1], "hex bytes");
      at += 2;
    } else if (name == "command" && left >= 2) {
      step.kind = Step::kCommand;
      if (!ParseNumber(words[at], 1, 255, &value)) return Refuse("TYPE", words[at], kTypes);
      step.type = static_cast<std::uint32_t>(value);
      if (!ParseNumber(words[at + 1], 0, UINT32_MAX, &value)) {
        return Refuse("NUMBER", words[at + 1], "a command number from 0 to 4294967295");
      }
      step.number = static_cast<std::uint32_t>(value);
      for (at += 2; at < words.size() && looks_numeric(words[at]); ++at) {
        if (!ParseNumber(words[at], INT32_MIN, INT32_MAX, &value)) {
          return Refuse("INTEGER", words[at], "a 32-bit integer");
        }
        step.integers.push_back(static_cast<std::int32_t>(value));
      }
    } else if (name == "listen" && left >= 1) {
      step.kind = Step::kListen;
      if (!ParseNumber(words[at], 0, INT32_MAX, &value)) {
        return Refuse("MS", words[at], "a time from 0 to 2147483647 milliseconds");
      }
      step.number = static_cast<std::uint32_t>(value);
      ++at;
    } else {
      std::fprintf(stderr, "vantor-client: cannot read the step \"%s\"\n", name.c_str());
      return false;
    }
    steps->push_back(std::move(step));
  }
  return true;
}

bool Run(vantor_client::Client& client, const Step& step, std::uint32_t timeout_ms) {
  switch (step.kind) {
    case Step::kRequest: {
      auto request = std::make_unique<vantor_client::Request>(step.type);
      for (std::uint8_t byte : step.body) request->PutUInt8(byte);
      return Exchange(client, std::move(request), "", timeout_ms);
    }
    case Step::kCommand:
      return Exchange(client, vantor_client::MakeCommand(step.type, step.number, step.integers),
                      "command " + std::to_string(step.number), timeout_ms);
    case Step::kListen: {
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

bool IsHelp(const std::string& word) { return word == "--help" || word == "-h" || word == "help"; }

// Reads the options before ENGINE: 0 to go on, -1 when the usage was asked
// for (and printed), else the exit status of a bad command line.
int ReadOptions(const std::vector<std::string>& words, std::size_t* at,
                vantor_client::EngineOptions* options) {
  for (; *at < words.size() && (words[*at].rfind("-", 0) == 0 || IsHelp(words[*at])); ++*at) {
    const std::string& word = words[*at];
    long long number = 0;
    if (IsHelp(word)) {
      std::fputs(kUsage, stdout);
      return -1;
    } else if (word == "--tcp") {
      options->tcp = true;
    } else if (word.rfind("--timeout=", 0) == 0) {
      if (!ParseNumber(word.substr(10), 1, UINT32_MAX, &number)) {
        Refuse("--timeout", word.substr(10), "a time from 1 to 4294967295 milliseconds");
        return 2;
      }
      options->timeout_ms = static_cast<std::uint32_t>(number);
    } else if (word.rfind("--arg=", 0) == 0) {
      options->arguments.push_back(word.substr(6));
    } else {
      std::fprintf(stderr, "vantor-client: unknown option \"%s\" (see vantor-client --help)\n",
                   word.c_str());
      return 2;
    }
  }
  if (*at >= words.size()) {
    std::fputs("vantor-client: no ENGINE given\n", stderr);
    std::fputs(kUsage, stderr);
    return 2;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  vantor_client::EngineOptions options;
  std::vector<std::string> words(argv + 1, argv + argc);
  std::size_t at = 0;
  const int read = ReadOptions(words, &at, &options);
  if (read != 0) return read < 0 ? 0 : read;
  options.program = words[at++];
  std::vector<Step> steps;
  if (!ReadSteps(words, at, &steps)) return 2;

  std::unique_ptr<vantor_client::Client> client;
  std::string why;
  const Status started = vantor_client::Client::Start(options, &client, &why);
  if (status::IsFailure(started)) {
    std::fprintf(stderr, "vantor-client: cannot start %s: %s\n", options.program.c_str(),
                 why.c_str());
    return 1;
  }
  bool good = true;
  for (const Step& step : steps) {
    good = Run(*client, step, options.timeout_ms);
    PrintNews(*client);
    if (!good) break;
  }
  int exit_code = -1;
  const Status closed = client->Close(&exit_code);
  PrintNews(*client);
  if (closed == vantor_client::Client::kTimedOut) {
    std::printf("engine killed: it did not end within %u ms of closing\n", options.timeout_ms);
  }
  std::printf("engine exit code %d\n", exit_code);
  return good ? 0 : 1;
}
