#include "foundation/messages/math_error.h"

#include <cstdio>
#include <cstring>

MathErrorState MathErrorStatus;

namespace {
// Kinds a record may carry besides the classified ones: errno values that
// some libraries pass through.
constexpr std::int32_t kErrnoDomain = 33;
constexpr std::int32_t kErrnoRange = 34;
}  // namespace

Status MathErrorState::status() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return status_;
}

std::string MathErrorState::text() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_;
}

void MathErrorState::Set(Status status, const char* text) {
  std::lock_guard<std::mutex> lock(mutex_);
  status_ = status;
  std::snprintf(text_, sizeof text_, "%s", text != nullptr ? text : "");
}

void MathErrorState::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  status_ = 0;
  text_[0] = '\0';
}

std::int32_t MathErrorHook(platform::MathErrorRecord* record) {
  if (record == nullptr) return 1;
  Status status = status::kMathRange;
  switch (record->kind) {
    case platform::kMathDomain:
    case kErrnoDomain:
      status = status::kMathDomain;
      break;
    case platform::kMathSingularity:
    case platform::kMathOverflow:
    case platform::kMathTotalLoss:
    case platform::kMathPartialLoss:
      record->retval = 0.0;
      break;
    case platform::kMathUnderflow:
      // Harmless: the tiny result becomes zero and nobody hears of it.
      record->retval = 0.0;
      return 1;
    case kErrnoRange:
      status = status::kMathArgumentTooLarge;
      break;
    default:
      break;
  }

  const char* name = record->name != nullptr ? record->name : "";
  char text[128];
  if (std::strcmp(name, "atan2") == 0 || std::strcmp(name, "pow") == 0) {
    std::snprintf(text, sizeof text, "%s(%g,%g)", name, record->arg1, record->arg2);
  } else {
    std::snprintf(text, sizeof text, "%s(%g)", name, record->arg1);
  }
  MathErrorStatus.Set(status, text);
  std::printf("_matherr(): %s\n", text);
  std::fflush(stdout);
  return 1;
}

void InstallMathErrorHook() { platform::SetMathErrorHandler(&MathErrorHook); }
