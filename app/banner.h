// The start-up banner of the engine, and what it says when asked for help.
#pragma once

#include <string>

namespace vantor_app {

inline constexpr int kVersionMajor = 38;
inline constexpr int kVersionMinor = 0;

// "vantor.exe (Version 38.0) built on Sep  4 2020 at 05:46:42"
std::string BannerText();

// How the engine is started; printed for "--help" or "-h".
extern const char* const kUsage;
// Whether the command line asks for the usage.
bool AsksForHelp(int argc, const char* const* argv);

}  // namespace vantor_app
