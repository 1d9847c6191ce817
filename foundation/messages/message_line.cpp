#include "foundation/messages/message_line.h"

#include <cstdio>
#include <cstring>

#include "foundation/messages/messages_handler.h"

namespace {

void HandOn(const char* text) {
  if (QLNMessagesHandler* collector = TheMessageLine().collector) {
    collector->AddText(text);
    return;
  }
  std::printf("%s\n", text);
  std::fflush(stdout);
}

bool IsWordByte(char c) {
  const auto u = static_cast<unsigned char>(c);
  // Bytes of UTF-8 sequences count as letters: a name is never cut inside.
  return (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u >= 0x80;
}

// Where a break without a word boundary goes: before a UTF-8 sequence that the
// full line would cut, else after the whole line.
std::size_t HardBreak(const char* text) {
  std::size_t start = kMessageLineCapacity - 1;
  while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
  const auto lead = static_cast<unsigned char>(text[start]);
  std::size_t needed = 1;
  if (lead >= 0xF0) {
    needed = 4;
  } else if (lead >= 0xE0) {
    needed = 3;
  } else if (lead >= 0xC0) {
    needed = 2;
  }
  if (start > 0 && start + needed > kMessageLineCapacity) return start;
  return kMessageLineCapacity;
}

}  // namespace

MessageLine& TheMessageLine() {
  static MessageLine line;
  return line;
}

void PutMessageChar(char c) {
  MessageLine& line = TheMessageLine();
  if (c == '\n') {
    FlushMessageLine();
    return;
  }
  // A NUL inside the line would cut off what follows it for every reader.
  if (c == '\0') return;
  if (line.length >= kMessageLineCapacity) WrapMessageLine();
  line.text[line.length++] = c;
  line.pending = true;
}

void PutMessageText(const char* text, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) PutMessageChar(text[i]);
}

void FlushMessageLine() {
  MessageLine& line = TheMessageLine();
  line.text[line.length] = '\0';
  HandOn(line.text);
  line.length = 0;
  line.pending = false;
}

void BeginMessage() {
  MessageLine& line = TheMessageLine();
  line.pending = true;
  line.collector = GetMessageCollector();
}

void EndMessage(Status status) {
  MessageLine& line = TheMessageLine();
  if (line.pending) FlushMessageLine();
  if (line.collector != nullptr) line.collector->EndGroup(status);
  line.collector = nullptr;
}

void WrapMessageLine() {
  MessageLine& line = TheMessageLine();
  if (line.length < kMessageLineCapacity) return;

  std::size_t last_blank = 0;
  std::size_t last_other = 0;
  bool quoted = false;
  for (std::size_t i = 0; i < kMessageLineCapacity; ++i) {
    const char c = line.text[i];
    if (c == '"') {
      quoted = !quoted;
    } else if (quoted || IsWordByte(c)) {
      continue;
    } else if (c == ' ') {
      last_blank = i;
    } else {
      last_other = i;
    }
  }
  std::size_t cut = last_blank;
  if (cut == 0) cut = last_other;
  if (cut == 0) cut = HardBreak(line.text);

  char head[kMessageLineCapacity + 1];
  std::memcpy(head, line.text, cut);
  head[cut] = '\0';
  HandOn(head);
  std::memmove(line.text, line.text + cut, kMessageLineCapacity - cut);
  line.length = kMessageLineCapacity - cut;
}
