// A child engine process that this process started: on this machine as a
// local process, or on another one through its remote-execution service
// (then the XosVirtualConnection of that start is kept here). The
// DseProcess record of the child owns it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/status.h"

class XosComputeNode;
class XosVirtualConnection;

class XosProcess {
 public:
  // Start flags.
  static constexpr std::uint32_t kVisible = 1;
  static constexpr std::uint32_t kDebugged = 32;

  XosProcess() = default;
  // Releases the handles; a child still running is left running.
  ~XosProcess();
  XosProcess(const XosProcess&) = delete;
  XosProcess& operator=(const XosProcess&) = delete;

  // Starts the program with its arguments on the node: on this machine (a
  // null or local node) through CreateLocalProcess, on another one through
  // remote execution; display names the machine whose screen shows a
  // remote process (empty: none). The remote shell and DCOM methods are not
  // supported (0x80000028).
  Status Create(XosComputeNode* node, const char* program, const char* arguments, const char* name,
                std::uint32_t start_flags, const char* display);
  // Starts the program in its own folder with the command line
  // LocalCommandLine gives; 0x8000FFFF when it cannot be started.
  Status CreateLocalProcess(const char* program, const char* arguments, std::uint32_t start_flags);
  // Kills a local child and waits for it; closes the stream of a remote one.
  Status Terminate();

  // The child's output channel: for a remote child its stream, for a local
  // one no output, and 0x80000035 once the child has ended.
  Status ReadOutput(void* buffer, std::uint32_t count, std::uint32_t* read);

  // "<debugger> " when debugged ($XOS_DEBUGGER, else "gdb --args "), the
  // program in double quotes, a blank and the arguments.
  static std::string LocalCommandLine(const std::string& program, const std::string& arguments,
                                      std::uint32_t start_flags);
  // The program and its arguments, under the debugger of the node's system
  // when debugged ("msdev ", "dbx " with ".out" after the program, "debug "),
  // and under "xterm -display <display>:0.0 -e " when a display is given.
  static std::string RemoteCommandLine(const XosComputeNode& node, const std::string& program,
                                       const std::string& arguments, std::uint32_t start_flags,
                                       const std::string& display);

  int ProcessId() const { return pid_; }
  // The exit code of a local child once it is known to have ended (its
  // output channel said so, or it was terminated); -1 when unknown.
  int ExitCode() const { return ended_ ? exit_code_ : -1; }
  const std::string& Name() const { return name_; }
  XosComputeNode* Node() const { return node_; }
  XosVirtualConnection* RemoteConnection() const { return remote_; }

 private:
  int pid_ = -1;
  bool ended_ = false;
  int exit_code_ = 0;
  std::string name_;
  XosComputeNode* node_ = nullptr;
  XosVirtualConnection* remote_ = nullptr;
};
