// The stream through which every handler writes and reads a message body.
// All values are little-endian; a "place" is an address inside the body that
// a Reserve operation handed out. The message class of the messaging
// framework is the implementation; foundation code sees only this.
#pragma once

#include <cstdint>

#include "platform/status.h"

class BvuBinaryStream {
 public:
  // Writers: 0, or 0x80000007 when no memory is left for the body.
  virtual Status PutUInt8(std::uint8_t value) = 0;
  virtual Status PutInt8(std::int8_t value) = 0;
  virtual Status PutChar(char value) = 0;
  // Writes at a place reserved before; the cursor stays. 0x8000FFFF for null.
  virtual Status PatchUInt16(std::uint8_t* place, std::uint16_t value) = 0;
  virtual Status PutUInt16(std::uint16_t value) = 0;
  // Two zero bytes; their place, or null without memory.
  virtual std::uint8_t* ReserveUInt16() = 0;
  virtual Status PatchUInt24(std::uint8_t* place, std::uint32_t value) = 0;
  virtual Status PutUInt24(std::uint32_t value) = 0;
  virtual std::uint8_t* ReserveUInt24() = 0;
  virtual Status PutUInt32(std::uint32_t value) = 0;
  virtual Status PutUInt64(std::uint64_t value) = 0;
  virtual Status PutFloat(float value) = 0;
  virtual Status PutDouble(double value) = 0;
  // 24-bit length (bytes including the NUL; 0 for null), the bytes, the NUL.
  virtual Status PutString(const char* text) = 0;
  // 16-bit length, bytes and NUL, whole in one segment; the number of bytes
  // written after the length.
  virtual Status PutCString(const char* text) = 0;

  // Readers: 0, or 0x8000FFFF past the end of the body.
  virtual Status GetUInt8(std::uint8_t* value) = 0;
  virtual Status GetByteAsUInt32(std::uint32_t* value) = 0;
  virtual Status GetUInt16(std::uint16_t* value) = 0;
  virtual Status GetUInt24(std::uint32_t* value) = 0;
  virtual Status GetUInt32(std::uint32_t* value) = 0;
  virtual Status GetUInt64(std::uint64_t* value) = 0;
  // 1 when read, 0 (value zeroed) when fewer bytes remain, 0x8000FFFF past
  // the end.
  virtual Status GetFloatAsDouble(double* value) = 0;
  virtual Status TryGet4(void* target) = 0;
  virtual Status TryGet8(void* target) = 0;
  // 24-bit-length string into the caller's buffer of `size` bytes, always
  // terminated; the length, or 0xA000FFFF when it does not fit.
  virtual Status GetStringInto(char* buffer, std::uint32_t size) = 0;
  // Into a new buffer the caller frees with delete[] (null for length 0);
  // the length.
  virtual Status GetStringNew(char** text) = 0;
  // 16-bit-length forms of the two above.
  virtual Status GetShortStringInto(char* buffer, std::uint32_t size) = 0;
  virtual Status GetShortStringNew(char** text) = 0;

  // Truncates the body at a place; 0x80000015 when no segment holds it.
  virtual Status Seek(std::uint8_t* place) = 0;
  virtual std::uint8_t* Tell() = 0;

 protected:
  ~BvuBinaryStream() = default;
};
