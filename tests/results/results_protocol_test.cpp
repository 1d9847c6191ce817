// The results manager's commands and numbered requests.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "framework/messaging/message.h"
#include "results/manager/results_mgr.h"
#include "tests/framework/message_helpers.h"
#include "tests/results/results_mgr_fakes.h"
#include "tests/results/snapshot_fakes.h"

namespace {

using resultstest::FakeProblem;
using testsupport::Bytes;

class ProtocolProblem : public FakeProblem {
 public:
  ProtocolProblem() : FakeProblem({"a", "b"}) {}
  Status QueueSnapshot(const char* name, bool first, bool second, bool third,
                       const char* description) override {
    queued.push_back(std::string(name) + (first ? "1" : "0") + (second ? "1" : "0") +
                     (third ? "1" : "0") + "/" + (description != nullptr ? description : "-"));
    return 0;
  }
  void SetRestored() override { ++restored_requests; }
  void SetRestartTime(double time) override { restart_time = time; }
  bool RunActive() override { return running; }

  std::vector<std::string> queued;
  int restored_requests = 0;
  double restart_time = -5;
  bool running = false;
};

class ResultsProtocol : public snaptest::SnapshotFolder {
 protected:
  ResultsProtocol() : manager_(&problem_) {
    RunPosition at;
    manager_.OpenSnapshotFile(2, problem_.Values({1, 2}), &at, false, false);
  }
  Status Command(std::uint32_t number, std::vector<const char*> strings,
                 std::vector<std::int32_t> integers, std::vector<double> reals) {
    return manager_.HandleCommand(55, number, static_cast<std::uint32_t>(strings.size()),
                                  strings.data(), static_cast<std::uint32_t>(integers.size()),
                                  integers.data(), static_cast<std::uint32_t>(reals.size()),
                                  reals.data());
  }
  // The request's reply body, or the status in *result.
  Bytes Request(const Bytes& body, Status* result) {
    auto request = testsupport::ReceivedBody(body, 55);
    DseMessage* reply = nullptr;
    DseTemplate* kept = nullptr;
    *result = manager_.HandleRequest(55, request.get(), &reply, &kept);
    delete kept;
    if (reply == nullptr) return {};
    Bytes bytes = testsupport::BodyOf(*reply);
    delete reply;
    return bytes;
  }
  std::uint32_t Take(const char* name, double time, std::int16_t count = 1) {
    manager_.AfterRunStep(time, 1, count, RunResultsSeam::kStepEvent, time, 1e-9, false);
    std::uint32_t id = 0;
    EXPECT_EQ(manager_.TakeNamedSnapshot(name, &id, true, false), 0u);
    return id;
  }

  ProtocolProblem problem_;
  SimResultsMgr manager_;
};

TEST_F(ResultsProtocol, ArgumentCountsAreCheckedBeforeAnythingChanges) {
  const std::uint32_t flags = manager_.SnapshotFlags();
  EXPECT_EQ(Command(16, {}, {1, 2, 3}, {}), status::kBadArguments);
  EXPECT_EQ(manager_.SnapshotFlags(), flags);
  EXPECT_EQ(Command(128, {"a", "b"}, {}, {}), status::kBadArguments);
  EXPECT_EQ(Command(152, {}, {}, {}), status::kBadArguments);
  EXPECT_EQ(Command(152, {}, {1, 0}, {}), status::kBadArguments);
  EXPECT_EQ(Command(153, {}, {}, {0.5, 0.6}), status::kBadArguments);
  EXPECT_EQ(Command(17, {}, {1000}, {}), status::kBadArguments);
  EXPECT_EQ(Command(147, {"text"}, {}, {}), status::kBadArguments);
  EXPECT_EQ(Command(117, {}, {1000}, {}), status::kBadArguments);
  EXPECT_EQ(Command(1, {}, {}, {}), status::kBadArguments);
  EXPECT_EQ(Command(18, {}, {}, {}), status::kBadArguments);
  EXPECT_EQ(Command(80, {}, {}, {}), 0xA000FFFFu);
  EXPECT_EQ(Command(0, {}, {}, {}), 0x8000FFFFu);
  EXPECT_EQ(Command(154, {}, {}, {}), 0x8000FFFFu);
  EXPECT_EQ(Command(2, {}, {}, {}), 0x8000FFFFu);
  // "All" waits for the run to stop.
  problem_.running = true;
  EXPECT_EQ(Command(128, {"All"}, {}, {}), 0x0032000Au);
}

TEST_F(ResultsProtocol, SnapshotCommandsKeepDeleteDescribeAndQueue) {
  const std::uint32_t first = Take("first", 1.0);
  const std::uint32_t second = Take("second", 2.0);
  EXPECT_EQ(Command(17, {"kept"}, {static_cast<std::int32_t>(first)}, {}), 0u);
  std::uint32_t found = 0;
  EXPECT_EQ(manager_.FindSnapshotByName("kept", &found), 0u);
  EXPECT_EQ(found, first);
  EXPECT_EQ(Command(147, {"why"}, {static_cast<std::int32_t>(first)}, {}), 0u);
  const char* text = nullptr;
  manager_.Store().GetSnapshotDescription(first, &text);
  EXPECT_STREQ(text, "why");
  // Deleting stops at the first failure.
  EXPECT_NE(Command(18, {}, {static_cast<std::int32_t>(second), 99999}, {}), 0u);
  EXPECT_NE(manager_.FindSnapshotByName("second", &found), 0u);

  EXPECT_EQ(Command(15, {}, {}, {}), 0u);
  EXPECT_EQ(Command(15, {"mine", "said"}, {1}, {}), 0u);
  EXPECT_EQ(Command(15, {"only"}, {}, {}), 0u);
  EXPECT_EQ(problem_.queued,
            (std::vector<std::string>{"Manual Snapshot000/-", "mine111/said", "only101/-"}));

  EXPECT_EQ(Command(152, {}, {0}, {}), 0u);
  EXPECT_EQ(Command(153, {}, {}, {0.5}), 0u);
  Status s = 1;
  Bytes reply = Request({154, 0}, &s);
  EXPECT_EQ(s, 0u);
  EXPECT_EQ(reply, (Bytes{154, 0, 0}));
  reply = Request({155, 0}, &s);
  ASSERT_EQ(reply.size(), 10u);
  double ratio = 0;
  std::memcpy(&ratio, reply.data() + 2, 8);
  EXPECT_EQ(ratio, 0.5);
}

TEST_F(ResultsProtocol, RequestsAnswerTheirKindsAndRefuseOthers) {
  Status s = 1;
  Bytes reply = Request({154, 0}, &s);
  EXPECT_EQ(reply, (Bytes{154, 0, 1}));
  reply = Request({155, 0}, &s);
  ASSERT_EQ(reply.size(), 10u);
  double ratio = 0;
  std::memcpy(&ratio, reply.data() + 2, 8);
  EXPECT_EQ(ratio, 0.25);

  // The list after every snapshot went equals the list of a fresh store.
  const Bytes fresh = Request({19, 0}, &s);
  EXPECT_EQ(s, 0u);
  const std::uint32_t id = Take("one", 1.0);
  EXPECT_NE(Request({19, 0}, &s), fresh);
  EXPECT_EQ(Command(18, {}, {static_cast<std::int32_t>(id)}, {}), 0u);
  EXPECT_EQ(Request({19, 0}, &s), fresh);

  Request({200, 0}, &s);
  EXPECT_EQ(s, status::kBadArguments);
  Request({7}, &s);
  EXPECT_EQ(s, 0x8000FFFFu);
}

TEST_F(ResultsProtocol, Request58RestoresTheNewestSnapshotOrSaysItCannot) {
  Status s = 0;
  Bytes reply = Request({58, 0, 0, 0}, &s);
  EXPECT_EQ(s, 0x40000048u);
  ASSERT_GE(reply.size(), 18u);
  EXPECT_EQ(reply[0], 58);
  std::uint32_t word = 0;
  std::memcpy(&word, reply.data() + 2, 4);
  EXPECT_EQ(word, 0x40000048u);
  const std::string text(reply.begin() + 21, reply.begin() + 21 + 19);
  EXPECT_EQ(text, "Missing Description");

  // The run's current stretch (its snapshot count) starts at "newest".
  Take("first", 1.0, 1);
  Take("newest", 2.5, 2);
  Take("later", 3.0, 2);
  reply = Request({58, 0, 0, 0}, &s);
  EXPECT_EQ(s, 0u);
  std::memcpy(&word, reply.data() + 2, 4);
  EXPECT_EQ(word, 0u);
  double time = 0;
  std::memcpy(&time, reply.data() + 6, 8);
  EXPECT_EQ(time, 2.5);
  EXPECT_EQ(std::string(reply.begin() + 21, reply.begin() + 27), "newest");
  EXPECT_EQ(problem_.restored_requests, 1);
  EXPECT_EQ(problem_.restart_time, 2.5);
}

}  // namespace
