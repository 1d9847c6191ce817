// ACLs put on a test's folders with the system's own setfacl (package acl),
// so that what the engine reads is what the system's tool wrote.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace testsupport {

// Runs setfacl with the options on the path: empty when done, else what it
// said. *unsupported is set when that is a reason to skip: no setfacl, or
// a file system that keeps no ACLs.
inline std::string SetAcl(const std::string& options, const std::filesystem::path& path,
                          bool* unsupported) {
  std::string quoted = "'";
  for (char c : path.string()) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  quoted += "'";
  FILE* pipe = ::popen(("setfacl " + options + " " + quoted + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return "setfacl could not be started";
  std::string said;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) said += buffer;
  const int status = ::pclose(pipe);
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (code == 0) return {};
  *unsupported = code == 127 || said.find("not supported") != std::string::npos;
  if (code == 127) return "setfacl is not installed (package acl)";
  return "setfacl " + options + " " + path.string() + ": " + (said.empty() ? "failed" : said);
}

}  // namespace testsupport
