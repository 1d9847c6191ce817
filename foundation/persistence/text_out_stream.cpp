#include "foundation/persistence/text_out_stream.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

void ClTextOutStream::Format(const char* format, ...) {
  // Far longer than "%.16g " of any double.
  char buffer[256] = {};
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(buffer, sizeof buffer, format, arguments);
  va_end(arguments);
  if (length < 0) {
    AddState(kFailBit);
    return;
  }
  Write(buffer, std::strlen(buffer));
}

void ClTextOutStream::PutBytes(const char* bytes, std::size_t count) { Write(bytes, count); }
void ClTextOutStream::PutU16(std::uint16_t value) { Format("%u ", unsigned{value}); }
void ClTextOutStream::PutI16(std::int16_t value) { Format("%d ", int{value}); }
void ClTextOutStream::PutU32(std::uint32_t value) { Format("%u ", value); }
void ClTextOutStream::PutI32(std::int32_t value) { Format("%d ", value); }
void ClTextOutStream::PutULong(std::uint32_t value) { Format("%u ", value); }
void ClTextOutStream::PutLong(std::int32_t value) { Format("%d ", value); }
void ClTextOutStream::PutFloat(float value) { Format("%.8g ", static_cast<double>(value)); }
void ClTextOutStream::PutDouble(double value) { Format("%.16g ", value); }
void ClTextOutStream::PutChar(char value) { Write(&value, 1); }
void ClTextOutStream::PutUChar(unsigned char value) { Write(&value, 1); }

void ClTextOutStream::PutString(const char* text) {
  if (text == nullptr) text = "";
  Write(text, std::strlen(text) + 1);
}

void ClTextOutStream::PutDoubles(const double* values, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) PutDouble(values[i]);
}
void ClTextOutStream::PutFloats(const float* values, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) PutFloat(values[i]);
}
void ClTextOutStream::PutU32s(const std::uint32_t* values, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) PutU32(values[i]);
}
void ClTextOutStream::PutI32s(const std::int32_t* values, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) PutI32(values[i]);
}
void ClTextOutStream::PutULongs(const std::uint32_t* values, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) PutULong(values[i]);
}
void ClTextOutStream::PutLongs(const std::int32_t* values, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) PutLong(values[i]);
}
void ClTextOutStream::PutU16s(const std::uint16_t* values, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) PutU16(values[i]);
}
void ClTextOutStream::PutI16s(const std::int16_t* values, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) PutI16(values[i]);
}
void ClTextOutStream::PutSignedBytes(const signed char* bytes, std::size_t count) {
  Write(bytes, count);
}
void ClTextOutStream::PutSignedChar(signed char value) { Write(&value, 1); }
void ClTextOutStream::PutUnsignedBytes(const unsigned char* bytes, std::size_t count) {
  Write(bytes, count);
}
void ClTextOutStream::PutByte(std::uint8_t value) { Write(&value, 1); }
