#include "app/banner.h"

namespace vantor_app {

std::string BannerText() {
  // __DATE__ and __TIME__ already have the forms the banner shows ("Sep  4 2020",
  // "05:46:42").
  return "vantor.exe (Version " + std::to_string(kVersionMajor) + "." +
         std::to_string(kVersionMinor) + ") built on " __DATE__ " at " __TIME__;
}

}  // namespace vantor_app
