// The value dump: golden text, the name list kept and rebuilt, and no file
// without a name.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "plot_fakes.h"
#include "results/plot/value_dump.h"

namespace plottest {
namespace {

std::string Text(const char* name) {
  std::ifstream in(name);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

class ValueDump : public PlotFolder {
 protected:
  FakeModel model_;
};

TEST_F(ValueDump, WritesTheSortedTableWithMarkersThresholdAndArrays) {
  model_.Add("zeta", 12345678.0);
  model_.Add("blocks(\"B1\").T", 300.15);
  model_.Add("STREAMS(\"S2\")F", -2.5);  // no ")" after the quote
  model_.Add("blocks(\"B1\").internal_x", 1.0);
  model_.Add("blocks (\"B3\").T", 4.0);  // a blank before the quote
  model_.Add("tiny", 1e-30);
  model_.Add("nothing", 0.0)->flags = ResultVariable::kQueriedFlag;
  FakeVariable* array = model_.Add("arr", 0.0);
  model_.AddElement(array, "arr(2)", 7.0);
  model_.AddElement(array, "arr(1)", 6.0);
  ValueDumpFile dump(&model_, "dump.txt", {"internal"});
  ASSERT_EQ(dump.WriteValues("Initial", 0.5), 0u);
  ASSERT_EQ(dump.WriteSensitivity(model_.list[0], model_.list[1], 1e-25), 0u);
  ASSERT_EQ(dump.WriteSensitivity(model_.list[0], model_.list[1], 0.125), 0u);
  ASSERT_EQ(dump.WriteSwitchTimeSensitivity(model_.list[0], 0, -3.0), 0u);
  EXPECT_EQ(Text("dump.txt"),
            "\n"
            "        Initial Variable-Name (time = 0.5)\n"
            "         300.15 B1.T\n"
            "           -2.5 S2F\n"
            "              6 arr(1)\n"
            "              7 arr(2)\n"
            "              4 blocks (\"B3\").T\n"
            "              0?nothing\n"
            "              0 tiny\n"
            "    1.23457e+07 zeta\n"
            "Sens: d(zeta) by d(blocks(\"B1\").T) = 0.0\n"
            "Sens: d(zeta) by d(blocks(\"B1\").T) = 0.125\n"
            "Sens: d(zeta) by switchtime(1) = -3\n");
}

TEST_F(ValueDump, KeepsItsListUntilTheProblemChanges) {
  FakeVariable* a = model_.Add("a", 1.0);
  ValueDumpFile dump(&model_, "dump.txt", {});
  ASSERT_EQ(dump.WriteValues("One", 0.0), 0u);
  // An element that appears without a change of the problem is not listed.
  model_.AddElement(a, "a(1)", 2.0);
  ASSERT_EQ(dump.WriteValues("Two", 1.0), 0u);
  // A rebuilt problem: the list follows it, and no value goes under a name
  // that is no longer there.
  model_.Forget(a);
  model_.Add("b", 3.0);
  ASSERT_EQ(dump.WriteValues("Three", 2.0), 0u);
  EXPECT_EQ(Text("dump.txt"),
            "\n            One Variable-Name (time = 0)\n"
            "              1 a\n"
            "\n            Two Variable-Name (time = 1)\n"
            "              1 a\n"
            "\n          Three Variable-Name (time = 2)\n"
            "              3 b\n");
}

TEST_F(ValueDump, WithoutAFileNameNothingIsWritten) {
  model_.Add("a", 1.0);
  ValueDumpFile dump(&model_, "", {});
  EXPECT_EQ(dump.WriteValues("One", 0.0), 0u);
  EXPECT_EQ(dump.WriteSensitivity(model_.list[0], model_.list[0], 1.0), 0u);
  EXPECT_EQ(dump.WriteSwitchTimeSensitivity(model_.list[0], 2, 1.0), 0u);
  EXPECT_TRUE(std::filesystem::is_empty(std::filesystem::current_path()));
}

TEST_F(ValueDump, ThousandsOfNamesComeOutInByteOrder) {
  std::vector<std::string> names;
  for (int i = 0; i < 3000; ++i) {
    std::string name = "v";
    for (int k = (i * 7919) % 9973; k > 0; k /= 5)
      name.push_back(static_cast<char>('A' + k % 5 * 9));
    name += std::to_string(i);
    names.push_back(name);
    model_.Add(name, i);
  }
  ValueDumpFile dump(&model_, "dump.txt", {});
  ASSERT_EQ(dump.WriteValues("T", 0.0), 0u);
  std::sort(names.begin(), names.end());
  std::istringstream lines(Text("dump.txt"));
  std::string line;
  std::getline(lines, line);
  std::getline(lines, line);
  for (const std::string& name : names) {
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line.substr(16), name);
  }
}

TEST(ValueDumpNames, DisplayNameForms) {
  bool copied = false;
  EXPECT_EQ(ValueDumpFile::DisplayName("blocks(\"B1\").T", false, &copied), "B1.T");
  EXPECT_TRUE(copied);
  EXPECT_EQ(ValueDumpFile::DisplayName("Blocks(\"B1\")", false, &copied), "B1");
  EXPECT_EQ(ValueDumpFile::DisplayName("streams(\"S\").x(1)", false, nullptr), "S.x(1)");
  EXPECT_EQ(ValueDumpFile::DisplayName("other(\"B1\").T", false, &copied), "other(\"B1\").T");
  EXPECT_FALSE(copied);
  EXPECT_EQ(ValueDumpFile::DisplayName("blocks(\"unclosed", true, &copied), "blocks(\"unclosed");
  EXPECT_TRUE(copied);
}

}  // namespace
}  // namespace plottest
