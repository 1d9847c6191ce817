// A message body over a plain byte array, so that a fuzz target can hand its
// input straight to a reader of a BvuBinaryStream, and a seed writer can
// collect what a writer puts: written at the end, read from a cursor, with the
// stream's statuses (0x8000FFFF past the end, 0xA000FFFF for a string that
// does not fit, 0x80000007 when full).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/persistence/binary_stream.h"

namespace vantor_fuzz {

class ByteStream : public BvuBinaryStream {
 public:
  // Places handed out stay valid: the body never moves, so it has a limit.
  explicit ByteStream(std::vector<std::uint8_t> body = {},
                      std::size_t limit = std::size_t{1} << 22);
  virtual ~ByteStream() = default;
  ByteStream(ByteStream&&) = default;
  ByteStream& operator=(ByteStream&&) = default;

  Status PutUInt8(std::uint8_t value) override;
  Status PutInt8(std::int8_t value) override;
  Status PutChar(char value) override;
  Status PatchUInt16(std::uint8_t* place, std::uint16_t value) override;
  Status PutUInt16(std::uint16_t value) override;
  std::uint8_t* ReserveUInt16() override;
  Status PatchUInt24(std::uint8_t* place, std::uint32_t value) override;
  Status PutUInt24(std::uint32_t value) override;
  std::uint8_t* ReserveUInt24() override;
  Status PutUInt32(std::uint32_t value) override;
  Status PutUInt64(std::uint64_t value) override;
  Status PutFloat(float value) override;
  Status PutDouble(double value) override;
  Status PutString(const char* text) override;
  Status PutCString(const char* text) override;

  Status GetUInt8(std::uint8_t* value) override;
  Status GetByteAsUInt32(std::uint32_t* value) override;
  Status GetUInt16(std::uint16_t* value) override;
  Status GetUInt24(std::uint32_t* value) override;
  Status GetUInt32(std::uint32_t* value) override;
  Status GetUInt64(std::uint64_t* value) override;
  Status GetFloatAsDouble(double* value) override;
  Status TryGet4(void* target) override;
  Status TryGet8(void* target) override;
  Status GetStringInto(char* buffer, std::uint32_t size) override;
  Status GetStringNew(char** text) override;
  Status GetShortStringInto(char* buffer, std::uint32_t size) override;
  Status GetShortStringNew(char** text) override;

  Status Seek(std::uint8_t* place) override;
  std::uint8_t* Tell() override;

  // Everything written (or given) so far.
  std::vector<std::uint8_t> Bytes() const { return {data_, data_ + size_}; }
  // How many bytes Bytes() would give, without the copy (a copy made only
  // to be measured trips GCC 12's free-nonheap-object check at -O2).
  std::size_t Size() const { return size_; }
  std::size_t Remaining() const { return size_ - read_at_; }
  void Rewind() { read_at_ = 0; }

 private:
  Status PutRaw(const void* bytes, std::size_t count);
  std::uint8_t* Reserve(std::size_t count);
  bool GetRaw(void* bytes, std::size_t count);
  Status GetText(std::uint32_t length, char* buffer, std::uint32_t size);

  // Not zeroed when made: only what is written is touched.
  std::unique_ptr<std::uint8_t[]> storage_;
  std::size_t limit_;
  std::uint8_t* data_;
  std::size_t size_ = 0;
  std::size_t read_at_ = 0;
};

}  // namespace vantor_fuzz
