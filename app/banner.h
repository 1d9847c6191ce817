// The start-up banner of the engine.
#pragma once

#include <string>

namespace vantor_app {

inline constexpr int kVersionMajor = 38;
inline constexpr int kVersionMinor = 0;

// "vantor.exe (Version 38.0) built on Sep  4 2020 at 05:46:42"
std::string BannerText();

}  // namespace vantor_app
