// The one error path of the collection and persistence classes: a message is
// taken from a fixed table, formatted, wrapped in an error object and handed
// to the error handler. The process handler prints the message and ends the
// process; a restore of outside data installs a per-thread handler that
// throws instead, so that damaged input becomes a failure status.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// Row codes of the message table.
enum ClErrorCode : std::uint32_t {
  kClAllocOut = 0x2000,
  kClBadRe = 0x2001,
  kClCrAbs = 0x2002,
  kClFList = 0x2003,
  kClId = 0x2004,
  kClIndex = 0x2005,
  kClLock = 0x2006,
  kClLongIndex = 0x2007,
  kClMagic = 0x2008,
  kClNeVecL = 0x2009,
  kClNoCreate = 0x200A,
  kClNotAllow = 0x200B,
  kClReadErr = 0x200C,
  kClRef = 0x200D,
  kClSeekErr = 0x200E,
  kClStream = 0x200F,
  kClSubstring = 0x2010,
  kClUnlock = 0x2011,
  kClWriteErr = 0x2012,
  kClIndexErr = 0x2013,
};

struct ClErrorRow {
  std::uint32_t code;
  const char* format;
  const char* domain;
};

inline constexpr int kClErrorRowCount = 20;
extern const ClErrorRow ClErrorTable[kClErrorRowCount];

// The row of a code, or null for a code outside the table.
const ClErrorRow* FindClErrorRow(std::uint32_t code);

// An error of the library: the message text, owned once built from a message.
class Clxmsg {
 public:
  explicit Clxmsg(const char* text);
  virtual ~Clxmsg();
  Clxmsg(const Clxmsg&) = delete;
  Clxmsg& operator=(const Clxmsg&) = delete;

  const char* Text() const { return text_ != nullptr ? text_ : ""; }

 private:
  char* text_;
  std::uint32_t owned_;
};

// Bad data from outside the program (a file that is not ours).
class ClExternalErr : public Clxmsg {
 public:
  using Clxmsg::Clxmsg;
};

// Inconsistent use or inconsistent stored data.
class ClInternalErr : public Clxmsg {
 public:
  using Clxmsg::Clxmsg;
};

// An index outside a collection.
class ClBoundsErr : public ClInternalErr {
 public:
  using ClInternalErr::ClInternalErr;
};

enum class ClErrorClass { kExternal, kInternal, kBounds };

using ClErrorHandler = void (*)(const Clxmsg& error);

// Prints "** ", the text and "\n** Processing terminated.\n" on standard
// error and ends the process with exit code 1.
[[noreturn]] void ReportLibraryError(const Clxmsg& error);

// The process-wide handler: ReportLibraryError, never changed.
ClErrorHandler GetLibraryErrorHandler();

// Formats the row of `code` with the arguments, builds the error object of
// `kind` and hands it to the handler of this thread (the process handler
// unless a ClLibraryErrorGuard is active). Never returns: a handler that
// returns is followed by ReportLibraryError.
[[noreturn]] void ClRaiseError(ClErrorClass kind, std::uint32_t code, ...);

// What the guarded handler throws: the formatted message and the class of
// the error object.
class ClLibraryFailure : public std::runtime_error {
 public:
  ClLibraryFailure(const std::string& text, ClErrorClass kind)
      : std::runtime_error(text), kind_(kind) {}
  ClErrorClass kind() const { return kind_; }

 private:
  ClErrorClass kind_;
};

// While one exists, library errors on this thread throw ClLibraryFailure
// instead of ending the process. Only code that catches it at its own
// boundary (the guarded restore) may hold one. Guards nest.
class ClLibraryErrorGuard {
 public:
  ClLibraryErrorGuard();
  ~ClLibraryErrorGuard();
  ClLibraryErrorGuard(const ClLibraryErrorGuard&) = delete;
  ClLibraryErrorGuard& operator=(const ClLibraryErrorGuard&) = delete;

 private:
  ClErrorHandler previous_;
};
