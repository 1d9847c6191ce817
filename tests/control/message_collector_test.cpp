#include "control/messages/message_collector.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "control/managers/subsystem_manager.h"
#include "foundation/messages/su_repeats.h"
#include "framework/connections/segment.h"
#include "framework/messaging/message_controller.h"
#include "framework/messaging/sent_mark.h"
#include "tests/support/hang_bound.h"

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
                    const std::uint32_t* line_counts, const char* const* const* lines,
                    DseSentMark*) override {
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
  std::atomic<bool> done{false};
  std::thread run([&] {
    for (int g = 0; g < kGroups; ++g) {
      const std::string tag = std::to_string(g);
      for (const char* part : {"a", "b", "c"}) collector.AddText((tag + part).c_str());
      collector.EndGroup(static_cast<Status>(g + 1));
    }
    done = true;
  });
  while (!done) {
    collector.SendGroups();
    std::this_thread::yield();
  }
  run.join();
  while (collector.HeldBytes() > 0) collector.SendGroups();
  // Each group arrives whole, in order, with its status.
  ASSERT_EQ(controller.events.size(), static_cast<std::size_t>(kGroups));
  for (int g = 0; g < kGroups; ++g) {
    const std::string tag = std::to_string(g);
    const auto& event = controller.events[g];
    ASSERT_EQ(event.status, static_cast<Status>(g + 1));
    ASSERT_EQ(event.lines, (std::vector<std::string>{tag + "a", tag + "b", tag + "c"}));
  }
}

TEST(MessageCollector, NeighbouringGroupsOfOneStatusLeaveAsOneEvent) {
  RecordingController controller;
  SputMessageCollector collector;
  const std::pair<const char*, Status> groups[] = {
      {"a", 0}, {"b", 0}, {"c", 0x80000001u}, {"d", 0x80000001u}, {"e", 0}};
  for (const auto& [text, status] : groups) {
    collector.AddText(text);
    collector.EndGroup(status);
  }
  collector.SendGroups();
  ASSERT_EQ(controller.events.size(), 3u);
  EXPECT_EQ(controller.events[0].lines, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(controller.events[1].status, 0x80000001u);
  EXPECT_EQ(controller.events[1].lines, (std::vector<std::string>{"c", "d"}));
  EXPECT_EQ(controller.events[2].lines, (std::vector<std::string>{"e"}));
}

TEST(MessageCollector, AGroupRepeatedWithinAStepIsSentOnceAndCountedAtItsEnd) {
  RecordingController controller;
  SputMessageCollector collector;
  {
    SuRepeatScope step;
    for (int i = 0; i < 1000; ++i) {
      collector.AddText("Indeterminate variable Model.y1 in equation Model.twice");
      collector.EndGroup(0);
      collector.AddGroup(0x80210251u, {"Group 1: Nonlinear solver failed."});
    }
  }
  collector.AddGroup(0x80210251u, {"Group 1: Nonlinear solver failed."});
  collector.SendGroups();
  std::vector<std::string> lines;
  for (const auto& event : controller.events)
    lines.insert(lines.end(), event.lines.begin(), event.lines.end());
  EXPECT_EQ(lines,
            (std::vector<std::string>{
                "Indeterminate variable Model.y1 in equation Model.twice",
                "Group 1: Nonlinear solver failed.",
                "The report \"Indeterminate variable Model.y1 in equation Model.twice\" was "
                "repeated 999 more times",
                "The report \"Group 1: Nonlinear solver failed.\" was repeated 999 more times",
                "Group 1: Nonlinear solver failed."}));
}

TEST(MessageCollector, WhileOutputWaitsGroupsAreHeldAndBeyondTheBoundDroppedAndCounted) {
  RecordingController controller;
  SputMessageCollector collector;
  int added = 0;
  // Numbered lines, 1,000 bytes on the wire each.
  auto line = [](int g) {
    const std::string number = std::to_string(g);
    return std::string(996 - number.size(), 'x') + number;
  };
  auto add = [&](int groups) {
    for (int g = 0; g < groups; ++g) collector.AddGroup(0, {line(added++)});
  };
  // A client that keeps up loses nothing, however many lines come at once;
  // they leave a bounded part at a time.
  const std::size_t kept = SputMessageCollector::kMostSentAtOnce / 1000;
  add(300);
  collector.SendGroups();
  ASSERT_EQ(controller.events.size(), 1u);
  EXPECT_EQ(controller.events[0].lines.size(), kept);
  while (collector.HeldBytes() > 0) collector.SendGroups();
  std::size_t lines = 0;
  for (const auto& event : controller.events) lines += event.lines.size();
  EXPECT_EQ(lines, 300u);
  controller.events.clear();
  controller.posts = 0;

  controller.waiting = true;
  added = 0;
  add(1);
  EXPECT_EQ(collector.SendGroups(), 0u);
  EXPECT_EQ(controller.posts, 0) << "held while output waits";
  collector.AddGroup(0x80000001u, {"failed"});
  add(299);
  // The oldest ordinary groups gave way to the newest; the failed one stays.
  EXPECT_EQ(collector.HeldBytes(), kept * 1000 + 10);
  controller.waiting = false;
  collector.SendGroups();
  ASSERT_EQ(controller.events.size(), 3u);
  EXPECT_EQ(controller.events[0].lines,
            (std::vector<std::string>{std::to_string(300 - kept) +
                                      " message lines were dropped: they came faster than the "
                                      "client took them"}));
  EXPECT_EQ(controller.events[1].status, 0x80000001u);
  EXPECT_EQ(controller.events[1].lines, (std::vector<std::string>{"failed"}));
  const std::vector<std::string>& sent = controller.events[2].lines;
  ASSERT_EQ(sent.size(), kept);
  EXPECT_EQ(sent.front(), line(300 - static_cast<int>(kept)));
  EXPECT_EQ(sent.back(), line(299));
  EXPECT_EQ(collector.HeldBytes(), 0u);
  // Sent at once, ahead of what follows, whether or not output waits.
  controller.waiting = true;
  add(200);
  collector.SendGroupsNow();
  ASSERT_EQ(controller.events.size(), 4u);
  EXPECT_EQ(controller.events[3].lines.size(), 200u);
}

// A dialog nobody reads blocks only the thread that prints into it.
TEST(MessageCollector, ADialogThatTakesNothingLeavesTheCollectorFree) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  std::FILE* dialog = ::fdopen(ends[1], "w");
  ASSERT_NE(dialog, nullptr);
  SimMasterManager master;
  SetMasterManager(&master);
  {
    RecordingController controller;
    SputMessageCollector collector(dialog);
    const std::string line(200, 'e');
    std::atomic<int> printed{0};
    std::thread run([&] {
      // Far more than a pipe holds.
      for (int g = 0; g < 4000; ++g) {
        collector.AddGroup(0x80000001u, {line + std::to_string(g)});
        ++printed;
      }
    });
    // Wait until the run thread is stuck in the full pipe.
    int seen = -1;
    while (seen != printed.load()) {
      seen = printed.load();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // The server thread's calls take the collector's lock.
    auto counted = std::async(std::launch::async, [&] { return collector.GroupCount(); });
    const bool free = counted.wait_for(testsupport::HangBound(std::chrono::seconds(5))) ==
                      std::future_status::ready;
    std::thread drain([&] {
      char buffer[4096];
      while (::read(ends[0], buffer, sizeof buffer) > 0) {
      }
    });
    run.join();
    EXPECT_TRUE(free);
    EXPECT_GT(counted.get(), 0);
    collector.SendGroupsNow();
    EXPECT_EQ(controller.events.size(), 1u);
    EXPECT_EQ(controller.events[0].lines.size(), 4000u);
    std::fclose(dialog);
    drain.join();
  }
  ::close(ends[0]);
  SetMasterManager(nullptr);
}

// A post that waits for another thread to print: it may not find the
// collector locked by the send.
class PrintingController : public RecordingController {
 public:
  explicit PrintingController(SputMessageCollector* collector) : collector_(collector) {}
  Status PostEvents(std::uint32_t code, std::int32_t count, const std::uint32_t* values,
                    const std::uint32_t* line_counts, const char* const* const* lines,
                    DseSentMark* mark) override {
    auto printed = std::async(std::launch::async, [this] {
      collector_->AddText("during the post");
      collector_->EndGroup(0);
    });
    free_during_post = printed.wait_for(testsupport::HangBound(std::chrono::seconds(5))) ==
                       std::future_status::ready;
    return RecordingController::PostEvents(code, count, values, line_counts, lines, mark);
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

// Keeps the last event of every post waiting, as the output of a client
// that reads nothing does, until Take: a mark set on it sees it leave then.
// With a monitor, a second peer that has stopped reading holds each too,
// but is not waited for (the I/O queue tells no output waiting for it).
class QueueingController : public RecordingController {
 public:
  ~QueueingController() {
    Take();
    Release(&monitor_held_);
  }
  bool OutputWaiting() override { return !queued_.empty(); }
  Status PostEvents(std::uint32_t code, std::int32_t count, const std::uint32_t* values,
                    const std::uint32_t* line_counts, const char* const* const* lines,
                    DseSentMark* mark) override {
    if (mark != nullptr) {
      DseSegment* last = DseSegment::Make(nullptr);
      mark->Set(last);
      ++last->use_count;  // the client's, until written
      queued_.push_back(last);
      if (monitor) {
        ++last->use_count;
        monitor_held_.push_back(last);
      }
    }
    return RecordingController::PostEvents(code, count, values, line_counts, lines, nullptr);
  }
  void Take() { Release(&queued_); }
  // Every line posted since the last call.
  std::vector<std::string> Lines() {
    std::vector<std::string> all;
    for (; seen_ < events.size(); ++seen_) {
      all.insert(all.end(), events[seen_].lines.begin(), events[seen_].lines.end());
    }
    return all;
  }

  bool monitor = false;

 private:
  static void Release(std::vector<DseSegment*>* uses) {
    for (DseSegment* segment : *uses) {
      --segment->use_count;
      DseSegment::ReturnToPool(segment);
    }
    uses->clear();
  }

  std::vector<DseSegment*> queued_;
  std::vector<DseSegment*> monitor_held_;
  std::size_t seen_ = 0;
};

// One run command: an ordinary line and a list of how its solve ended.
void RunCommand(SputMessageCollector& collector, int command) {
  const SuRepeatHold run;
  collector.AddGroup(0, {"step of command " + std::to_string(command)});
  const SuOutcomeLines outcome;
  collector.AddGroup(0, {"Warning: the following variables are indeterminate:",
                         "  Group 1: Model.x", "of command " + std::to_string(command)});
}

// A client that reads nothing: the list of the first command goes, those of
// later commands wait, and each replaces the one before, counted. Once the
// client has taken the first, the count and the last list follow. The
// ordinary lines go as they come.
TEST(MessageCollector, ALaterCommandsOutcomeReplacesOneTheClientHasNotTaken) {
  QueueingController controller;
  SputMessageCollector collector;
  for (int unread : {1, 2, 5}) {
    SCOPED_TRACE(unread);
    for (int command = 0; command < unread; ++command) {
      RunCommand(collector, command);
      EXPECT_EQ(collector.SendGroupsNow(), 0u);
    }
    std::vector<std::string> lines = controller.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "of command 0"), 1);
    for (int command = 0; command < unread; ++command) {
      EXPECT_EQ(
          std::count(lines.begin(), lines.end(), "step of command " + std::to_string(command)), 1);
    }
    EXPECT_EQ(lines.back(), unread > 1 ? "step of command " + std::to_string(unread - 1)
                                       : std::string("of command 0"));
    EXPECT_EQ(collector.SendGroups(), 0u);
    EXPECT_TRUE(controller.Lines().empty());
    controller.Take();
    EXPECT_EQ(collector.SendGroups(), 0u);
    lines = controller.Lines();
    std::vector<std::string> expected;
    if (unread > 2) {
      expected.push_back(std::to_string(3 * (unread - 2)) +
                         " outcome lines were replaced by those of a later command: the client "
                         "had not taken the ones before them");
    }
    if (unread > 1) {
      expected.insert(expected.end(),
                      {"Warning: the following variables are indeterminate:", "  Group 1: Model.x",
                       "of command " + std::to_string(unread - 1)});
    }
    EXPECT_EQ(lines, expected);
    controller.Take();
  }
}

// A client that takes each list before the next command gets every one,
// beside a monitor that stopped reading or not; so does the last one an
// engine that ends holds, whether taken or not.
TEST(MessageCollector, ATakenOutcomeLetsTheNextGoAndTheEndSendsWhatIsHeld) {
  QueueingController controller;
  SputMessageCollector collector;
  for (int command = 0; command < 6; ++command) {
    controller.monitor = command >= 3;
    RunCommand(collector, command);
    EXPECT_EQ(collector.SendGroupsNow(), 0u);
    const std::vector<std::string> lines = controller.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "of command " + std::to_string(command)), 1);
    controller.Take();
  }
  RunCommand(collector, 6);
  EXPECT_EQ(collector.SendGroupsNow(), 0u);
  RunCommand(collector, 7);
  EXPECT_EQ(collector.SendGroupsNow(), 0u);
  std::vector<std::string> lines = controller.Lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "of command 7"), 0);
  EXPECT_EQ(collector.SendGroupsAtEnd(), 0u);
  lines = controller.Lines();
  EXPECT_EQ(lines.back(), "of command 7");
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
