#include "codegen/build/make_search.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <utility>

namespace codegen {
namespace {

// Stands for text known only when the build runs: what make works out
// (a function, a "!=" setting), and what the shell expands.
constexpr char kUnknown = '\x01';
constexpr char kShellUnknown = '\x02';
// Beyond these an expansion counts as unknown: a text whose variables have
// so many settings, or nest so deep, is judged by nothing it might give.
constexpr std::size_t kMostAlternatives = 256;
constexpr int kDeepest = 32;

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string Trim(const std::string& text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && Blank(text[begin])) ++begin;
  while (end > begin && Blank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// Where the reference opened at `open` ('(' or '{') ends, or npos.
std::size_t Closing(const std::string& text, std::size_t open) {
  const char opener = text[open], closer = opener == '(' ? ')' : '}';
  int depth = 0;
  for (std::size_t at = open; at < text.size(); ++at) {
    if (text[at] == opener) ++depth;
    if (text[at] == closer && --depth == 0) return at;
  }
  return std::string::npos;
}

// The first of the characters outside any variable reference, or npos.
std::size_t TopLevel(const std::string& text, const char* set, std::size_t from = 0) {
  for (std::size_t at = from; at < text.size(); ++at) {
    if (text[at] == '$' && at + 1 < text.size() && (text[at + 1] == '(' || text[at + 1] == '{')) {
      const std::size_t end = Closing(text, at + 1);
      if (end == std::string::npos) return std::string::npos;
      at = end;
      continue;
    }
    if (std::strchr(set, text[at]) != nullptr) return at;
  }
  return std::string::npos;
}

struct Variables {
  std::map<std::string, std::vector<std::string>> values;
  // Set by "!=", from a command make runs.
  std::set<std::string> computed;
  std::map<std::string, std::string> environment;
};

// The first word and the rest.
std::pair<std::string, std::string> FirstWord(const std::string& text) {
  const std::string line = Trim(text);
  std::size_t end = 0;
  while (end < line.size() && !Blank(line[end])) ++end;
  return {line.substr(0, end), Trim(line.substr(end))};
}

// A line of a makefile that sets a variable: its name, and whether the
// value comes from a command.
bool Assignment(const std::string& text, Variables* vars) {
  std::string line = Trim(text);
  for (;;) {
    const auto [word, rest] = FirstWord(line);
    if (word != "override" && word != "export" && word != "private") break;
    line = rest;
  }
  const std::size_t equal = TopLevel(line, "=");
  if (equal == std::string::npos) return false;
  std::size_t op = equal;
  while (op > 0 && std::strchr(":+?!", line[op - 1]) != nullptr) --op;
  const std::size_t colon = TopLevel(line, ":");
  if (colon != std::string::npos && colon < op) return false;
  const std::string name = Trim(line.substr(0, op));
  if (name.empty()) return false;
  if (line.compare(op, equal + 1 - op, "!=") == 0) vars->computed.insert(name);
  vars->values[name].push_back(Trim(line.substr(equal + 1)));
  return true;
}

// A makefile line without its comment (a '#' not after a backslash).
std::string WithoutComment(const std::string& line) {
  for (std::size_t at = 0; at < line.size(); ++at) {
    if (line[at] == '\\') {
      ++at;
    } else if (line[at] == '#') {
      return line.substr(0, at);
    }
  }
  return line;
}

// The logical lines, backslash-newline joined, each marked as a recipe
// line or not.
std::vector<std::pair<bool, std::string>> LogicalLines(const std::string& text) {
  std::vector<std::pair<bool, std::string>> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    const bool recipe = text[at] == '\t';
    std::string line;
    for (;;) {
      const std::size_t end = std::min(text.find('\n', at), text.size());
      std::string piece = text.substr(at, end - at);
      at = end + 1;
      std::size_t slashes = 0;
      while (slashes < piece.size() && piece[piece.size() - 1 - slashes] == '\\') ++slashes;
      if (slashes % 2 == 1 && at <= text.size()) {
        piece.pop_back();
        line += piece + " ";
        continue;
      }
      line += piece;
      break;
    }
    lines.emplace_back(recipe, line);
  }
  return lines;
}

class Expander {
 public:
  explicit Expander(const Variables& vars) : vars_(vars) {}

  // Every text the one given may expand to.
  std::vector<std::string> Expand(const std::string& text, int depth) {
    std::vector<std::string> outs{std::string()};
    auto join = [&](const std::vector<std::string>& alternatives) {
      std::vector<std::string> next;
      for (const std::string& out : outs) {
        for (const std::string& alternative : alternatives) {
          next.push_back(out + alternative);
          if (next.size() > kMostAlternatives) {
            outs = {std::string(1, kUnknown)};
            return;
          }
        }
      }
      std::sort(next.begin(), next.end());
      next.erase(std::unique(next.begin(), next.end()), next.end());
      outs = std::move(next);
    };
    for (std::size_t at = 0; at < text.size(); ++at) {
      if (text[at] != '$' || at + 1 == text.size()) {
        for (std::string& out : outs) out += text[at];
        continue;
      }
      const char next = text[++at];
      if (next == '$') {
        for (std::string& out : outs) out += '$';
      } else if (next == '(' || next == '{') {
        const std::size_t end = Closing(text, at);
        if (end == std::string::npos) {
          join({std::string(1, kUnknown)});
          break;
        }
        const std::string inner = text.substr(at + 1, end - at - 1);
        at = end;
        // A function or a substitution gives what only make works out.
        if (TopLevel(inner, " \t,:") != std::string::npos) {
          join({std::string(1, kUnknown)});
          continue;
        }
        std::vector<std::string> values;
        for (const std::string& name : Expand(inner, depth + 1)) {
          for (const std::string& value : Lookup(name, depth + 1)) values.push_back(value);
        }
        join(values);
      } else {
        join(Lookup(std::string(1, next), depth + 1));
      }
    }
    return outs;
  }

 private:
  std::vector<std::string> Lookup(const std::string& name, int depth) {
    if (depth > kDeepest || name.find(kUnknown) != std::string::npos) {
      return {std::string(1, kUnknown)};
    }
    // A target's or prerequisite's name: a file, never an option.
    if (std::strchr("@<^+*?%|", name[0]) != nullptr) return {"x"};
    if (vars_.computed.count(name) != 0) return {std::string(1, kUnknown)};
    // Make's own "A += ..." reads A's earlier settings, which count as
    // settings of their own here.
    if (active_.count(name) != 0) return {std::string()};
    std::vector<std::string> settings;
    if (const auto set = vars_.values.find(name); set != vars_.values.end()) {
      settings = set->second;
    } else if (const auto from = vars_.environment.find(name); from != vars_.environment.end()) {
      settings = {from->second};
    } else {
      return {std::string()};
    }
    active_.insert(name);
    std::vector<std::string> values;
    for (const std::string& setting : settings) {
      for (const std::string& value : Expand(setting, depth)) values.push_back(value);
    }
    active_.erase(name);
    if (values.size() > kMostAlternatives) return {std::string(1, kUnknown)};
    return values;
  }

  const Variables& vars_;
  std::set<std::string> active_;
};

// The words the shell makes of a recipe line; a word with an expansion of
// the shell's in it holds kShellUnknown.
std::vector<std::string> ShellWords(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  auto end_word = [&] {
    if (in_word) words.push_back(word);
    word.clear();
    in_word = false;
  };
  for (std::size_t at = 0; at < line.size(); ++at) {
    const char c = line[at];
    if (Blank(c)) {
      end_word();
    } else if (std::strchr(";&|()<>", c) != nullptr) {
      end_word();
    } else if (c == '#' && !in_word) {
      break;
    } else if (c == '\\') {
      in_word = true;
      if (at + 1 < line.size()) word += line[++at];
    } else if (c == '\'') {
      in_word = true;
      const std::size_t end = std::min(line.find('\'', at + 1), line.size());
      word += line.substr(at + 1, end - at - 1);
      at = end;
    } else if (c == '"') {
      in_word = true;
      for (++at; at < line.size() && line[at] != '"'; ++at) {
        if (line[at] == '\\' && at + 1 < line.size() && std::strchr("$`\"\\", line[at + 1])) {
          word += line[++at];
        } else if (line[at] == '$' || line[at] == '`') {
          word += kShellUnknown;
        } else {
          word += line[at];
        }
      }
    } else if (c == '$' || c == '`') {
      in_word = true;
      word += kShellUnknown;
    } else {
      in_word = true;
      word += c;
    }
  }
  end_word();
  return words;
}

// The options whose value is a folder the compiler or linker searches,
// given in the same word or as the next one.
constexpr const char* kSearchOptions[] = {"--include-directory=",
                                          "--library-directory=",
                                          "--include-directory",
                                          "--library-directory",
                                          "-idirafter",
                                          "-isystem",
                                          "-iquote",
                                          "-I",
                                          "-L",
                                          "-B"};

// Adds the folder once, or the line it came from where only the build
// knows it.
void AddFolder(const std::string& folder, const std::string& raw, MakeSearch* search) {
  if (folder.find_first_of(std::string{kUnknown, kShellUnknown}) != std::string::npos) {
    if (std::find(search->unknown.begin(), search->unknown.end(), raw) == search->unknown.end())
      search->unknown.push_back(raw);
  } else if (!folder.empty() && std::find(search->folders.begin(), search->folders.end(), folder) ==
                                    search->folders.end()) {
    search->folders.push_back(folder);
  }
}

// The words of a list make splits at blanks, and at ':' too for a search
// path.
std::vector<std::string> ListWords(const std::string& text, const char* separators) {
  std::vector<std::string> words;
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t end = std::min(text.find_first_of(separators, begin), text.size());
    if (end > begin) words.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  return words;
}

// Adds what the recipe's words search; `raw` is the line as written.
void SearchedBy(const std::vector<std::string>& shell_words, const std::string& raw,
                MakeSearch* search) {
  std::vector<std::string> words;
  for (const std::string& word : shell_words) {
    // The linker's options passed through the compiler.
    if (word.rfind("-Wl,", 0) == 0) {
      std::size_t begin = 4;
      while (begin <= word.size()) {
        const std::size_t end = std::min(word.find(',', begin), word.size());
        words.push_back(word.substr(begin, end - begin));
        begin = end + 1;
      }
    } else {
      words.push_back(word);
    }
  }
  auto add = [&](const std::string& folder) { AddFolder(folder, raw, search); };
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    // What make works out may give any option at all. (A shell variable or
    // command of the recipe's is the user's own environment's or text's,
    // judged only where it names a folder.)
    if (word.find(kUnknown) != std::string::npos && (word[0] == '-' || word[0] == kUnknown)) {
      add(std::string(1, kUnknown));
      continue;
    }
    for (const char* option : kSearchOptions) {
      const std::size_t length = std::strlen(option);
      if (word.compare(0, length, option) != 0) continue;
      if (word.size() > length) {
        add(word.substr(length));
      } else if (option[length - 1] != '=' && i + 1 < words.size()) {
        add(words[++i]);
      }
      break;
    }
  }
}

}  // namespace

MakeSearch MakefileSearchFolders(const std::string& text,
                                 const std::vector<std::string>& environment) {
  Variables vars;
  for (const std::string& setting : environment) {
    const std::size_t equal = setting.find('=');
    if (equal != std::string::npos)
      vars.environment[setting.substr(0, equal)] = setting.substr(equal + 1);
  }
  std::vector<std::string> recipes;
  // Folders make itself searches: for prerequisites (vpath), and the
  // makefiles it reads (include), as written.
  std::vector<std::string> vpaths{"$(VPATH)"}, includes;
  std::string defining;
  std::string body;
  int nested = 0;
  for (const auto& [recipe, whole] : LogicalLines(text)) {
    if (!defining.empty()) {
      const std::string first = FirstWord(whole).first;
      if (first == "define") ++nested;
      if (first == "endef" && nested-- == 0) {
        vars.values[defining].push_back(body);
        defining.clear();
        body.clear();
        nested = 0;
      } else {
        body += whole + " ";
      }
      continue;
    }
    if (recipe) {
      recipes.push_back(whole);
      continue;
    }
    const std::string line = WithoutComment(whole);
    const auto [first, rest] = FirstWord(line);
    if (first == "define" || ((first == "override" || first == "export" || first == "private") &&
                              FirstWord(rest).first == "define")) {
      std::string name = first == "define" ? rest : FirstWord(rest).second;
      name = FirstWord(name).first;
      while (!name.empty() && std::strchr(":+?!=", name.back()) != nullptr) name.pop_back();
      defining = name.empty() ? std::string(1, kUnknown) : name;
      continue;
    }
    if (first == "vpath") {
      vpaths.push_back(FirstWord(rest).second);
      continue;
    }
    if (first == "include" || first == "-include" || first == "sinclude") {
      includes.push_back(rest);
      continue;
    }
    if (Assignment(line, &vars)) continue;
    const std::size_t colon = TopLevel(line, ":");
    if (colon == std::string::npos) continue;
    // A rule: its recipe after ';', or a setting for its targets alone.
    const std::size_t semi = TopLevel(line, ";", colon);
    if (semi != std::string::npos) {
      recipes.push_back(whole.substr(whole.find(';') + 1));
    } else {
      std::size_t from = colon + 1;
      if (from < line.size() && line[from] == ':') ++from;
      Assignment(line.substr(from), &vars);
    }
  }
  // Make's own rules, which build a file the makefile names without a
  // recipe of its own (a user's target, say).
  for (const char* built_in : {"$(CC) $(CFLAGS) $(CPPFLAGS) $(TARGET_ARCH) -c",
                               "$(CXX) $(CXXFLAGS) $(CPPFLAGS) $(TARGET_ARCH) -c",
                               "$(FC) $(FFLAGS) $(CPPFLAGS) $(TARGET_ARCH) -c",
                               "$(CC) $(LDFLAGS) $(TARGET_ARCH) $(LDLIBS)",
                               "$(CXX) $(LDFLAGS) $(TARGET_ARCH) $(LDLIBS) $(LOADLIBES)"}) {
    recipes.push_back(built_in);
  }
  MakeSearch search;
  Expander expander(vars);
  for (const std::string& raw : recipes) {
    // The recipe's own prefixes, which make strips; one a variable gives
    // is left as part of the line (a '-' may start an option).
    std::size_t start = 0;
    while (start < raw.size() && (Blank(raw[start]) || std::strchr("@-+", raw[start]) != nullptr))
      ++start;
    for (const std::string& line : expander.Expand(raw.substr(start), 0)) {
      SearchedBy(ShellWords(line), Trim(raw), &search);
    }
  }
  for (const std::string& raw : vpaths) {
    for (const std::string& text : expander.Expand(raw, 0)) {
      for (const std::string& folder : ListWords(text, ": \t")) AddFolder(folder, raw, &search);
    }
  }
  for (const std::string& raw : includes) {
    for (const std::string& text : expander.Expand(raw, 0)) {
      for (const std::string& file : ListWords(text, " \t")) {
        // A name only make knows stays unknown, wherever its '/' falls.
        const std::size_t cut = file.rfind('/');
        const bool known = file.find(kUnknown) == std::string::npos;
        AddFolder(!known                     ? file
                  : cut == std::string::npos ? "."
                  : cut == 0                 ? "/"
                                             : file.substr(0, cut),
                  "include " + raw, &search);
      }
    }
  }
  return search;
}

}  // namespace codegen
