// The virtual-stream family through which collectables save and restore their
// bodies: a state word (Clvios) and one operation per primitive kind on the
// output (Clvostream) and input (Clvistream) side. How a primitive looks in
// the stream is the concrete stream's own matter. Owned by whoever made it.
#pragma once

#include <cstddef>
#include <cstdint>

// The state word of a stream: 0 is good.
class Clvios {
 public:
  static constexpr std::uint32_t kEofBit = 1;
  static constexpr std::uint32_t kFailBit = 2;
  static constexpr std::uint32_t kBadBit = 4;

  virtual ~Clvios() = default;
  virtual std::uint32_t Eof() const { return state_ & kEofBit; }
  virtual std::uint32_t Fail() const { return state_ & kFailBit; }
  virtual std::uint32_t Bad() const { return state_ & kBadBit; }
  virtual bool Good() const { return state_ == 0; }
  virtual std::uint32_t ReadState() const { return state_; }
  // Sets the state word (0 makes the stream good again).
  virtual void Clear(std::uint32_t state = 0) { state_ = state; }

 protected:
  void AddState(std::uint32_t bits) { state_ |= bits; }

 private:
  std::uint32_t state_ = 0;
};

// Output side. Windows "long" values are 32-bit, hence the fixed widths of
// the long entries. A failed write of the sink sets the bad bit; later puts
// are still accepted.
class Clvostream : public Clvios {
 public:
  virtual void PutBytes(const char* bytes, std::size_t count) = 0;
  virtual void PutU16(std::uint16_t value) = 0;
  virtual void PutI16(std::int16_t value) = 0;
  virtual void PutU32(std::uint32_t value) = 0;
  virtual void PutI32(std::int32_t value) = 0;
  virtual void PutULong(std::uint32_t value) = 0;
  virtual void PutLong(std::int32_t value) = 0;
  virtual void PutFloat(float value) = 0;
  virtual void PutDouble(double value) = 0;
  virtual void PutChar(char value) = 0;
  virtual void PutUChar(unsigned char value) = 0;
  // The text and its terminating NUL.
  virtual void PutString(const char* text) = 0;
  virtual void PutDoubles(const double* values, std::size_t count) = 0;
  virtual void PutFloats(const float* values, std::size_t count) = 0;
  virtual void PutU32s(const std::uint32_t* values, std::size_t count) = 0;
  virtual void PutI32s(const std::int32_t* values, std::size_t count) = 0;
  virtual void PutULongs(const std::uint32_t* values, std::size_t count) = 0;
  virtual void PutLongs(const std::int32_t* values, std::size_t count) = 0;
  virtual void PutU16s(const std::uint16_t* values, std::size_t count) = 0;
  virtual void PutI16s(const std::int16_t* values, std::size_t count) = 0;
  virtual void PutSignedBytes(const signed char* bytes, std::size_t count) = 0;
  virtual void PutSignedChar(signed char value) = 0;
  virtual void PutUnsignedBytes(const unsigned char* bytes, std::size_t count) = 0;
  virtual void PutByte(std::uint8_t value) = 0;
};

// Input side: reads what the matching output operation wrote. Each answers
// true when the value was read; otherwise the state holds the fail bit (and
// the end bit when the input ran out) and the target keeps what it held.
class Clvistream : public Clvios {
 public:
  virtual bool GetBytes(char* bytes, std::size_t count) = 0;
  virtual bool GetU16(std::uint16_t& value) = 0;
  virtual bool GetI16(std::int16_t& value) = 0;
  virtual bool GetU32(std::uint32_t& value) = 0;
  virtual bool GetI32(std::int32_t& value) = 0;
  virtual bool GetULong(std::uint32_t& value) = 0;
  virtual bool GetLong(std::int32_t& value) = 0;
  virtual bool GetFloat(float& value) = 0;
  virtual bool GetDouble(double& value) = 0;
  virtual bool GetChar(char& value) = 0;
  virtual bool GetUChar(unsigned char& value) = 0;
  // Up to and including the NUL into a buffer of `capacity` bytes, always
  // terminated; a text that does not fit fails the stream.
  virtual bool GetString(char* text, std::size_t capacity) = 0;
  virtual bool GetDoubles(double* values, std::size_t count) = 0;
  virtual bool GetFloats(float* values, std::size_t count) = 0;
  virtual bool GetU32s(std::uint32_t* values, std::size_t count) = 0;
  virtual bool GetI32s(std::int32_t* values, std::size_t count) = 0;
  virtual bool GetULongs(std::uint32_t* values, std::size_t count) = 0;
  virtual bool GetLongs(std::int32_t* values, std::size_t count) = 0;
  virtual bool GetU16s(std::uint16_t* values, std::size_t count) = 0;
  virtual bool GetI16s(std::int16_t* values, std::size_t count) = 0;
  virtual bool GetSignedBytes(signed char* bytes, std::size_t count) = 0;
  virtual bool GetSignedChar(signed char& value) = 0;
  virtual bool GetUnsignedBytes(unsigned char* bytes, std::size_t count) = 0;
  virtual bool GetByte(std::uint8_t& value) = 0;
};
