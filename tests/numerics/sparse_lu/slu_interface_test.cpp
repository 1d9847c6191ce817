// The driver contract: default controls, KEEP layout, argument checks and the
// texts that reach the record writer (only when a unit of at least 1 is set).
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "numerics/sparse_lu/defaults.h"
#include "numerics/sparse_lu/slu_interface.h"
#include "numerics/sparse_lu/slu_print.h"
#include "tests/numerics/sparse_lu/reference.h"
#include "tests/support/capture_sink.h"

namespace {

using slu_test::Joined;

struct Record {
  std::int64_t unit;
  std::string text;
};
std::vector<Record> g_records;

void Capture(std::int64_t unit, std::string_view text) {
  g_records.push_back({unit, std::string(text)});
}

class SluRecords : public testing::Test {
 protected:
  void SetUp() override {
    g_records.clear();
    previous_ = SetSluRecordWriter(&Capture);
  }
  void TearDown() override { SetSluRecordWriter(previous_); }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const Record& r : g_records) texts.push_back(r.text);
    return texts;
  }

 private:
  SluRecordWriter previous_ = nullptr;
};

constexpr double kUntouched = -12345.0;

TEST(SluDefaults, FillExactlyTheirLength) {
  std::vector<double> cntl(6, kUntouched), kernel_cntl(5, kUntouched);
  std::vector<std::int64_t> icntl(10, -999), kernel_icntl(8, -999);
  SluSetDefaults(cntl.data(), icntl.data());
  SluKernelSetDefaults(kernel_cntl.data(), kernel_icntl.data());
  EXPECT_EQ(Joined(cntl), "0.5 0.1 0 0 0.5 -12345");
  EXPECT_EQ(Joined(icntl), "6 6 2 3 32 1 1 0 10 -999");
  EXPECT_EQ(Joined(kernel_cntl), "0.5 0.1 0 0 -12345");
  EXPECT_EQ(Joined(kernel_icntl), "6 6 1 3 32 0 0 -999");
}

TEST(SluKeepLayout, EngineLengthHoldsEveryBlockWithItsCounts) {
  // The engine's KEEP of 10N + 7 holds N blocks with their LBLOCK counts.
  for (std::int64_t n : {1, 2, 10, 1000}) {
    const slu::KeepLayout square(n, n);
    EXPECT_LE(square.LastUsed(n), slu::EngineLengthsFor(n, 3 * n).keep);
  }
  const slu::EngineLengths e = slu::EngineLengthsFor(10, 40);
  EXPECT_EQ(e.la, 200);
  EXPECT_EQ(e.iw, 90);
  EXPECT_EQ(e.w, 40);
}

struct CheckCase {
  slu::Driver driver;
  std::int64_t m, n, ne, job, la;
  std::int64_t code;
  int need_entry;  // 0-based INFO entry that receives 2 NE, or -1
};

TEST_F(SluRecords, ArgumentChecksRunInOrderAndTouchOnlyTheirEntries) {
  using slu::Driver;
  const std::vector<CheckCase> cases = {
      {Driver::kAnalyse, 0, 5, 0, 9, 0, -1, -1},  // dimensions before all else
      {Driver::kAnalyse, 5, 5, 0, 9, 0, -2, -1},  // entries before storage
      {Driver::kAnalyse, 5, 5, 4, 9, 7, -3, 2},   // storage before JOB
      {Driver::kAnalyse, 5, 5, 4, 4, 8, -6, -1},
      {Driver::kAnalyse, 5, 5, 4, 3, 8, 0, -1},
      {Driver::kFactorize, 5, 5, 4, 0, 7, -3, 3},
      {Driver::kFactorize, 5, 5, 4, 0, 8, -6, -1},
      {Driver::kSolve, 5, 0, 0, 1, 0, -1, -1},
      {Driver::kSolve, 5, 5, 0, 4, 0, 0, -1},  // NE and LA are not SluSolve's
      {Driver::kSolve, 5, 5, 0, 5, 0, -6, -1},
  };
  const std::int64_t icntl[9] = {0, 0, 2, 3, 32, 1, 1, 0, 10};
  for (const CheckCase& c : cases) {
    std::vector<std::int64_t> info(12, 77);
    const std::int64_t code =
        slu::CheckDriverArguments(c.driver, &c.m, &c.n, &c.ne, &c.job, &c.la, icntl, info.data());
    EXPECT_EQ(code, c.code);
    for (int k = 0; k < 12; ++k) {
      std::int64_t expected = 77;
      if (k == 0 && c.code != 0) expected = c.code;
      if (k == c.need_entry) expected = 2 * c.ne;
      EXPECT_EQ(info[k], expected) << "entry " << k + 1 << " code " << c.code;
    }
  }
  EXPECT_TRUE(g_records.empty());  // units 0: nothing written
}

TEST_F(SluRecords, ErrorsGoToTheErrorUnitWithTheirTexts) {
  const std::int64_t icntl[9] = {4, 9, 1, 3, 32, 1, 1, 0, 10};
  slu::ErrorValues v;
  v.m = 0;
  v.n = 3;
  EXPECT_EQ(slu::ReportError(icntl, slu::Driver::kAnalyse, slu::DriverError::kBadDimensions, v),
            -1);
  v.la = 15;
  v.need = 16;
  EXPECT_EQ(slu::ReportError(icntl, slu::Driver::kFactorize, slu::DriverError::kShortStorage, v),
            -3);
  EXPECT_EQ(Texts(), (std::vector<std::string>{
                         " Error return from SluAnalyse because M =         0 and N =         3",
                         " Error return from SluFactorize because LA is        15",
                         " and must be at least        16",
                     }));
  for (const Record& r : g_records) EXPECT_EQ(r.unit, 4);
}

TEST_F(SluRecords, WarningsNeedPrintLevelTwoAndStopAfterTenOfAKind) {
  std::int64_t icntl[9] = {4, 9, 1, 3, 32, 1, 1, 0, 10};
  slu::WarnDuplicate(icntl, 1, 5, 2, 3);
  EXPECT_TRUE(g_records.empty());  // print level 1: errors only
  icntl[2] = 2;
  for (std::int64_t k = 1; k <= 12; ++k) slu::WarnOutOfRange(icntl, k, k, 0, 4);
  slu::WarnDuplicate(icntl, 1, 5, 2, 3);
  slu::WarnEntrySummary(icntl, 1, 12);
  ASSERT_EQ(g_records.size(), 13u);
  EXPECT_EQ(g_records[0].text,
            " Message from SluAnalyse .. indices for entry       1 are     0     4");
  EXPECT_EQ(g_records[12].text, " Message from SluAnalyse ..      12 out-of-range indices found");
  for (const Record& r : g_records) EXPECT_EQ(r.unit, 9);
}

TEST(SluPrinter, RecordsReachTheMessagePrinterAsTheyAre) {
  testsupport::CaptureSink sink;
  SluWriteRecord(6, " 100% of  LA used ");
  SluWriteRecord(0, " never written");
  const auto lines = sink.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], " 100% of  LA used");
}

TEST_F(SluRecords, UnitsBelowOneWriteNothingWhateverThePrintLevel) {
  for (std::int64_t level : {0, 1, 2, 3, 4}) {
    const std::int64_t icntl[9] = {0, 0, level, 3, 32, 1, 1, 0, 10};
    slu::ErrorValues v;
    slu::ReportError(icntl, slu::Driver::kSolve, slu::DriverError::kNormEstimate, v);
    slu::WarnEntrySummary(icntl, 3, 4);
  }
  EXPECT_TRUE(g_records.empty());
}

}  // namespace
