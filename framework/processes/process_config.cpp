// The process manager's configuration file: one record per line, either a
// machine ("name is a nt using rexec username u password p directory d") or
// a process ("name runs program on machine hidden"). "#" starts a comment;
// blanks and tabs separate tokens; double quotes group a token and keep its
// case, which is folded to lower case elsewhere.
#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "framework/processes/child_engine.h"
#include "framework/connections/io_status.h"
#include "framework/processes/process_manager.h"

namespace {

struct Token {
  std::string text;
  bool quoted = false;
  std::size_t column = 0;
};

enum class Scope { kMachine, kProcess, kEither };

struct Keyword {
  const char* word;
  Scope scope;
};

constexpr Keyword kKeywords[] = {
    {"is", Scope::kMachine},       {"a", Scope::kMachine},         {"runs", Scope::kProcess},
    {"debugs", Scope::kProcess},   {"debugger", Scope::kEither},   {"hidden", Scope::kProcess},
    {"display", Scope::kEither},   {"directory", Scope::kMachine}, {"on", Scope::kEither},
    {"node", Scope::kEither},      {"using", Scope::kMachine},     {"username", Scope::kMachine},
    {"password", Scope::kMachine},
};

struct Word {
  const char* word;
  std::uint32_t value;
};

constexpr Word kSystems[] = {{"unix", XosComputeNode::kUnix},
                             {"vms", XosComputeNode::kVms},
                             {"nt", XosComputeNode::kWindowsNT},
                             {"win95", XosComputeNode::kWindows9x}};
constexpr Word kMethods[] = {{"rexec", XosComputeNode::kRemoteExecution},
                             {"rsh", XosComputeNode::kRemoteShell},
                             {"dcom", XosComputeNode::kDcom}};

const Keyword* FindKeyword(const Token& token) {
  if (token.quoted) return nullptr;
  for (const Keyword& k : kKeywords) {
    if (token.text == k.word) return &k;
  }
  return nullptr;
}

template <std::size_t N>
bool FindWord(const Word (&words)[N], const std::string& text, std::uint32_t* value) {
  for (const Word& w : words) {
    if (text == w.word) {
      *value = w.value;
      return true;
    }
  }
  return false;
}

char Fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Splits a line into tokens; false with *error_column at the offending
// character for an unclosed quote or a control character.
bool Tokenize(const std::string& line, std::vector<Token>* tokens, std::size_t* error_column) {
  std::size_t i = 0;
  const std::size_t n = line.size();
  for (;;) {
    while (i < n && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == n || line[i] == '#') return true;
    Token token;
    token.column = i;
    bool in_quotes = false;
    std::size_t quote_column = 0;
    for (; i < n; ++i) {
      const char c = line[i];
      if (!in_quotes && (c == ' ' || c == '\t' || c == '#')) break;
      if (static_cast<unsigned char>(c) < 0x20 && c != '\t') {
        *error_column = i;
        return false;
      }
      if (c == '"') {
        in_quotes = !in_quotes;
        token.quoted = true;
        quote_column = i;
      } else {
        token.text += in_quotes ? c : Fold(c);
      }
    }
    if (in_quotes) {
      *error_column = quote_column;
      return false;
    }
    tokens->push_back(std::move(token));
  }
}

}  // namespace

// Reads the records of one file into the manager.
class DseConfigurationReader {
 public:
  explicit DseConfigurationReader(DseProcessManager* manager) : manager_(manager) {}

  void ReadLine(std::string line, int line_number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > DseProcessManager::kMaxLineLength) {
      line.resize(DseProcessManager::kMaxLineLength);
      SyntaxError(line, line_number, DseProcessManager::kMaxLineLength);
      return;
    }
    std::vector<Token> tokens;
    std::size_t column = 0;
    if (!Tokenize(line, &tokens, &column)) {
      SyntaxError(line, line_number, column);
      return;
    }
    if (tokens.empty()) return;
    if (!ReadRecord(tokens, line.size(), &column)) SyntaxError(line, line_number, column);
  }

 private:
  enum class Kind { kUnknown, kMachine, kProcess };

  // The line, a caret under the column and the record's line number and
  // position (from 1).
  static void SyntaxError(const std::string& line, int line_number, std::size_t column) {
    std::string caret;
    for (std::size_t i = 0; i < column; ++i) {
      caret += i < line.size() && line[i] == '\t' ? '\t' : ' ';
    }
    std::printf("%s\n%s^\nSyntax Error in record %d at position %zu\n", line.c_str(), caret.c_str(),
                line_number, column + 1);
  }

  // False with *column at the place of the error.
  bool ReadRecord(const std::vector<Token>& tokens, std::size_t end, std::size_t* column) {
    Kind kind = Kind::kUnknown;
    bool seen_is = false;
    std::uint32_t system = XosComputeNode::kOtherSystem;
    std::uint32_t method = XosComputeNode::kNoMethod;
    std::string user, password, directory, program, display, debugger;
    std::string machine = "local";
    std::size_t machine_column = end;
    bool hidden = false;
    bool debugged = false;

    for (std::size_t i = 1; i < tokens.size();) {
      const Token& token = tokens[i];
      const Keyword* keyword = FindKeyword(token);
      *column = token.column;
      if (keyword == nullptr) return false;
      const Kind wanted = keyword->scope == Scope::kMachine   ? Kind::kMachine
                          : keyword->scope == Scope::kProcess ? Kind::kProcess
                                                              : kind;
      if (kind != Kind::kUnknown && wanted != kind) return false;
      kind = wanted;
      const std::string word = keyword->word;
      // Words that stand alone; every other keyword takes the next token.
      const bool alone = word == "hidden" || word == "node" || (word == "is" && !seen_is) ||
                         ((word == "debugger" || word == "display") && kind == Kind::kMachine);
      if (word == "is") seen_is = true;
      ++i;
      if (alone) {
        if (word == "hidden") hidden = true;
        continue;
      }
      if (i == tokens.size()) {
        *column = end;
        return false;
      }
      const Token& value = tokens[i++];
      *column = value.column;
      if (word == "a") {
        if (!FindWord(kSystems, value.text, &system)) return false;
      } else if (word == "using") {
        if (!FindWord(kMethods, value.text, &method)) return false;
      } else if (word == "username") {
        user = value.text;
      } else if (word == "password") {
        password = value.text;
      } else if (word == "directory") {
        directory = value.text;
      } else if (word == "runs" || word == "debugs") {
        program = value.text;
        debugged = word == "debugs";
      } else if (word == "on" && kind != Kind::kMachine) {
        machine = value.text;
        machine_column = value.column;
      } else if (word == "display") {
        display = value.text;
      } else if (word == "debugger") {
        debugger = value.text;
      }
      // The value of "on" and of a second "is" in a machine record says
      // nothing this engine uses.
    }

    *column = end;
    const std::string& name = tokens[0].text;
    if (kind == Kind::kMachine) {
      auto* node = new DseComputeNode(name);
      node->Initialize(name == "local" ? nullptr : name.c_str(), system, method,
                       user.empty() ? nullptr : user.c_str(), password.c_str());
      node->directory = directory;
      node->number = static_cast<std::uint32_t>(manager_->nodes_.count + 1);
      manager_->Append(&manager_->nodes_, node);
      return true;
    }
    if (kind != Kind::kProcess || program.empty()) return false;
    if (manager_->processes_.count >= static_cast<std::int32_t>(DseProcessManager::kMaxProcesses)) {
      *column = 0;
      return false;
    }
    DseComputeNode* node = manager_->FindNode(machine);
    if (node == nullptr) {
      *column = machine_column;
      return false;
    }
    auto* process = new DseProcess;
    process->number = static_cast<std::uint32_t>(manager_->processes_.count + 1);
    process->name = name;
    process->program = program;
    process->node = node;
    process->directory = node->directory;
    process->display = display;
    process->debugger = debugger;
    process->hidden = hidden;
    process->start_flags =
        (hidden ? 0 : XosProcess::kVisible) | (debugged ? XosProcess::kDebugged : 0);
    manager_->Append(&manager_->processes_, process);
    return true;
  }

  DseProcessManager* manager_;
};

Status DseProcessManager::ReadConfiguration(const char* file_name) {
  std::ifstream file(file_name != nullptr ? file_name : kDefaultConfiguration, std::ios::binary);
  if (!file) return status::kOpenFailed;
  DseConfigurationReader reader(this);
  std::string line;
  int line_number = 0;
  while (std::getline(file, line)) reader.ReadLine(std::move(line), ++line_number);
  std::fflush(stdout);
  // A folder opens but cannot be read.
  return file.bad() ? status::kOpenFailed : status::kOk;
}
