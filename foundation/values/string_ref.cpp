#include "foundation/values/string_ref.h"

#include <cstring>
#include <limits>

namespace {

char* CopyText(const char* text) {
  const std::size_t length = std::strlen(text);
  char* copy = new char[length + 1];
  std::memcpy(copy, text, length + 1);
  return copy;
}

}  // namespace

const char* SUStringRef::Text() const { return record_ ? record_->text : nullptr; }

std::uint16_t SUStringRef::UseCount() const { return record_ ? record_->count : 0; }

void SUStringRef::Share(const SUStringRef& other) {
  if (other.record_ == record_) return;
  // The use count is 16 bits wide; a record that cannot take one more use is
  // copied instead of wrapping its count to 0.
  if (other.record_ && other.record_->count == std::numeric_limits<std::uint16_t>::max()) {
    Set(other.record_->text);
    return;
  }
  ReleaseSharedBuffer(*this);
  record_ = other.record_;
  if (record_) ++record_->count;
}

void SUStringRef::Set(const char* text) {
  // Copy first: the text may belong to the record being released.
  Record* fresh = text ? new Record{CopyText(text), 1} : nullptr;
  ReleaseSharedBuffer(*this);
  record_ = fresh;
}

void ReleaseSharedBuffer(SUStringRef& ref) {
  SUStringRef::Record* record = ref.record_;
  ref.record_ = nullptr;
  if (!record) return;
  if (--record->count == 0) {
    delete[] record->text;
    delete record;
  }
}
