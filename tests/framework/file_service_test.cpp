#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "framework/file_service.h"
#include "framework/message.h"
#include "tests/framework/message_helpers.h"
#include "tests/support/capture_sink.h"
#include "tests/support/golden.h"
#include "tests/support/memory_binary_stream.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testsupport::MemoryBinaryStream;
using testsupport::ReadFileBytes;

// A request body built field by field.
class Request {
 public:
  explicit Request(std::uint16_t command) { body_.PutUInt16(command); }
  Request& Text(const std::string& text) {
    body_.PutString(text.c_str());
    return *this;
  }
  Request& U8(std::uint8_t value) {
    body_.PutUInt8(value);
    return *this;
  }
  Request& U16(std::uint16_t value) {
    body_.PutUInt16(value);
    return *this;
  }
  std::vector<std::uint8_t> Bytes() const { return body_.Bytes(); }

 private:
  MemoryBinaryStream body_;
};

struct Outcome {
  Status status;
  std::unique_ptr<MemoryBinaryStream> reply;
};

Outcome Serve(const std::vector<std::uint8_t>& bytes) {
  MemoryBinaryStream request(bytes);
  Outcome outcome{0, nullptr};
  outcome.status = RunFileCommand(request, [&outcome]() -> BvuBinaryStream* {
    EXPECT_EQ(outcome.reply, nullptr) << "asked twice for a reply";
    outcome.reply = std::make_unique<MemoryBinaryStream>();
    return outcome.reply.get();
  });
  return outcome;
}

Outcome Serve(const Request& request) { return Serve(request.Bytes()); }

std::string ReadText(MemoryBinaryStream& reply) {
  char* text = nullptr;
  EXPECT_FALSE(status::IsFailure(reply.GetStringNew(&text)));
  std::string copy = text != nullptr ? text : "";
  delete[] text;
  return copy;
}

std::pair<std::uint16_t, Status> ReplyHeader(MemoryBinaryStream& reply) {
  std::uint16_t command = 0;
  Status result = 0;
  reply.GetUInt16(&command);
  reply.GetUInt32(&result);
  return {command, result};
}

// Name and directory flag of every entry of a listing reply.
std::vector<std::string> Entries(MemoryBinaryStream& reply) {
  std::uint32_t count = 0;
  reply.GetUInt32(&count);
  std::vector<std::string> entries;
  for (std::uint32_t at = 0; at < count; ++at) {
    std::string name = ReadText(reply);
    std::uint8_t flag = 9;
    reply.GetUInt8(&flag);
    entries.push_back(name + (flag != 0 ? "/" : ""));
  }
  return entries;
}

class FileService : public ::testing::Test {
 protected:
  testsupport::TempDir dir_;
  testsupport::ScopedCurrentFolder here_{dir_.path()};
  std::string Here() const { return fs::current_path().string(); }
};

TEST_F(FileService, CurrentDirectoryAnswersItsPartsWithOneTrailingSeparator) {
  Outcome outcome = Serve(Request(10));
  ASSERT_EQ(outcome.status, status::kOk);
  const std::string here = Here() + "/";
  MemoryBinaryStream expected;
  expected.PutUInt16(10);
  expected.PutUInt32(0);
  for (const std::string& field : {std::string(), here, std::string(), here}) expected.PutString(field.c_str());
  EXPECT_TRUE(testsupport::SameBytes(expected.Bytes(), outcome.reply->Bytes()));
  testsupport::ScopedCurrentFolder root("/");
  outcome = Serve(Request(10));
  ReplyHeader(*outcome.reply);
  EXPECT_EQ(ReadText(*outcome.reply), "");
  EXPECT_EQ(ReadText(*outcome.reply), "/");
}

TEST_F(FileService, ChangesTheFolderAndAnswers69) {
  fs::create_directories(dir_ / "sub" / "inner");
  const std::string top = Here();
  EXPECT_EQ(Serve(Request(11).Text("sub\\inner").Text("C")).status, kFolderChanged);
  EXPECT_EQ(Here(), top + "/sub/inner");
  EXPECT_EQ(Serve(Request(12)).status, kFolderChanged);
  EXPECT_EQ(Here(), top + "/sub");
  EXPECT_EQ(Serve(Request(11).Text("missing").Text("")).status, 0x8032FFFFu);
  testsupport::CaptureSink sink;
  EXPECT_EQ(Serve(Request(11).Text(top).Text(std::string(40, 'D'))).status, status::kBadArguments);
  EXPECT_EQ(Here(), top + "/sub");
  EXPECT_EQ(sink.groups().size(), 1u);
  EXPECT_EQ(Serve(Request(11).Text(top).Text(std::string(31, 'D'))).status, kFolderChanged);
  EXPECT_EQ(Here(), top);
}

TEST_F(FileService, CreatesAndRemovesDirectories) {
  EXPECT_EQ(Serve(Request(13).Text("made")).status, status::kOk);
  EXPECT_TRUE(fs::is_directory(dir_ / "made"));
  EXPECT_EQ(Serve(Request(13).Text("made")).status, status::kOk);
  dir_.WriteFile("file", "x");
  EXPECT_EQ(Serve(Request(13).Text("file")).status, status::kUnhandled);
  EXPECT_EQ(Serve(Request(14).Text("made")).status, status::kOk);
  EXPECT_FALSE(fs::exists(dir_ / "made"));
  EXPECT_EQ(Serve(Request(14).Text("made")).status, status::kUnhandled);
}

TEST_F(FileService, ListsDrivesThenFilesThenFoldersAndTheSeparators) {
  fs::create_directories(dir_ / "list" / "Zeta");
  fs::create_directories(dir_ / "list" / "alpha.txt");
  dir_.WriteFile("list/B.TXT", "b");
  dir_.WriteFile("list/a.txt", "a");
  dir_.WriteFile("list/c.dat", "c");
  Outcome outcome = Serve(Request(20).Text("list").Text("*.txt"));
  ASSERT_EQ(outcome.status, status::kOk);
  EXPECT_EQ(ReplyHeader(*outcome.reply), std::make_pair(std::uint16_t{20}, Status{0}));
  EXPECT_EQ(Entries(*outcome.reply),
            (std::vector<std::string>{"a.txt", "B.TXT", "./", "../", "alpha.txt/", "Zeta/"}));
  EXPECT_EQ(ReadText(*outcome.reply), ":");
  EXPECT_EQ(ReadText(*outcome.reply), "/");
  EXPECT_EQ(outcome.reply->Remaining(), 0u);
  outcome = Serve(Request(20).Text("missing").Text("*"));
  EXPECT_EQ(ReplyHeader(*outcome.reply).second, status::kUnhandled);
  EXPECT_EQ(Entries(*outcome.reply), std::vector<std::string>{});
}

TEST_F(FileService, FindKeepsFoldersAndTheFilesMatchingThePattern) {
  fs::create_directory(dir_ / "folder");
  dir_.WriteFile("data.SNP", "");
  dir_.WriteFile("other.txt", "");
  Outcome outcome = Serve(Request(21).Text("*.snp"));
  EXPECT_EQ(ReplyHeader(*outcome.reply).first, 21);
  EXPECT_EQ(Entries(*outcome.reply), (std::vector<std::string>{"./", "../", "data.SNP", "folder/"}));
  outcome = Serve(Request(21).Text("*.*"));
  ReplyHeader(*outcome.reply);
  EXPECT_EQ(Entries(*outcome.reply).size(), 5u);
}

TEST_F(FileService, DeletesFilesAndStopsAtTheFirstThatCannotBe) {
  for (const char* name : {"one", "two", "three"}) dir_.WriteFile(name, name);
  EXPECT_EQ(Serve(Request(22).Text(Here()).Text("one")).status, status::kOk);
  EXPECT_FALSE(fs::exists(dir_ / "one"));
  EXPECT_EQ(Serve(Request(22).Text("").Text("one")).status, status::kUnhandled);
  dir_.WriteFile("one", "again");
  const auto many = Request(25).U16(3).Text("").Text("one").Text("").Text("missing").Text("").Text("two").Bytes();
  EXPECT_EQ(Serve(many).status, status::kUnhandled);
  EXPECT_FALSE(fs::exists(dir_ / "one"));
  EXPECT_TRUE(fs::exists(dir_ / "two"));
  EXPECT_EQ(Serve(Request(25).U16(2).Text("").Text("two").Text("").Text("three")).status, status::kOk);
  EXPECT_FALSE(fs::exists(dir_ / "three"));
}

TEST_F(FileService, CopiesWithTheRequestedMode) {
  dir_.WriteFile("source", "new");
  dir_.WriteFile("target", "old");
  EXPECT_EQ(Serve(Request(23).Text("").Text("source").Text("").Text("target").U8(0)).status, status::kUnhandled);
  EXPECT_EQ(Serve(Request(23).Text("").Text("source").Text(Here()).Text("target").U8(1)).status, status::kOk);
  EXPECT_EQ(ReadFileBytes(dir_ / "target"), "new");
}

TEST_F(FileService, MovesOnlyOverAnExistingTargetWhenAllowed) {
  dir_.WriteFile("from", "moved");
  dir_.WriteFile("to", "kept");
  EXPECT_EQ(Serve(Request(24).Text("").Text("from").Text("").Text("to").U8(0)).status, status::kUnhandled);
  EXPECT_EQ(ReadFileBytes(dir_ / "from"), "moved");
  EXPECT_EQ(ReadFileBytes(dir_ / "to"), "kept");
  EXPECT_EQ(Serve(Request(24).Text("").Text("from").Text("").Text("to").U8(1)).status, status::kOk);
  EXPECT_FALSE(fs::exists(dir_ / "from"));
  EXPECT_EQ(ReadFileBytes(dir_ / "to"), "moved");
  EXPECT_EQ(Serve(Request(24).Text("").Text("from").Text("").Text("new").U8(1)).status, status::kUnhandled);
}

TEST_F(FileService, QueriesPathsAndAnswersTheOnlyDrive) {
  fs::create_directory(dir_ / "folder");
  Outcome outcome = Serve(Request(26).Text("folder"));
  ASSERT_EQ(outcome.status, status::kOk);
  EXPECT_EQ(ReplyHeader(*outcome.reply), std::make_pair(std::uint16_t{26}, Status{0x00320000}));
  std::uint32_t flags = 0;
  outcome.reply->GetUInt32(&flags);
  EXPECT_EQ(flags & 3u, 3u);
  outcome = Serve(Request(26).Text("missing"));
  EXPECT_TRUE(testsupport::SameBytes(testsupport::HexBytes("1A00 FFFF3280 00000000"), outcome.reply->Bytes()));
  outcome = Serve(Request(27).U16(5));
  EXPECT_EQ(outcome.status, status::kOk);
  EXPECT_TRUE(testsupport::SameBytes(testsupport::HexBytes("1B00 00000000 0300"), outcome.reply->Bytes()));
}

TEST_F(FileService, RefusesUnknownCommandsWithoutAReply) {
  for (const std::uint16_t number : {0, 9, 15, 16, 17, 18, 19, 28, 0xFFFF}) {
    const Outcome outcome = Serve(Request(number));
    EXPECT_EQ(outcome.status, status::kBadArguments) << number;
    EXPECT_EQ(outcome.reply, nullptr) << number;
  }
}

TEST_F(FileService, TruncatedRequestsStopWithTheReadStatusAndChangeNothing) {
  dir_.WriteFile("keep", "k");
  const std::vector<std::vector<std::uint8_t>> requests = {
      Request(11).Text("sub").Text("C").Bytes(),
      Request(13).Text("made").Bytes(),
      Request(22).Text("").Text("keep").Bytes(),
      Request(23).Text("").Text("keep").Text("").Text("copy").U8(0).Bytes(),
      Request(24).Text("").Text("keep").Text("").Text("moved").U8(0).Bytes(),
      Request(25).U16(1).Text("").Text("keep").Bytes(),
      Request(26).Text("keep").Bytes(),
      Request(27).U16(3).Bytes(),
  };
  for (const auto& bytes : requests) {
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
      const Outcome outcome = Serve(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(cut)));
      EXPECT_EQ(outcome.status, 0x8000FFFFu) << "command " << bytes[0] << " cut at " << cut;
      EXPECT_EQ(outcome.reply, nullptr);
    }
  }
  EXPECT_EQ(fs::directory_iterator(dir_.path())->path().filename(), "keep");
}

// Damaged requests end with a status, never a crash. The bytes hold no
// separators or dots, so no path can leave the test's folder.
TEST_F(FileService, SurvivesRandomRequests) {
  const fs::path deep = dir_ / "a" / "b";
  fs::create_directories(deep);
  dir_.WriteFile("a/b/x", "x");
  std::mt19937 random(4711);
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::uint8_t> bytes(random() % 24);
    for (auto& byte : bytes) {
      byte = static_cast<std::uint8_t>(random());
      if (byte == '/' || byte == '\\' || byte == '.') byte = 'x';
    }
    if (bytes.size() >= 5 && random() % 2 == 0) {
      bytes[0] = static_cast<std::uint8_t>(10 + random() % 18);
      bytes[1] = 0;
      bytes[2] = static_cast<std::uint8_t>(random() % 4);
      bytes[3] = 0;
      bytes[4] = 0;
    }
    testsupport::ScopedCurrentFolder inside(deep);
    Serve(bytes);
  }
}

// The service as the registry calls it, on messages as they arrive.
TEST_F(FileService, AnswersRequestMessagesWithReplyMessages) {
  BvuFileService service;
  const auto ask = [&service](std::initializer_list<std::uint8_t> body, Status expected) {
    DseMessage sent(58, DseMessage::kRequest);
    sent.sequence = 9;
    for (std::uint8_t byte : body) sent.PutUInt8(byte);
    testsupport::MessagePtr request = testsupport::Received(sent, testsupport::Peer(2));
    DseMessage* reply = nullptr;
    DseTemplate* kept = nullptr;
    EXPECT_EQ(service.HandleRequest(58, request.get(), &reply, &kept), expected);
    return testsupport::MessagePtr(reply);
  };
  testsupport::MessagePtr reply = ask({0x1B, 0x00, 0x07, 0x00}, status::kOk);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->type, 58u);
  EXPECT_EQ(reply->flags & DseMessage::kReply, DseMessage::kReply);
  EXPECT_EQ(reply->sequence, 10u);
  EXPECT_EQ(reply->SourcePeer(), testsupport::Peer(2));
  EXPECT_TRUE(testsupport::SameBytes(testsupport::HexBytes("1B00 00000000 0300"), testsupport::BodyOf(*reply)));
  reply = ask({0x1A, 0x00, 0x08, 0x00, 0x00, 'm', 'i', 's', 's', 'i', 'n', 'g', 0x00}, status::kOk);
  ASSERT_NE(reply, nullptr);
  EXPECT_TRUE(testsupport::SameBytes(testsupport::HexBytes("1A00 FFFF3280 00000000"), testsupport::BodyOf(*reply)));
  EXPECT_EQ(ask({0x0D, 0x00, 0x05, 0x00, 0x00, 'm', 'a', 'd', 'e', 0x00}, status::kOk), nullptr);
  EXPECT_TRUE(fs::is_directory(dir_ / "made"));
  EXPECT_EQ(ask({0x0F, 0x00}, status::kBadArguments), nullptr);
  EXPECT_EQ(ask({0x1A}, 0x8000FFFFu), nullptr);
}

}  // namespace
