#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <thread>

#include "framework/child_process.h"
#include "framework/compute_node.h"
#include "framework/io_status.h"
#include "framework/virtual_connection.h"
#include "platform/socket.h"
#include "tests/support/scoped_env.h"

using namespace std::string_literals;

namespace {

// A remote-execution service on a loopback port: it takes the four fields
// of a request, answers with the given bytes and then either closes at once
// or stays to take what the started "process" is sent until told to finish.
class FakeRexecServer {
 public:
  explicit FakeRexecServer(std::string answer, bool stay = false) : answer_(std::move(answer)), stay_(stay) {
    int error = 0;
    listener_ = platform::ListenTcp(&port_, &error);
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeRexecServer() {
    Finish();
    platform::CloseSocket(listener_);
  }
  std::uint16_t port() const { return port_; }
  // Waits for the exchange to end; what the client sent.
  std::string Finish() {
    closing_ = true;
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  // Bytes that are there win over a request to finish.
  bool Receive(int fd, bool once) {
    pollfd p{fd, POLLIN, 0};
    for (int i = 0; i < 1000; ++i) {
      if (poll(&p, 1, 10) <= 0) {
        if (closing_) return false;
        continue;
      }
      if (once) return true;
      char buffer[256];
      const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
      if (n <= 0) return false;
      received_.append(buffer, static_cast<std::size_t>(n));
      return true;
    }
    return false;
  }
  void Serve() {
    if (!Receive(listener_, true)) return;
    const int session = accept(listener_, nullptr, nullptr);
    // "0", user, password, command line: four zero bytes.
    while (std::count(received_.begin(), received_.end(), '\0') < 4 && Receive(session, false)) {
    }
    send(session, answer_.data(), answer_.size(), MSG_NOSIGNAL);
    while (stay_ && Receive(session, false)) {
    }
    close(session);
  }

  std::string answer_;
  bool stay_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::string received_;
  std::atomic<bool> closing_{false};
  std::thread thread_;
};

XosComputeNode Loopback(const char* user, const char* password) {
  XosComputeNode node;
  node.Initialize("127.0.0.1", XosComputeNode::kUnix, XosComputeNode::kRemoteExecution, user,
                  password);
  return node;
}

std::string ReadSome(XosConnection* connection, Status* result) {
  std::string text;
  for (int i = 0; i < 5000; ++i) {
    char buffer[256];
    std::uint32_t n = 0;
    *result = connection->Read(buffer, sizeof(buffer), &n);
    text.append(buffer, n);
    if (*result != 0 || n > 0) break;
    usleep(1000);
  }
  return text;
}

TEST(RemoteStartTest, SendsTheRequestAndTalksToTheStartedProcess) {
  FakeRexecServer server("\0hello from child"s, true);
  Status result = 1;
  XosVirtualConnection remote(Loopback("alice", ",a"), nullptr, "prog -ChildNo=1", &result, server.port());
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(remote.Open(), 0u);
  Status read_result = 1;
  EXPECT_EQ(ReadSome(&remote, &read_result), "hello from child");
  std::uint32_t n = 0;
  EXPECT_EQ(remote.Write("input", 5, &n), 0u);
  EXPECT_EQ(n, 5u);
  usleep(50000);
  EXPECT_EQ(server.Finish(), "0\0alice\0,Z\0prog -ChildNo=1\0input"s);
  // The process (the service's stream) has ended.
  ReadSome(&remote, &read_result);
  EXPECT_EQ(read_result, status::kPeerGone);
}

TEST(RemoteStartTest, ARefusalLeavesTheServicesReasonToRead) {
  FakeRexecServer server("\x01Login incorrect.\n"s);
  Status result = 0;
  XosVirtualConnection remote(Loopback("bob", "pw"), nullptr, "prog", &result, server.port());
  EXPECT_EQ(result, status::kUnhandled);
  EXPECT_FALSE(remote.IsOpen());
  EXPECT_EQ(remote.Open(), status::kUnhandled);
  Status read_result = 1;
  EXPECT_EQ(ReadSome(&remote, &read_result), "Login incorrect.\n");
  ReadSome(&remote, &read_result);
  EXPECT_EQ(read_result, status::kPeerGone);
}

TEST(RemoteStartTest, AnUnreachableServiceIsANetworkFailureWithItsText) {
  std::uint16_t free_port;
  {
    FakeRexecServer gone("");
    free_port = gone.port();
  }
  Status result = 0;
  XosVirtualConnection remote(Loopback("bob", "pw"), nullptr, "prog", &result, free_port);
  EXPECT_EQ(result, status::kNetworkFailure);
  EXPECT_EQ(remote.Open(), status::kNetworkFailure);
  const std::string text = "Network Problems, possibly REXEC service not running on server machine.";
  EXPECT_NE(remote.Flags() & XosConnection::kClosedByPeer, 0);
  Status read_result = 1;
  EXPECT_EQ(ReadSome(&remote, &read_result), text);  // once
  EXPECT_EQ(ReadSome(&remote, &read_result), "");
  EXPECT_EQ(read_result, status::kPeerGone);
  std::uint32_t n = 9;
  EXPECT_EQ(remote.Write("x", 1, &n), status::kWriteOnClosed);

  XosComputeNode unknown = Loopback("bob", "pw");
  unknown.address = platform::HostAddress();
  XosVirtualConnection nowhere(unknown, nullptr, "prog", &result, free_port);
  EXPECT_EQ(result, status::kNetworkFailure);
  EXPECT_EQ(nowhere.Text(), "No Network information for machine 127.0.0.1");
}

TEST(RemoteStartTest, APasswordLongerThan130CharactersIsRefusedUnsent) {
  FakeRexecServer server("\0"s);
  Status result = 0;
  XosVirtualConnection remote(Loopback("bob", std::string(131, 'p').c_str()), nullptr, "prog", &result, server.port());
  EXPECT_EQ(result, status::kBadArguments);
  EXPECT_EQ(server.Finish(), "");
}

TEST(PasswordScramblerTest, MovesCharactersBackByTheKeyAndLaysThemFromTheMiddle) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},         {"a", "`"},  // 'q' & 7 = 1 place back
      {" ", "~"},                    // wraps round the alphabet
      {",a", ",Z"},  // the comma stays; 'o' & 7 = 7 places back, skipping no excluded one
      {"ab", "[`"},  // laid from the middle: '`' at 1, then 96 steps on: taken, so 0
      {"\"\"", "\"\""},
      {std::string(130, 'p'), ""},  // the longest allowed
      {std::string(131, 'p'), ""},  // refused, nothing scrambled
  };
  for (const auto& [password, scrambled_expected] : cases) {
    std::string scrambled = "old";
    const Status result = XosScramblePassword(password.c_str(), "qomvex", ",\"", &scrambled);
    EXPECT_EQ(result, password.size() > 130 ? status::kBadArguments : 0u);
    EXPECT_EQ(scrambled.size(), password.size() > 130 ? 0 : password.size());
    if (!scrambled_expected.empty() || password.empty()) {
      EXPECT_EQ(scrambled, scrambled_expected) << password;
    }
  }
}

TEST(PasswordScramblerTest, KeepsOtherCharactersInPlaceAndPermutesTheMovedOnes) {
  std::mt19937 random(20240605);
  std::string alphabet;
  for (int c = 32; c <= 126; ++c) {
    if (c != ',' && c != '"') alphabet += static_cast<char>(c);
  }
  const std::string key = "qomvex";
  for (int round = 0; round < 500; ++round) {
    std::string password(random() % 131, ' ');
    for (char& c : password) {
      const int pick = static_cast<int>(random() % 100);
      c = pick < 5 ? ',' : pick < 10 ? '"' : pick < 12 ? '\t' : static_cast<char>(32 + random() % 95);
    }
    std::string scrambled;
    ASSERT_EQ(XosScramblePassword(password.c_str(), key.c_str(), ",\"", &scrambled), 0u);
    ASSERT_EQ(scrambled.size(), password.size());
    std::string moved_expected, moved_found;
    for (std::size_t i = 0; i < password.size(); ++i) {
      const std::size_t place = alphabet.find(password[i]);
      if (place == std::string::npos) {
        EXPECT_EQ(scrambled[i], password[i]);
        continue;
      }
      const std::size_t back = key[i % key.size()] & 7;
      moved_expected += alphabet[(place + alphabet.size() - back) % alphabet.size()];
      moved_found += scrambled[i];
    }
    std::sort(moved_expected.begin(), moved_expected.end());
    std::sort(moved_found.begin(), moved_found.end());
    EXPECT_EQ(moved_found, moved_expected) << password;
  }
}

TEST(ChildCommandTest, CommandsRunUnderTheDisplayAndTheSystemsDebugger) {
  XosComputeNode unix_node, nt, vms;
  unix_node.os_kind = XosComputeNode::kUnix;
  nt.os_kind = XosComputeNode::kWindowsNT;
  vms.os_kind = XosComputeNode::kVms;
  const std::string args = "-ChildNo=1";
  EXPECT_EQ(XosProcess::RemoteCommandLine(unix_node, "prog", args, XosProcess::kVisible, ""), "prog -ChildNo=1");
  EXPECT_EQ(XosProcess::RemoteCommandLine(unix_node, "prog", args, 1, "ws7"),
            "xterm -display ws7:0.0 -e prog -ChildNo=1");
  EXPECT_EQ(XosProcess::RemoteCommandLine(unix_node, "prog", args, XosProcess::kDebugged, ""),
            "dbx prog.out -ChildNo=1");
  EXPECT_EQ(XosProcess::RemoteCommandLine(nt, "prog", args, XosProcess::kDebugged, "ws7"),
            "xterm -display ws7:0.0  -e msdev prog -ChildNo=1");
  EXPECT_EQ(XosProcess::RemoteCommandLine(vms, "prog", args, XosProcess::kDebugged, ""), "debug prog -ChildNo=1");
  {
    testsupport::ScopedEnv unset("XOS_DEBUGGER", nullptr);
    EXPECT_EQ(XosProcess::LocalCommandLine("/a b/prog", "-ChildNo=2", XosProcess::kVisible), "\"/a b/prog\" -ChildNo=2");
    EXPECT_EQ(XosProcess::LocalCommandLine("/a b/prog", "-ChildNo=2", XosProcess::kDebugged),
              "gdb --args \"/a b/prog\" -ChildNo=2");
  }
  testsupport::ScopedEnv set("XOS_DEBUGGER", "valgrind -q");
  EXPECT_EQ(XosProcess::LocalCommandLine("/p", "-x", XosProcess::kDebugged), "valgrind -q \"/p\" -x");
}

}  // namespace
