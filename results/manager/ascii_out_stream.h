// The engine's ASCII value stream: every value as text into a COM stream,
// numbers in the engine's text form ("%u ", "%d ", "%.8g ", "%.16g ", each
// with its blank), bytes, characters and C strings (with their NUL) as they
// are. The snapshot text goes through it into a stream on memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/persistence/text_out_stream.h"
#include "platform/com_memory_stream.h"

class CSUAsciiOutStream : public ClTextOutStream {
 public:
  // Holds a reference to the stream while it lives.
  explicit CSUAsciiOutStream(platform::IStream* stream);
  ~CSUAsciiOutStream() override;
  CSUAsciiOutStream(const CSUAsciiOutStream&) = delete;
  CSUAsciiOutStream& operator=(const CSUAsciiOutStream&) = delete;

 protected:
  // A failed write marks the stream bad; later writes still go to the sink.
  void Write(const void* bytes, std::size_t count) override;

 private:
  platform::IStream* stream_;
};
