// The process configuration file, read from a file as the engine reads it.
#include <cstdio>
#include <string>

#include "framework/processes/process_manager.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantor_fuzz::InstallQuietCollector();
  static const std::string file = vantor_fuzz::ScratchFolder() + "/process.cfg";
  std::FILE* out = std::fopen(file.c_str(), "wb");
  if (out == nullptr) return 0;
  if (size > 0) std::fwrite(data, 1, size, out);
  std::fclose(out);
  DseProcessManager manager(nullptr);
  manager.ReadConfiguration(file.c_str());
  for (BvuListElem* e = manager.Processes().first; e != nullptr; e = e->next) {
    manager.ChildCommandLine(*static_cast<DseProcess*>(e), 5000);
  }
  return 0;
}
