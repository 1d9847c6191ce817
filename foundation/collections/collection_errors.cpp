#include "foundation/collections/collection_errors.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr const char* kDomain = "cltools6.0";
constexpr std::size_t kFormatBufferSize = 512;

thread_local ClErrorHandler t_thread_handler = nullptr;

[[noreturn]] void ThrowLibraryError(const Clxmsg& error) {
  ClErrorClass kind = ClErrorClass::kInternal;
  if (dynamic_cast<const ClBoundsErr*>(&error) != nullptr) {
    kind = ClErrorClass::kBounds;
  } else if (dynamic_cast<const ClExternalErr*>(&error) != nullptr) {
    kind = ClErrorClass::kExternal;
  }
  throw ClLibraryFailure(error.Text(), kind);
}

char* CopyText(const char* text) {
  const std::size_t n = std::strlen(text);
  char* copy = new char[n + 1];
  std::memcpy(copy, text, n + 1);
  return copy;
}

}  // namespace

const ClErrorRow ClErrorTable[kClErrorRowCount] = {
    {kClAllocOut, "[ALLOCOUT] %s destructor called with allocation outstanding", kDomain},
    {kClBadRe, "[BADRE] Attempt to use invalid regular expression", kDomain},
    {kClCrAbs, "[CRABS] ClFactory: attempting to create abstract class with ID %hu (0x%hx)",
     kDomain},
    {kClFList, "[FLIST] Free list size error: expected %ld, got %ld", kDomain},
    {kClId, "[ID] Unexpected class ID %hu; should be %hu", kDomain},
    {kClIndex, "[INDEX] Index (%u) out of range [0->%u]", kDomain},
    {kClLock, "[LOCK] Locked object deleted", kDomain},
    {kClLongIndex, "[LONGINDEX] Long index (%lu) out of range [0->%lu]", kDomain},
    {kClMagic, "[MAGIC] Bad magic number: %ld (should be %ld)", kDomain},
    {kClNeVecL, "[NEVECL] Unequal vector lengths: %u versus %u", kDomain},
    {kClNoCreate, "[NOCREATE] ClFactory: no create function for class with ID %hu (0x%hx)",
     kDomain},
    {kClNotAllow, "[NOTALLOW] Function not allowed for derived class", kDomain},
    {kClReadErr, "[READERR] Read error", kDomain},
    {kClRef, "[REF] Bad persistence reference", kDomain},
    {kClSeekErr, "[SEEKERR] Seek error", kDomain},
    {kClStream, "[STREAM] Bad input stream", kDomain},
    {kClSubstring, "[SUBSTRING] Illegal substring (%d, %u) from %u element ClCString", kDomain},
    {kClUnlock, "[UNLOCK] Improper use of locked object", kDomain},
    {kClWriteErr, "[WRITEERR] Write error", kDomain},
    {kClIndexErr, "[INDEXERR] Illegal Index (%u) for collection with %u elements", kDomain},
};

const ClErrorRow* FindClErrorRow(std::uint32_t code) {
  for (const ClErrorRow& row : ClErrorTable) {
    if (row.code == code) return &row;
  }
  return nullptr;
}

Clxmsg::Clxmsg(const char* text) : text_(CopyText(text != nullptr ? text : "")), owned_(1) {}

Clxmsg::~Clxmsg() {
  if (owned_ != 0) delete[] text_;
}

void ReportLibraryError(const Clxmsg& error) {
  std::fprintf(stderr, "** %s\n** Processing terminated.\n", error.Text());
  std::exit(1);
}

ClErrorHandler GetLibraryErrorHandler() { return &ReportLibraryError; }

void ClRaiseError(ClErrorClass kind, std::uint32_t code, ...) {
  char buffer[kFormatBufferSize];
  const ClErrorRow* row = FindClErrorRow(code);
  if (row != nullptr) {
    va_list args;
    va_start(args, code);
    std::vsnprintf(buffer, sizeof buffer, row->format, args);
    va_end(args);
  } else {
    std::snprintf(buffer, sizeof buffer, "Unknown collection error 0x%x", code);
  }
  const std::unique_ptr<char[]> text(CopyText(buffer));

  std::unique_ptr<Clxmsg> error;
  switch (kind) {
    case ClErrorClass::kExternal:
      error = std::make_unique<ClExternalErr>(text.get());
      break;
    case ClErrorClass::kInternal:
      error = std::make_unique<ClInternalErr>(text.get());
      break;
    case ClErrorClass::kBounds:
      error = std::make_unique<ClBoundsErr>(text.get());
      break;
  }
  const ClErrorHandler handler =
      t_thread_handler != nullptr ? t_thread_handler : GetLibraryErrorHandler();
  handler(*error);
  ReportLibraryError(*error);
}

ClLibraryErrorGuard::ClLibraryErrorGuard() : previous_(t_thread_handler) {
  t_thread_handler = &ThrowLibraryError;
}

ClLibraryErrorGuard::~ClLibraryErrorGuard() { t_thread_handler = previous_; }
