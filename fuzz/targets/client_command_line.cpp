// vantor-client's command line: the words, split at NUL bytes.
#include "fuzz/fuzz_support.h"
#include "tools/cli/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantor_cli::CommandLine line;
  vantor_cli::ReadCommandLine(vantor_fuzz::SplitAtNul(data, size), &line);
  return 0;
}
