// The byte-stream interface shared by files and connections: the segment
// reader and writer move frames through it without knowing what is behind.
#pragma once

#include <cstdint>

#include "platform/status.h"

class XosBaseIO {
 public:
  // What kind of stream a reader deals with: a byte stream may deliver a
  // frame in any number of pieces, a packet stream delivers whole frames.
  enum Kind : std::int32_t { kNone = 0, kByteStream = 1, kPacketStream = 2 };

  // Writes up to count bytes; written says how many went out.
  virtual Status Write(const void* buffer, std::uint32_t count, std::uint32_t* written) = 0;
  // Reads up to count bytes; read says how many arrived (0 when none are
  // available now, which is no failure).
  virtual Status Read(void* buffer, std::uint32_t count, std::uint32_t* read) = 0;
  virtual std::int32_t StreamKind() = 0;
  virtual ~XosBaseIO() = default;
};
