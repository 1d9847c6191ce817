#include "framework/servers/file_service.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "foundation/files/file_utilities.h"
#include "framework/messaging/message.h"
#include "message_helpers.h"
#include "tests/support/capture_sink.h"
#include "tests/support/golden.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace testsupport;

// A request: the command number, then texts (as "t:..."), bytes ("u8:n")
// and 16-bit numbers ("u16:n").
Bytes Request(std::uint16_t command, std::initializer_list<std::string> fields = {}) {
  DseMessage body(58, DseMessage::kRequest);
  body.PutUInt16(command);
  for (const std::string& field : fields) {
    if (field.rfind("u8:", 0) == 0) {
      body.PutUInt8(static_cast<std::uint8_t>(std::stoi(field.substr(3))));
    } else if (field.rfind("u16:", 0) == 0) {
      body.PutUInt16(static_cast<std::uint16_t>(std::stoi(field.substr(4))));
    } else {
      body.PutString(field.c_str());
    }
  }
  return BodyOf(body);
}

struct Outcome {
  Status status;
  MessagePtr built;  // the reply as the service wrote it
  MessagePtr reply;  // and as its peer reads it
  Bytes body;

  std::string Text() {
    char* text = nullptr;
    EXPECT_FALSE(status::IsFailure(reply->GetStringNew(&text)));
    const std::string copy = text != nullptr ? text : "";
    delete[] text;
    return copy;
  }
  // The command and result of the reply.
  std::string Header() {
    std::uint16_t command = 0;
    Status result = 0;
    reply->GetUInt16(&command);
    reply->GetUInt32(&result);
    char text[32];
    std::snprintf(text, sizeof text, "%u %08X", command, result);
    return text;
  }
  // Name and directory flag of every entry of a listing reply.
  std::vector<std::string> Entries() {
    std::uint32_t count = 0;
    reply->GetUInt32(&count);
    std::vector<std::string> entries;
    for (std::uint32_t at = 0; at < count; ++at) {
      const std::string name = Text();
      std::uint8_t flag = 9;
      reply->GetUInt8(&flag);
      entries.push_back(name + (flag != 0 ? "/" : ""));
    }
    return entries;
  }
};

Outcome Serve(const Bytes& bytes) {
  MessagePtr request = ReceivedBody(bytes);
  Outcome outcome{0, nullptr, nullptr, {}};
  outcome.status = RunFileCommand(*request, [&outcome]() -> BvuBinaryStream* {
    EXPECT_EQ(outcome.built, nullptr) << "asked twice for a reply";
    outcome.built = std::make_unique<DseMessage>(58, DseMessage::kRequest);
    return outcome.built.get();
  });
  if (outcome.built != nullptr) {
    outcome.body = BodyOf(*outcome.built);
    outcome.reply = Received(*outcome.built);
  }
  return outcome;
}

Status Command(std::uint16_t command, std::initializer_list<std::string> fields = {}) {
  return Serve(Request(command, fields)).status;
}

class FileService : public ::testing::Test {
 protected:
  TempDir dir_;
  ScopedCurrentFolder here_{dir_.path()};
  std::string Here() const { return fs::current_path().string(); }
};

TEST_F(FileService, CurrentDirectoryAnswersItsPartsWithOneTrailingSeparator) {
  Outcome outcome = Serve(Request(10));
  ASSERT_EQ(outcome.status, status::kOk);
  const std::string here = Here() + "/";
  DseMessage expected(58, DseMessage::kRequest);
  expected.PutUInt16(10);
  expected.PutUInt32(0);
  for (const std::string& field : {std::string(), here, std::string(), here})
    expected.PutString(field.c_str());
  EXPECT_TRUE(SameBytes(BodyOf(expected), outcome.body));
  ScopedCurrentFolder root("/");
  outcome = Serve(Request(10));
  outcome.Header();
  EXPECT_EQ(outcome.Text(), "");
  EXPECT_EQ(outcome.Text(), "/");
}

TEST_F(FileService, ChangesMakesAndRemovesFolders) {
  fs::create_directories(dir_ / "sub" / "inner");
  const std::string top = Here();
  EXPECT_EQ(Command(11, {"sub\\inner", "C"}), kFolderChanged);
  EXPECT_EQ(Here(), top + "/sub/inner");
  EXPECT_EQ(Command(12), kFolderChanged);
  EXPECT_EQ(Here(), top + "/sub");
  EXPECT_EQ(Command(11, {"missing", ""}), 0x8032FFFFu);
  CaptureSink sink;
  EXPECT_EQ(Command(11, {top, std::string(40, 'D')}),
            status::kBadArguments);  // a drive field too long
  EXPECT_EQ(sink.groups().size(), 1u);
  EXPECT_EQ(Here(), top + "/sub");
  EXPECT_EQ(Command(11, {top, std::string(31, 'D')}), kFolderChanged);
  EXPECT_EQ(Here(), top);

  dir_.WriteFile("file", "x");
  const std::pair<Status, bool> steps[] = {{Command(13, {"made"}), true},
                                           {Command(13, {"made"}), true},
                                           {Command(13, {"file"}), false},
                                           {Command(14, {"made"}), true},
                                           {Command(14, {"made"}), false}};
  for (const auto& [result, succeeded] : steps)
    EXPECT_EQ(result, succeeded ? status::kOk : status::kUnhandled);
  EXPECT_FALSE(fs::exists(dir_ / "made"));
}

TEST_F(FileService, ListsFilesThenFoldersAndFindKeepsFoldersAndMatchingFiles) {
  fs::create_directories(dir_ / "list" / "Zeta");
  fs::create_directories(dir_ / "list" / "alpha.txt");
  for (const char* name :
       {"list/B.TXT", "list/a.txt", "list/c.dat", "list/a.b.txt", "list/notes~"}) {
    dir_.WriteFile(name, "x");
  }
  Outcome outcome = Serve(Request(20, {"list", "*.txt"}));
  ASSERT_EQ(outcome.status, status::kOk);
  EXPECT_EQ(outcome.Header(), "20 00000000");
  EXPECT_EQ(outcome.Entries(), (std::vector<std::string>{"a.b.txt", "a.txt", "B.TXT", "./", "../",
                                                         "alpha.txt/", "Zeta/"}));
  EXPECT_EQ(outcome.Text(), ":");  // the separators
  EXPECT_EQ(outcome.Text(), "/");
  EXPECT_EQ(outcome.reply->RemainingBytes(), 0u);
  outcome = Serve(Request(20, {"missing", "*"}));
  EXPECT_EQ(outcome.Header(), "20 8000FFFF");
  EXPECT_TRUE(outcome.Entries().empty());

  ScopedCurrentFolder inside(dir_ / "list");
  const std::pair<const char*, std::vector<std::string>> finds[] = {
      // "*" takes the run up to the first "." only; a "~" inside a pattern is skipped.
      {"*.txt", {"./", "../", "a.txt", "alpha.txt/", "B.TXT", "Zeta/"}},
      {"*~", {"./", "../", "a.b.txt", "a.txt", "alpha.txt/", "B.TXT", "c.dat", "notes~", "Zeta/"}},
      {"*.*", {"./", "../", "a.b.txt", "a.txt", "alpha.txt/", "B.TXT", "c.dat", "Zeta/"}},
      {"A?T*", {"./", "../", "a.txt", "alpha.txt/", "Zeta/"}}};
  for (const auto& [pattern, entries] : finds) {
    outcome = Serve(Request(21, {pattern}));
    EXPECT_EQ(outcome.Header(), "21 00000000");
    EXPECT_EQ(outcome.Entries(), entries) << pattern;
  }
}

TEST_F(FileService, DeletesCopiesAndMovesFilesAsAsked) {
  for (const char* name : {"one", "two", "three", "four", "to"}) dir_.WriteFile(name, name);
  EXPECT_EQ(Command(22, {Here(), "one"}), status::kOk);
  EXPECT_FALSE(fs::exists(dir_ / "one"));
  EXPECT_EQ(Command(22, {"", "one"}), status::kUnhandled);
  // Several files stop at the first that cannot be deleted.
  dir_.WriteFile("one", "again");
  EXPECT_EQ(Command(25, {"u16:3", "", "one", "", "missing", "", "two"}), status::kUnhandled);
  EXPECT_FALSE(fs::exists(dir_ / "one"));
  EXPECT_TRUE(fs::exists(dir_ / "two"));
  EXPECT_EQ(Command(25, {"u16:1", "", "two"}), status::kOk);
  // Copies and moves go over an existing target only when allowed.
  EXPECT_EQ(Command(23, {"", "three", "", "to", "u8:0"}), status::kUnhandled);
  EXPECT_EQ(Command(24, {"", "three", "", "to", "u8:0"}), status::kUnhandled);
  EXPECT_EQ(ReadFileBytes(dir_ / "to"), "to");
  EXPECT_EQ(Command(23, {"", "three", Here(), "to", "u8:1"}), status::kOk);
  EXPECT_EQ(ReadFileBytes(dir_ / "to"), "three");
  EXPECT_EQ(Command(24, {"", "four", "", "to", "u8:1"}), status::kOk);
  EXPECT_FALSE(fs::exists(dir_ / "four"));
  EXPECT_EQ(ReadFileBytes(dir_ / "to"), "four");
  EXPECT_EQ(Command(24, {"", "four", "", "new", "u8:1"}), status::kUnhandled);
  // A copy that fails for another reason than a full disk ends nothing,
  // whatever the working folder's disk answers.
  const BvuFreeSpaceQuery before = SetFreeSpaceQuery([](const char*, std::uint64_t* free_bytes) {
    *free_bytes = 0;
    return true;
  });
  EXPECT_EQ(Command(23, {"", "missing", "", "to", "u8:1"}), status::kUnhandled);
  SetFreeSpaceQuery(before);
}

TEST_F(FileService, QueriesPathsAndAnswersTheOnlyDrive) {
  fs::create_directory(dir_ / "folder");
  Outcome outcome = Serve(Request(26, {"folder"}));
  ASSERT_EQ(outcome.status, status::kOk);
  EXPECT_EQ(outcome.Header(), "26 00320000");
  std::uint32_t flags = 0;
  outcome.reply->GetUInt32(&flags);
  EXPECT_EQ(flags & 3u, 3u);
  EXPECT_TRUE(SameBytes(HexBytes("1A00 FFFF3280 00000000"), Serve(Request(26, {"missing"})).body));
  outcome = Serve(Request(27, {"u16:5"}));
  EXPECT_EQ(outcome.status, status::kOk);
  EXPECT_TRUE(SameBytes(HexBytes("1B00 00000000 0300"), outcome.body));
}

TEST_F(FileService, UnknownAndTruncatedRequestsChangeNothingAndGetNoReply) {
  for (const std::uint16_t number : {0, 15, 19, 28, 0xFFFF}) {
    const Outcome outcome = Serve(Request(number));
    EXPECT_EQ(outcome.status, status::kBadArguments) << number;
    EXPECT_EQ(outcome.reply, nullptr) << number;
  }
  dir_.WriteFile("keep", "k");
  for (const Bytes& bytes :
       {Request(11, {"sub", "C"}), Request(13, {"made"}), Request(22, {"", "keep"}),
        Request(23, {"", "keep", "", "copy", "u8:0"}),
        Request(24, {"", "keep", "", "moved", "u8:0"}), Request(25, {"u16:1", "", "keep"}),
        Request(26, {"keep"}), Request(27, {"u16:3"})}) {
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
      const Outcome outcome = Serve(Bytes(bytes.begin(), bytes.begin() + static_cast<long>(cut)));
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
    Bytes bytes(random() % 24);
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
    ScopedCurrentFolder inside(deep);
    Serve(bytes);
  }
}

// The service as the registry calls it, on messages as they arrive.
TEST_F(FileService, AnswersRequestMessagesWithReplyMessages) {
  BvuFileService service;
  const auto ask = [&service](const Bytes& body, Status expected) {
    DseMessage sent(58, DseMessage::kRequest);
    sent.sequence = 9;
    for (std::uint8_t byte : body) sent.PutUInt8(byte);
    MessagePtr request = Received(sent, Peer(2));
    DseMessage* reply = nullptr;
    DseTemplate* kept = nullptr;
    EXPECT_EQ(service.HandleRequest(58, request.get(), &reply, &kept), expected);
    return MessagePtr(reply);
  };
  MessagePtr reply = ask(Request(27, {"u16:7"}), status::kOk);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(
      std::vector<std::uint32_t>({reply->type, reply->flags & DseMessage::kReply, reply->sequence}),
      std::vector<std::uint32_t>({58, DseMessage::kReply, 10}));
  EXPECT_EQ(reply->SourcePeer(), Peer(2));
  EXPECT_TRUE(SameBytes(HexBytes("1B00 00000000 0300"), BodyOf(*reply)));
  EXPECT_EQ(ask(Request(13, {"made"}), status::kOk), nullptr);
  EXPECT_TRUE(fs::is_directory(dir_ / "made"));
  EXPECT_EQ(ask(Request(15), status::kBadArguments), nullptr);
  EXPECT_EQ(ask({0x1A}, 0x8000FFFFu), nullptr);
}

}  // namespace
