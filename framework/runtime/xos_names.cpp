#include "framework/runtime/xos_names.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr std::size_t kNameBufferSize = 1024;
}

const char* XosTrimName(const char* text, std::int32_t length) {
  // Per thread: the server and the run thread both hand names over.
  thread_local char buffer[kNameBufferSize];
  std::size_t n = 0;
  if (text != nullptr && length > 0) {
    n = std::min<std::size_t>(static_cast<std::size_t>(length), kNameBufferSize - 1);
    n = strnlen(text, n);
  }
  while (n > 0 && text[n - 1] == ' ') --n;
  std::memcpy(buffer, text == nullptr ? "" : text, n);
  buffer[n] = '\0';
  return buffer;
}
