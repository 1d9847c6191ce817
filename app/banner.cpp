#include "app/banner.h"

#include <cstring>

namespace vantor_app {

std::string BannerText() {
  // __DATE__ and __TIME__ already have the forms the banner shows ("Sep  4 2020",
  // "05:46:42").
  return "vantor.exe (Version " + std::to_string(kVersionMajor) + "." +
         std::to_string(kVersionMinor) + ") built on " __DATE__ " at " __TIME__;
}

const char* const kUsage =
    "Usage: vantor -ChildNo=N [-ParentNode=NODE:PORT:HOST] [-DefDir=FOLDER] [-SessionId=N]\n"
    "The simulation engine. A client starts it as its child N and drives it by\n"
    "messages over the named-pipe pair in $VANTOR_PIPE_DIR (over TCP with\n"
    "-ParentNode); -DefDir names the folder it starts in. On its own it has no\n"
    "client to serve: run it through vantor-client (see vantor-client --help),\n"
    "for example vantor-client vantor first-order FOLDER.\n";

bool AsksForHelp(int argc, const char* const* argv) {
  for (int i = 1; i < argc && argv != nullptr; ++i) {
    if (argv[i] != nullptr &&
        (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0))
      return true;
  }
  return false;
}

}  // namespace vantor_app
