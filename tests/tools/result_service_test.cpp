// The results manager's services 55 and 65 in the real engine, through
// real messages of the vantor client: reply bytes of the numbered requests
// and the argument checks of the commands.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/hang_bound.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"
#include "tools/client.h"
#include "tools/result_replies.h"

namespace {

using vantor_client::Bytes;
using vantor_client::Client;
using vantor_client::MakeCommand;
using vantor_client::Request;

constexpr Status kBadArguments = 0x8000020Fu;

class ResultService : public ::testing::Test {
 protected:
  void SetUp() override {
    vantor_client::EngineOptions options;
    options.program = VANTOR_ENGINE;
    options.timeout_ms = testsupport::HangBoundMs(30000);
    ASSERT_EQ(Client::Start(options, &client_), 0u);
    std::string folder = work_.path().string() + "/";
    ASSERT_EQ(Exchange(MakeCommand(50, 3, {}, {}, {"Results", folder})), 0u);
  }
  void TearDown() override {
    if (client_ != nullptr) client_->Close(nullptr);
  }

  Status Exchange(std::unique_ptr<Request> request, std::vector<vantor_client::Message>* replies =
                                                        nullptr) {
    std::uint32_t id = 0;
    EXPECT_FALSE(status::IsFailure(client_->Send(std::move(request), &id)));
    EXPECT_EQ(client_->Await(id), 0u);
    const Status result = client_->Find(id)->status;
    if (replies != nullptr) *replies = client_->TakeReplies(id);
    client_->Forget(id);
    return result;
  }
  // The reply body of a numbered request (empty when none came).
  Bytes Ask(std::uint32_t service, const std::vector<std::uint8_t>& body, Status* result) {
    auto request = std::make_unique<Request>(service);
    for (std::uint8_t b : body) request->PutUInt8(b);
    std::vector<vantor_client::Message> replies;
    *result = Exchange(std::move(request), &replies);
    return replies.empty() ? Bytes{} : replies[0].body;
  }

  testsupport::TempDir pipes_;
  testsupport::TempDir work_;
  testsupport::ScopedEnv pipe_dir_{"VANTOR_PIPE_DIR", pipes_.path().c_str()};
  testsupport::ScopedEnv registry_{"VANTOR_REGISTRY", VANTOR_BUILD_REGISTRY};
  std::unique_ptr<Client> client_;
};

TEST_F(ResultService, NumberedRequestsAnswerTheirBytesOnBothServices) {
  for (std::uint32_t service : {55u, 65u}) {
    SCOPED_TRACE(service);
    Status s = 1;
    EXPECT_EQ(Ask(service, {154, 0}, &s), (Bytes{154, 0, 1}));
    EXPECT_EQ(s, 0u);
    Bytes ratio = Ask(service, {155, 0}, &s);
    ASSERT_EQ(ratio.size(), 10u);
    double value = 0;
    std::memcpy(&value, ratio.data() + 2, 8);
    EXPECT_EQ(value, 0.25);
    // No client assignments yet.
    EXPECT_EQ(Ask(service, {25, 0}, &s), (Bytes{25, 0, 0, 0, 0, 0}));
    // No snapshot to restore: the protocol's own status, and no name.
    vantor_client::RestoreReply restore;
    ASSERT_TRUE(vantor_client::DecodeRestoreReply(Ask(service, {58, 0, 0, 0}, &s), &restore));
    EXPECT_EQ(restore.status, 0x40000048u);
    EXPECT_EQ(restore.name, "Missing Description");
    // Unknown numbers: refused without a reply.
    EXPECT_TRUE(Ask(service, {200, 0}, &s).empty());
    EXPECT_EQ(s, kBadArguments);
    EXPECT_TRUE(Ask(service, {18, 0}, &s).empty());
    EXPECT_EQ(s, kBadArguments);
  }
}

TEST_F(ResultService, CommandsCheckTheirArgumentsBeforeAnythingChanges) {
  struct Case {
    std::uint32_t number;
    std::vector<std::int32_t> integers;
    std::vector<double> reals;
    std::vector<std::string> texts;
    Status expected;
  };
  const Case cases[] = {
      {16, {1, 2, 3}, {}, {}, kBadArguments},
      {16, {0}, {2.0}, {}, kBadArguments},  // an interval without flag 0x1
      {128, {}, {}, {"a", "b"}, kBadArguments},
      {152, {}, {}, {}, kBadArguments},
      {152, {1, 0}, {}, {}, kBadArguments},
      {153, {}, {0.5, 0.6}, {}, kBadArguments},
      {17, {1000}, {}, {}, kBadArguments},
      {107, {1000}, {}, {}, kBadArguments},
      {107, {}, {}, {"other.snp"}, kBadArguments},
      {109, {1000}, {}, {"other.snp"}, kBadArguments},
      {117, {}, {}, {"x.snp"}, kBadArguments},
      {147, {}, {}, {"text"}, kBadArguments},
      {32, {}, {}, {}, kBadArguments},
      {32, {}, {-1.0}, {}, kBadArguments},
      {1, {}, {}, {}, kBadArguments},
      {80, {}, {}, {}, 0xA000FFFFu},
      {2, {}, {}, {}, 0x8000FFFFu},
      {154, {}, {}, {}, 0x8000FFFFu},
      {21, {}, {}, {}, 0u},
      {22, {}, {}, {}, 0u},
      {153, {}, {0.5}, {}, 0u},
      {152, {0}, {}, {}, 0u},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Exchange(MakeCommand(55, c.number, c.integers, c.reals, c.texts)), c.expected)
        << "command " << c.number;
  }
  // Only the two good ones changed anything.
  Status s = 1;
  EXPECT_EQ(Ask(55, {154, 0}, &s), (Bytes{154, 0, 0}));
  Bytes ratio = Ask(55, {155, 0}, &s);
  ASSERT_EQ(ratio.size(), 10u);
  double value = 0;
  std::memcpy(&value, ratio.data() + 2, 8);
  EXPECT_EQ(value, 0.5);
  // A set-item on a path that leads nowhere.
  auto item = std::make_unique<Request>(55, 8);
  vantor_client::PutSetReal(*item, {9, 9}, 1, 1.0);
  EXPECT_EQ(Exchange(std::move(item)), 0x80000015u);
}

}  // namespace
