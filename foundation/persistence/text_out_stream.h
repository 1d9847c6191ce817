// The output side of the engine's ASCII value stream, over any byte sink:
// numbers as decimal text each followed by one blank ("%u " unsigned, "%d "
// signed, "%.8g " float, "%.16g " double), characters, byte runs and C
// strings (with their NUL) as raw bytes. A sink only says how bytes go out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/persistence/virtual_stream.h"

class ClTextOutStream : public Clvostream {
 public:
  void PutBytes(const char* bytes, std::size_t count) override;
  void PutU16(std::uint16_t value) override;
  void PutI16(std::int16_t value) override;
  void PutU32(std::uint32_t value) override;
  void PutI32(std::int32_t value) override;
  void PutULong(std::uint32_t value) override;
  void PutLong(std::int32_t value) override;
  void PutFloat(float value) override;
  void PutDouble(double value) override;
  void PutChar(char value) override;
  void PutUChar(unsigned char value) override;
  void PutString(const char* text) override;
  void PutDoubles(const double* values, std::size_t count) override;
  void PutFloats(const float* values, std::size_t count) override;
  void PutU32s(const std::uint32_t* values, std::size_t count) override;
  void PutI32s(const std::int32_t* values, std::size_t count) override;
  void PutULongs(const std::uint32_t* values, std::size_t count) override;
  void PutLongs(const std::int32_t* values, std::size_t count) override;
  void PutU16s(const std::uint16_t* values, std::size_t count) override;
  void PutI16s(const std::int16_t* values, std::size_t count) override;
  void PutSignedBytes(const signed char* bytes, std::size_t count) override;
  void PutSignedChar(signed char value) override;
  void PutUnsignedBytes(const unsigned char* bytes, std::size_t count) override;
  void PutByte(std::uint8_t value) override;

 protected:
  // Sends the bytes to the sink; a failed write marks the stream bad.
  virtual void Write(const void* bytes, std::size_t count) = 0;

 private:
  void Format(const char* format, ...) __attribute__((format(printf, 2, 3)));
};
