#include "framework/servers/controller.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "fake_connection.h"
#include "framework/connections/io_status.h"
#include "framework/messaging/io_queue.h"
#include "framework/messaging/sent_mark.h"
#include "framework/processes/compute_node.h"
#include "framework/processes/process_manager.h"
#include "framework/servers/server_callback.h"
#include "framework/servers/server_registry.h"
#include "message_helpers.h"
#include "platform/child_process.h"
#include "platform/socket.h"
#include "segment_helpers.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/scoped_env.h"
#include "tests/support/stdout_capture.h"
#include "tests/support/temp_dir.h"

using namespace testsupport;

namespace {

// The body of a message received from the wire.
Bytes Data(const DseMessage& message) { return DataOf(message.FirstSegment()); }

std::unique_ptr<DseController> Made(std::vector<std::string> args, Status* status,
                                    const char* configuration = "vantor.cfg") {
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  return std::make_unique<DseController>(static_cast<std::int32_t>(argv.size()), argv.data(),
                                         configuration, status);
}

TEST(ControllerCommandLine, ItemsAreReadOrRefused) {
  StdoutCapture quiet;
  const std::string long_host(40, 'h');
  const std::pair<std::vector<std::string>, Status> rows[] = {
      {{"-ChildNo=0"}, 0xA000FFFF},
      {{"-ChildNo=x"}, 0xA000FFFF},
      {{"-ChildNo=\"2\"", "-SessionId=\"42\"", "ignored", "-Other=1"}, 0},
      {{"-ChildNo=2", "-SessionId=x"}, 0xA000FFFF},
      {{"-ChildNo=2", "-ParentNode=3:-1:host"}, 0xA000FFFF},
      {{"-ChildNo=2", "-ParentNode=3:5000:" + long_host}, 0xA000FFFF},
      {{"-ChildNo=2", "-ParentNode=3:5000"}, 0xA000FFFF},
      {{"-ChildNo=2", "-SessionId=" + std::string(98, '0') + "42"}, 0xA000FFFF},
  };
  for (const auto& [items, expected] : rows) {
    std::vector<std::string> args = {"engine"};
    args.insert(args.end(), items.begin(), items.end());
    Status status = 0;
    auto controller = Made(args, &status);
    EXPECT_EQ(status, expected) << args[1];
    EXPECT_EQ(controller->SessionId(), expected == 0 ? 42u : 0u);
    EXPECT_EQ(controller->Ready(), expected == 0);
  }
  Status status = 0;
  auto child =
      Made({"/opt/q/engine", "-ChildNo=2", "-ParentNode=3:5000:" + long_host.substr(1)}, &status);
  ASSERT_EQ(status, 0u);
  EXPECT_EQ(child->ChildNumber(), 2);
  EXPECT_EQ(child->ProgramFolder(), "/opt/q/");
  EXPECT_EQ(std::to_string(child->ParentNode()->number) + ":" +
                std::to_string(child->ParentNode()->listening_port) + ":" +
                child->ParentNode()->host_name,
            "3:5000:" + long_host.substr(1));
  EXPECT_EQ(Made({"C:\\q\\engine.exe", "-ChildNo=1"}, &status)->ProgramFolder(), "C:\\q\\");
  Made({"engine", "-ChildNo=1"}, &status, "");
  EXPECT_EQ(status, DseController::kNoConfiguration);
  Made({"engine"}, &status, "/no/such/vantor.cfg");
  EXPECT_EQ(status, 0x8000000Bu);
}

// The working folder is not held to the length of the other items: it is
// entered whatever its length, and one that cannot be is told while set-up
// goes on.
TEST(ControllerCommandLine, WorkingFoldersOfAnyLengthAreEnteredOrTold) {
  StdoutCapture quiet;
  ScopedCurrentFolder here(std::filesystem::current_path());
  TempDir work;
  const std::filesystem::path deep = work.path() / std::string(140, 'd') / std::string(60, 'e');
  std::filesystem::create_directories(deep);
  const std::string folders[] = {deep.string() + "  ", (deep / "gone").string(),
                                 "/" + std::string(5000, 'x')};
  for (const std::string& folder : folders) {
    Status status = 0;
    auto controller = Made({"engine", "-ChildNo=1", "-DefDir=" + folder}, &status);
    EXPECT_EQ(status, 0u) << folder.size();
    EXPECT_TRUE(controller->Ready());
    const bool entered = &folder == &folders[0];
    EXPECT_EQ(controller->DeferredLineCount(), entered ? 0u : 1u) << folder.size();
    if (entered) {
      EXPECT_EQ(std::filesystem::current_path(), deep);
    }
  }
}

TEST(ControllerCommandLine, RandomItemsAreReadOrRefusedWithoutHarm) {
  StdoutCapture quiet;
  ScopedCurrentFolder here(std::filesystem::current_path());
  const std::string alphabet = "0123456789:-+ \"\\/";
  // Hosts that are refused or need no name service.
  const std::string hosts[] = {"127.0.0.1", std::string(40, 'h'), "", " 10.0.0.1 x"};
  std::mt19937 random(9);
  auto junk = [&](int most) {
    std::string text;
    for (int k = random() % most; k > 0; --k) text += alphabet[random() % alphabet.size()];
    return text;
  };
  for (int round = 0; round < 300; ++round) {
    std::vector<std::string> args = {"engine", "-ChildNo=1"};
    for (int n = random() % 4; n > 0; --n) {
      switch (random() % 4) {
        case 0:
          args.push_back("-ParentNode=" + junk(8) + ":" + junk(8) + ":" + hosts[random() % 4]);
          break;
        case 1:
          args.push_back("-SessionId=" + junk(12));
          break;
        case 2:
          args.push_back("-DefDir=" + junk(120));
          break;
        default:
          args.push_back("-ChildNo=" + junk(12));
          break;
      }
    }
    Status status = 0;
    Made(args, &status);
    EXPECT_TRUE(status == 0 || status == 0xA000FFFF) << std::hex << status;
  }
}

// A child's controller whose parent is a fake connection.
class ControllerTest : public ::testing::Test {
 protected:
  void SetUpChild(std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"engine", "-ChildNo=1"};
    args.insert(args.end(), more.begin(), more.end());
    Status status = 0;
    controller_ = Made(args, &status);
    ASSERT_EQ(status, 0u);
    registry_.Register(60, &server_);
    server_.items = {{0, {4, &value_}}};  // the item of a path without ids
    wire_ = new FakeConnection;
    controller_->IOQueue()->AddPeerOver(wire_, 0, nullptr);
    ASSERT_EQ(controller_->StartWithPeers(&registry_, nullptr), 0u);
  }
  // The parent sends its peer list and answers the child's connect.
  void Connect() {
    DseMessage list(DseMessage::kConnectionType, DseMessage::kPeerList);
    list.message_class = DseMessage::kControlClass;
    list.PutUInt32(0);
    const auto connect = Exchange(list);
    EXPECT_EQ(Data(*connect.at(0)), HexBytes("01000000 3C000000"));
    MessagePtr answer(DseMessage::DseMessageAsReply(*connect[0]));
    answer->PutUInt32(1);
    answer->PutUInt32(DseMessage::kEventType);
    EXPECT_TRUE(Exchange(*answer, false).empty());
    EXPECT_EQ(controller_->ConnectionState(), DseController::kAllConnected);
  }
  // Delivers the message as the parent sends it, polls, and returns what the
  // child wrote.
  std::vector<MessagePtr> Exchange(DseMessage& message, bool new_id = true) {
    wire_->Deliver(message, new_id);
    return Round();
  }
  std::vector<MessagePtr> Round(bool timers = false) {
    EXPECT_FALSE(status::IsFailure(timers ? controller_->PollWithTimers() : controller_->Poll()));
    return TakeMessages(&wire_->output);
  }

  std::uint32_t value_ = 7;
  ItemServer server_;
  DseServerRegistry registry_;
  std::unique_ptr<DseController> controller_;
  FakeConnection* wire_ = nullptr;
};

// The line itself, and that it reaches a real client, are the client tests'.
TEST_F(ControllerTest, ABadWorkingFolderIsToldAtTheFirstPollThatCanPostIt) {
  SetUpChild({"-DefDir=/no/such/folder  "});
  ASSERT_EQ(controller_->DeferredLineCount(), 1u);
  controller_->SetClosing(true);
  controller_->Poll();
  EXPECT_EQ(controller_->DeferredLineCount(), 1u);
  controller_->SetClosing(false);
  controller_->Poll();
  EXPECT_EQ(controller_->DeferredLineCount(), 0u);
}

// Events posted together are queued together and written in one flush: a
// client that takes nothing holds up the poster once, not once an event.
// What waits is said, and goes out in order once the client takes bytes;
// the mark on the last event sees it leave then, not before.
TEST_F(ControllerTest, EventsPostedTogetherWaitOnceForAClientThatTakesNothing) {
  SetUpChild();
  Connect();
  wire_->write_plan = [](std::uint32_t) { return 0u; };
  constexpr int kEvents = 30;
  std::vector<std::string> texts;
  for (int i = 0; i < kEvents; ++i) texts.push_back("line " + std::to_string(i));
  std::vector<const char*> one_line(kEvents);
  std::vector<const char* const*> lines(kEvents);
  for (int i = 0; i < kEvents; ++i) {
    one_line[static_cast<std::size_t>(i)] = texts[static_cast<std::size_t>(i)].c_str();
    lines[static_cast<std::size_t>(i)] = &one_line[static_cast<std::size_t>(i)];
  }
  const std::vector<std::uint32_t> values(kEvents, 0);
  const std::vector<std::uint32_t> counts(kEvents, 1);
  EXPECT_FALSE(controller_->OutputWaiting());
  const std::uint64_t paused = controller_->IOQueue()->PauseCount();
  DseSentMark mark;
  EXPECT_EQ(controller_->PostEvents(16, kEvents, values.data(), counts.data(), lines.data(), &mark),
            DseIOQueue::kOutputLeft);
  EXPECT_EQ(controller_->IOQueue()->PauseCount() - paused, 1u);
  EXPECT_TRUE(controller_->OutputWaiting());
  EXPECT_FALSE(mark.Left());
  // A frame begun is not one that has left.
  wire_->write_plan = [](std::uint32_t size) { return size / 2; };
  controller_->Poll();
  EXPECT_FALSE(mark.Left());
  wire_->write_plan = nullptr;
  std::vector<MessagePtr> written;
  for (MessagePtr& m : Round()) {
    // Between the hold and release notices of a long queue.
    if (m->type == DseMessage::kEventType) written.push_back(std::move(m));
  }
  EXPECT_FALSE(controller_->OutputWaiting());
  EXPECT_TRUE(mark.Left());
  // A client that takes bytes, even part of a frame, is not waited for.
  EXPECT_EQ(controller_->IOQueue()->PauseCount() - paused, 1u);
  ASSERT_EQ(written.size(), static_cast<std::size_t>(kEvents));
  for (int i = 0; i < kEvents; ++i) {
    const Bytes body = Data(*written[static_cast<std::size_t>(i)]);
    const std::string text(body.end() - static_cast<std::ptrdiff_t>(texts[i].size() + 1),
                           body.end() - 1);
    EXPECT_EQ(text, texts[static_cast<std::size_t>(i)]);
  }
}

// A client that takes part of the one marked event gets the rest as a copy
// of its own: the event has not left until the copy has gone out whole.
TEST_F(ControllerTest, AMarkedEventTakenInPartHasNotLeft) {
  SetUpChild();
  Connect();
  wire_->write_plan = [](std::uint32_t size) { return size / 2; };
  const char* text = "the only line";
  const char* const* lines[] = {&text};
  const std::uint32_t value = 0, count = 1;
  DseSentMark mark;
  controller_->PostEvents(16, 1, &value, &count, lines, &mark);
  controller_->Poll();
  EXPECT_FALSE(mark.Left());
  wire_->write_plan = nullptr;
  Round();
  EXPECT_FALSE(controller_->OutputWaiting());
  EXPECT_TRUE(mark.Left());
}

// What the client tests do not reach: replies that keep a request, id-path
// writes, notices, and templates whose values can no longer be had.
// Senders leave a message to the controller whatever it answers: one it
// refuses while closing is freed, not lost.
TEST_F(ControllerTest, AMessageSentWhileClosingIsTakenAllTheSame) {
  struct Counted : DseMessage {
    explicit Counted(int* gone) : DseMessage(86, DseMessage::kRequest), gone(gone) {}
    ~Counted() override { ++*gone; }
    int* gone;
  };
  SetUpChild();
  int gone = 0;
  controller_->SetClosing(true);
  EXPECT_TRUE(
      status::IsFailure(controller_->Send(new Counted(&gone), 0, nullptr, nullptr, nullptr, -1)));
  controller_->SetClosing(false);
  EXPECT_EQ(gone, 1);
}

TEST_F(ControllerTest, RequestsGetTheirExpectedAnswers) {
  SetUpChild();
  Connect();
  struct Row {
    std::uint32_t subtype;
    std::uint32_t flags;
    Bytes body;
    std::uint32_t reply_flags;  // 0: no answer
    Bytes reply_body;
  };
  const Row rows[] = {
      {12, 0x04, {2, 0}, 0x8C, HexBytes("28000080")},  // a request nobody serves, kept pending
      {8, 0x00, HexBytes("00 0100 FFFFFF 0100 0000 0200 05000000"), 0x88, {0, 0, 0, 0}},
      {6, 0x00, {}, 0, {}},
  };
  for (const Row& row : rows) {
    DseMessage request(60, row.subtype);
    request.flags = row.flags;
    request.sequence = 6;
    for (std::uint8_t byte : row.body) request.PutUInt8(byte);
    const auto sent = Exchange(request);
    ASSERT_EQ(sent.size(), row.reply_flags != 0 ? 1u : 0u) << row.subtype;
    if (sent.empty()) continue;
    EXPECT_EQ(std::vector<std::uint32_t>({sent[0]->GetId(), sent[0]->type, sent[0]->subtype,
                                          sent[0]->sequence, sent[0]->flags}),
              std::vector<std::uint32_t>({request.GetId(), 60, row.subtype, 7, row.reply_flags}));
    EXPECT_EQ(Data(*sent[0]), row.reply_body);
  }

  DseMessage read(60, DseMessage::kIdPathRead);
  read.flags = 0x11;
  read.PutDouble(1.0);
  for (std::uint8_t byte : HexBytes("00 0100 FFFFFF 0100 0000")) read.PutUInt8(byte);
  ASSERT_EQ(Exchange(read).size(), 2u);  // header and values
  EXPECT_EQ(Round(true).size(), 1u);
  EXPECT_EQ(controller_->TimerCount(), 1u);
  server_.items.clear();
  const auto failed = Round(true);
  ASSERT_EQ(failed.size(), 1u);  // answered once and forgotten
  EXPECT_EQ(failed[0]->flags, 0x99u);
  EXPECT_EQ(Data(*failed[0]), HexBytes("FFFF0080"));
  EXPECT_EQ(controller_->TemplateCount(), 0u);
  EXPECT_EQ(controller_->TimerCount(), 0u);
  EXPECT_TRUE(Round(true).empty());
}

TEST_F(ControllerTest, RepliesFromThePeerCompleteOrKeepTheirRequests) {
  SetUpChild();
  Connect();
  RecordingClient client;
  auto send = [&] {
    auto* request = new DseMessage(DseMessage::kEventType, DseMessage::kRequest);
    EXPECT_FALSE(status::IsFailure(controller_->Send(request, 0, &client, nullptr, nullptr, -1)));
    return MessagePtr(TakeMessages(&wire_->output).at(0).release());
  };
  auto reply_to = [&](const MessagePtr& request, std::uint32_t flags, Status carried) {
    MessagePtr reply(DseMessage::DseMessageAsReply(*request));
    reply->flags |= flags;
    reply->PutUInt32(carried);
    Exchange(*reply, false);
  };
  const MessagePtr kept = send();
  reply_to(kept, DseMessage::kStatusOnly | DseMessage::kPeriodic, 3);
  EXPECT_EQ(controller_->PendingCount(), 1u);
  reply_to(kept, DseMessage::kTemplateBuilt, 0);
  EXPECT_EQ(client.template_replies, 1);
  reply_to(kept, DseMessage::kStatusOnly, 4);
  EXPECT_EQ(client.completions, (std::vector<Status>{3, 4}));
  EXPECT_EQ(controller_->PendingCount(), 0u);
  reply_to(kept, DseMessage::kStatusOnly, 5);  // nobody waits any more
  EXPECT_EQ(client.completions.size(), 2u);

  const MessagePtr answered = send();
  reply_to(answered, 0, 9);
  EXPECT_EQ(client.reply_types, std::vector<std::uint32_t>{DseMessage::kEventType});
  EXPECT_EQ(controller_->PendingCount(), 0u);
  EXPECT_EQ(controller_->CancelRequest(answered->GetId()), DseController::kNotPending);
}

TEST_F(ControllerTest, ALostParentEndsThePollBeforeAnythingIsDispatched) {
  SetUpChild();
  Connect();
  DseMessage request(60, DseMessage::kRequest);
  request.PutUInt16(1);
  wire_->Deliver(request);
  wire_->read_failure = status::kPeerGone;
  EXPECT_EQ(controller_->Poll(), DseIOQueue::kPeerLost);
  EXPECT_TRUE(wire_->output.empty());

  StdoutCapture quiet;
  Status status = 0;
  auto unready = Made({"engine", "-ChildNo=0"}, &status);
  EXPECT_EQ(unready->Poll(), 0x8000FFFFu);
  EXPECT_EQ(unready->Send(new DseMessage(60, 12), 0, nullptr, nullptr, nullptr, -1), 0xA000FFFFu);
}

// Work that holds the polling thread reads the wire to learn whether to
// end: it dispatches nothing and takes nothing, and the next poll serves
// all it read, in order, whichever service each is for. A peer gone ends
// the work as well.
TEST_F(ControllerTest, WorkAskingWhetherToEndLeavesWhatItReadToThePoll) {
  SetUpChild();
  Connect();
  registry_.Register(61, &server_);
  auto deliver = [&](std::uint32_t type, std::uint32_t number) {
    DseMessage command(type, DseMessage::kCommand);
    for (std::uint32_t word : {number, 0u, 0u, 0u}) command.PutUInt32(word);
    wire_->Deliver(command);
  };
  auto command_two = [](DseMessage& m) {
    if (m.type != 60 || m.subtype != DseMessage::kCommand) return false;
    std::uint8_t* start = m.Tell();
    std::uint32_t number = 0;
    const Status read = m.GetUInt32(&number);
    m.RereadFrom(start);
    return status::IsSuccess(read) && number == 2;
  };
  auto never = [](DseMessage&) { return false; };
  deliver(61, 5);
  EXPECT_FALSE(controller_->EndRequested(command_two));
  deliver(60, 2);
  deliver(61, 6);
  EXPECT_TRUE(controller_->EndRequested(command_two));
  EXPECT_TRUE(controller_->EndRequested(command_two));
  EXPECT_TRUE(wire_->output.empty());
  EXPECT_TRUE(server_.calls.empty());
  EXPECT_EQ(Round().size(), 3u);
  EXPECT_EQ(server_.calls, (std::vector<std::string>{"61 5", "60 2", "61 6"}));
  EXPECT_FALSE(controller_->EndRequested(command_two));
  wire_->read_failure = status::kPeerGone;
  EXPECT_TRUE(controller_->EndRequested(never));
}

TEST_F(ControllerTest, AnOrphanWhoseHandshakeNeverCompletesEnds) {
  SetUpChild();
  controller_->SetConnectDeadline(0);
  EXPECT_EQ(controller_->Poll(), DseIOQueue::kPeerLost);
}

TEST(ControllerStart, TheTopLevelProcessSendsThePeerListThenItsConnect) {
  Status status = 0;
  auto controller = Made({"client"}, &status, "/dev/null");
  ASSERT_EQ(status, 0u);
  DseServerRegistry registry;
  registry.Register(4, nullptr);
  auto* wire = new FakeConnection;
  controller->IOQueue()->AddPeerOver(wire, 1, nullptr);
  ASSERT_EQ(controller->StartWithPeers(&registry, nullptr), 0u);
  EXPECT_TRUE(
      SameBytes(HexBytes("02 1200 EDFF 10 00 01 02 01 0100 01 00 0100 0100 00000000 03"
                         "02 1600 E9FF 10 00 01 01 01 0200 01 00 0100 0100 01000000 04000000 03"),
                wire->output));
}

// The children that run on this machine are given its description. The
// second child fails, so that Start ends before waiting for the first.
TEST(ControllerStart, TheProcessManagerKnowsThisMachine) {
  TempDir dir;
  ScopedEnv pipes("VANTOR_PIPE_DIR", dir.path().c_str());
  const auto configuration =
      dir.WriteFile("pm.cfg", "quick runs /bin/true\nmissing runs /no/such/program\n");
  Status status = 0;
  auto controller = Made({"engine"}, &status, configuration.c_str());
  ASSERT_EQ(status, 0u);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(controller->Start(nullptr, nullptr), status::kUnhandled);
  ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(controller->IOQueue()->PeerCount(), 1u);
  const DseComputeNode& here = *controller->IOQueue()->PeerAt(0)->Process()->node;
  EXPECT_EQ(here.host_name, platform::LocalHostName());
  EXPECT_EQ(here.user, platform::CurrentUserName());
  EXPECT_EQ(here.os_kind, XosComputeNode::kWindowsNT);
  EXPECT_FALSE(here.system_version.empty());
}

}  // namespace
