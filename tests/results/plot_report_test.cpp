// Plot and profile reports: creation from request bodies, the flag and
// data replies against a recorded history, shared entries, the print.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <sstream>

#include "plot_fakes.h"
#include "results/plot/plot_report.h"
#include "tests/framework/message_helpers.h"

namespace plottest {
namespace {

using testsupport::BodyOf;
using testsupport::Bytes;
using testsupport::HexBytes;
using testsupport::SameBytes;

// Expected reply bytes, written as the client reads them.
class Expect {
 public:
  Expect& U32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  Expect& U24(std::uint32_t v) {
    for (int i = 0; i < 3; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  Expect& F64(double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, 8);
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
    return *this;
  }
  Bytes bytes;
};

class Owner : public PlotReportOwner {
 public:
  Owner(FakeModel* model, SputPlotHistoryMgr* mgr) : model_(model), mgr_(mgr) {}
  PlotEntryRef ResolveVariable(const BvuIdPath& path) override {
    return mgr_->EntryFor(model_->ResolveIdPath(path));
  }
  Status FillReport(SimPlotReport& report, BvuBinaryStream& reply) override {
    return mgr_->FillReport(report, reply, interval);
  }
  double interval = 1.0;

 private:
  FakeModel* model_;
  SputPlotHistoryMgr* mgr_;
};

class PlotReports : public PlotFolder {
 protected:
  // A request of the kind with its fields, run 3 and the variables' paths
  // (an id of 0 is not found).
  std::unique_ptr<SimPlotReport> Make(std::uint32_t kind, const std::vector<double>& reals,
                                      const std::vector<std::uint32_t>& ids,
                                      std::uint32_t times = 0) {
    DseMessage sent(55, DseMessage::kRequest);
    if (kind == SimPlotReport::kSpecifiedProfile) sent.PutUInt32(times);
    for (double r : reals) sent.PutDouble(r);
    sent.PutUInt32(3);
    sent.PutUInt32(static_cast<std::uint32_t>(ids.size()));
    for (std::uint32_t id : ids) {
      BvuIdPath path;
      path.Append(id);
      path.Write(sent);
    }
    auto request = testsupport::Received(sent);
    EXPECT_NE(request, nullptr);
    if (request == nullptr) return nullptr;
    SimPlotReport* report = nullptr;
    EXPECT_EQ(SimPlotReport::Create(kind, &owner_, *request, *request, &report), 0u);
    return std::unique_ptr<SimPlotReport>(report);
  }

  Bytes Body(SimPlotReport& report) {
    DseMessage* reply = nullptr;
    EXPECT_EQ(report.Fill(&reply), 0u);
    if (reply == nullptr) return {};
    std::unique_ptr<DseMessage> owned(reply);
    return BodyOf(*reply);
  }

  // x rises by 1 a second to 5, jumps to 20 at t = 5, then rises by 2.
  void RecordJump() {
    ASSERT_EQ(mgr_.Open(false), 0u);
    ASSERT_EQ(mgr_.AddVariable(x_), 0u);
    for (int k = 0; k <= 10; ++k) {
      x_->value = k <= 5 ? k : 20.0 + 2.0 * (k - 5);
      if (k == 5) {
        ASSERT_EQ(mgr_.RecordValues(k, nullptr), 0u);
        x_->value = 20.0;
      }
      ASSERT_EQ(mgr_.RecordValues(k, nullptr), 0u);
    }
  }

  FakeModel model_;
  FakeVariable* x_ = model_.Add("x", 0.0);
  SputPlotHistoryMgr mgr_{&model_};
  Owner owner_{&model_, &mgr_};
};

TEST_F(PlotReports, KindsReadTheirFieldsAndCountMissingVariablesAsRequestedOnly) {
  auto interval = Make(SimPlotReport::kIntervalProfile, {0.0, 10.0}, {x_->Id(), 0});
  ASSERT_NE(interval, nullptr);
  auto& profile = static_cast<SimIntervalProfileReport&>(*interval);
  EXPECT_EQ(profile.TimesUpTo(30.0), 4u);
  EXPECT_EQ(profile.TimesUpTo(-1.0), 0u);
  EXPECT_EQ(profile.RunNumber(), 3u);
  EXPECT_EQ(profile.RequestedCount(), 2u);
  EXPECT_EQ(profile.FoundCount(), 1u);
  EXPECT_EQ(profile.VariableAt(1), nullptr);
  EXPECT_EQ(profile.ReportKind(), 2u);

  auto plot = Make(SimPlotReport::kTimePlot, {-5.0, 8.0}, {x_->Id()});
  EXPECT_EQ(plot->StartTime(), 0.0);
  EXPECT_EQ(plot->LastTime(), 8.0);
  EXPECT_EQ(static_cast<SimTimePlotReport&>(*plot).Mode(), 1u);

  auto specified = Make(SimPlotReport::kSpecifiedProfile, {30.0, 10.0, 20.0}, {x_->Id()}, 3);
  auto& s = static_cast<SimSpecifiedProfileReport&>(*specified);
  EXPECT_EQ(s.ProfileTimeCount(), 3u);
  EXPECT_EQ(s.ProfileTime(0), 10.0);
  EXPECT_EQ(s.ProfileTime(2), 30.0);
  EXPECT_NE(s.SetValue(0, 3, 1.0), 0u);  // past the user's times

  // Unknown kind, a body cut short, a non-positive interval.
  DseMessage sent(55, DseMessage::kRequest);
  sent.PutDouble(0.0);
  auto request = testsupport::Received(sent);
  SimPlotReport* none = nullptr;
  EXPECT_EQ(SimPlotReport::Create(3, &owner_, *request, *request, &none), status::kBadArguments);
  EXPECT_EQ(SimPlotReport::Create(0, &owner_, *request, *request, &none), status::kBadArguments);
  EXPECT_EQ(none, nullptr);
}

TEST_F(PlotReports, FlagReplyMarksFoundVariables) {
  auto plot = Make(SimPlotReport::kTimePlot, {0.0, 1.0}, {0, x_->Id(), 0});
  DseMessage* header = nullptr;
  ASSERT_EQ(plot->BuildHeader(&header), 0u);
  std::unique_ptr<DseMessage> owned(header);
  EXPECT_TRUE(SameBytes(HexBytes("03000000 00000000 18000000 00000000"), BodyOf(*header)));
}

// x = 100 + t / 10 recorded to t = 30: the profile's values come from the
// history, its four times from the interval.
TEST_F(PlotReports, IntervalProfileFillsFourTimesAtThirty) {
  auto report = Make(SimPlotReport::kIntervalProfile, {0.0, 10.0}, {x_->Id(), 0});
  auto& profile = static_cast<SimIntervalProfileReport&>(*report);
  ASSERT_EQ(mgr_.Open(false), 0u);
  ASSERT_EQ(mgr_.AddVariable(x_), 0u);
  for (int k = 0; k <= 30; ++k) {
    x_->value = 100.0 + k / 10.0;
    ASSERT_EQ(mgr_.RecordValues(k, nullptr), 0u);
  }
  Expect expect;
  expect.U32(1).U24(0).U32(4);
  for (double t : {0.0, 10.0, 20.0, 30.0}) expect.F64(t);
  const Bytes body = Body(profile);
  ASSERT_EQ(body.size(), expect.bytes.size() + 4 * 8);
  EXPECT_TRUE(SameBytes(expect.bytes, Bytes(body.begin(), body.begin() + 43)));
  for (int i = 0; i < 4; ++i) {
    double v;
    std::memcpy(&v, &body[43 + 8 * i], 8);
    EXPECT_NEAR(v, 100.0 + i, 1e-9) << i;
  }
  EXPECT_EQ(profile.HighestFilled(), 3);
}

// On the jump history: the specified times in sorted order up to the last
// recorded one, a time at the jump taking the value after it, a time
// between stored points the line between them; nothing before recording.
TEST_F(PlotReports, SpecifiedProfileReadsTheHistoryAtItsTimes) {
  auto early = Make(SimPlotReport::kSpecifiedProfile, {2.5}, {x_->Id()}, 1);
  DseMessage* reply = reinterpret_cast<DseMessage*>(1);
  EXPECT_EQ(early->Fill(&reply), 0u);
  EXPECT_EQ(reply, nullptr) << "nothing recorded yet";
  RecordJump();
  auto report = Make(SimPlotReport::kSpecifiedProfile, {40.0, 7.5, 5.0, 2.5}, {0, x_->Id()}, 4);
  Expect expect;
  expect.U32(1).U24(0).U32(3).F64(2.5).F64(5.0).F64(7.5).F64(2.5).F64(20.0).F64(25.0);
  EXPECT_TRUE(SameBytes(expect.bytes, Body(*report)));
  Expect one;
  one.U32(1).U24(0).U32(1).F64(2.5).F64(2.5);
  EXPECT_TRUE(SameBytes(one.bytes, Body(*early)));
  // A profile whose first time lies past the history sends nothing.
  auto late = Make(SimPlotReport::kIntervalProfile, {10.5, 1.0}, {x_->Id()});
  EXPECT_EQ(late->Fill(&reply), 0u);
  EXPECT_EQ(reply, nullptr);
}

TEST_F(PlotReports, TimePlotSamplesTheHistoryAndWritesTheJump) {
  RecordJump();
  auto plot = Make(SimPlotReport::kTimePlot, {3.0, 8.0}, {x_->Id(), 0});
  Expect expect;
  expect.U32(1).U24(0).U32(6).F64(3.0).F64(8.0).F64(1.0);
  expect.F64(3.0).F64(4.0);
  expect.F64(plot::kJumpEscape).F64(5.0).F64(5.0).F64(20.0);
  expect.F64(20.0).F64(22.0).F64(24.0).F64(26.0);
  EXPECT_TRUE(SameBytes(expect.bytes, Body(*plot)));
  // The opening, byte by byte: 1 variable, 24 reserved bits, 6 samples,
  // 3.0, 8.0, 1.0.
  EXPECT_TRUE(SameBytes(HexBytes("01000000 000000 06000000 0000000000000840 0000000000002040"
                                 "000000000000F03F"),
                        Bytes(expect.bytes.begin(), expect.bytes.begin() + 35)));
}

TEST_F(PlotReports, ARestartReadsAsAJumpFromTheOldLine) {
  ASSERT_EQ(mgr_.Open(false), 0u);
  ASSERT_EQ(mgr_.AddVariable(x_), 0u);
  for (int k = 0; k <= 2; ++k) {
    x_->value = k;
    ASSERT_EQ(mgr_.RecordValues(k, nullptr), 0u);
  }
  ASSERT_EQ(mgr_.AddVariable(x_), 0u);
  x_->value = 10.0;
  ASSERT_EQ(mgr_.RecordValues(3, nullptr), 0u);
  ASSERT_EQ(mgr_.RecordValues(4, nullptr), 0u);
  auto plot = Make(SimPlotReport::kTimePlot, {2.0, 4.0}, {x_->Id()});
  Expect expect;
  expect.U32(1).U24(0).U32(3).F64(2.0).F64(4.0).F64(1.0);
  expect.F64(2.0).F64(plot::kJumpEscape).F64(3.0).F64(3.0).F64(10.0).F64(10.0).F64(10.0);
  EXPECT_TRUE(SameBytes(expect.bytes, Body(*plot)));
}

TEST_F(PlotReports, SamplesBetweenStoredPointsAreInterpolated) {
  RecordJump();
  owner_.interval = 0.25;
  auto plot = Make(SimPlotReport::kTimePlot, {6.0, -1.0}, {x_->Id()});
  const Bytes body = Body(*plot);
  ASSERT_EQ(body.size(), 35u + 17 * 8);  // 6.0 to 10.0 by 0.25
  for (int i = 0; i < 17; ++i) {
    double v;
    std::memcpy(&v, &body[35 + 8 * i], 8);
    EXPECT_NEAR(v, 22.0 + 2.0 * 0.25 * i, 1e-9);
  }
}

TEST_F(PlotReports, NothingToSendInItsThreeCases) {
  // The manager answers 59; the report turns that into no reply at all.
  const auto direct = [this](SimPlotReport& report) {
    DseMessage scratch(55, DseMessage::kReply);
    return mgr_.FillReport(report, scratch, 1.0);
  };
  auto plot = Make(SimPlotReport::kTimePlot, {0.0, 5.0}, {x_->Id()});
  DseMessage* reply = reinterpret_cast<DseMessage*>(1);
  EXPECT_EQ(direct(*plot), plot::kNoData);
  EXPECT_EQ(plot->Fill(&reply), 0u);  // not open
  EXPECT_EQ(reply, nullptr);
  ASSERT_EQ(mgr_.Open(false), 0u);
  ASSERT_EQ(mgr_.AddVariable(x_), 0u);
  EXPECT_EQ(direct(*plot), plot::kNoData);
  EXPECT_EQ(plot->Fill(&reply), 0u);  // not started
  EXPECT_EQ(reply, nullptr);
  for (int k = 0; k <= 3; ++k) ASSERT_EQ(mgr_.RecordValues(k, nullptr), 0u);
  auto late = Make(SimPlotReport::kTimePlot, {10.0, 20.0}, {x_->Id()});
  EXPECT_EQ(direct(*late), plot::kNoData);
  EXPECT_EQ(late->Fill(&reply), 0u);  // the window starts after the last time
  EXPECT_EQ(reply, nullptr);
  EXPECT_FALSE(Body(*plot).empty());
}

// Run under ASan: entries a report holds outlive the table's hold.
TEST_F(PlotReports, HeldEntriesSurviveCloseRemoveAndReplace) {
  RecordJump();
  FakeVariable* y = model_.Add("y", 1.0);
  ASSERT_EQ(mgr_.AddVariable(y), 0u);
  auto plot = Make(SimPlotReport::kTimePlot, {0.0, -1.0}, {x_->Id(), y->Id()});
  const PlotEntryRef held = plot->VariableAt(0);
  EXPECT_EQ(held.use_count(), 3);  // table, report, here
  ASSERT_EQ(mgr_.RemoveVariable(x_), 0u);
  EXPECT_FALSE(held->in_table);
  EXPECT_FALSE(Body(*plot).empty());  // the chain is still in the file
  plot->ReplaceVariable(1, mgr_.EntryFor(x_));
  EXPECT_EQ(plot->FoundCount(), 2u);
  ASSERT_EQ(mgr_.Close(), 0u);
  EXPECT_EQ(held.use_count(), 2);
  plot.reset();
  EXPECT_EQ(held.use_count(), 1);
  EXPECT_EQ(held->variable, x_);
}

TEST_F(PlotReports, PrintsTheDebugText) {
  auto report = Make(SimPlotReport::kSpecifiedProfile, {20.0, 10.0}, {x_->Id(), 0}, 2);
  auto& s = static_cast<SimSpecifiedProfileReport&>(*report);
  ASSERT_EQ(s.SetValue(0, 0, 1.5), 0u);
  ASSERT_EQ(s.SetValue(0, 1, 2.5), 0u);
  std::ostringstream out;
  s.Print(out);
  const std::string text = std::regex_replace(out.str(), std::regex(R"(\[0x[0-9a-f]+\])"), "[@]");
  EXPECT_EQ(text,
            "[@] SimPlotReport - data\n"
            "Start Time=0 Last Time=0\n"
            "Run #3 #vars=1 #req vars=2\n"
            "----------------------------------\n"
            "[@] SimProfileReport - data\n"
            "# profile times 2\n"
            "Profile Buffer:\n"
            "t=  10: 1.5; 0; \n"
            "t=  20: 2.5; 0; \n"
            "\n"
            "----------------------------------\n"
            "[@] SimSpecifiedProfileReport - data\n"
            "Requested times (user order):20; 10; \n"
            "Profile map:1; 0; \n"
            "----------------------------------\n");
}

}  // namespace
}  // namespace plottest
