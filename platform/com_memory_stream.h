// A COM stream on memory: the part of IStream that the engine writes text
// through (Write), with the bytes read back by the stream's maker. Stands
// where Windows code makes a stream on global memory and locks its handle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#include "platform/com_status.h"
#include "platform/unknown.h"

namespace platform {

inline constexpr IID IID_ISequentialStream = MakeGuid("{0C733A30-2A1C-11CE-ADE5-00AA0044773D}");
inline constexpr IID IID_IStream = MakeGuid("{0000000C-0000-0000-C000-000000000046}");

inline constexpr Status STG_E_MEDIUMFULL = 0x80030070u;

class IStream : public IUnknown {
 public:
  // Writes count bytes at the end; *written (when asked for) gets the count
  // taken. A write that does not fit takes nothing.
  virtual Status Write(const void* bytes, std::uint32_t count, std::uint32_t* written) = 0;

 protected:
  ~IStream() = default;
};

// A new memory stream with one reference, holding at most `limit` bytes (a
// write beyond answers STG_E_MEDIUMFULL, as a full disk would). E_POINTER
// for a null target.
Status CreateMemoryStream(IStream** stream,
                          std::size_t limit = std::numeric_limits<std::size_t>::max());
// The bytes written so far into a stream made by CreateMemoryStream;
// E_INVALIDARG for any other stream.
Status GetMemoryStreamBytes(IStream* stream, std::string* bytes);

}  // namespace platform
