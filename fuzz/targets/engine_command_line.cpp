// The engine's command line as its controller reads it: the words after the
// program's name, split at NUL bytes. Each run starts again in the scratch
// folder, since a working-folder item enters the folder it names.
#include <unistd.h>

#include <string>
#include <vector>

#include "framework/servers/controller.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantor_fuzz::InstallQuietCollector();
  static const std::string home = vantor_fuzz::ScratchFolder();
  if (::chdir(home.c_str()) != 0) return 0;
  const std::vector<std::string> words = vantor_fuzz::SplitAtNul(data, size);
  std::vector<const char*> argv{"vantor"};
  for (const std::string& word : words) argv.push_back(word.c_str());
  Status status = 0;
  DseController controller(static_cast<std::int32_t>(argv.size()), argv.data(), "vantor.cfg",
                           &status);
  return 0;
}
