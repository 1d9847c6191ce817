#include "foundation/messages/status_and_msg.h"

#include <cstdio>
#include <cstring>

namespace {

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

BvuStatusAndMsg::BvuStatusAndMsg(Status status, const char* format, const char* text1,
                                 const char* text2, const char* text3, const char* text4)
    : status_(status) {
  format = OrEmpty(format);
  const char* args[4] = {OrEmpty(text1), OrEmpty(text2), OrEmpty(text3), OrEmpty(text4)};
  std::size_t size = std::strlen(format) + 1;
  for (const char* a : args) size += std::strlen(a);
  if (args[0][0] == '\0') {
    text_ = new char[size];
    std::memcpy(text_, format, std::strlen(format) + 1);
    return;
  }
  // The sum of the lengths holds any "%s" expansion; a width in the format
  // can ask for more, so the buffer grows to what the format needs.
  const int needed = std::snprintf(nullptr, 0, format, args[0], args[1], args[2], args[3]);
  if (needed >= 0 && static_cast<std::size_t>(needed) + 1 > size) {
    size = static_cast<std::size_t>(needed) + 1;
  }
  text_ = new char[size];
  if (needed < 0) {
    text_[0] = '\0';
    return;
  }
  std::snprintf(text_, size, format, args[0], args[1], args[2], args[3]);
}

BvuStatusAndMsg::~BvuStatusAndMsg() { delete[] text_; }
