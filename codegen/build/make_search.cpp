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
// value comes from a command. A name with a blank in it is none to make
// ("include a=b" includes), so none here.
bool Assignment(const std::string& text, Variables* vars, std::string* set = nullptr) {
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
  if (name.empty() || TopLevel(name, " \t") != std::string::npos) return false;
  if (set != nullptr) *set = name;
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

// The logical lines, backslash-newline joined, each marked as led by a
// tab or not.
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

// Whether the line may have make evaluate text as makefile lines: an eval,
// or a function whose name only make works out.
bool MayEvaluate(const std::string& line) {
  for (std::size_t at = 0; at + 1 < line.size(); ++at) {
    if (line[at] != '$' || (line[at + 1] != '(' && line[at + 1] != '{')) continue;
    const std::size_t end = Closing(line, at + 1);
    const std::string inner = line.substr(at + 2, end == std::string::npos ? end : end - at - 2);
    const std::size_t blank = TopLevel(inner, " \t");
    const std::string name = inner.substr(0, std::min(inner.find_first_of(" \t,"), inner.size()));
    if (name == "eval" || (blank != std::string::npos && name.find('$') != std::string::npos))
      return true;
  }
  return false;
}

class Expander {
 public:
  explicit Expander(const Variables& vars) : vars_(vars) {}

  // The variables looked up in the environment so far.
  const std::set<std::string>& FromEnvironment() const { return from_environment_; }

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
    } else {
      from_environment_.insert(name);
      const auto from = vars_.environment.find(name);
      if (from == vars_.environment.end()) return {std::string()};
      settings = {from->second};
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
  std::set<std::string> from_environment_;
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
  // Folders make itself searches: for prerequisites (VPATH, and vpath's
  // lines after their pattern), and the makefiles it reads (include), as
  // written.
  std::vector<std::string> vpath_lines;
  std::vector<std::pair<std::string, std::string>> includes;
  MakeSearch search;
  std::string defining;
  std::string body;
  int nested = 0;
  // Make takes a tab-led line as a recipe only after a rule line, until a
  // line of another kind; otherwise it reads it as any other line. Where a
  // conditional holds the line that opened or closed the rule, either may
  // hold: the line is read both ways.
  bool rule_open = false, either = false;
  int conditionals = 0;
  for (const auto& [tab, whole] : LogicalLines(text)) {
    if (MayEvaluate(whole)) AddFolder(std::string(1, kUnknown), Trim(whole), &search);
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
    if (tab && (rule_open || either)) {
      recipes.push_back(whole);
      if (!either) continue;
    }
    const std::string line = WithoutComment(whole);
    const auto [first, rest] = FirstWord(line);
    // Blank lines, comments and conditionals leave a rule open.
    if (first == "ifdef" || first == "ifndef" || first == "ifeq" || first == "ifneq")
      ++conditionals;
    if (first == "endif" && conditionals > 0) --conditionals;
    if (first.empty() || first == "ifdef" || first == "ifndef" || first == "ifeq" ||
        first == "ifneq" || first == "else" || first == "endif") {
      continue;
    }
    // Read both ways, a recipe line leaves the rule open.
    const bool both = tab && either;
    if (both) {
      rule_open = true;
    } else {
      rule_open = false;
      either = conditionals > 0;
    }
    if (first == "define" || ((first == "override" || first == "export" || first == "private") &&
                              FirstWord(rest).first == "define")) {
      std::string name = first == "define" ? rest : FirstWord(rest).second;
      name = FirstWord(name).first;
      while (!name.empty() && std::strchr(":+?!=", name.back()) != nullptr) name.pop_back();
      defining = name.empty() ? std::string(1, kUnknown) : name;
      continue;
    }
    // Make tries a setting first: "include = ..." sets a variable.
    std::string set;
    if (Assignment(line, &vars, &set)) {
      // Another recipe prefix would change which lines are recipes.
      if (set == ".RECIPEPREFIX") AddFolder(std::string(1, kUnknown), Trim(whole), &search);
      continue;
    }
    if (first == "vpath") {
      vpath_lines.push_back(rest);
      continue;
    }
    if (first == "include" || first == "-include" || first == "sinclude") {
      includes.emplace_back(first, rest);
      continue;
    }
    const std::size_t colon = TopLevel(line, ":");
    if (colon == std::string::npos) continue;
    // A rule: its recipe after ';', or a setting for its targets alone.
    const std::size_t semi = TopLevel(line, ";", colon);
    rule_open = true;
    either = conditionals > 0;
    if (semi != std::string::npos) {
      recipes.push_back(whole.substr(whole.find(';') + 1));
    } else {
      std::size_t from = colon + 1;
      if (from < line.size() && line[from] == ':') ++from;
      if (Assignment(line.substr(from), &vars)) {
        rule_open = both;
        either = either || both;
      }
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
  const std::size_t named_by_recipes = search.folders.size();
  // A text only make knows stays unknown as a whole: where it splits into
  // words is unknown too.
  auto known = [](const std::string& text) { return text.find(kUnknown) == std::string::npos; };
  const std::string unknown(1, kUnknown);
  // VPATH shown as set (in the text, or else the environment).
  std::string vpath_shown;
  if (const auto set = vars.values.find("VPATH"); set != vars.values.end()) {
    for (const std::string& setting : set->second)
      vpath_shown += (vpath_shown.empty() ? "" : "; ") + setting;
  } else if (const auto from = vars.environment.find("VPATH"); from != vars.environment.end()) {
    vpath_shown = from->second;
  }
  for (const std::string& text : expander.Expand("$(VPATH)", 0)) {
    for (const std::string& folder : ListWords(known(text) ? text : unknown, ": \t"))
      AddFolder(folder, "VPATH = " + vpath_shown, &search);
  }
  for (const std::string& raw : vpath_lines) {
    for (const std::string& text : expander.Expand(raw, 0)) {
      const std::vector<std::string> words = ListWords(known(text) ? text : unknown, " \t");
      for (std::size_t i = known(text) ? 1 : 0; i < words.size(); ++i) {
        for (const std::string& folder : ListWords(words[i], ":"))
          AddFolder(folder, "vpath " + raw, &search);
      }
    }
  }
  for (const auto& [directive, raw] : includes) {
    for (const std::string& text : expander.Expand(raw, 0)) {
      for (const std::string& file : ListWords(text, " \t")) {
        // Make expands a glob or a leading '~' itself.
        if (!known(file) || file.find_first_of("*?[") != std::string::npos || file[0] == '~') {
          AddFolder(unknown, directive + " " + raw, &search);
          continue;
        }
        const std::size_t cut = file.rfind('/');
        AddFolder(cut == std::string::npos ? "."
                  : cut == 0               ? "/"
                                           : file.substr(0, cut),
                  directive + " " + raw, &search);
        if (std::find(search.files.begin(), search.files.end(), file) == search.files.end())
          search.files.push_back(file);
      }
    }
  }
  search.make_folders.assign(search.folders.begin() + named_by_recipes, search.folders.end());
  search.environment.assign(expander.FromEnvironment().begin(), expander.FromEnvironment().end());
  return search;
}

}  // namespace codegen
