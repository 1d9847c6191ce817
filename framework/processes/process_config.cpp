// The process manager's configuration file: one record per line, either a
// machine ("name is a nt using rexec username u password p directory d") or
// a process ("name runs program on machine hidden"). "#" starts a comment;
// blanks and tabs separate tokens; double quotes group a token and keep its
// case, which is folded to lower case elsewhere.
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "framework/connections/io_status.h"
#include "framework/processes/child_engine.h"
#include "framework/processes/process_manager.h"
#include "platform/dynamic_library.h"
#include "platform/posix_file.h"

namespace {

struct Token {
  std::string text;
  bool quoted = false;
  std::size_t column = 0;
};

enum class Scope { kMachine, kProcess, kEither };

enum class KeywordId {
  kIs,
  kA,
  kRuns,
  kDebugs,
  kDebugger,
  kHidden,
  kDisplay,
  kDirectory,
  kOn,
  kNode,
  kUsing,
  kUsername,
  kPassword,
};

struct Keyword {
  const char* word;
  KeywordId id;
  Scope scope;  // the kind of record the keyword belongs to
};

constexpr Keyword kKeywords[] = {
    {"is", KeywordId::kIs, Scope::kMachine},
    {"a", KeywordId::kA, Scope::kMachine},
    {"runs", KeywordId::kRuns, Scope::kProcess},
    {"debugs", KeywordId::kDebugs, Scope::kProcess},
    {"debugger", KeywordId::kDebugger, Scope::kEither},
    {"hidden", KeywordId::kHidden, Scope::kProcess},
    {"display", KeywordId::kDisplay, Scope::kEither},
    {"directory", KeywordId::kDirectory, Scope::kMachine},
    {"on", KeywordId::kOn, Scope::kEither},
    {"node", KeywordId::kNode, Scope::kEither},
    {"using", KeywordId::kUsing, Scope::kMachine},
    {"username", KeywordId::kUsername, Scope::kMachine},
    {"password", KeywordId::kPassword, Scope::kMachine},
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

enum class RecordKind { kUnknown, kMachine, kProcess };

// One record as read, before anything is built from it.
struct Record {
  RecordKind kind = RecordKind::kUnknown;
  std::uint32_t system = XosComputeNode::kOtherSystem;
  std::uint32_t method = XosComputeNode::kNoMethod;
  std::string user, password, directory, program, display, debugger;
  std::string machine = "local";
  std::size_t machine_column = 0;
  bool hidden = false;
  bool debugged = false;
};

// Keywords that stand alone; every other keyword takes the next token. The
// first "is" of a machine record stands alone, a second takes a value.
bool StandsAlone(KeywordId id, RecordKind kind, bool seen_is) {
  switch (id) {
    case KeywordId::kHidden:
    case KeywordId::kNode:
      return true;
    case KeywordId::kIs:
      return !seen_is;
    case KeywordId::kDebugger:
    case KeywordId::kDisplay:
      return kind == RecordKind::kMachine;
    default:
      return false;
  }
}

// Stores the value of a keyword; false when the value is not one the
// keyword allows.
bool StoreValue(KeywordId id, const Token& value, Record* record) {
  switch (id) {
    case KeywordId::kA:
      return FindWord(kSystems, value.text, &record->system);
    case KeywordId::kUsing:
      return FindWord(kMethods, value.text, &record->method);
    case KeywordId::kUsername:
      record->user = value.text;
      break;
    case KeywordId::kPassword:
      record->password = value.text;
      break;
    case KeywordId::kDirectory:
      record->directory = value.text;
      break;
    case KeywordId::kRuns:
    case KeywordId::kDebugs:
      record->program = value.text;
      record->debugged = id == KeywordId::kDebugs;
      break;
    case KeywordId::kOn:
      // The value of "on" in a machine record says nothing this engine uses.
      if (record->kind != RecordKind::kMachine) {
        record->machine = value.text;
        record->machine_column = value.column;
      }
      break;
    case KeywordId::kDisplay:
      record->display = value.text;
      break;
    case KeywordId::kDebugger:
      record->debugger = value.text;
      break;
    case KeywordId::kIs:  // a second "is": its value is not used
    case KeywordId::kHidden:
    case KeywordId::kNode:
      break;
  }
  return true;
}

// Reads the keywords after the record's name; false with *column at the
// place of the error. `end` is the column just past the line.
bool ParseRecord(const std::vector<Token>& tokens, std::size_t end, Record* record,
                 std::size_t* column) {
  record->machine_column = end;
  bool seen_is = false;
  for (std::size_t i = 1; i < tokens.size();) {
    const Token& token = tokens[i++];
    *column = token.column;
    const Keyword* keyword = FindKeyword(token);
    if (keyword == nullptr) return false;
    const RecordKind wanted = keyword->scope == Scope::kMachine   ? RecordKind::kMachine
                              : keyword->scope == Scope::kProcess ? RecordKind::kProcess
                                                                  : record->kind;
    if (record->kind != RecordKind::kUnknown && wanted != record->kind) return false;
    record->kind = wanted;
    const bool alone = StandsAlone(keyword->id, record->kind, seen_is);
    if (keyword->id == KeywordId::kIs) seen_is = true;
    if (alone) {
      if (keyword->id == KeywordId::kHidden) record->hidden = true;
      continue;
    }
    if (i == tokens.size()) {
      *column = end;
      return false;
    }
    const Token& value = tokens[i++];
    *column = value.column;
    if (!StoreValue(keyword->id, value, record)) return false;
  }
  *column = end;
  return true;
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
    Record record;
    if (!ParseRecord(tokens, line.size(), &record, &column) ||
        !Build(tokens[0].text, record, &column)) {
      SyntaxError(line, line_number, column);
    }
  }

 private:
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

  // Adds the machine or process the record names; false with *column at the
  // place of the error.
  bool Build(const std::string& name, const Record& record, std::size_t* column) {
    if (record.kind == RecordKind::kMachine) {
      AddMachine(name, record);
      return true;
    }
    if (record.kind != RecordKind::kProcess || record.program.empty()) return false;
    if (manager_->processes_.count >= static_cast<std::int32_t>(DseProcessManager::kMaxProcesses)) {
      *column = 0;
      return false;
    }
    DseComputeNode* node = manager_->FindNode(record.machine);
    if (node == nullptr) {
      *column = record.machine_column;
      return false;
    }
    AddProcess(name, record, node);
    return true;
  }

  void AddMachine(const std::string& name, const Record& record) {
    auto node = std::make_unique<DseComputeNode>(name);
    node->Initialize(name == "local" ? nullptr : name.c_str(), record.system, record.method,
                     record.user.empty() ? nullptr : record.user.c_str(), record.password.c_str());
    node->directory = record.directory;
    node->number = static_cast<std::uint32_t>(manager_->nodes_.count + 1);
    manager_->Append(&manager_->nodes_, std::move(node));
  }

  void AddProcess(const std::string& name, const Record& record, DseComputeNode* node) {
    auto process = std::make_unique<DseProcess>();
    process->number = static_cast<std::uint32_t>(manager_->processes_.count + 1);
    process->name = name;
    process->program = record.program;
    process->node = node;
    process->directory = node->directory;
    process->display = record.display;
    process->debugger = record.debugger;
    process->hidden = record.hidden;
    process->start_flags =
        (record.hidden ? 0 : XosProcess::kVisible) | (record.debugged ? XosProcess::kDebugged : 0);
    manager_->Append(&manager_->processes_, std::move(process));
  }

  DseProcessManager* manager_;
};

Status DseProcessManager::ReadConfiguration(const char* file_name) {
  const std::string name = file_name != nullptr ? file_name : kDefaultConfiguration;
  // What a top-level controller without children (the client's) names.
  if (name == "/dev/null") return status::kOk;
  if (!platform::PathExists(name.c_str())) return status::kOpenFailed;
  // The file names the programs this engine starts as its user: one that
  // another user could have put or changed (a shared folder the engine was
  // started in) is skipped, as the library loader skips such a library.
  platform::CheckedLibrary checked;
  if (const std::string why = platform::CheckFile(name, "usable", &checked); !why.empty()) {
    std::fprintf(stderr, "vantor: configuration file %s skipped: %s\n", name.c_str(), why.c_str());
    std::fflush(stderr);
    return status::kOpenFailed;
  }
  std::string bytes;
  char buffer[4096];
  for (;;) {
    std::size_t got = 0;
    if (!platform::ReadSome(checked.file.get(), buffer, sizeof buffer, &got, nullptr)) {
      return status::kOpenFailed;
    }
    if (got == 0) break;
    bytes.append(buffer, got);
  }
  std::istringstream file(bytes);
  DseConfigurationReader reader(this);
  std::string line;
  int line_number = 0;
  while (std::getline(file, line)) reader.ReadLine(std::move(line), ++line_number);
  std::fflush(stdout);
  return status::kOk;
}
