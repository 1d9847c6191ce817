#include "expr/tree/operator_table.h"

#include <gtest/gtest.h>

#include <set>

TEST(OperatorTable, EveryCodeMapsBackToItsRowAndCodesAreUnique) {
  std::set<int> codes;
  for (std::uint16_t row = 0; row < kOperatorRows; ++row) {
    EXPECT_EQ(RowForCode(OperatorTable[row].code), row) << OperatorTable[row].name;
    EXPECT_TRUE(codes.insert(OperatorTable[row].code).second) << "code reused by row " << row;
  }
}

TEST(OperatorTable, UnknownCodeGivesClosingRowWithoutOperands) {
  EXPECT_EQ(RowForCode(0), kEmptyRow);
  EXPECT_EQ(RowForCode(200), kEmptyRow);
  EXPECT_EQ(OperatorTable[kEmptyRow].operands, 0);
  EXPECT_EQ(OperatorTable[kEmptyRow].code, 114);
}

TEST(OperatorTable, SpotChecksOfFlagsVariantsAndTexts) {
  struct Case {
    std::uint16_t row;
    std::uint8_t code;
    std::uint16_t flags;
    std::int16_t string_variant;
    std::int16_t integer_variant;
    const char* modelling;
  };
  const Case cases[] = {
      {kAdd, 18, 0x3D, -1, 92, "+"},         {kPow, 23, 0x345, -1, -1, "^"},
      {kOr, 7, 0x13D, -1, -1, " OR "},       {kEq, 9, 0x19, 78, 84, "=="},
      {kMaxList, 45, 0x419, -1, -1, "MAX"},  {kMinList, 44, 0x419, -1, -1, "MIN"},
      {kMax, 99, 0x1, -1, -1, "max"},        {kMin, 100, 0x1, -1, -1, "min"},
      {kTime, 57, 0, -1, -1, "TIME"},        {kTerm, 2, 0, 103, 102, ""},
      {kRunMode, 113, 0, -1, -1, "RunMode"}, {kDeRefI, 112, 0, -1, -1, ""},
  };
  for (const Case& c : cases) {
    const OperatorRow& row = OperatorTable[c.row];
    EXPECT_EQ(row.code, c.code) << row.name;
    EXPECT_EQ(row.flags, c.flags) << row.name;
    EXPECT_EQ(row.string_variant, c.string_variant) << row.name;
    EXPECT_EQ(row.integer_variant, c.integer_variant) << row.name;
    EXPECT_STREQ(row.modelling, c.modelling) << row.name;
  }
  EXPECT_STREQ(OperatorTable[kOr].cpp, "||");
  EXPECT_STREQ(OperatorTable[kMax].cpp, "__max(");
}
