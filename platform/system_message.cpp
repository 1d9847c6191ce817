#include "platform/system_message.h"

#include <cstdio>
#include <cstring>

#include "platform/com_status.h"

namespace platform {

namespace {

struct KnownText {
  Status status;
  const char* text;
};

constexpr KnownText kKnownTexts[] = {
    {E_NOTIMPL, "Not implemented"},
    {E_NOINTERFACE, "No such interface supported"},
    {E_POINTER, "Invalid pointer"},
    {E_FAIL, "Unspecified error"},
    {E_OUTOFMEMORY, "Not enough memory"},
    {E_INVALIDARG, "The parameter is incorrect"},
    {RPC_E_CHANGED_MODE, "Cannot change the thread's COM model after it is set"},
    {CLASS_E_NOAGGREGATION, "Class does not support aggregation"},
    {CLASS_E_CLASSNOTAVAILABLE, "The server library does not provide the class"},
    {REGDB_E_CLASSNOTREG, "Class not registered"},
    {CO_E_NOTINITIALIZED, "COM has not been initialized on this thread"},
    {CO_E_CLASSSTRING, "Invalid class string"},
    {CO_E_DLLNOTFOUND, "The server library of the class could not be loaded"},
    {CO_E_ERRORINDLL, "The server library of the class has no class objects"},
};

// errno values stay far below this; statuses with a facility or failure bit
// never reach it.
constexpr Status kLargestErrno = 0xFFFF;

constexpr std::uint32_t kSupportedFlags =
    FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | 0xFF;  // low byte: line width

}  // namespace

std::string SystemMessageText(Status status) {
  for (const KnownText& known : kKnownTexts) {
    if (known.status == status) return known.text;
  }
  if (status <= kLargestErrno) {
    if (const char* text = strerrordesc_np(static_cast<int>(status)); text != nullptr) {
      return text;
    }
  }
  char text[32];
  std::snprintf(text, sizeof text, "Unknown error 0x%08X", status);
  return text;
}

std::uint32_t FormatMessageA(std::uint32_t flags, const void* /*source*/, std::uint32_t message_id,
                             std::uint32_t /*language_id*/, char* buffer, std::uint32_t size,
                             void* /*arguments*/) {
  if (buffer == nullptr || size == 0) return 0;
  buffer[0] = '\0';
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || (flags & ~kSupportedFlags) != 0) return 0;
  const std::string text = SystemMessageText(message_id);
  const std::size_t copied = text.size() < size ? text.size() : size - 1;
  std::memcpy(buffer, text.data(), copied);
  buffer[copied] = '\0';
  return copied == text.size() ? static_cast<std::uint32_t>(copied) : 0;
}

}  // namespace platform
