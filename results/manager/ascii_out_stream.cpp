#include "results/manager/ascii_out_stream.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

CSUAsciiOutStream::CSUAsciiOutStream(platform::IStream* stream) : stream_(stream), buffer_{} {
  if (stream_ != nullptr) stream_->AddRef();
}

CSUAsciiOutStream::~CSUAsciiOutStream() {
  if (stream_ != nullptr) stream_->Release();
}

void CSUAsciiOutStream::Write(const void* bytes, std::size_t count) {
  if (count == 0) return;
  if (stream_ == nullptr) {
    AddState(kBadBit);
    return;
  }
  // The sink takes 32-bit counts; a longer run goes in pieces.
  const auto* at = static_cast<const char*>(bytes);
  while (count > 0) {
    const std::uint32_t piece = count > std::numeric_limits<std::uint32_t>::max()
                                    ? std::numeric_limits<std::uint32_t>::max()
                                    : static_cast<std::uint32_t>(count);
    std::uint32_t written = 0;
    if (status::IsFailure(stream_->Write(at, piece, &written)) || written != piece) {
      AddState(kBadBit);
      return;
    }
    at += piece;
    count -= piece;
  }
}

void CSUAsciiOutStream::Format(const char* format, ...) {
  std::memset(buffer_, 0, sizeof buffer_);
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(buffer_, sizeof buffer_, format, arguments);
  va_end(arguments);
  if (length < 0) {
    AddState(kFailBit);
    return;
  }
  Write(buffer_, std::strlen(buffer_));
}

void CSUAsciiOutStream::PutBytes(const char* bytes, std::size_t count) { Write(bytes, count); }
void CSUAsciiOutStream::PutU16(std::uint16_t value) { Format("%u ", unsigned{value}); }
void CSUAsciiOutStream::PutI16(std::int16_t value) { Format("%d ", int{value}); }
void CSUAsciiOutStream::PutU32(std::uint32_t value) { Format("%u ", value); }
void CSUAsciiOutStream::PutI32(std::int32_t value) { Format("%d ", value); }
void CSUAsciiOutStream::PutULong(std::uint32_t value) { Format("%u ", value); }
void CSUAsciiOutStream::PutLong(std::int32_t value) { Format("%d ", value); }
void CSUAsciiOutStream::PutFloat(float value) { Format("%.8g ", static_cast<double>(value)); }
void CSUAsciiOutStream::PutDouble(double value) { Format("%.16g ", value); }
void CSUAsciiOutStream::PutChar(char value) { Write(&value, 1); }
void CSUAsciiOutStream::PutUChar(unsigned char value) { Write(&value, 1); }

void CSUAsciiOutStream::PutString(const char* text) {
  if (text == nullptr) text = "";
  Write(text, std::strlen(text) + 1);
}

void CSUAsciiOutStream::PutDoubles(const double* values, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) PutDouble(values[i]);
}
void CSUAsciiOutStream::PutFloats(const float* values, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) PutFloat(values[i]);
}
void CSUAsciiOutStream::PutU32s(const std::uint32_t* values, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) PutU32(values[i]);
}
void CSUAsciiOutStream::PutI32s(const std::int32_t* values, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) PutI32(values[i]);
}
void CSUAsciiOutStream::PutULongs(const std::uint32_t* values, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) PutULong(values[i]);
}
void CSUAsciiOutStream::PutLongs(const std::int32_t* values, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) PutLong(values[i]);
}
void CSUAsciiOutStream::PutU16s(const std::uint16_t* values, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) PutU16(values[i]);
}
void CSUAsciiOutStream::PutI16s(const std::int16_t* values, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) PutI16(values[i]);
}
void CSUAsciiOutStream::PutSignedBytes(const signed char* bytes, std::size_t count) {
  Write(bytes, count);
}
void CSUAsciiOutStream::PutSignedChar(signed char value) { Write(&value, 1); }
void CSUAsciiOutStream::PutUnsignedBytes(const unsigned char* bytes, std::size_t count) {
  Write(bytes, count);
}
void CSUAsciiOutStream::PutByte(std::uint8_t value) { Write(&value, 1); }
