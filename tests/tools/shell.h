// Shell commands for the road tests that run the scripts and programs as a
// user types them.
#pragma once

#include <stdio.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>

namespace roadtest {

// Runs a shell command; its exit code (-1 when it did not exit) and what it
// printed on standard output (standard error too when asked).
inline int RunShell(const std::string& command, std::string* printed, bool errors = false) {
  FILE* pipe = ::popen((command + (errors ? " 2>&1" : " 2>/dev/null")).c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) *printed += buffer;
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The path in single quotes. Built by appending: GCC 12 at -O3 warns
// falsely on "'" + string + "'".
inline std::string ShellPath(const std::filesystem::path& path) {
  std::string quoted = "'";
  quoted.append(path.string()).push_back('\'');
  return quoted;
}

}  // namespace roadtest
