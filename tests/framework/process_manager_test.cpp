#include "framework/processes/process_manager.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "framework/connections/io_status.h"
#include "framework/connections/socket_connection.h"
#include "framework/messaging/async_client.h"
#include "framework/messaging/io_peers.h"
#include "framework/messaging/message.h"
#include "framework/processes/child_engine.h"
#include "message_helpers.h"
#include "platform/child_process.h"
#include "platform/socket.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/scoped_env.h"
#include "tests/support/stdout_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

using namespace testsupport;

namespace {

class FakeClient : public DseAsyncClient {
 public:
  Status AskPassword(const char* prompt, std::string* user, std::string* password) override {
    prompts.push_back(prompt);
    if (status::IsFailure(answer)) return answer;
    *user = "carol";
    *password = "given";
    return answer;
  }
  Status ReportFailure(const char* text, const char* detail, std::uint32_t code) override {
    reports += std::string(text) + "|" + detail + "|" + std::to_string(code) + "\n";
    return 0;
  }
  const std::string& Reports() const { return reports; }

  Status answer = 0;
  std::vector<std::string> prompts;
  std::string reports;
};

class FakeQueue : public DseIOPeers {
 public:
  struct Peer {
    XosComputeNode* node;
    std::uint32_t own;
    std::uint32_t number;
    std::uint32_t session;
    DseProcess* process;
  };
  std::int32_t AddPeer(XosComputeNode* node, std::uint32_t own, std::uint32_t number,
                       std::uint32_t session, DseProcess* process) override {
    peers.push_back({node, own, number, session, process});
    return 1;
  }
  std::vector<Peer> peers;
};

class ProcessManagerTest : public ::testing::Test {
 protected:
  ProcessManagerTest() : manager_(nullptr) {}

  // Reads the text as a configuration file; what the reader printed.
  std::string Read(const std::string& text) {
    // A new file each time: rewriting one would wait for the disk.
    const auto file = dir_.WriteFile("pm" + std::to_string(++files_) + ".cfg", text);
    StdoutCapture capture;
    EXPECT_EQ(manager_.ReadConfiguration(file.c_str()), 0u);
    return capture.Take();
  }
  template <typename T = DseProcess>
  std::vector<T*> Processes(const BvuListHead* list = nullptr) {
    std::vector<T*> all;
    for (BvuListElem* e = (list ? *list : manager_.Processes()).first; e != nullptr; e = e->next) {
      all.push_back(static_cast<T*>(e));
    }
    return all;
  }
  std::vector<DseComputeNode*> Nodes() { return Processes<DseComputeNode>(&manager_.Nodes()); }
  // One line per machine and per process, in file order.
  std::string Listed() {
    std::string text;
    for (const DseComputeNode* n : Nodes()) {
      text += std::to_string(n->number) + " " + n->Name() + " kind " + std::to_string(n->os_kind) +
              " method " + std::to_string(n->method) + " in " + n->directory +
              (n->IsLocal() ? " here\n" : "\n");
    }
    for (const DseProcess* p : Processes()) {
      text += std::to_string(p->number) + " " + p->name + " " + p->program + " on " +
              p->node->Name() + " in " + p->directory + " flags " + std::to_string(p->start_flags) +
              (p->hidden ? " hidden\n" : "\n");
    }
    return text;
  }

  TempDir dir_;
  int files_ = 0;
  DseProcessManager manager_;
};

TEST_F(ProcessManagerTest, ReadsMachinesAndProcessesWithQuotesFoldingAndComments) {
  EXPECT_EQ(Read("# machines\n"
                 "Local is a NT directory \"/Work Dir\"   # where the local children work\n"
                 "LocalHost\tis a UNIX using REXEC username Alice password \"S3cret\" directory "
                 "/home/alice\n"
                 "\n"
                 "   # processes\n"
                 "Solver runs \"/opt/Vantor/bin/vantor\" on localhost hidden\n"
                 "helper debugs /opt/Helper on local\r\n"
                 "plain runs \"/bin/x#y\"\n"),
            "");
  // No "on": this machine; "#" inside quotes is no comment.
  EXPECT_EQ(Listed(),
            "1 local kind 3 method 0 in /Work Dir here\n"
            "2 localhost kind 4 method 2 in /home/alice\n"
            "1 solver /opt/Vantor/bin/vantor on localhost in /home/alice flags 0 hidden\n"
            "2 helper /opt/helper on local in /Work Dir flags 33\n"
            "3 plain /bin/x#y on local in /Work Dir flags 1\n");
  const DseComputeNode* remote = Nodes().at(1);
  EXPECT_EQ(remote->host_name + " " + remote->user + " " + remote->password,
            "localhost alice S3cret");
  EXPECT_EQ(Processes().at(0)->state, DseProcess::kConfigured);
}

TEST_F(ProcessManagerTest, FaultyRecordsAreShownWithACaretAndSkipped) {
  EXPECT_EQ(Read("first runs /bin/a\n"
                 "broken runs /bin/b is a nt\n"
                 "\tmachine is a nt hidden\n"
                 "last runs /bin/c\n"),
            "broken runs /bin/b is a nt\n"
            "                   ^\n"
            "Syntax Error in record 2 at position 20\n"
            "\tmachine is a nt hidden\n"
            "\t                ^\n"
            "Syntax Error in record 3 at position 18\n");
  const std::string listed =
      "1 first /bin/a on local in  flags 1\n2 last /bin/c on local in  flags 1\n";
  EXPECT_EQ(Listed(), listed);

  const std::pair<const char*, std::size_t> cases[] = {
      {"m is a os2", 8},             // unknown system
      {"m is a nt username", 19},    // a value is missing at the end
      {"p runs /x on nowhere", 14},  // no such machine
      {"p runs \"/x on local", 8},   // the quote is not closed
      {"p \"runs\" /x", 3},          // a quoted word is never a keyword
      {"p runs /x\x01", 10},         // a control character
  };
  for (const auto& [line, position] : cases) {
    EXPECT_EQ(Read(std::string(line) + "\n"),
              std::string(line) + "\n" + std::string(position - 1, ' ') +
                  "^\nSyntax Error in record 1 at position " + std::to_string(position) + "\n");
  }
  EXPECT_EQ(Listed(), listed);
}

TEST_F(ProcessManagerTest, AnOverlongLineIsASyntaxErrorAndReadingGoesOn) {
  const std::string overlong = "p runs /" + std::string(300, 'x');
  EXPECT_EQ(Read(overlong + "\nq runs /bin/q\n"),
            overlong.substr(0, 199) + "\n" + std::string(199, ' ') +
                "^\nSyntax Error in record 1 at position 200\n");
  // The longest line allowed is read.
  EXPECT_EQ(Read("r runs /" + std::string(191, 'y') + "\n"), "");
  EXPECT_EQ(Listed(), "1 q /bin/q on local in  flags 1\n2 r /" + std::string(191, 'y') +
                          " on local in  flags 1\n");
}

TEST_F(ProcessManagerTest, ProcessesBeyondWhatThePeerListCountsAreRefused) {
  std::string text;
  for (std::uint32_t i = 0; i <= DseProcessManager::kMaxProcesses; ++i) text += "p runs /x\n";
  EXPECT_EQ(Read(text), "p runs /x\n^\nSyntax Error in record 65536 at position 1\n");
  EXPECT_EQ(manager_.Processes().count, 65535);
  EXPECT_EQ(Processes().back()->number, 65535u);
}

TEST_F(ProcessManagerTest, AFileThatCannotBeReadIsRefusedAndNoNameReadsTheDefault) {
  EXPECT_EQ(manager_.ReadConfiguration((dir_ / "missing.cfg").c_str()), status::kOpenFailed);
  EXPECT_EQ(manager_.ReadConfiguration(dir_.path().c_str()), status::kOpenFailed);
  ScopedCurrentFolder here(dir_.path());
  dir_.WriteFile("dse_pm.cfg", "p runs /bin/p\n");
  EXPECT_EQ(manager_.ReadConfiguration(nullptr), 0u);
  EXPECT_EQ(Processes().size(), 1u);
}

// Every line is a blank or comment line, one record, or one syntax error
// naming that line, whatever its bytes; nothing it reads points nowhere.
TEST_F(ProcessManagerTest, RandomLinesAreReadOrRefusedOneByOne) {
  std::mt19937 random(1357);
  const std::vector<std::string> words = {"is",
                                          "a",
                                          "runs",
                                          "debugs",
                                          "debugger",
                                          "hidden",
                                          "display",
                                          "directory",
                                          "on",
                                          "node",
                                          "using",
                                          "username",
                                          "password",
                                          "unix",
                                          "vms",
                                          "nt",
                                          "win95",
                                          "rexec",
                                          "rsh",
                                          "dcom",
                                          "local",
                                          "LOCAL",
                                          "localhost",
                                          "127.0.0.1",
                                          "p1",
                                          "/bin/x",
                                          "\"quoted word\"",
                                          "\"",
                                          "#",
                                          "#x",
                                          "\"a#b\"",
                                          "\t",
                                          "\xC3\xA9t\xC3\xA9",
                                          std::string(1, '\0'),
                                          "\x01",
                                          "\r"};
  auto pick = [&](const std::vector<std::string>& from) { return from[random() % from.size()]; };
  const std::vector<std::string> hosts = {"localhost", "local", "127.0.0.1"};
  std::vector<std::string> lines;
  std::vector<std::size_t> added;
  StdoutCapture capture;
  for (int round = 0; round < 600; ++round) {
    // Records as users write them, some damaged, and token soup.
    std::vector<std::string> tokens;
    const int shape = static_cast<int>(random() % 5);
    auto maybe = [&](std::initializer_list<std::string> more) {
      if (random() % 2) tokens.insert(tokens.end(), more);
    };
    if (shape < 2) {
      tokens = {pick(hosts), "is", "a", pick({"unix", "nt", "win95", "vms"})};
      maybe({"using", pick({"rexec", "rsh", "dcom"})});
      maybe({"username", "u"});
      maybe({"password", "\"P w\""});
      maybe({"directory", "/d"});
    } else if (shape < 4) {
      tokens = {"p1", pick({"runs", "debugs"}), "/bin/x"};
      maybe({"on", pick(hosts)});
      maybe({"hidden"});
      maybe({"display", "ws"});
    } else {
      for (int i = static_cast<int>(random() % 10); i > 0; --i) tokens.push_back(pick(words));
    }
    for (int damage = static_cast<int>(random() % 3) - 1; damage > 0 && !tokens.empty(); --damage) {
      const std::size_t at = random() % tokens.size();
      if (random() % 2) {
        tokens[at] = random() % 4 ? pick(words) : std::string(1, static_cast<char>(random() % 256));
      } else {
        tokens.erase(tokens.begin() + static_cast<long>(at));
      }
    }
    std::string line = random() % 30 == 0 ? std::string(150 + random() % 200, 'z') : "";
    for (const std::string& token : tokens) line += (random() % 4 ? " " : "\t") + token;
    if (line.find('\n') != std::string::npos) continue;
    // Line i of its own file, so that its syntax error names record i.
    lines.push_back(line);
    const std::size_t before = manager_.Processes().count + manager_.Nodes().count;
    const auto file = dir_.WriteFile("random" + std::to_string(lines.size()) + ".cfg",
                                     std::string(lines.size() - 1, '\n') + line + "\n");
    EXPECT_EQ(manager_.ReadConfiguration(file.c_str()), 0u);
    added.push_back(manager_.Processes().count + manager_.Nodes().count - before);
  }
  const std::string said = capture.Take();

  std::vector<int> errors(lines.size() + 1, 0);
  const std::string marker = "^\nSyntax Error in record ";
  for (std::size_t at = said.find(marker); at != std::string::npos;
       at = said.find(marker, at + 1)) {
    std::size_t record = 0, position = 0;
    ASSERT_EQ(
        std::sscanf(said.c_str() + at + marker.size(), "%zu at position %zu", &record, &position),
        2);
    ASSERT_GE(record, 1u);
    ASSERT_LE(record, lines.size());
    ++errors[record];
    EXPECT_GE(position, 1u);
    EXPECT_LE(position, 200u);
  }
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string content = lines[i];
    if (!content.empty() && content.back() == '\r') content.pop_back();
    const std::size_t first = content.find_first_not_of(" \t");
    const bool blank = first == std::string::npos || content[first] == '#';
    EXPECT_EQ(added[i] + static_cast<std::size_t>(errors[i + 1]), blank ? 0u : 1u) << lines[i];
  }
  std::uint32_t number = 0;
  for (DseProcess* p : Processes()) {
    EXPECT_EQ(p->number, ++number);
    ASSERT_NE(p->node, nullptr);
    EXPECT_FALSE(p->program.empty());
  }
}

TEST_F(ProcessManagerTest, ChildCommandLinesSayOnlyWhatTheChildNeeds) {
  Read(
      "near runs /bin/near\n"
      "local is a nt directory \"/data/run 1\"\n"
      "dir runs /bin/dir on local\n"
      "127.0.0.1 is a unix password pw directory \"C:\\work\\\"\n"
      "far runs /bin/far on 127.0.0.1\n");
  const auto processes = Processes();
  ASSERT_EQ(processes.size(), 3u);
  const std::string session = std::to_string(getpid());
  EXPECT_EQ(manager_.ChildCommandLine(*processes[0], 4242), "-ChildNo=1 -SessionId=" + session);
  EXPECT_EQ(manager_.ChildCommandLine(*processes[1], 4242),
            "-ChildNo=2 -SessionId=" + session + " -DefDir=\"/data/run 1\"");
  // A trailing backslash is doubled so that it does not quote the quote.
  EXPECT_EQ(manager_.ChildCommandLine(*processes[2], 4242),
            "-ChildNo=3 -SessionId=" + session +
                " -DefDir=\"C:\\work\\\\\" -ParentNode=0:4242:" + platform::LocalHostName());
  // Whatever the folder holds, it splits back into one item.
  for (const std::string folder :
       {"a\"b", "x\" -ChildNo=5 \"", "C:\\w\\\"q", "\\\\", "\"", "tab\there\\"}) {
    processes[1]->directory = folder;
    const auto words =
        platform::SplitCommandLine("prog " + manager_.ChildCommandLine(*processes[1], 0));
    ASSERT_EQ(words.size(), 4u) << folder;
    EXPECT_EQ(words[3], "-DefDir=" + folder);
  }
}

TEST_F(ProcessManagerTest, ThePeerListNamesEveryConfiguredProcess) {
  Read(
      "near runs /bin/near\n127.0.0.1 is a unix\nlocalhost is a unix\nfar runs /bin/far on "
      "localhost\n");
  DseMessage* made = nullptr;
  ASSERT_EQ(manager_.MakePeerListMessage(&made), 0u);
  std::unique_ptr<DseMessage> list(made);
  EXPECT_EQ(std::vector<std::uint32_t>({list->type, list->subtype, list->message_class}),
            std::vector<std::uint32_t>({1, 2, 1}));
  EXPECT_TRUE(SameBytes(HexBytes("02000000 00000000 0000 0100 02000000 0000 0200"), BodyOf(*list)));
}

TEST_F(ProcessManagerTest, StartsALocalChildInItsFolderAndStopsIt) {
  FakeQueue queue;
  EXPECT_EQ(manager_.StartAll(nullptr, &queue), status::kNoProcesses);
  const std::string record = (dir_ / "record").string();
  ScopedEnv env("VANTOR_CHILD_RECORD", record.c_str());
  Read("local is a nt directory \"/tmp/a b\"\nstandin runs \"" VANTOR_CHILD_STANDIN
       "\" on local\n");
  FakeClient client;
  ASSERT_EQ(manager_.StartAll(&client, &queue), 0u);
  DseProcess* child = Processes().at(0);
  EXPECT_EQ(child->state, DseProcess::kStarted);
  XosProcess* started = child->process;
  // A second start would leave the first child running unwatched.
  EXPECT_EQ(manager_.StartChild(child, &client, &queue), status::kBadArguments);
  EXPECT_EQ(child->process, started);
  ASSERT_EQ(queue.peers.size(), 1u);
  const FakeQueue::Peer& peer = queue.peers[0];
  EXPECT_EQ(std::vector<std::uint32_t>({peer.own, peer.number, peer.session}),
            std::vector<std::uint32_t>({0, 1, static_cast<std::uint32_t>(getpid())}));
  EXPECT_EQ(peer.node, child->node);
  EXPECT_EQ(peer.process, child);
  std::string seen;
  testsupport::WaitUntil([&] {
    seen = ReadFileBytes(record);
    return !seen.empty();
  });
  const std::string folder =
      std::filesystem::canonical(std::filesystem::path(VANTOR_CHILD_STANDIN).parent_path());
  EXPECT_EQ(seen, folder + "\n-ChildNo=1\n-SessionId=" + std::to_string(getpid()) +
                      "\n-DefDir=/tmp/a b\n");
  EXPECT_EQ(child->ReadOutput(), 0u);  // alive and silent
  EXPECT_EQ(client.Reports(), "");
  const int pid = child->process->ProcessId();
  manager_.StopAll();
  EXPECT_EQ(child->state, DseProcess::kStopped);
  EXPECT_EQ(child->process, nullptr);
  EXPECT_EQ(kill(pid, 0), -1);  // gone and collected
  EXPECT_EQ(errno, ESRCH);
}

// A child the queue will not take as a peer could never be reached: it is
// stopped and its start fails.
TEST_F(ProcessManagerTest, AChildThatCannotBecomeAPeerIsStoppedAndReported) {
  const std::string record = (dir_ / "record").string();
  ScopedEnv env("VANTOR_CHILD_RECORD", record.c_str());
  Read("standin runs \"" VANTOR_CHILD_STANDIN "\"\n");
  struct RefusingQueue : DseIOPeers {
    std::int32_t AddPeer(XosComputeNode*, std::uint32_t, std::uint32_t, std::uint32_t,
                         DseProcess*) override {
      return 0;
    }
  } queue;
  FakeClient client;
  EXPECT_EQ(manager_.StartAll(&client, &queue), status::kUnhandled);
  DseProcess* child = Processes().at(0);
  EXPECT_EQ(child->state, DseProcess::kConfigured);
  EXPECT_EQ(child->process, nullptr);
  EXPECT_EQ(client.Reports(), "Failed to start process <standin> from <" VANTOR_CHILD_STANDIN
                              ">|Child number 1 is already in use.|10\n");
  // It had started, and was killed and collected.
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(ProcessManagerTest,
       AFailedLocalStartIsReportedAndStopsTheRestAndAnEndedChildFailsItsOutput) {
  Read("missing runs /no/such/program\nquick runs /bin/true\n");
  FakeQueue queue;
  FakeClient client;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(manager_.StartAll(&client, &queue), status::kUnhandled);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find(
                "XosProcess::CreateLocalProcess, Process Create failed with code : 2"),
            std::string::npos);
  EXPECT_EQ(client.Reports(),
            "Failed to start process <missing> from </no/such/program>|No more information "
            "available.|10\n");
  EXPECT_TRUE(queue.peers.empty());
  DseProcess* quick = Processes().at(1);
  EXPECT_EQ(Processes().at(0)->state, DseProcess::kConfigured);
  EXPECT_EQ(quick->state, DseProcess::kConfigured);
  ASSERT_EQ(manager_.StartChild(quick, nullptr, &queue), 0u);
  Status result = 0;
  testsupport::WaitUntil([&] {
    result = quick->ReadOutput();
    return result != 0;
  });
  EXPECT_EQ(result, status::kPeerGone);
  manager_.StopAll();
  EXPECT_EQ(quick->state, DseProcess::kStopped);
}

TEST_F(ProcessManagerTest, ARemoteStartWithoutPasswordAsksTheClientAndFailuresNameTheHost) {
  Read(
      "127.0.0.1 is a nt\nfar runs /bin/far on 127.0.0.1\n"
      "127.0.0.2 is a unix using rsh\nnear runs /bin/near on 127.0.0.2\n");
  DseProcess* child = Processes().at(0);
  FakeQueue queue;
  EXPECT_EQ(manager_.StartChild(child, nullptr, &queue), status::kNoPassword);
  FakeClient refusing;
  refusing.answer = 0x80000099u;
  EXPECT_EQ(manager_.StartChild(child, &refusing, &queue), 0x80000099u);
  EXPECT_EQ(refusing.prompts, std::vector<std::string>{"Enter password for '127.0.0.1'."});
  // Given a password, the start goes on to the service (no service answers
  // on this machine), or says that the host has no address.
  FakeClient client;
  EXPECT_EQ(manager_.StartChild(child, &client, &queue), status::kNetworkFailure);
  EXPECT_EQ(child->node->user + " " + child->node->password, "carol given");
  child->node->address = platform::HostAddress();
  EXPECT_EQ(manager_.StartChild(child, &client, &queue), status::kUnhandled);
  // The remote shell is not supported.
  EXPECT_EQ(manager_.StartChild(Processes().at(1), &client, &queue), status::kNotSupported);
  EXPECT_EQ(
      client.Reports(),
      "Failed to access REXEC on host <127.0.0.1>|The host <127.0.0.1> was not accessible due "
      "to a network failure\nor REXEC is not running on that node.|10\n"
      "Failed to start process <far> from </bin/far> on host <127.0.0.1>|No Network "
      "information for machine 127.0.0.1|10\n"
      "Failed to start process <near> from </bin/near> on host <127.0.0.2>|No more "
      "information available.|10\n");
  EXPECT_EQ(XosListeningSocket::Find(child->number), nullptr);  // not left waiting
  EXPECT_EQ(client.prompts.size(), 1u);
  EXPECT_TRUE(queue.peers.empty());
}

}  // namespace
