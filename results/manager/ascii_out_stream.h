// The engine's ASCII value stream: every value as text into a COM stream,
// numbers in the engine's text form ("%u ", "%d ", "%.8g ", "%.16g ", each
// with its blank), bytes, characters and C strings (with their NUL) as they
// are. The snapshot text goes through it into a stream on memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/persistence/virtual_stream.h"
#include "platform/com_memory_stream.h"

class CSUAsciiOutStream : public Clvostream {
 public:
  static constexpr std::size_t kBufferSize = 256;

  // Holds a reference to the stream while it lives.
  explicit CSUAsciiOutStream(platform::IStream* stream);
  ~CSUAsciiOutStream() override;
  CSUAsciiOutStream(const CSUAsciiOutStream&) = delete;
  CSUAsciiOutStream& operator=(const CSUAsciiOutStream&) = delete;

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

 private:
  // A failed write marks the stream bad; later writes still go to the sink.
  void Write(const void* bytes, std::size_t count);
  void Format(const char* format, ...) __attribute__((format(printf, 2, 3)));

  platform::IStream* stream_;
  char buffer_[kBufferSize];
};
