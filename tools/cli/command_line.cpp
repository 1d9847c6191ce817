#include "tools/cli/command_line.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace vantor_cli {

const char* const kUsage =
    "Usage: vantor-client [--tcp] [--timeout=MS] [--arg=ITEM]... ENGINE STEP...\n"
    "Starts ENGINE as child 1 (over the named-pipe pair, or TCP on loopback with\n"
    "--tcp; --arg adds a name=value item to its command line) and runs the steps:\n"
    "  request TYPE HEX                 a request whose body is the hex bytes\n"
    "  command TYPE NUMBER [INTEGER]... a command with integers\n"
    "  listen MS                        prints what arrives for MS milliseconds\n"
    "Replies, statuses, event lines and notifications are printed as they come;\n"
    "at the end the connection is closed and the engine's exit code printed.\n";

namespace {

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

}  // namespace

bool ReadCommandLine(const std::vector<std::string>& words, CommandLine* line) {
  vantor_client::EngineOptions& options = line->options;
  std::size_t at = 0;
  for (; at < words.size() && words[at].rfind("--", 0) == 0; ++at) {
    long long number = 0;
    if (words[at] == "--tcp") {
      options.tcp = true;
    } else if (words[at].rfind("--timeout=", 0) == 0) {
      if (!ParseNumber(words[at].substr(10), 1, UINT32_MAX, &number)) {
        Refuse("--timeout", words[at].substr(10), "a time from 1 to 4294967295 milliseconds");
        return false;
      }
      options.timeout_ms = static_cast<std::uint32_t>(number);
    } else if (words[at].rfind("--arg=", 0) == 0) {
      options.arguments.push_back(words[at].substr(6));
    } else {
      std::fputs(kUsage, stderr);
      return false;
    }
  }
  if (at >= words.size()) {
    std::fputs(kUsage, stderr);
    return false;
  }
  options.program = words[at++];
  return ReadSteps(words, at, &line->steps);
}

}  // namespace vantor_cli
