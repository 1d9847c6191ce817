// Reading vantor-client's command line: the options, the engine and the
// steps, all read before the engine starts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/client.h"

namespace vantor_cli {

extern const char* const kUsage;

struct Step {
  enum Kind { kRequest, kCommand, kListen, kFirstOrder, kRobertson } kind = kRequest;
  std::uint32_t type = 0;
  std::uint32_t number = 0;  // the command's number, or how long to listen
  std::vector<std::int32_t> integers;
  std::vector<std::string> texts;  // a command's texts, in order
  vantor_client::Bytes body;
};

struct CommandLine {
  vantor_client::EngineOptions options;
  std::vector<Step> steps;
};

// The words after the program name: 0 when read, -1 when the usage was
// asked for (and printed on standard output), else the exit status of a bad
// command line after saying on standard error what is wrong.
int ReadCommandLine(const std::vector<std::string>& words, CommandLine* line);

// The FOLDER of the first-order step made absolute against the current
// folder, and made when it is missing but its parent is there: false, with
// *why saying what is wrong, for a missing parent or a path that is no folder.
// *made (when given) tells whether it was made here.
bool MakeWorkingFolder(const std::string& given, std::string* folder, std::string* why,
                       bool* made = nullptr);

}  // namespace vantor_cli
