#include "framework/controller.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "fake_connection.h"
#include "framework/compute_node.h"
#include "framework/io_status.h"
#include "framework/io_queue.h"
#include "framework/server_callback.h"
#include "framework/server_registry.h"
#include "message_helpers.h"
#include "segment_helpers.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/stdout_capture.h"
#include "tests/support/temp_dir.h"

using testsupport::Bytes;
using testsupport::FakeConnection;
using testsupport::HexBytes;
using testsupport::MessagePtr;

namespace {

// The body of a message received from the wire.
Bytes Data(const DseMessage& message) { return testsupport::DataOf(message.FirstSegment()); }

std::unique_ptr<DseController> Made(std::vector<std::string> args, Status* status,
                                    const char* configuration = "vantor.cfg") {
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  return std::make_unique<DseController>(static_cast<std::int32_t>(argv.size()), argv.data(),
                                         configuration, status);
}

TEST(ControllerCommandLine, ItemsAreReadOrRefused) {
  testsupport::StdoutCapture quiet;
  const std::string long_host(40, 'h');
  struct Row {
    std::vector<std::string> args;
    Status status;
    std::uint32_t session;
  };
  const Row rows[] = {
      {{"-ChildNo=0"}, 0xA000FFFF, 0},
      {{"-ChildNo=x"}, 0xA000FFFF, 0},
      {{"-ChildNo=\"2\"", "-SessionId=\"42\"", "ignored", "-Other=1"}, 0, 42},
      {{"-ChildNo=2", "-SessionId=x"}, 0xA000FFFF, 0},
      {{"-ChildNo=2", "-ParentNode=3:-1:host"}, 0xA000FFFF, 0},
      {{"-ChildNo=2", "-ParentNode=3:5000:" + long_host}, 0xA000FFFF, 0},
      {{"-ChildNo=2", "-ParentNode=3:5000"}, 0xA000FFFF, 0},
      {{"-ChildNo=2", "-DefDir=" + std::string(100, 'd')}, 0xA000FFFF, 0},
  };
  for (const Row& row : rows) {
    std::vector<std::string> args = {"engine"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    Status status = 0;
    auto controller = Made(args, &status);
    SCOPED_TRACE(args[1]);
    EXPECT_EQ(status, row.status);
    EXPECT_EQ(controller->SessionId(), row.session);
    EXPECT_EQ(controller->Ready(), row.status == 0);
  }
  Status status = 0;
  auto child = Made({"/opt/q/engine", "-ChildNo=2", "-ParentNode=3:5000:" + long_host.substr(1)}, &status);
  ASSERT_EQ(status, 0u);
  EXPECT_EQ(child->ChildNumber(), 2);
  EXPECT_EQ(child->ProgramFolder(), "/opt/q/");
  EXPECT_EQ(child->ParentNode()->number, 3u);
  EXPECT_EQ(child->ParentNode()->listening_port, 5000u);
  EXPECT_EQ(child->ParentNode()->host_name, long_host.substr(1));
  EXPECT_EQ(Made({"C:\\q\\engine.exe", "-ChildNo=1"}, &status)->ProgramFolder(), "C:\\q\\");
  Made({"engine", "-ChildNo=1"}, &status, "");
  EXPECT_EQ(status, DseController::kNoConfiguration);
  Made({"engine"}, &status, "/no/such/vantor.cfg");
  EXPECT_EQ(status, 0x8000000Bu);
}

TEST(ControllerCommandLine, RandomItemsAreReadOrRefusedWithoutHarm) {
  testsupport::StdoutCapture quiet;
  testsupport::ScopedCurrentFolder here(std::filesystem::current_path());
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
        case 0: args.push_back("-ParentNode=" + junk(8) + ":" + junk(8) + ":" + hosts[random() % 4]); break;
        case 1: args.push_back("-SessionId=" + junk(12)); break;
        case 2: args.push_back("-DefDir=" + junk(120)); break;
        default: args.push_back("-ChildNo=" + junk(12)); break;
      }
    }
    Status status = 0;
    Made(args, &status);
    EXPECT_TRUE(status == 0 || status == 0xA000FFFF) << std::hex << status;
  }
}

// A server of types 60 and 62; type 61 is registered without one.
class TestServer : public DseServerCB {
 public:
  Status HandleCommand(std::uint32_t, std::uint32_t command, std::uint32_t, const char* const*,
                       std::uint32_t, const std::int32_t*, std::uint32_t, const double*) override {
    return command;
  }
  Status HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                       DseTemplate** kept) override {
    if (request->subtype == DseMessage::kIdPathRead) return DseServerCB::HandleRequest(type, request, reply, kept);
    std::uint16_t kind = 0;
    request->GetUInt16(&kind);
    if (kind == 2) return 0x8000020F;
    auto* answer = new DseMessage(type, request->subtype);
    answer->PutUInt16(0x4B4F);
    *reply = answer;
    return 0;
  }
  Status GetItem(std::uint32_t, const BvuIdPath&, std::uint32_t, std::uint32_t, std::uint32_t* code,
                 void** address) override {
    *code = 4;
    *address = &value;
    return lookups_fail ? 0x8000020Fu : 0u;
  }
  Status SetItem(std::uint32_t, const BvuIdPath&, std::uint32_t, std::uint32_t, SUValue*) override { return 0; }

  std::uint32_t value = 7;
  bool lookups_fail = false;
};

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
    registry_.Register(61, nullptr);
    registry_.Register(62, &server_);
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
    ASSERT_EQ(connect.size(), 1u);
    EXPECT_EQ(Data(*connect[0]), HexBytes("03000000 3C000000 3D000000 3E000000"));
    MessagePtr answer(DseMessage::DseMessageAsReply(*connect[0]));
    answer->PutUInt32(1);
    answer->PutUInt32(DseMessage::kEventType);
    Exchange(*answer, false);
    EXPECT_EQ(controller_->ConnectionState(), DseController::kAllConnected);
  }
  // Delivers the message as the parent sends it, polls, and returns what the
  // child wrote.
  std::vector<MessagePtr> Exchange(DseMessage& message, bool new_id = true, bool timers = false) {
    wire_->Deliver(message, new_id);
    return Round(timers);
  }
  std::vector<MessagePtr> Round(bool timers = false) {
    EXPECT_FALSE(status::IsFailure(timers ? controller_->PollWithTimers() : controller_->Poll()));
    return testsupport::TakeMessages(&wire_->output);
  }

  TestServer server_;
  DseServerRegistry registry_;
  std::unique_ptr<DseController> controller_;
  FakeConnection* wire_ = nullptr;
};

TEST_F(ControllerTest, ABadWorkingFolderIsToldAtTheFirstPollThatCanPostIt) {
  SetUpChild({"-DefDir=/no/such/folder  "});
  ASSERT_EQ(controller_->DeferredLineCount(), 1u);
  controller_->SetClosing(true);
  controller_->Poll();
  EXPECT_EQ(controller_->DeferredLineCount(), 1u);
  controller_->SetClosing(false);
  controller_->Poll();
  EXPECT_EQ(controller_->DeferredLineCount(), 0u);
  EXPECT_TRUE(wire_->output.empty());  // the parent has not said it takes lines yet
  DseMessage list(DseMessage::kConnectionType, DseMessage::kPeerList);
  list.PutUInt32(0);
  const auto connect = Exchange(list);
  MessagePtr answer(DseMessage::DseMessageAsReply(*connect.at(0)));
  answer->PutUInt32(1);
  answer->PutUInt32(DseMessage::kEventType);
  const auto sent = Exchange(*answer, false);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0]->type, DseMessage::kEventType);
  EXPECT_EQ(sent[0]->subtype, DseController::kLogEventCode);
  std::uint16_t items = 0, lines = 0;
  std::uint32_t value = 0;
  char* text = nullptr;
  sent[0]->GetUInt16(&items);
  sent[0]->GetUInt32(&value);
  sent[0]->GetUInt16(&lines);
  sent[0]->GetStringNew(&text);
  const std::unique_ptr<char[]> owned(text);
  EXPECT_EQ(value, DseController::kBadWorkingFolder);
  EXPECT_EQ(std::string(text), "Invalid Working Directory </no/such/folder>Specified\nDefaulting to Directory <" +
                                   std::filesystem::current_path().string() + ">");
}

TEST_F(ControllerTest, RequestsGetTheirDesignedAnswers) {
  SetUpChild();
  Connect();
  struct Row {
    const char* what;
    std::uint32_t type;
    std::uint32_t subtype;
    std::uint32_t flags;
    Bytes body;
    std::uint32_t reply_flags;  // 0: no answer
    Bytes reply_body;
  };
  const Bytes write = HexBytes("00 0100 FFFFFF 0100 0000 0200 05000000");
  const Row rows[] = {
      {"request", 60, 12, 0x00, {1, 0}, 0x80, {0x4F, 0x4B}},
      {"failing request", 60, 12, 0x04, {2, 0}, 0x8C, HexBytes("0F020080")},
      {"no reply wanted", 60, 12, 0x20, {2, 0}, 0, {}},
      {"command", 62, 11, 0x00, HexBytes("05000000 00000000 00000000 00000000"), 0x88, {5, 0, 0, 0}},
      {"id-path write", 60, 8, 0x00, write, 0x88, {0, 0, 0, 0}},
      {"type without a server", 61, 12, 0x00, {1, 0}, 0x88, HexBytes("FFFF00A0")},
      {"notice", 60, 6, 0x00, {}, 0, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    DseMessage request(row.type, row.subtype);
    request.flags = row.flags;
    request.sequence = 6;
    for (std::uint8_t byte : row.body) request.PutUInt8(byte);
    const auto sent = Exchange(request);
    ASSERT_EQ(sent.size(), row.reply_flags != 0 ? 1u : 0u);
    if (sent.empty()) continue;
    EXPECT_EQ(sent[0]->GetId(), request.GetId());
    EXPECT_EQ(sent[0]->type, row.type);
    EXPECT_EQ(sent[0]->subtype, row.subtype);
    EXPECT_EQ(sent[0]->sequence, 7u);
    EXPECT_EQ(sent[0]->flags, row.reply_flags);
    EXPECT_EQ(Data(*sent[0]), row.reply_body);
  }
}

TEST_F(ControllerTest, PeriodicReadsAnswerEveryTimerRoundUntilDroppedOrCancelled) {
  SetUpChild();
  Connect();
  DseMessage read(60, DseMessage::kIdPathRead);
  read.flags = 0x11;
  read.PutDouble(1.0);
  for (std::uint8_t byte : HexBytes("00 0100 FFFFFF 0100 0000")) read.PutUInt8(byte);
  const auto first = Exchange(read);
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0]->flags, 0xD1u);
  EXPECT_EQ(first[0]->message_class, 1u);
  EXPECT_EQ(Data(*first[0]), (Bytes{4, 0}));
  EXPECT_EQ(first[1]->flags, 0x91u);
  EXPECT_EQ(Data(*first[1]), (Bytes{7, 0, 0, 0}));

  auto control = [&](std::uint32_t subtype) {
    DseMessage message(60, subtype);
    message.PutUInt16(static_cast<std::uint16_t>(read.GetId()));
    Exchange(message);
    return Round(true).size();
  };
  server_.value = 8;
  const auto round = Round(true);
  ASSERT_EQ(round.size(), 1u);
  EXPECT_EQ(round[0]->flags, 0x80u);
  EXPECT_EQ(Data(*round[0]), (Bytes{8, 0, 0, 0}));
  EXPECT_EQ(control(DseMessage::kDropTimer), 0u);
  EXPECT_EQ(control(DseMessage::kStartTimer), 1u);
  EXPECT_EQ(control(DseMessage::kCancel), 0u);
  EXPECT_EQ(controller_->TemplateCount(), 0u);
  EXPECT_EQ(controller_->TimerCount(), 0u);

  // A template whose values can no longer be had is answered once and forgotten.
  Exchange(read);
  server_.lookups_fail = true;
  const auto failed = Round(true);
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0]->flags, 0x99u);
  EXPECT_EQ(Data(*failed[0]), HexBytes("0F020080"));
  EXPECT_EQ(controller_->TemplateCount(), 0u);
  EXPECT_TRUE(Round(true).empty());
}

TEST_F(ControllerTest, RepliesFromThePeerCompleteOrKeepTheirRequests) {
  SetUpChild();
  Connect();
  testsupport::RecordingClient client;
  auto send = [&] {
    auto* request = new DseMessage(DseMessage::kEventType, DseMessage::kRequest);
    EXPECT_FALSE(status::IsFailure(controller_->Send(request, 0, &client, nullptr, nullptr, -1)));
    return MessagePtr(testsupport::TakeMessages(&wire_->output).at(0).release());
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

  testsupport::StdoutCapture quiet;
  Status status = 0;
  auto unready = Made({"engine", "-ChildNo=0"}, &status);
  EXPECT_EQ(unready->Poll(), 0x8000FFFFu);
  EXPECT_EQ(unready->Send(new DseMessage(60, 12), 0, nullptr, nullptr, nullptr, -1), 0xA000FFFFu);
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
  EXPECT_TRUE(testsupport::SameBytes(
      HexBytes("02 1200 EDFF 10 00 01 02 01 0100 01 00 0100 0100 00000000 03"
               "02 1600 E9FF 10 00 01 01 01 0200 01 00 0100 0100 01000000 04000000 03"),
      wire->output));
}

}  // namespace
