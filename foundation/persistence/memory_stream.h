// Virtual streams over memory, in the text form of the engine's ASCII value
// stream: numbers as decimal text each followed by one blank ("%u " unsigned,
// "%d " signed, "%.8g " float, "%.16g " double), characters, byte runs and
// C strings (with their NUL) as raw bytes. The input stream parses exactly
// that form, so anything written by such a stream reads back. Used where a
// stream is needed without a file: tests, and copies of object graphs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#include "foundation/persistence/text_out_stream.h"
#include "foundation/persistence/virtual_stream.h"

class ClMemoryOutStream : public ClTextOutStream {
 public:
  // `limit` bounds the bytes the sink takes; a write that does not fit is
  // refused whole and sets the bad bit, as a full disk would.
  explicit ClMemoryOutStream(std::size_t limit = std::numeric_limits<std::size_t>::max())
      : limit_(limit) {}

  const std::string& Text() const { return text_; }

 protected:
  void Write(const void* bytes, std::size_t count) override;

 private:
  std::string text_;
  std::size_t limit_;
};

class ClMemoryInStream : public Clvistream {
 public:
  explicit ClMemoryInStream(std::string text) : text_(std::move(text)) {}

  // Bytes consumed so far.
  std::size_t Position() const { return pos_; }

  bool GetBytes(char* bytes, std::size_t count) override;
  bool GetU16(std::uint16_t& value) override;
  bool GetI16(std::int16_t& value) override;
  bool GetU32(std::uint32_t& value) override;
  bool GetI32(std::int32_t& value) override;
  bool GetULong(std::uint32_t& value) override;
  bool GetLong(std::int32_t& value) override;
  bool GetFloat(float& value) override;
  bool GetDouble(double& value) override;
  bool GetChar(char& value) override;
  bool GetUChar(unsigned char& value) override;
  bool GetString(char* text, std::size_t capacity) override;
  bool GetDoubles(double* values, std::size_t count) override;
  bool GetFloats(float* values, std::size_t count) override;
  bool GetU32s(std::uint32_t* values, std::size_t count) override;
  bool GetI32s(std::int32_t* values, std::size_t count) override;
  bool GetULongs(std::uint32_t* values, std::size_t count) override;
  bool GetLongs(std::int32_t* values, std::size_t count) override;
  bool GetU16s(std::uint16_t* values, std::size_t count) override;
  bool GetI16s(std::int16_t* values, std::size_t count) override;
  bool GetSignedBytes(signed char* bytes, std::size_t count) override;
  bool GetSignedChar(signed char& value) override;
  bool GetUnsignedBytes(unsigned char* bytes, std::size_t count) override;
  bool GetByte(std::uint8_t& value) override;

 private:
  bool Read(void* bytes, std::size_t count);
  // The text of one number up to its blank, which is consumed.
  bool ReadToken(std::string& token);
  bool ReadUnsigned(std::uint32_t max, std::uint32_t& value);
  bool ReadSigned(std::int32_t min, std::int32_t max, std::int32_t& value);
  template <typename T>
  bool ReadReal(T (*parse)(const char*, char**), T& value);
  bool ReadDouble(double& value);
  bool ReadFloat(float& value);
  bool Refuse(std::uint32_t bits);

  std::string text_;
  std::size_t pos_ = 0;
};
