#include "framework/processes/child_engine.h"

#include <cstdio>
#include <cstdlib>

#include "framework/connections/io_status.h"
#include "framework/connections/virtual_connection.h"
#include "framework/processes/compute_node.h"
#include "platform/child_process.h"

namespace {

// The program path with '\' read as the folder separator.
std::string ProgramPath(const char* program) {
  std::string path = program != nullptr ? program : "";
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

}  // namespace

XosProcess::~XosProcess() { delete remote_; }

std::string XosProcess::LocalCommandLine(const std::string& program, const std::string& arguments,
                                         std::uint32_t start_flags) {
  std::string line;
  if ((start_flags & kDebugged) != 0) {
    const char* debugger = std::getenv("XOS_DEBUGGER");
    line = debugger != nullptr ? std::string(debugger) + " " : "gdb --args ";
  }
  line += "\"" + program + "\" " + arguments;
  return line;
}

std::string XosProcess::RemoteCommandLine(const XosComputeNode& node, const std::string& program,
                                          const std::string& arguments, std::uint32_t start_flags,
                                          const std::string& display) {
  const bool debugged = (start_flags & kDebugged) != 0;
  std::string line;
  if (!display.empty()) {
    line = "xterm -display " + display + (debugged ? ":0.0  -e " : ":0.0 -e ");
  }
  std::string target = program;
  if (debugged) {
    switch (node.os_kind) {
      case XosComputeNode::kWindowsNT:
      case XosComputeNode::kWindows9x:
        line += "msdev ";
        break;
      case XosComputeNode::kUnix:
        line += "dbx ";
        target += ".out";
        break;
      default:
        line += "debug ";
        break;
    }
  }
  return line + target + " " + arguments;
}

Status XosProcess::Create(XosComputeNode* node, const char* program, const char* arguments,
                          const char* name, std::uint32_t start_flags, const char* display) {
  node_ = node;
  name_ = name != nullptr ? name : "";
  if (node == nullptr || node->IsLocal()) {
    return CreateLocalProcess(program, arguments, start_flags);
  }
  if (node->method != XosComputeNode::kRemoteExecution) return status::kNotSupported;
  const std::string line = RemoteCommandLine(*node, program != nullptr ? program : "",
                                             arguments != nullptr ? arguments : "", start_flags,
                                             display != nullptr ? display : "");
  Status result = status::kOk;
  delete remote_;
  remote_ = new XosVirtualConnection(*node, this, line, &result);
  return result;
}

Status XosProcess::CreateLocalProcess(const char* program, const char* arguments,
                                      std::uint32_t start_flags) {
  const std::string located = platform::LocateProgram(ProgramPath(program));
  const std::string line =
      LocalCommandLine(located, arguments != nullptr ? arguments : "", start_flags);
  int error = 0;
  const int pid =
      platform::SpawnProcess(platform::SplitCommandLine(line), platform::FolderOf(located), &error);
  if (pid < 0) {
    std::fprintf(stderr, "XosProcess::CreateLocalProcess, Process Create failed with code : %d\n",
                 error);
    return status::kUnhandled;
  }
  pid_ = pid;
  ended_ = false;
  return status::kOk;
}

Status XosProcess::Terminate() {
  if (pid_ > 0 && !ended_) {
    platform::KillChild(pid_, &exit_code_);
    ended_ = true;
  }
  delete remote_;
  remote_ = nullptr;
  return status::kOk;
}

Status XosProcess::ReadOutput(void* buffer, std::uint32_t count, std::uint32_t* read) {
  *read = 0;
  if (remote_ != nullptr) return remote_->Read(buffer, count, read);
  if (pid_ <= 0) return status::kPeerGone;
  if (!ended_) ended_ = platform::ChildHasEnded(pid_, &exit_code_);
  return ended_ ? status::kPeerGone : status::kOk;
}
