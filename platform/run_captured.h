// Running a command with its output captured as text lines, in place of
// a shell pipe: the child gets its own working folder, an empty signal
// mask and default dispositions, so a build neither changes this process's
// folder nor inherits the signals the engine blocks for its own threads.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Splits bytes into lines as a line reader with a 1024-byte buffer does:
// each piece ends at a line break (kept) or after 1023 characters; the
// rest is handed out by Finish.
class OutputLines {
 public:
  static constexpr std::size_t kMaxLine = 1023;
  using Sink = std::function<void(const std::string&)>;

  void Feed(std::string_view bytes, const Sink& sink);
  void Finish(const Sink& sink);

 private:
  std::string pending_;
};

// Starts argv (argv[0] searched along PATH when it has no folder) in the
// folder (the current one when empty), passes every output line of its
// standard output to on_line, and waits for it. Its standard input is the
// input descriptor read from its start (a script the caller made and
// still holds), or /dev/null when input is -1. The kept descriptors (each
// above standard error) stay open in it under their numbers. True with
// *exit_code (the exit status, or 128 + the signal that ended it) once it
// has run; false with *error (an errno value) when it could not be started.
// The child gets the environment given ("NAME=value" settings), else this
// process's.
bool RunCaptured(const std::vector<std::string>& argv, const std::string& folder,
                 const OutputLines::Sink& on_line, int* exit_code, int* error, int input = -1,
                 const std::vector<int>& kept = {},
                 const std::vector<std::string>* environment = nullptr);

}  // namespace platform
