// The message printer's one process-wide output line: characters are put in
// one by one, a line longer than 256 characters is broken at a word boundary,
// and each finished line goes to the message collector, or to standard output
// when none exists. Owned by the printer; callers hold its critical section.
#pragma once

#include <cstddef>

#include "platform/status.h"

class QLNMessagesHandler;

inline constexpr std::size_t kMessageLineCapacity = 256;

struct MessageLine {
  char text[kMessageLineCapacity + 1] = {};
  std::size_t length = 0;
  // Set by every character put in and at the start of every call; a call
  // that ends with it set ends its line.
  bool pending = false;
  // Where this message's lines go, read once when it begins; null for
  // standard output.
  QLNMessagesHandler* collector = nullptr;
};

// The line lives for the process: a partial line survives between calls.
MessageLine& TheMessageLine();

// Starts a call's message: the line is pending and the collector is taken.
void BeginMessage();
// A newline ends the line; a full line is wrapped before the next character.
void PutMessageChar(char c);
void PutMessageText(const char* text, std::size_t count);
// Hands the line on and empties it.
void FlushMessageLine();
// Ends a call's message: the line when it is pending, then the group with its
// status at the collector taken when it began.
void EndMessage(Status status);
// Hands on the full line up to its last word boundary; the rest (the
// boundary's blank included) starts the next line.
void WrapMessageLine();
