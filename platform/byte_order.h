// Little-endian reads and writes of fixed-width integers: every file and wire
// layout of the engine is little-endian whatever the host.
#pragma once

#include <cstdint>
#include <cstring>

namespace platform {

inline void StoreLE16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

inline void StoreLE24(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
}

inline void StoreLE32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

inline void StoreLE64(unsigned char* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

inline std::uint16_t LoadLE16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t LoadLE24(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16);
}

inline std::uint32_t LoadLE32(const unsigned char* p) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

inline std::uint64_t LoadLE64(const unsigned char* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

inline void StoreLEFloat(unsigned char* p, float f) {
  std::uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  StoreLE32(p, bits);
}

inline float LoadLEFloat(const unsigned char* p) {
  const std::uint32_t bits = LoadLE32(p);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

inline void StoreLEDouble(unsigned char* p, double d) {
  std::uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  StoreLE64(p, bits);
}

inline double LoadLEDouble(const unsigned char* p) {
  const std::uint64_t bits = LoadLE64(p);
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

}  // namespace platform
