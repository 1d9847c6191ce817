#include "solve/options/option_descriptors.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <string_view>

#include "solve/options/solver_option_table.h"
#include "tests/solve/options_fakes.h"

namespace {

using Kind = SolverOptionTable::Kind;

const OptionDescriptor& Row(const char* name) {
  const OptionDescriptor* row = FindOptionDescriptor(name);
  if (row == nullptr) ADD_FAILURE() << "no row " << name;
  return row != nullptr ? *row : OptionDescriptors()[kOptionRowCount];
}

TEST(OptionDescriptors, RowsAgreeWithTheValuesTheyDescribe) {
  const OptionDescriptor* rows = OptionDescriptors();
  std::set<std::string> names;
  std::set<std::int32_t> numbered;
  for (std::int32_t i = 0; i < kOptionRowCount; ++i) {
    const OptionDescriptor& row = rows[i];
    SCOPED_TRACE(row.name);
    EXPECT_EQ(row.row, i);
    EXPECT_TRUE(names.insert(row.name).second) << "names are unique";
    const std::string_view type = row.type_name;
    if (row.number >= 0) {
      numbered.insert(row.number);
      const Kind kind = SolverOptionTable::KindOf(row.number);
      const std::uint32_t wire = kind == Kind::kReal   ? kOptionWireReal
                                 : kind == Kind::kFlag ? kOptionWireFlag
                                 : kind == Kind::kText ? kOptionWireText
                                                       : kOptionWireInteger;
      EXPECT_NE(kind, Kind::kNone);
      EXPECT_EQ(row.wire_type, wire);
    }
    const bool real_checked = type == "Double" ||
                              std::string_view(row.name) == "SLU.UseTranspose" ||
                              std::string_view(row.name) == "LogLikelihood.PrintLevel";
    EXPECT_EQ(row.checker == CheckRealOption, real_checked);
    if (row.choices[0] == '\0') {
      std::int32_t out = -1;
      EXPECT_EQ(row.checker(row, row.default_text, 0, &out), kOptionAccepted) << "its own default";
    }
  }
  EXPECT_EQ(rows[kOptionRowCount].row, kOptionRowCount);
  EXPECT_STREQ(rows[kOptionRowCount].name, "");
  for (std::int32_t n = 0; n < kOptionNumberCount; ++n) {
    if (SolverOptionTable::KindOf(n) != Kind::kNone && n != 26 && n != 29) {
      EXPECT_EQ(numbered.count(n), 1u) << "number " << n << " has a row";
    }
  }
  EXPECT_EQ(numbered.size() + 70, static_cast<std::size_t>(kOptionRowCount) - 1) << "112 has two";
}

TEST(OptionDescriptors, CheckersHonourBoundsChoicesAndTypes) {
  const struct {
    const char* row;
    const char* text;
    std::int32_t type;
    std::int32_t result;
    std::int32_t out;
  } cases[] = {
      {"AbsTol", "0.0", 4, kOptionOutOfBounds, -1},  // ">0.0": exclusive
      {"AbsTol", "1.0", 4, kOptionAccepted, -1},     // "1.0": inclusive
      {"AbsTol", "1.0", 5, kOptionWrongType, -1},
      {"AbsTol", "small", 0, kOptionNotRecognised, -1},
      {"Homotopy.StepDecrement", "1.0", 4, kOptionOutOfBounds, -1},  // "<1.0"
      {"Homotopy.StepDecrement", "0.99", 4, kOptionAccepted, -1},
      {"Wegstein.MinAcceleration", "-1e300", 4, kOptionAccepted, -1},  // "-inf"
      {"SLU.UseTranspose", "0.5", 4, kOptionAccepted, -1},             // the real checker
      {"Integrator", "Gear12", 5, kOptionAccepted, 4},
      {"Integrator", "VSIE", 5, kOptionRetiredChoice, 5},
      {"Integrator", "\"implicitEuler\"", 5, kOptionAccepted, 3},
      {"Integrator", "7", 2, kOptionAccepted, 7},  // flag bit 2: a plain number too
      {"Integrator", "9", 2, kOptionOutOfBounds, 9},
      {"Integrator", "Euler2", 5, kOptionNotRecognised, -1},
      {"Nonlinear.Method", "Mixed Newton", 5, kOptionAccepted, 3},
      {"Nonlinear.Method", "3", 2, kOptionWrongType, -1},
      {"Nonlinear.Method", "3", 5, kOptionNotRecognised, -1},
      {"Integration.MaxSteps", "0", 2, kOptionOutOfBounds, 0},
      {"Integration.MaxSteps", "2147483647", 2, kOptionAccepted, 2147483647},
      {"Feasopt.MaxEval", "0", 2, kOptionOutOfBounds, 0},
      {"Feasopt.MaxEval", "+1", 2, kOptionAccepted, 1},
      {"Nonlinear.MaxIter", "12x", 2, kOptionNotRecognised, -1},
      {"Nonlinear.MaxIter", "-5", 2, kOptionOutOfBounds, -5},
      {"Nonlinear.MaxIter", "99999999999", 2, kOptionNotRecognised, -1},
      {"Homotopy.Bounded", "true", 3, kOptionAccepted, 1},
      {"Homotopy.Bounded", "2", 2, kOptionOutOfBounds, 2},
      {"Homotopy.Bounded", "yes", 3, kOptionNotRecognised, -1},
      {"Homotopy.Bounded", "1", 4, kOptionWrongType, -1},
      {"Integration.ProgID", "X.Y", 5, kOptionAccepted, -1},
      {"Integration.ProgID", "X.Y", 6, kOptionAccepted, -1},
      {"Integration.ProgID", "1", 4, kOptionWrongType, -1},
      {"Integration.ProgID", "1", 7, kOptionWrongType, -1},
  };
  for (const auto& c : cases) {
    const OptionDescriptor& row = Row(c.row);
    std::int32_t out = -1;
    EXPECT_EQ(row.checker(row, c.text, c.type, &out), c.result) << c.row << " " << c.text;
    EXPECT_EQ(out, c.out) << c.row << " " << c.text;
  }
}

TEST(OptionDescriptors, ChoiceNamesByPosition) {
  std::string name;
  EXPECT_EQ(OptionChoiceName(Row("Integrator"), 5, &name), kOptionAccepted);
  EXPECT_EQ(name, "*VSIE") << "the retired mark is kept";
  EXPECT_EQ(OptionChoiceName(Row("Integrator"), 7, &name), kOptionAccepted);
  EXPECT_EQ(name, "*Gear");
  EXPECT_EQ(OptionChoiceName(Row("LinearSolver"), 1, &name), kOptionAccepted);
  EXPECT_EQ(name, "");
  EXPECT_EQ(OptionChoiceName(Row("Integrator"), 8, &name), kOptionNotRecognised);
  EXPECT_EQ(OptionChoiceName(Row("Integrator"), -1, &name), kOptionNotRecognised);
  EXPECT_EQ(OptionChoiceName(Row("AbsTol"), 0, &name), kOptionWrongType);
}

TEST(OptionDescriptors, IntegratorNamesFindTheirNumbers) {
  std::int32_t found = 0;
  for (std::int32_t n : {97, 120, 156, 169}) {
    const OptionDescriptor* row = OptionDescriptors();
    while (row->number != n) ++row;
    EXPECT_EQ(IntegratorOptionNameTable(row->name, &found), 0u) << row->name;
    EXPECT_EQ(found, n);
  }
  for (const OptionDescriptor* row = OptionDescriptors(); row->row < kOptionRowCount; ++row) {
    if (row->number < 129 || row->number > 150) continue;
    std::string shouted = row->name;
    for (char& c : shouted) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(IntegratorOptionNameTable(shouted.c_str(), &found), 0u) << shouted;
    EXPECT_EQ(found, row->number);
  }
  for (const char* unknown : {"Integration", "", "TEARINGS", "AAA", "ZZZ", "Integrator"}) {
    EXPECT_EQ(IntegratorOptionNameTable(unknown, &found), 0xA000FFFFu) << unknown;
  }
}

// The checkers read what the client typed, the setters what it sent.
TEST(OptionDescriptors, SeededRandomInputIsAnsweredNeverTrusted) {
  std::mt19937 random(20261207);
  const std::string alphabet = "0123456789+-.eE<>\"*!TRUEfalse VSIE\x01\xff";
  SolverOptionTable table;
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const int length = static_cast<int>(random() % 12);
    for (int i = 0; i < length; ++i) text += alphabet[random() % alphabet.size()];
    const OptionDescriptor& row = OptionDescriptors()[random() % kOptionRowCount];
    std::int32_t out = -1;
    const std::int32_t checked =
        row.checker(row, text.c_str(), static_cast<std::int32_t>(random() % 9), &out);
    ASSERT_TRUE(checked >= kOptionAccepted && checked <= kOptionRetiredChoice) << text;

    const auto number = static_cast<std::int32_t>(random() % 190) - 9;
    const auto kind = random() % 4;
    const SUValue value = kind == 0   ? IntValue(static_cast<std::int32_t>(random()))
                          : kind == 1 ? LogicalValue(random() % 2 == 0)
                          : kind == 2 ? RealValue(static_cast<double>(random()) / 7.0)
                                      : TextValue(text.c_str());
    const Status set = table.SetValue(number, value);
    ASSERT_TRUE(set == 0 || set == 0xA000FFFF) << number;
  }
  EXPECT_EQ(table.GetInt(167), 0) << "NLASolver is never stored";
}

}  // namespace
