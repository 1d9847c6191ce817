// Keeps the subsystem order honest: a folder may include only its own
// headers and those of folders below it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Lowest first. numerics/sparse_lu and numerics/lsq share a rank but do not
// use each other.
const std::vector<std::string> kOrder = {"platform", "foundation", "numerics", "framework",
                                         "expr",     "daes",       "solve",    "control",
                                         "results",  "analysis",   "codegen"};

int RankOf(const std::string& top) {
  for (size_t i = 0; i < kOrder.size(); ++i)
    if (kOrder[i] == top) return static_cast<int>(i);
  return -1;
}

std::string TopFolder(const fs::path& rel) { return rel.begin()->string(); }

std::string NumericsUnit(const fs::path& rel) {
  auto it = rel.begin();
  if (it == rel.end() || it->string() != "numerics") return {};
  ++it;
  return it == rel.end() ? std::string() : it->string();
}

std::vector<std::string> Violations(const fs::path& root) {
  std::vector<std::string> found;
  const std::regex include_re(R"re(^\s*#\s*include\s*"([^"]+)")re");
  for (const auto& top : kOrder) {
    const fs::path dir = root / top;
    if (!fs::exists(dir)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
      if (!entry.is_regular_file()) continue;
      const auto ext = entry.path().extension().string();
      if (ext != ".h" && ext != ".cpp" && ext != ".hpp" && ext != ".inc") continue;
      const fs::path rel = fs::relative(entry.path(), root);
      const int own_rank = RankOf(top);
      std::ifstream in(entry.path());
      std::string line;
      int line_no = 0;
      while (std::getline(in, line)) {
        ++line_no;
        std::smatch m;
        if (!std::regex_search(line, m, include_re)) continue;
        const fs::path target(m[1].str());
        const std::string target_top = TopFolder(target);
        const int target_rank = RankOf(target_top);
        if (target_top == "tests" || target_top == "tools" || target_top == "app" ||
            target_top == "outside" || target_top == "bench" || target_top == "workloads" ||
            (target_rank > own_rank) ||
            (target_rank == own_rank && top == "numerics" &&
             NumericsUnit(rel) != NumericsUnit(target))) {
          found.push_back(rel.string() + ":" + std::to_string(line_no) + " includes " + m[1].str());
        }
      }
    }
  }
  return found;
}

}  // namespace

TEST(Layering, NoSubsystemIncludesAHigherOne) {
  const auto violations = Violations(VANTOR_SOURCE_DIR);
  std::string all;
  for (const auto& v : violations) all += v + "\n";
  EXPECT_TRUE(violations.empty()) << all;
}

TEST(Layering, CheckerSeesAnUpwardInclude) {
  const fs::path root = fs::temp_directory_path() / "vantor_layering_probe";
  fs::remove_all(root);
  fs::create_directories(root / "foundation");
  fs::create_directories(root / "numerics" / "lsq");
  std::ofstream(root / "foundation" / "bad.h") << "#include \"framework/x.h\"\n";
  std::ofstream(root / "numerics" / "lsq" / "bad.cpp") << "#include \"numerics/sparse_lu/y.h\"\n"
                                                       << "#include \"numerics/lsq/ok.h\"\n"
                                                       << "#include \"foundation/ok.h\"\n";
  const auto violations = Violations(root);
  fs::remove_all(root);
  ASSERT_EQ(violations.size(), 2u);
}

// The outside components stand beside the engine: they see only the
// cross-boundary interfaces, the platform, each other, and the sparse LU
// that kvs_slu and kvs_sparse run on.
TEST(Layering, OutsideSeesOnlyTheInterfacesAndThePlatform) {
  const fs::path root = VANTOR_SOURCE_DIR;
  const fs::path dir = root / "outside";
  if (!fs::exists(dir)) GTEST_SKIP() << "no outside/ folder";
  const std::regex include_re(R"re(^\s*#\s*include\s*"([^"]+)")re");
  std::string all;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path());
    std::string line;
    while (std::getline(in, line)) {
      std::smatch m;
      if (!std::regex_search(line, m, include_re)) continue;
      const std::string target = m[1].str();
      if (target.rfind("solve/ifaces/", 0) == 0 || target.rfind("platform/", 0) == 0 ||
          target.rfind("outside/", 0) == 0 || target.rfind("numerics/sparse_lu/", 0) == 0)
        continue;
      all += fs::relative(entry.path(), root).string() + " includes " + target + "\n";
    }
  }
  EXPECT_TRUE(all.empty()) << all;
}
