// Every typed option read in the engine's sources, walked and checked
// against the real option table: each getter knows only its own numbers, so
// a call with a number of another getter reads 0 or false whatever the
// client wrote, and the option does nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "solve/options/solver_option_table.h"

namespace {

namespace fs = std::filesystem;

struct Definition {
  std::string name_space;
  std::string name;
  std::int32_t value;
};

struct SourceFile {
  fs::path path;
  std::vector<std::string> code;  // lines without their comments
  std::vector<Definition> definitions;
  std::map<std::string, std::string> aliases;
};

struct Read {
  std::string where;
  std::string getter;
  std::string argument;
  std::int32_t number;
};

std::string WithoutComment(const std::string& line) {
  const std::size_t at = line.find("//");
  return at == std::string::npos ? line : line.substr(0, at);
}

SourceFile Load(const fs::path& path) {
  static const std::regex opens(R"(^\s*namespace\s+(\w+)\s*\{)");
  static const std::regex closes(R"(^\}\s*//\s*namespace)");
  static const std::regex defines(
      R"(constexpr\s+(?:std::)?u?int(?:32_t)?\s+(k\w+)\s*=\s*(\d+)\s*;)");
  static const std::regex alias(R"(namespace\s+(\w+)\s*=\s*([\w:]+)\s*;)");
  SourceFile file;
  file.path = path;
  std::ifstream in(path);
  std::vector<std::string> spaces;
  for (std::string line; std::getline(in, line);) {
    if (std::regex_search(line, closes) && !spaces.empty()) spaces.pop_back();
    const std::string code = WithoutComment(line);
    file.code.push_back(code);
    std::smatch m;
    if (std::regex_search(code, m, opens)) spaces.push_back(m[1]);
    if (std::regex_search(code, m, alias)) file.aliases[m[1]] = m[2];
    for (std::sregex_iterator it(code.begin(), code.end(), defines), end; it != end; ++it) {
      file.definitions.push_back(
          {spaces.empty() ? "" : spaces.back(), (*it)[1], std::stoi((*it)[2])});
    }
  }
  return file;
}

class Sources {
 public:
  explicit Sources(const fs::path& root) {
    for (const char* layer : {"foundation", "framework", "expr", "daes", "solve", "control",
                              "results", "analysis", "codegen", "app"}) {
      for (const auto& entry : fs::recursive_directory_iterator(root / layer)) {
        const std::string ext = entry.path().extension().string();
        if (ext == ".h" || ext == ".cpp") files_.push_back(Load(entry.path()));
      }
    }
  }

  // Every getter call whose argument is a literal number or named
  // constants; each constant gives one read. Unresolved names go to
  // `unresolved`.
  std::vector<Read> Reads(std::vector<std::string>* unresolved) const {
    static const std::regex call(R"(\b(GetBool|GetInt|GetReal|GetString)\(([^()]*)\))");
    static const std::regex constant(R"((?:(\w+)::)?\b(k[A-Z]\w*)\b)");
    static const std::regex literal(R"(^\s*(\d+)\s*$)");
    std::vector<Read> reads;
    for (const SourceFile& file : files_) {
      for (std::size_t i = 0; i < file.code.size(); ++i) {
        const std::string& code = file.code[i];
        const std::string where = file.path.filename().string() + ":" + std::to_string(i + 1);
        for (std::sregex_iterator c(code.begin(), code.end(), call), end; c != end; ++c) {
          const std::string getter = (*c)[1];
          const std::string argument = (*c)[2];
          std::smatch m;
          if (std::regex_match(argument, m, literal)) {
            reads.push_back({where, getter, argument, std::stoi(m[1])});
            continue;
          }
          for (std::sregex_iterator k(argument.begin(), argument.end(), constant); k != end;
               ++k) {
            const std::set<std::int32_t> values = Resolve(file, (*k)[1], (*k)[2]);
            if (values.size() != 1) {
              unresolved->push_back(where + " " + getter + "(" + argument + ")");
              continue;
            }
            reads.push_back({where, getter, (*k)[0], *values.begin()});
          }
        }
      }
    }
    return reads;
  }

 private:
  // A qualified name in its namespace (through the file's aliases); an
  // unqualified one in the file, then in its header, then anywhere.
  std::set<std::int32_t> Resolve(const SourceFile& file, const std::string& name_space,
                                 const std::string& name) const {
    std::set<std::int32_t> values;
    if (!name_space.empty()) {
      const auto alias = file.aliases.find(name_space);
      const std::string wanted = alias != file.aliases.end() ? alias->second : name_space;
      for (const SourceFile& f : files_) {
        for (const Definition& d : f.definitions) {
          if (d.name == name && d.name_space == wanted) values.insert(d.value);
        }
      }
      return values;
    }
    fs::path header = file.path;
    header.replace_extension(".h");
    for (const fs::path& near : {file.path, header}) {
      for (const SourceFile& f : files_) {
        if (f.path != near) continue;
        for (const Definition& d : f.definitions) {
          if (d.name == name) values.insert(d.value);
        }
      }
      if (!values.empty()) return values;
    }
    for (const SourceFile& f : files_) {
      for (const Definition& d : f.definitions) {
        if (d.name == name) values.insert(d.value);
      }
    }
    return values;
  }

  std::vector<SourceFile> files_;
};

// Whether the real table's getter answers what the client wrote to the number.
bool GetterKnows(const std::string& getter, std::int32_t number) {
  SolverOptionTable table;
  if (getter == "GetInt") {
    table.SetInteger(number, 3);
    table.ApplyPendingChanges();
    return table.GetInt(number) == 3;
  }
  if (getter == "GetReal") {
    table.SetReal(number, 0.375);
    return table.GetReal(number) == 0.375;
  }
  if (getter == "GetBool") {
    table.SetInteger(number, 1);
    table.ApplyPendingChanges();
    const bool on = table.GetBool(number);
    table.SetInteger(number, 0);
    table.ApplyPendingChanges();
    return on && !table.GetBool(number);
  }
  table.SetText(number, "probe");
  const char* text = table.GetString(number);
  return text != nullptr && std::strcmp(text, "probe") == 0;
}

TEST(OptionReads, EveryGetterCallNamesANumberItsGetterKnows) {
  const Sources sources(VANTOR_SOURCE_DIR);
  std::vector<std::string> unresolved;
  const std::vector<Read> reads = sources.Reads(&unresolved);
  EXPECT_TRUE(unresolved.empty()) << "option names the walk cannot resolve: "
                                  << ::testing::PrintToString(unresolved);
  // The walk itself still finds what it should.
  ASSERT_GT(reads.size(), 100u);
  bool step_size_type = false;
  std::vector<std::string> refused;
  for (const Read& r : reads) {
    if (r.argument == "kOptStepSizeType") step_size_type = r.number == 137;
    if (!GetterKnows(r.getter, r.number)) {
      refused.push_back(r.where + " " + r.getter + "(" + r.argument + " = " +
                        std::to_string(r.number) + ")");
    }
  }
  EXPECT_TRUE(step_size_type);
  EXPECT_TRUE(refused.empty()) << "getter calls the option table answers with 0 or false: "
                               << ::testing::PrintToString(refused);
}

TEST(OptionReads, TheCompiledEvaluationSwitchesAndTheStepSizeTypeAreRead) {
  SolverOptionTable table;
  EXPECT_FALSE(table.GetBool(118));
  EXPECT_FALSE(table.GetBool(119));
  EXPECT_EQ(table.GetInt(137), 1) << "Variable";
  EXPECT_EQ(table.SetInteger(118, 1), 0u);
  EXPECT_EQ(table.SetInteger(119, 1), 0u);
  EXPECT_EQ(table.SetInteger(137, 0), 0u);
  EXPECT_TRUE(table.GetBool(118));
  EXPECT_TRUE(table.GetBool(119));
  EXPECT_EQ(table.GetInt(137), 0);
  // Numbers read by a number a caller holds: any kind, by its kind.
  EXPECT_EQ(table.ValueInForce(123), 0.0);
  table.SetInteger(123, 2);
  EXPECT_EQ(table.ValueInForce(123), 2.0) << "SyncSteps has no getter";
  EXPECT_EQ(table.ValueInForce(85), 1.0) << "a flag";
  EXPECT_EQ(table.ValueInForce(74), 1e-5);
  EXPECT_EQ(table.ValueInForce(125), 0.0) << "a text";
  EXPECT_EQ(table.ValueInForce(400), 0.0);
}

}  // namespace
