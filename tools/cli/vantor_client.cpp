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

bool Run(vantor_client::Client& client, const Step& step) {
  switch (step.kind) {
    case Step::kRequest: {
      auto request = std::make_unique<vantor_client::Request>(step.type);
      for (std::uint8_t byte : step.body) request->PutUInt8(byte);
      return Exchange(client, std::move(request));
    }
    case Step::kCommand:
      return Exchange(client, vantor_client::MakeCommand(step.type, step.number, step.integers));
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

}  // namespace

int main(int argc, char** argv) {
  vantor_client::EngineOptions options;
  std::vector<std::string> words(argv + 1, argv + argc);
  std::size_t at = 0;
  for (; at < words.size() && words[at].rfind("--", 0) == 0; ++at) {
    long long number = 0;
    if (words[at] == "--tcp") {
      options.tcp = true;
    } else if (words[at].rfind("--timeout=", 0) == 0) {
      if (!ParseNumber(words[at].substr(10), 1, UINT32_MAX, &number)) {
        Refuse("--timeout", words[at].substr(10), "a time from 1 to 4294967295 milliseconds");
        return 2;
      }
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
  std::vector<Step> steps;
  if (!ReadSteps(words, at, &steps)) return 2;

  std::unique_ptr<vantor_client::Client> client;
  std::string why;
  const Status started = vantor_client::Client::Start(options, &client, &why);
  if (status::IsFailure(started)) {
    std::fprintf(stderr, "vantor-client: cannot start %s: %s\n", options.program.c_str(), why.c_str());
    return 1;
  }
  bool good = true;
  for (const Step& step : steps) {
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
