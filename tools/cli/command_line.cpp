#include "tools/cli/command_line.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace vantor_cli {

const char* const kUsage =
    "Usage: vantor-client [--tcp] [--timeout=MS] [--arg=ITEM]... ENGINE STEP...\n"
    "       vantor-client --help\n"
    "Starts ENGINE as child 1 (over the named-pipe pair in $VANTOR_PIPE_DIR, or TCP\n"
    "on loopback with --tcp; --arg adds a name=value item to its command line, such\n"
    "as -DefDir=FOLDER, but not -ChildNo, -ParentNode or -SessionId, which the client\n"
    "gives) and runs the steps:\n"
    "  request TYPE HEX                 a request whose body is the hex bytes\n"
    "  command TYPE NUMBER [INTEGER | text:TEXT]...\n"
    "                                   a command with integers and texts\n"
    "  listen MS                        prints what arrives for MS milliseconds\n"
    "  first-order FOLDER               the FirstOrder sample run in FOLDER (alone):\n"
    "                                   a table of x and y against the exact values\n"
    "  robertson FOLDER                 Robertson's stiff kinetics to t = 40, 4e5 and\n"
    "                                   1e11 in FOLDER (alone): the values against the\n"
    "                                   published reference\n"
    "Replies, statuses, event lines and notifications are printed as they come;\n"
    "at the end the connection is closed (after command 2, once the engine has\n"
    "ended) and the engine's exit code printed.\n"
    "Starting, the handshake and every wait give up after MS milliseconds\n"
    "(--timeout, 10000 by default). An option's value may also be the next word\n"
    "(--timeout 5000). A relative -DefDir, like $VANTOR_REGISTRY and\n"
    "$VANTOR_PIPE_DIR, is read from the folder the client runs in.\n"
    "Exit status: 0 when every step was answered,\n"
    "1 when the engine failed to start or to answer, 2 for a bad command line.\n";

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
      for (at += 2; at < words.size(); ++at) {
        if (words[at].rfind("text:", 0) == 0) {
          step.texts.push_back(words[at].substr(5));
          continue;
        }
        if (!looks_numeric(words[at])) break;
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
    } else if ((name == "first-order" || name == "robertson") && left >= 1) {
      step.kind = name == "robertson" ? Step::kRobertson : Step::kFirstOrder;
      step.texts.push_back(words[at++]);
      if (!steps->empty() || at < words.size()) {
        std::fprintf(stderr, "vantor-client: the step \"%s\" runs alone\n", name.c_str());
        return false;
      }
    } else if (name == "request" || name == "command" || name == "listen" ||
               name == "first-order" || name == "robertson") {
      // Too few words left: name the first one missing.
      const char* needs = name == "request"   ? (left == 0 ? "TYPE" : "HEX (the body as hex bytes)")
                          : name == "command" ? (left == 0 ? "TYPE" : "NUMBER")
                          : name == "listen"  ? "MS"
                                              : "FOLDER";
      std::fprintf(stderr, "vantor-client: the step \"%s\" is missing its %s\n", name.c_str(),
                   needs);
      return false;
    } else {
      std::fprintf(stderr, "vantor-client: cannot read the step \"%s\"\n", name.c_str());
      return false;
    }
    steps->push_back(std::move(step));
  }
  return true;
}

bool IsHelp(const std::string& word) { return word == "--help" || word == "-h" || word == "help"; }

// Reads the options before ENGINE: 0 to go on, -1 when the usage was asked
// for (and printed), else the exit status of a bad command line.
int ReadOptions(const std::vector<std::string>& words, std::size_t* at,
                vantor_client::EngineOptions* options) {
  for (; *at < words.size() && (words[*at].rfind("-", 0) == 0 || IsHelp(words[*at])); ++*at) {
    const std::string& word = words[*at];
    long long number = 0;
    // "--timeout=MS" or "--timeout MS", and the same for --arg.
    std::string value;
    auto valued = [&](const std::string& option) {
      if (word.rfind(option + "=", 0) == 0) {
        value = word.substr(option.size() + 1);
        return true;
      }
      if (word != option || *at + 1 >= words.size()) return false;
      value = words[++*at];
      return true;
    };
    if (IsHelp(word)) {
      std::fputs(kUsage, stdout);
      return -1;
    } else if (word == "--tcp") {
      options->tcp = true;
    } else if (valued("--timeout")) {
      if (!ParseNumber(value, 1, UINT32_MAX, &number)) {
        Refuse("--timeout", value, "a time from 1 to 4294967295 milliseconds");
        return 2;
      }
      options->timeout_ms = static_cast<std::uint32_t>(number);
    } else if (valued("--arg")) {
      // The engine reads its command line as name=value items.
      const std::string& item = value;
      const std::size_t equals = item.find('=');
      if (equals == std::string::npos || equals == 0) {
        Refuse("--arg", item, "a name=value item");
        return 2;
      }
      // The items that tie the engine to this client: another value would
      // leave the client waiting for an engine that listens elsewhere.
      const std::string name = item.substr(0, equals);
      if (name == "-ChildNo" || name == "-ParentNode" || name == "-SessionId") {
        std::fprintf(stderr, "vantor-client: --arg \"%s\" is refused: the client gives %s itself\n",
                     item.c_str(), name.c_str());
        return 2;
      }
      // The engine starts in its own folder: a relative folder is the
      // user's, from here, as the registry and pipe folders are.
      std::string given = item.substr(equals + 1);
      if (name == "-DefDir" && !given.empty() && given[0] != '/') {
        std::error_code error;
        const std::filesystem::path absolute = std::filesystem::absolute(given, error);
        if (!error) given = absolute.lexically_normal().string();
      }
      options->arguments.push_back(name + "=" + given);
    } else if (word == "--timeout" || word == "--arg") {
      std::fprintf(stderr, "vantor-client: %s is missing its value (see vantor-client --help)\n",
                   word.c_str());
      return 2;
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

int ReadCommandLine(const std::vector<std::string>& words, CommandLine* line) {
  std::size_t at = 0;
  const int read = ReadOptions(words, &at, &line->options);
  if (read != 0) return read;
  line->options.program = words[at++];
  return ReadSteps(words, at, &line->steps) ? 0 : 2;
}

bool MakeWorkingFolder(const std::string& given, std::string* folder, std::string* why,
                       bool* made) {
  namespace fs = std::filesystem;
  if (made != nullptr) *made = false;
  std::error_code error;
  fs::path path = fs::absolute(given, error).lexically_normal();
  if (error || given.empty()) {
    *why = "FOLDER \"" + given + "\" is not a path";
    return false;
  }
  if (!path.has_filename() && path.has_parent_path() && path != path.root_path()) {
    path = path.parent_path();
  }
  *folder = path.string();
  const fs::file_status found = fs::status(path, error);
  if (fs::is_directory(found)) return true;
  if (fs::exists(found)) {
    *why = "FOLDER " + *folder + " is not a folder";
    return false;
  }
  const fs::path parent = path.parent_path();
  if (!fs::is_directory(parent, error)) {
    *why = "FOLDER " + *folder + " cannot be made: its parent " + parent.string() +
           " does not exist";
    return false;
  }
  const bool created = fs::create_directory(path, error);
  if (!created && !fs::is_directory(path)) {
    *why = "FOLDER " + *folder + " cannot be made: " + error.message();
    return false;
  }
  if (made != nullptr) *made = created;
  return true;
}

}  // namespace vantor_cli
