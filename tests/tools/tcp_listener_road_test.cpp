// vantor-client --tcp listens for its engine on loopback alone. From a
// network namespace of the test's own, joined to this machine by a veth
// pair, a peer tries the listener's port at this machine's address on that
// pair just before the real engine starts: it must be refused, and the
// FirstOrder road then runs over TCP with the engine. (Before, the listener
// took every interface and the first connection as the engine.) Needs root
// for the namespace; skipped with the reason otherwise.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/run_captured.h"
#include "platform/socket.h"
#include "road_env.h"
#include "tests/support/temp_dir.h"
#include "tools/first_order.h"

namespace {

namespace fs = std::filesystem;

// Runs a program with its words, no shell; its exit code, or -1 when it
// could not start. Its output goes to *output.
int RunProgram(const std::vector<std::string>& words, std::string* output = nullptr) {
  int exit_code = -1, error = 0;
  std::string lines;
  if (!platform::RunCaptured(
          words, "", [&](const std::string& line) { lines += line; }, &exit_code, &error)) {
    return -1;
  }
  if (output != nullptr) *output = lines;
  return exit_code;
}

// A namespace with one veth pair: this machine's end and the namespace's.
class NetworkNamespace {
 public:
  NetworkNamespace() {
    const int pid = static_cast<int>(::getpid());
    name_ = "vantor_tcp_" + std::to_string(pid);
    host_link_ = "vt" + std::to_string(pid % 1000000) + "h";
    const std::string net = "10.213." + std::to_string((pid >> 6) & 255) + ".";
    const int base = (pid & 63) * 4;
    host_address_ = net + std::to_string(base + 1);
    const std::string inner_address = net + std::to_string(base + 2);
    const std::string inner_link = "vt" + std::to_string(pid % 1000000) + "n";
    const std::vector<std::vector<std::string>> steps = {
        {"ip", "netns", "add", name_},
        {"ip", "link", "add", host_link_, "type", "veth", "peer", "name", inner_link},
        {"ip", "link", "set", inner_link, "netns", name_},
        {"ip", "addr", "add", host_address_ + "/30", "dev", host_link_},
        {"ip", "link", "set", host_link_, "up"},
        {"ip", "netns", "exec", name_, "ip", "addr", "add", inner_address + "/30", "dev",
         inner_link},
        {"ip", "netns", "exec", name_, "ip", "link", "set", inner_link, "up"},
        {"ip", "netns", "exec", name_, "ip", "link", "set", "lo", "up"},
    };
    for (const auto& step : steps) {
      std::string output;
      if (RunProgram(step, &output) != 0) {
        why_ = "\"" + step[0] + " " + step[1] + " " + step[2] + "\" failed: " + output;
        return;
      }
    }
  }
  ~NetworkNamespace() {
    RunProgram({"ip", "link", "del", host_link_});
    RunProgram({"ip", "netns", "del", name_});
  }
  NetworkNamespace(const NetworkNamespace&) = delete;
  NetworkNamespace& operator=(const NetworkNamespace&) = delete;

  // Empty when the namespace is ready.
  const std::string& Why() const { return why_; }
  const std::string& Name() const { return name_; }
  const std::string& HostAddress() const { return host_address_; }

  // Whether a connection from inside the namespace reaches the port at this
  // machine's address on the pair.
  bool Reaches(std::uint16_t port) const {
    return RunProgram({"ip", "netns", "exec", name_, "timeout", "5", "bash", "-c",
                       "exec 3<>/dev/tcp/" + host_address_ + "/" + std::to_string(port)}) == 0;
  }

 private:
  std::string name_, host_link_, host_address_, why_;
};

class TcpListenerRoad : public roadtest::RoadEnv {};

TEST_F(TcpListenerRoad, APeerOnAnotherAddressNeverReachesTheEnginesListener) {
  if (::geteuid() != 0) GTEST_SKIP() << "a network namespace needs root";
  if (RunProgram({"ip", "-V"}) != 0) GTEST_SKIP() << "no ip program";
  NetworkNamespace space;
  if (!space.Why().empty()) GTEST_SKIP() << "no network namespace: " << space.Why();
  {
    // The namespace reaches a listener on every interface: the check below
    // means something.
    std::uint16_t port = 0;
    int error = 0;
    const int control = platform::ListenTcp(&port, &error);
    ASSERT_GE(control, 0) << error;
    const bool reached = space.Reaches(port);
    platform::CloseSocket(control);
    if (!reached) GTEST_SKIP() << "the namespace cannot reach " << space.HostAddress();
  }

  // The engine's wrapper tries the listener from the namespace first, and
  // holds what it reached for a while, as a peer racing the engine would.
  const fs::path probe = work_.path() / "probe";
  const fs::path wrapper = work_.path() / "engine.sh";
  std::ofstream(wrapper)
      << "#!/bin/sh\n"
         "port=\n"
         "for word in \"$@\"; do\n"
         "  case \"$word\" in -ParentNode=*) port=$(echo \"$word\" | cut -d: -f2) ;; esac\n"
         "done\n"
         "if ip netns exec "
      << space.Name() << " timeout 5 bash -c \"exec 3<>/dev/tcp/" << space.HostAddress()
      << "/$port && sleep 2\" 2>/dev/null; then\n"
         "  echo reached > "
      << probe.string()
      << "\n"
         "else\n"
         "  echo refused > "
      << probe.string()
      << "\n"
         "fi\n"
         "exec "
      << VANTOR_ENGINE << " \"$@\"\n";
  ::chmod(wrapper.c_str(), 0755);

  vantor_scenario::FirstOrderOptions options;
  options.engine = Engine();
  options.engine.program = wrapper.string();
  options.engine.tcp = true;
  options.folder = Folder();
  options.edit = false;
  vantor_scenario::FirstOrderRun trace;
  EXPECT_TRUE(vantor_scenario::RunFirstOrder(options, &trace))
      << trace.failure << roadtest::Lines(trace);
  EXPECT_TRUE(vantor_scenario::WithinTolerance(trace));
  EXPECT_EQ(testsupport::ReadFileBytes(probe), "refused\n");
}

}  // namespace
