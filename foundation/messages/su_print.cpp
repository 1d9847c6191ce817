#include "foundation/messages/su_print.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "foundation/collections/mixins.h"
#include "foundation/messages/message_line.h"
#include "foundation/messages/print_conversion.h"
#include "platform/fault_guard.h"
#include "platform/utf16.h"

namespace {

struct PrinterState {
  platform::CriticalSection lock;
  // One conversion is formatted here before its characters go into the line;
  // it only grows.
  std::string piece;
  // Set by the numeric bridge for the one call that follows.
  bool bridge = false;
  std::int32_t quiet = 0;
};

// Never destroyed, so that objects destroyed at exit may still print.
PrinterState& State() {
  static auto* state = new PrinterState;
  return *state;
}

constexpr int kBridgeBudget = 5;
constexpr int kOrdinaryBudget = 9999;
// Texts from the numeric routines need not end in a NUL; no more is read.
constexpr std::size_t kBridgeTextLimit = 1023;
constexpr char kException[] = "Exception in SuPrint()";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Holds the printer's lock for one message.
class PrinterLock {
 public:
  PrinterLock() : lock_(State().lock) {}

 private:
  platform::CriticalSectionLock lock_;
};

// Runs `read`, which touches memory the caller handed in (a value, a text, a
// named object). False when it faulted or threw instead of producing the value;
// the lock stays held, as the guard returns here normally.
template <class Read>
bool ReadCallerMemory(Read&& read) {
  try {
    return platform::RunGuarded(read) == 0;
  } catch (...) {
    return false;
  }
}

// Length of a numeric routine's text without its trailing blanks; the text
// ends at `length` characters or at a NUL, and at most 1023 are kept.
std::size_t StripTrailingBlanks(const char* text, std::int32_t length) {
  if (text == nullptr || length <= 0) return 0;
  std::size_t n = static_cast<std::size_t>(length);
  if (const void* nul = std::memchr(text, '\0', n)) n = static_cast<const char*>(nul) - text;
  while (n > 0 && text[n - 1] == ' ') --n;
  return n < kBridgeTextLimit ? n : kBridgeTextLimit;
}

void DropTrailingBlanks(std::string& text) {
  const std::size_t keep = text.find_last_not_of(' ');
  text.resize(keep == std::string::npos ? 0 : keep + 1);
}

// Cuts a UTF-8 text to at most `bytes` bytes without splitting a character.
void CutUtf8(std::string& text, std::size_t bytes) {
  if (text.size() <= bytes) return;
  while (bytes > 0 && (static_cast<unsigned char>(text[bytes]) & 0xC0) == 0x80) --bytes;
  text.resize(bytes);
}

void DiagnosticLine(const char* format, int line) {
  std::printf(format, line);
  std::fflush(stdout);
}

// One walk over a format with its arguments. Faults are reported inside the
// message: the BAD FORMATTING text, then the rest of the format as it stands.
class FormatWalk {
 public:
  FormatWalk(const char* format, bool bridge, va_list* args)
      : format_(format != nullptr ? format : ""), bridge_(bridge),
        budget_(bridge ? kBridgeBudget : kOrdinaryBudget), args_(args) {}

  void Run() {
    const char* p = format_;
    while (*p != '\0') {
      if (!interpret_) {
        PutMessageChar(*p++);
      } else if (p[0] == '\\' && p[1] == 'n') {
        PutMessageChar('\n');
        p += 2;
      } else if (p[0] == '%') {
        p = Conversion(p);
      } else if (p[0] == '@') {
        p = Placeholder(p);
      } else {
        PutMessageChar(*p++);
      }
    }
  }

 private:
  enum class Outcome { kDone, kFailed, kFaulted };

  const void* NextArg() { return va_arg(*args_, const void*); }

  // Puts the fault's text into the line; the walk resumes at the item that
  // began the fault with interpretation off.
  const char* Refuse(const char* text, const char* item) {
    PutMessageText(text, std::strlen(text));
    interpret_ = false;
    return item;
  }
  const char* RefuseWithDiagnostic(const char* text, const char* item, int line) {
    DiagnosticLine("SuPrint() Bad format at line %d\n", line);
    return Refuse(text, item);
  }

  // Puts the piece into the line, or the texts that stand for its failure.
  const char* Finish(Outcome outcome, const char* item, const char* next, int line) {
    switch (outcome) {
      case Outcome::kDone:
        PutMessageText(State().piece.data(), piece_length_);
        return next;
      case Outcome::kFaulted:
        PutMessageText(kException, sizeof kException - 1);
        DiagnosticLine("SuPrint() Exception caught at line %d\n", line);
        return next;
      case Outcome::kFailed:
        break;
    }
    return Refuse(bad_format::kCheckFormat, item);
  }

  // Formats into the piece buffer, measured first so that no width,
  // precision or value can overrun it. Yielding nothing is a failure unless
  // the value itself was empty.
  template <class... Values>
  Outcome Format(const std::string& conversion, bool empty_value, Values... values) {
    const int needed = std::snprintf(nullptr, 0, conversion.c_str(), values...);
    if (needed < 0 || (needed == 0 && !empty_value)) return Outcome::kFailed;
    std::string& piece = State().piece;
    if (piece.size() < static_cast<std::size_t>(needed) + 1) piece.resize(needed + 1);
    std::snprintf(piece.data(), piece.size(), conversion.c_str(), values...);
    piece_length_ = static_cast<std::size_t>(needed);
    return Outcome::kDone;
  }

  // Address 0 is never readable: it faults without being touched, which
  // spares the fault guard (and sanitizers) a real access.
  template <class T>
  bool ReadValue(const void* arg, T* value) {
    if (arg == nullptr) return false;
    return ReadCallerMemory([&] { std::memcpy(value, arg, sizeof(T)); });
  }

  const char* Conversion(const char* p) {
    if (p[1] == '%') {
      PutMessageChar('%');
      return p + 2;
    }
    FormatSpec spec;
    if (const char* fault = ParseFormatSpec(p + 1, &spec)) return Refuse(fault, p);
    const char* next = p + 1 + spec.length;
    if (spec.type == '&') {
      TheMessageLine().pending = false;
      return next;
    }
    // A bridge "c" takes its length as a second argument, so it needs both
    // units before it; a bridge "s" pays its second unit after it.
    const int cost = bridge_ && spec.type == 'c' ? 2 : 1;
    if (budget_ < cost) return RefuseWithDiagnostic(bad_format::kTooMany, p, __LINE__);
    budget_ -= cost;
    const void* arg = NextArg();
    if (bridge_ && spec.type == 'c') NextArg();  // the character's length
    const char* resume = Finish(FormatArgument(spec, arg), p, next, __LINE__);
    if (bridge_ && spec.type == 's') --budget_;
    return resume;
  }

  Outcome FormatArgument(const FormatSpec& spec, const void* arg) {
    if (spec.precision > kMaxFormatPrecision) return Outcome::kFailed;
    switch (spec.type) {
      case 'p':
        return Format(GlibcConversion(spec, true, "", 'p'), false, arg);
      case 'c':
        return FormatChar(spec, arg);
      case 's':
        return spec.size == FormatSize::kLong ? FormatWideText(spec, arg) : FormatText(spec, arg);
      case 'e':
      case 'E':
      case 'f':
      case 'g':
      case 'G': {
        double value = 0;
        if (!ReadValue(arg, &value)) return Outcome::kFaulted;
        return Format(GlibcConversion(spec, true, "", spec.type), false, value);
      }
      default:
        return FormatInteger(spec, arg);
    }
  }

  // "l" and "L" read 32 bits as on the engine's home platform; "I64" reads 64.
  Outcome FormatInteger(const FormatSpec& spec, const void* arg) {
    if (spec.size == FormatSize::kInt64) {
      std::int64_t value = 0;
      if (!ReadValue(arg, &value)) return Outcome::kFaulted;
      return Format(GlibcConversion(spec, true, "ll", spec.type), false,
                    static_cast<long long>(value));
    }
    if (spec.size == FormatSize::kShort) {
      std::int16_t value = 0;
      if (!ReadValue(arg, &value)) return Outcome::kFaulted;
      return Format(GlibcConversion(spec, true, "h", spec.type), false, static_cast<int>(value));
    }
    std::int32_t value = 0;
    if (!ReadValue(arg, &value)) return Outcome::kFaulted;
    return Format(GlibcConversion(spec, true, "", spec.type), false, static_cast<int>(value));
  }

  // A NUL character counts as printed.
  Outcome FormatChar(const FormatSpec& spec, const void* arg) {
    if (spec.size == FormatSize::kLong) {
      char16_t unit = 0;
      if (!ReadValue(arg, &unit)) return Outcome::kFaulted;
      const std::string text = platform::Utf8FromUtf16(std::u16string_view(&unit, 1));
      return Format(GlibcConversion(spec, false, "", 's'), unit == 0, text.c_str());
    }
    char value = 0;
    if (!ReadValue(arg, &value)) return Outcome::kFaulted;
    return Format(GlibcConversion(spec, false, "", 'c'), true,
                  static_cast<int>(static_cast<unsigned char>(value)));
  }

  // How much of a text may be read: a precision bounds it, and the numeric
  // routines' texts are bounded because they need not end in a NUL.
  std::size_t TextLimit(const FormatSpec& spec) const {
    if (bridge_) return kBridgeTextLimit;
    return spec.precision >= 0 ? static_cast<std::size_t>(spec.precision) : SIZE_MAX;
  }

  // An empty text counts as printed; a null one cannot be read.
  Outcome FormatText(const FormatSpec& spec, const void* arg) {
    const auto* chars = static_cast<const char*>(arg);
    if (chars == nullptr) return Outcome::kFaulted;
    std::string text;
    bool empty = false;
    const std::size_t limit = TextLimit(spec);
    if (!ReadCallerMemory([&] {
          empty = *chars == '\0';
          text.assign(chars, strnlen(chars, limit));
        })) {
      return Outcome::kFaulted;
    }
    if (bridge_) {
      DropTrailingBlanks(text);
      empty = text.empty();
    }
    return Format(GlibcConversion(spec, true, "", 's'), empty, text.c_str());
  }

  // 16-bit texts become UTF-8; a precision counts UTF-8 bytes and never cuts
  // a character.
  Outcome FormatWideText(const FormatSpec& spec, const void* arg) {
    const auto* units = static_cast<const char*>(arg);
    if (units == nullptr) return Outcome::kFaulted;
    bool empty = false;
    const std::size_t limit = TextLimit(spec);
    std::u16string wide;
    if (!ReadCallerMemory([&] {
          char16_t unit = 0;
          std::memcpy(&unit, units, sizeof unit);
          empty = unit == 0;
          for (std::size_t i = 0; i < limit; ++i) {
            std::memcpy(&unit, units + i * sizeof unit, sizeof unit);
            if (unit == 0) break;
            wide += unit;
          }
        })) {
      return Outcome::kFaulted;
    }
    std::string text = platform::Utf8FromUtf16(wide);
    if (spec.precision >= 0) CutUtf8(text, static_cast<std::size_t>(spec.precision));
    if (bridge_) {
      DropTrailingBlanks(text);
      empty = text.empty();
    }
    return Format(GlibcConversion(spec, false, "", 's'), empty, text.c_str());
  }

  const char* Placeholder(const char* p) {
    const char letter = p[1];
    if (letter == '@') {
      PutMessageChar('@');
      return p + 2;
    }
    if (letter == 'x') {
      PutMessageChar(' ');
      return p + 2;
    }
    if (IsDigit(letter)) return Blanks(p);
    if (letter == 'n' || letter == 'N' || letter == 'e' || letter == 'c') return Name(p);
    if (IsLetter(letter)) return Refuse(bad_format::kUnknownAt, p);
    PutMessageChar('@');  // "@" before anything else is plain text
    return p + 1;
  }

  const char* Blanks(const char* p) {
    const char* q = p + 1;
    std::int32_t count = 0;
    for (; IsDigit(*q); ++q) {
      if (count <= kMaxFormatWidth) count = count * 10 + (*q - '0');
    }
    if (*q != 'x') return Refuse(bad_format::kMissingX, p);
    if (count > kMaxFormatWidth) return Refuse(bad_format::kWidthTooLarge, p);
    for (std::int32_t i = 0; i < count; ++i) PutMessageChar(' ');
    return q + 1;
  }

  // "@ns", "@Ns", "@es", "@cs" with optional flags, width and precision: the
  // argument is the address of a pointer to a BvuNameable.
  const char* Name(const char* p) {
    FormatSpec spec;
    if (const char* fault = ParseFormatSpec(p + 2, &spec)) return Refuse(fault, p);
    if (spec.type != 's') return Refuse(bad_format::kNameNotS, p);
    if (budget_ < 1) return RefuseWithDiagnostic(bad_format::kTooMany, p, __LINE__);
    budget_ -= 1;
    const void* arg = NextArg();
    const char* next = p + 2 + spec.length;

    if (reinterpret_cast<std::uintptr_t>(arg) % 4 != 0) {
      return RefuseWithDiagnostic(bad_format::kTooManyMaybe, p, __LINE__);
    }
    BvuNameable* object = nullptr;
    if (!ReadValue(arg, &object)) return Finish(Outcome::kFaulted, p, next, __LINE__);
    // The object is called through, so it must have its type's alignment.
    if (reinterpret_cast<std::uintptr_t>(object) % alignof(BvuNameable) != 0) {
      return Refuse(bad_format::kNotAPointer, p);
    }
    // Only the alignment is checked; a null object faults like any other
    // that cannot be used.
    if (object == nullptr) return Finish(Outcome::kFaulted, p, next, __LINE__);
    std::string name;
    bool null_name = false;
    if (!ReadCallerMemory([&] {
          const char* text = object->GetNameText(0);
          null_name = text == nullptr;
          if (text != nullptr) name = text;
        })) {
      return Finish(Outcome::kFaulted, p, next, __LINE__);
    }
    if (null_name) return Refuse(bad_format::kNulName, p);
    if (spec.precision > kMaxFormatPrecision) return Refuse(bad_format::kCheckFormat, p);
    return Finish(Format(GlibcConversion(spec, true, "", 's'), name.empty(), name.c_str()), p, next,
                  __LINE__);
  }

  const char* format_;
  bool bridge_;
  int budget_;
  va_list* args_;
  bool interpret_ = true;
  std::size_t piece_length_ = 0;
};

}  // namespace

platform::CriticalSection& SuPrintCriticalSection() { return State().lock; }

void SuPrintV(Status status, const char* format, va_list args) {
  PrinterLock lock;
  PrinterState& state = State();
  if (state.quiet == 0) {
    BeginMessage();
    va_list copy;
    va_copy(copy, args);
    FormatWalk(format, state.bridge, &copy).Run();
    va_end(copy);
    EndMessage(status);
  }
  state.bridge = false;
}

void SuPrint(Status status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  SuPrintV(status, format, args);
  va_end(args);
}

void SuPrintNumeric(const Status* status, const char* format, const void* a1, const void* a2,
                    const void* a3, const void* a4, const void* a5, std::int32_t format_length) {
  char buffer[kBridgeTextLimit + 1];
  const std::size_t length = StripTrailingBlanks(format, format_length);
  if (length > 0) std::memcpy(buffer, format, length);
  buffer[length] = '\0';
  // Held across both steps, so that the bridge flag belongs to this call only.
  PrinterLock lock;
  State().bridge = true;
  SuPrint(status != nullptr ? *status : status::kOk, buffer, a1, a2, a3, a4, a5);
}

void SetSuPrintQuiet(std::int32_t quiet) {
  PrinterLock lock;
  State().quiet = quiet;
}
