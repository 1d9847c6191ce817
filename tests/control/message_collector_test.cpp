#include "control/messages/message_collector.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "control/managers/subsystem_manager.h"
#include "framework/messaging/message_controller.h"

namespace {

// Keeps every posted event as (code, status, lines).
class RecordingController : public DseMessageController {
 public:
  struct Event {
    std::uint32_t code;
    Status status;
    std::vector<std::string> lines;
  };

  RecordingController() { DseSetCurrentController(this); }
  ~RecordingController() { DseSetCurrentController(nullptr); }

  Status Send(DseMessage*, std::uint32_t, DseClientCB*, void*, const double*,
              std::int32_t) override {
    return 0;
  }
  Status Poll() override { return 0; }
  bool OutputWaiting() override { return waiting; }
  Status CancelRequest(std::uint32_t) override { return 21; }
  Status PostEvents(std::uint32_t code, std::int32_t count, const std::uint32_t* values,
                    const std::uint32_t* line_counts, const char* const* const* lines) override {
    ++posts;
    for (std::int32_t i = 0; i < count; ++i)
      events.push_back({code, values[i], {lines[i], lines[i] + line_counts[i]}});
    return 0;
  }

  int posts = 0;
  std::vector<Event> events;
  // Whether the connection is taken to have output waiting.
  bool waiting = false;
};

std::string ReadAll(std::FILE* file) {
  std::rewind(file);
  std::string text;
  for (int c; (c = std::fgetc(file)) != EOF;) text.push_back(static_cast<char>(c));
  return text;
}

TEST(MessageCollector, GroupsReachTheClientInOrderWithTheirStatus) {
  RecordingController controller;
  SputMessageCollector collector;
  EXPECT_EQ(SputMessageCollector::Instance(), &collector);
  EXPECT_EQ(GetMessageCollector(), &collector);

  collector.EndGroup(0x80000001u);  // no text: nothing left behind
  EXPECT_EQ(collector.GroupCount(), 0);
  EXPECT_EQ(collector.SendGroups(), 0u);
  EXPECT_EQ(controller.posts, 0);

  for (const char* text : {"one", "two", "three"}) collector.AddText(text);
  collector.EndGroup(0x40000002u);
  collector.AddText("four");  // starts a new group
  collector.EndGroup(5);
  collector.AddText("pending");  // not ended: stays for the next send
  EXPECT_EQ(collector.SendGroups(), 0u);
  EXPECT_EQ(controller.posts, 1);
  ASSERT_EQ(controller.events.size(), 2u);
  EXPECT_EQ(controller.events[0].code, 16u);
  EXPECT_EQ(controller.events[0].status, 0x40000002u);
  EXPECT_EQ(controller.events[0].lines, (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(controller.events[1].status, 5u);
  EXPECT_EQ(controller.events[1].lines, (std::vector<std::string>{"four"}));

  EXPECT_EQ(collector.SendGroups(), 0u);  // the sent groups are gone
  EXPECT_EQ(controller.posts, 1);
  collector.EndGroup(0);
  collector.ClearGroups();
  EXPECT_EQ(collector.GroupCount(), 0);
}

TEST(MessageCollector, FailedGroupsShowDialogLinesOnlyWithAProblemManager) {
  struct Case {
    bool master;
    Status status;
    const char* expected;
  };
  const Case cases[] = {
      {true, 0x80000010u, "Dialog: bad\nDialog: worse\n"},
      {true, 0x40000010u, ""},
      {false, 0x80000010u, ""},
  };
  for (const Case& c : cases) {
    std::FILE* dialog = std::tmpfile();
    ASSERT_NE(dialog, nullptr);
    {
      SimMasterManager master;
      if (c.master) SetMasterManager(&master);
      SputMessageCollector collector(dialog);
      collector.AddText("bad");
      collector.AddText("worse");
      collector.EndGroup(c.status);
      EXPECT_EQ(collector.GroupCount(), 1);
    }
    EXPECT_EQ(ReadAll(dialog), c.expected);
    std::fclose(dialog);
  }
  EXPECT_EQ(SputMessageCollector::Instance(), nullptr);
  EXPECT_EQ(GetMessageCollector(), nullptr);
}

TEST(MessageCollector, RunThreadGroupsSurviveConcurrentSends) {
  RecordingController controller;
  SputMessageCollector collector;
  constexpr int kGroups = 10000;
  std::thread run([&] {
    for (int g = 0; g < kGroups; ++g) {
      const std::string tag = std::to_string(g);
      for (const char* part : {"a", "b", "c"}) collector.AddText((tag + part).c_str());
      collector.EndGroup(static_cast<Status>(g));
    }
  });
  while (controller.events.size() < static_cast<std::size_t>(kGroups)) {
    collector.SendGroups();
    std::this_thread::yield();
  }
  run.join();
  collector.SendGroups();
  ASSERT_EQ(controller.events.size(), static_cast<std::size_t>(kGroups));
  for (int g = 0; g < kGroups; ++g) {
    const std::string tag = std::to_string(g);
    const auto& event = controller.events[g];
    ASSERT_EQ(event.status, static_cast<Status>(g));
    ASSERT_EQ(event.lines, (std::vector<std::string>{tag + "a", tag + "b", tag + "c"}));
  }
}

// A post that waits for another thread to print: it may not find the
// collector locked by the send.
class PrintingController : public RecordingController {
 public:
  explicit PrintingController(SputMessageCollector* collector) : collector_(collector) {}
  Status PostEvents(std::uint32_t code, std::int32_t count, const std::uint32_t* values,
                    const std::uint32_t* line_counts, const char* const* const* lines) override {
    auto printed = std::async(std::launch::async, [this] {
      collector_->AddText("during the post");
      collector_->EndGroup(0);
    });
    free_during_post = printed.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    return RecordingController::PostEvents(code, count, values, line_counts, lines);
  }
  bool free_during_post = false;

 private:
  SputMessageCollector* collector_;
};

TEST(MessageCollector, SendingLeavesTheCollectorFreeWhileThePostRuns) {
  SputMessageCollector collector;
  PrintingController controller(&collector);
  collector.AddText("first");
  collector.EndGroup(0);
  EXPECT_EQ(collector.SendGroups(), 0u);
  EXPECT_TRUE(controller.free_during_post);
  EXPECT_EQ(collector.GroupCount(), 1);  // the line printed meanwhile waits for the next send
}

TEST(MessageCollector, DialogLinesWhileTheMasterComesAndGoes) {
  // The run thread reads the master pointer that the server thread sets.
  std::FILE* dialog = std::tmpfile();
  ASSERT_NE(dialog, nullptr);
  {
    SputMessageCollector collector(dialog);
    std::thread run([&] {
      for (int g = 0; g < 2000; ++g) {
        collector.AddText("x");
        collector.EndGroup(0x80000001u);
      }
    });
    for (int round = 0; round < 200; ++round) {
      SimMasterManager master;
      SetMasterManager(&master);
      std::this_thread::yield();
      SetMasterManager(nullptr);
    }
    run.join();
    EXPECT_EQ(collector.GroupCount(), 2000);
  }
  std::fclose(dialog);
}

}  // namespace
