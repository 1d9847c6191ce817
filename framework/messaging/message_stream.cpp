// The message body as a binary stream. Values of fixed size are never split
// across segments, and the reader mirrors that; only the 24-bit-length string
// runs byte by byte across segment boundaries. Every read is checked against
// the bytes the body holds: a reader never trusts a length from the wire.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "framework/connections/segment.h"
#include "framework/messaging/message.h"
#include "platform/byte_order.h"

namespace {

constexpr std::uint32_t kLargestLongLength = 0xFFFFFF;

// Terminates a received text after length - 1 bytes whatever the last byte
// held, so that a sender that forgot the NUL cannot make us read past it.
void Terminate(char* text, std::uint32_t length) { text[length - 1] = '\0'; }

}  // namespace

std::uint8_t* DseMessage::PlaceFor(std::uint32_t size) {
  if (current_ == nullptr) {
    first_ = current_ = DseSegment::Make(nullptr);
    if (current_ == nullptr) return nullptr;
  }
  return DseSegment::ReserveValue(&current_, size);
}

namespace {

// A value stored at its place, or 0x80000007 when there was no room for it.
template <typename Store>
Status Stored(std::uint8_t* place, Store store) {
  if (place == nullptr) return DseMessage::kNoMemory;
  store(place);
  return status::kOk;
}

// A value loaded from its place, or 0x8000FFFF past the end of the body.
template <typename Load>
Status Loaded(const std::uint8_t* place, Load load) {
  if (place == nullptr) return status::kUnhandled;
  load(place);
  return status::kOk;
}

template <typename Store>
Status Patched(std::uint8_t* place, Store store) {
  if (place == nullptr) return status::kUnhandled;
  store(place);
  return status::kOk;
}

}  // namespace

Status DseMessage::PutUInt8(std::uint8_t value) {
  return Stored(PlaceFor(1), [=](std::uint8_t* p) { *p = value; });
}

Status DseMessage::PutInt8(std::int8_t value) { return PutUInt8(static_cast<std::uint8_t>(value)); }

Status DseMessage::PutChar(char value) { return PutUInt8(static_cast<std::uint8_t>(value)); }

Status DseMessage::PatchUInt16(std::uint8_t* place, std::uint16_t value) {
  return Patched(place, [=](std::uint8_t* p) { platform::StoreLE16(p, value); });
}

Status DseMessage::PutUInt16(std::uint16_t value) {
  return Stored(PlaceFor(2), [=](std::uint8_t* p) { platform::StoreLE16(p, value); });
}

std::uint8_t* DseMessage::ReserveUInt16() {
  std::uint8_t* place = PlaceFor(2);
  PatchUInt16(place, 0);  // nothing without a place
  return place;
}

Status DseMessage::PatchUInt24(std::uint8_t* place, std::uint32_t value) {
  return Patched(place, [=](std::uint8_t* p) { platform::StoreLE24(p, value); });
}

Status DseMessage::PutUInt24(std::uint32_t value) {
  return Stored(PlaceFor(3), [=](std::uint8_t* p) { platform::StoreLE24(p, value); });
}

std::uint8_t* DseMessage::ReserveUInt24() {
  std::uint8_t* place = PlaceFor(3);
  PatchUInt24(place, 0);  // nothing without a place
  return place;
}

Status DseMessage::PutUInt32(std::uint32_t value) {
  return Stored(PlaceFor(4), [=](std::uint8_t* p) { platform::StoreLE32(p, value); });
}

Status DseMessage::PutUInt64(std::uint64_t value) {
  return Stored(PlaceFor(8), [=](std::uint8_t* p) { platform::StoreLE64(p, value); });
}

Status DseMessage::PutFloat(float value) {
  return Stored(PlaceFor(4), [=](std::uint8_t* p) { platform::StoreLEFloat(p, value); });
}

Status DseMessage::PutDouble(double value) {
  return Stored(PlaceFor(8), [=](std::uint8_t* p) { platform::StoreLEDouble(p, value); });
}

Status DseMessage::PutString(const char* text) {
  if (text == nullptr) return PutUInt24(0);
  const std::size_t length = std::strlen(text) + 1;
  if (length > kLargestLongLength) return status::kBadArguments;
  std::uint8_t* length_place = ReserveUInt24();
  if (length_place == nullptr) return kNoMemory;
  const char* from = text;
  std::size_t left = length;
  while (left > 0) {
    if (current_->cursor == current_->window_end) {
      DseSegment* next = DseSegment::Make(current_);
      if (next == nullptr) return kNoMemory;
      current_ = next;
    }
    const std::size_t room = static_cast<std::size_t>(current_->window_end - current_->cursor);
    const std::size_t n = std::min(left, room);
    std::memcpy(current_->cursor, from, n);
    current_->cursor += n;
    from += n;
    left -= n;
  }
  return PatchUInt24(length_place, static_cast<std::uint32_t>(length));
}

Status DseMessage::PutCString(const char* text) {
  if (text == nullptr) {
    const Status written = PutUInt16(0);
    return status::IsFailure(written) ? written : 0;
  }
  const std::size_t length = std::strlen(text) + 1;
  // The text and its NUL travel whole in one segment's data.
  if (length > DseSegment::kMaxData) return status::kBadArguments;
  const Status written = PutUInt16(static_cast<std::uint16_t>(length));
  if (status::IsFailure(written)) return written;
  std::uint8_t* place = PlaceFor(static_cast<std::uint32_t>(length));
  if (place == nullptr) return kNoMemory;
  std::memcpy(place, text, length);
  return static_cast<Status>(length);
}

// --- reading ---

const std::uint8_t* DseMessage::ReadPlace(std::uint32_t size) {
  DseSegment* segment = current_;
  while (segment != nullptr &&
         static_cast<std::uint32_t>(segment->window_end - segment->cursor) < size) {
    segment = segment->next;
  }
  if (segment == nullptr) return nullptr;
  ReadOn(segment);
  const std::uint8_t* place = segment->cursor;
  segment->cursor += size;
  return place;
}

namespace {

std::uint64_t Unread(const DseSegment* s) {
  return s->window_end > s->cursor ? static_cast<std::uint64_t>(s->window_end - s->cursor) : 0;
}

}  // namespace

void DseMessage::ReadOn(DseSegment* segment) {
  if (counted_from_ == current_) {
    for (const DseSegment* s = current_; s != segment; s = s->next)
      counted_after_ -= Unread(s->next);
    counted_from_ = segment;
  }
  current_ = segment;
}

std::uint32_t DseMessage::RemainingBytes() const {
  if (current_ == nullptr) return 0;
  if (counted_from_ != current_) {
    counted_after_ = 0;
    for (const DseSegment* s = current_->next; s != nullptr; s = s->next)
      counted_after_ += Unread(s);
    counted_from_ = current_;
  }
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(Unread(current_) + counted_after_, 0xFFFFFFFFu));
}

void DseMessage::ReadRun(char* out, std::uint32_t count) {
  while (count > 0 && current_ != nullptr) {
    if (current_->cursor >= current_->window_end) {
      if (current_->next == nullptr) return;
      ReadOn(current_->next);
      continue;
    }
    const std::uint32_t here =
        std::min(count, static_cast<std::uint32_t>(current_->window_end - current_->cursor));
    if (out != nullptr) {
      std::memcpy(out, current_->cursor, here);
      out += here;
    }
    current_->cursor += here;
    count -= here;
  }
}

Status DseMessage::GetUInt8(std::uint8_t* value) {
  return Loaded(ReadPlace(1), [=](const std::uint8_t* p) { *value = *p; });
}

Status DseMessage::GetByteAsUInt32(std::uint32_t* value) {
  return Loaded(ReadPlace(1), [=](const std::uint8_t* p) { *value = *p; });
}

Status DseMessage::GetUInt16(std::uint16_t* value) {
  return Loaded(ReadPlace(2), [=](const std::uint8_t* p) { *value = platform::LoadLE16(p); });
}

Status DseMessage::GetUInt24(std::uint32_t* value) {
  return Loaded(ReadPlace(3), [=](const std::uint8_t* p) { *value = platform::LoadLE24(p); });
}

Status DseMessage::GetUInt32(std::uint32_t* value) {
  return Loaded(ReadPlace(4), [=](const std::uint8_t* p) { *value = platform::LoadLE32(p); });
}

Status DseMessage::GetUInt64(std::uint64_t* value) {
  return Loaded(ReadPlace(8), [=](const std::uint8_t* p) { *value = platform::LoadLE64(p); });
}

Status DseMessage::TryGet(void* target, std::uint32_t size) {
  if (RemainingBytes() == 0) {
    std::memset(target, 0, size);
    return status::kUnhandled;
  }
  const std::uint8_t* place = ReadPlace(size);
  if (place == nullptr) {
    std::memset(target, 0, size);
    ReadRun(nullptr, RemainingBytes());
    return 0;
  }
  std::memcpy(target, place, size);
  return 1;
}

Status DseMessage::GetFloatAsDouble(double* value) {
  unsigned char bytes[4];
  const Status read = TryGet(bytes, 4);
  if (read != 1) {
    *value = 0.0;
    return read;
  }
  const std::uint32_t bits = platform::LoadLE32(bytes);
  if ((bits & 0x7F800000u) == 0x7F800000u && (bits & 0x007FFFFFu) != 0) {
    // Widening a signalling NaN raises the invalid-operation trap that the
    // server thread runs with; a peer's bytes must not end the process.
    *value =
        std::copysign(std::numeric_limits<double>::quiet_NaN(), (bits >> 31) != 0 ? -1.0 : 1.0);
    return read;
  }
  *value = static_cast<double>(platform::LoadLEFloat(bytes));
  return read;
}

Status DseMessage::TryGet4(void* target) { return TryGet(target, 4); }

Status DseMessage::TryGet8(void* target) { return TryGet(target, 8); }

Status DseMessage::ReadLongLength(std::uint32_t* length) {
  const Status read = GetUInt24(length);
  if (status::IsFailure(read)) return read;
  if (*length > RemainingBytes()) return status::kUnhandled;
  return status::kOk;
}

Status DseMessage::GetStringInto(char* buffer, std::uint32_t size) {
  if (size > 0) buffer[0] = '\0';
  std::uint32_t length = 0;
  const Status read = ReadLongLength(&length);
  if (status::IsFailure(read)) return read;
  if (length == 0) return 0;
  if (length > size) {
    ReadRun(nullptr, length);  // the stream stays in step with the body
    return status::kGeneralFailure;
  }
  ReadRun(buffer, length);
  Terminate(buffer, length);
  return length;
}

Status DseMessage::GetStringNew(char** text) {
  *text = nullptr;
  std::uint32_t length = 0;
  const Status read = ReadLongLength(&length);
  if (status::IsFailure(read)) return read;
  if (length == 0) return 0;
  char* fresh = new (std::nothrow) char[length];
  if (fresh == nullptr) return kNoMemory;
  ReadRun(fresh, length);
  Terminate(fresh, length);
  *text = fresh;
  return length;
}

Status DseMessage::GetShortStringInto(char* buffer, std::uint32_t size) {
  if (size > 0) buffer[0] = '\0';
  std::uint16_t length = 0;
  const Status read = GetUInt16(&length);
  if (status::IsFailure(read)) return read;
  if (length == 0) return 0;
  const std::uint8_t* place = ReadPlace(length);
  if (place == nullptr) return status::kUnhandled;
  if (length > size) return status::kGeneralFailure;
  std::memcpy(buffer, place, length);
  Terminate(buffer, length);
  return length;
}

Status DseMessage::GetShortStringNew(char** text) {
  *text = nullptr;
  std::uint16_t length = 0;
  const Status read = GetUInt16(&length);
  if (status::IsFailure(read)) return read;
  if (length == 0) return 0;
  const std::uint8_t* place = ReadPlace(length);
  if (place == nullptr) return status::kUnhandled;
  char* fresh = new (std::nothrow) char[length];
  if (fresh == nullptr) return kNoMemory;
  std::memcpy(fresh, place, length);
  Terminate(fresh, length);
  *text = fresh;
  return length;
}

// --- places ---

Status DseMessage::Seek(std::uint8_t* place) {
  for (DseSegment* s = first_; s != nullptr; s = s->next) {
    if (place >= s->DataStart() && place <= s->cursor) {
      DseSegment::ReturnChain(s->next);
      s->next = nullptr;
      s->cursor = place;
      current_ = s;
      ForgetRemaining();
      return status::kOk;
    }
  }
  return kNoSuchPlace;
}

Status DseMessage::RereadFrom(std::uint8_t* place) {
  for (DseSegment* s = first_; s != nullptr; s = s->next) {
    if (place < s->DataStart() || place > s->cursor) continue;
    s->cursor = place;
    for (DseSegment* later = s->next; later != nullptr; later = later->next)
      later->cursor = later->DataStart();
    current_ = s;
    ForgetRemaining();
    return status::kOk;
  }
  return kNoSuchPlace;
}

std::uint8_t* DseMessage::Tell() { return current_ != nullptr ? current_->cursor : nullptr; }
