// SUValue in message bodies and on virtual streams. Counts and capacities
// come from outside: elements are gathered as they are actually read, and the
// storage is made only once they are all there, so that a damaged count
// cannot ask for more memory than the input holds.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "foundation/persistence/binary_stream.h"
#include "foundation/persistence/virtual_stream.h"
#include "foundation/values/typed_value.h"
#include "platform/byte_order.h"

namespace {

// Slots a set may keep beyond its elements (a set that lost elements keeps
// its storage); more than this in a stream is damage.
constexpr std::uint32_t kSpareSlots = 65536;
constexpr std::size_t kTextChunk = 4096;

bool PlausibleCapacity(std::size_t count, std::uint32_t capacity) {
  return capacity >= count && capacity <= ((count + 3) & ~std::size_t{3}) + kSpareSlots;
}

// A set of the value's (set) type holding the elements, with room for
// capacity of them.
void FillIntSet(SUValue& value, const std::vector<std::int32_t>& elements, std::uint32_t capacity) {
  value.InitSet(static_cast<std::int32_t>(capacity));
  std::copy(elements.begin(), elements.end(), value.payload.ints);
  value.count = static_cast<std::int32_t>(elements.size());
}

void FillStringSet(SUValue& value, const std::vector<std::unique_ptr<char[]>>& elements,
                   std::uint32_t capacity) {
  value.InitSet(static_cast<std::int32_t>(capacity));
  for (std::size_t i = 0; i < elements.size(); ++i) value.payload.strings[i].Set(elements[i].get());
  value.count = static_cast<std::int32_t>(elements.size());
}

// --- message form ---

class Puts {
 public:
  void operator()(Status put) {
    wrote_ = true;
    if (status::IsFailure(put) && status::IsSuccess(result_)) result_ = put;
  }
  bool Wrote() const { return wrote_; }
  Status Result() const { return result_; }

 private:
  bool wrote_ = false;
  Status result_ = status::kOk;
};

Status ReadText(BvuBinaryStream& stream, std::unique_ptr<char[]>* text) {
  char* read_text = nullptr;
  const Status read = stream.GetStringNew(&read_text);
  text->reset(read_text);
  return status::IsFailure(read) ? read : status::kOk;
}

Status ReadSetHead(BvuBinaryStream& stream, std::uint32_t* count, std::uint32_t* capacity) {
  Status read = stream.GetUInt32(count);
  if (status::IsSuccess(read)) read = stream.GetUInt32(capacity);
  if (status::IsFailure(read)) return read;
  if (*count > 0x7FFFFFFF || !PlausibleCapacity(*count, *capacity)) return status::kBadArguments;
  return status::kOk;
}

}  // namespace

bool SUValue::IsTransferable(std::uint16_t code) {
  switch (code) {
    case kInteger:
    case kLogical:
    case kReal:
    case kString:
    case kName:
    case kSpecification:
    case kEmptySet:
    case kIntSet:
    case kStringSet:
    case kEmptyOrderedSet:
    case kOrderedIntSet:
    case kOrderedStringSet:
      return true;
    default:
      return false;
  }
}

Status SUValue::WriteBinary(BvuBinaryStream& stream, bool write_type) const {
  Puts put;
  if (write_type) put(stream.PutUInt16(type));
  switch (type) {
    case kInteger:
    case kLogical:
      put(stream.PutUInt32(static_cast<std::uint32_t>(payload.integer)));
      break;
    case kReal:
      put(stream.PutDouble(payload.real));
      break;
    case kString:
      put(stream.PutString(payload.text));
      break;
    case kName:
      // The first attribute is 16 bits in the value but one byte here.
      put(stream.PutUInt16(name.second));
      put(stream.PutInt8(static_cast<std::int8_t>(name.first & 0xFF)));
      put(stream.PutInt8(static_cast<std::int8_t>(name.third)));
      put(stream.PutString(payload.text));
      break;
    case kSpecification:
      put(stream.PutInt8(static_cast<std::int8_t>(payload.integer)));
      break;
    case kEmptySet:
    case kEmptyOrderedSet:
      break;
    case kIntSet:
    case kOrderedIntSet:
      put(stream.PutUInt32(static_cast<std::uint32_t>(count)));
      put(stream.PutUInt32(capacity));
      for (std::int32_t i = 0; i < count; ++i)
        put(stream.PutUInt32(static_cast<std::uint32_t>(payload.ints[i])));
      break;
    case kStringSet:
    case kOrderedStringSet:
      put(stream.PutUInt32(static_cast<std::uint32_t>(count)));
      put(stream.PutUInt32(capacity));
      for (std::int32_t i = 0; i < count; ++i) put(stream.PutString(payload.strings[i].Text()));
      break;
    default:
      if (!put.Wrote()) return status::kGeneralFailure;
      break;
  }
  return put.Result();
}

Status SUValue::ReadBinary(BvuBinaryStream& stream, std::uint16_t code) {
  SetType(kNoType);
  status = kUnreadable;
  if (!IsTransferable(code)) return status::kBadArguments;
  SetType(code);
  status = kUnreadable;
  Status read = status::kOk;
  switch (code) {
    case kInteger:
    case kLogical: {
      std::uint32_t value = 0;
      read = stream.GetUInt32(&value);
      payload.integer = static_cast<std::int32_t>(value);
      break;
    }
    case kReal: {
      unsigned char bytes[8];
      read = stream.TryGet8(bytes) == 1 ? status::kOk : status::kUnhandled;
      payload.real = platform::LoadLEDouble(bytes);
      break;
    }
    case kString:
    case kName: {
      std::uint16_t second = 0;
      std::uint32_t first = 0;
      std::uint32_t third = 0;
      if (code == kName) {
        read = stream.GetUInt16(&second);
        if (status::IsSuccess(read)) read = stream.GetByteAsUInt32(&first);
        if (status::IsSuccess(read)) read = stream.GetByteAsUInt32(&third);
      }
      std::unique_ptr<char[]> text;
      if (status::IsSuccess(read)) read = ReadText(stream, &text);
      if (status::IsFailure(read)) break;
      SetString(text.get());
      if (code == kName) {
        name.first = static_cast<std::uint16_t>(first);
        name.second = static_cast<std::uint8_t>(second);
        name.third = static_cast<std::uint8_t>(third);
      }
      break;
    }
    case kSpecification: {
      std::uint32_t value = 0;
      read = stream.GetByteAsUInt32(&value);
      payload.integer = static_cast<std::int32_t>(value);
      break;
    }
    case kEmptySet:
    case kEmptyOrderedSet:
      break;
    case kIntSet:
    case kOrderedIntSet: {
      std::uint32_t n = 0;
      std::uint32_t slots = 0;
      read = ReadSetHead(stream, &n, &slots);
      std::vector<std::int32_t> elements;
      for (std::uint32_t i = 0; i < n && status::IsSuccess(read); ++i) {
        std::uint32_t element = 0;
        read = stream.GetUInt32(&element);
        elements.push_back(static_cast<std::int32_t>(element));
      }
      if (status::IsSuccess(read)) FillIntSet(*this, elements, slots);
      break;
    }
    default: {  // string sets
      std::uint32_t n = 0;
      std::uint32_t slots = 0;
      read = ReadSetHead(stream, &n, &slots);
      std::vector<std::unique_ptr<char[]>> elements;
      for (std::uint32_t i = 0; i < n && status::IsSuccess(read); ++i) {
        elements.emplace_back();
        read = ReadText(stream, &elements.back());
      }
      if (status::IsSuccess(read)) FillStringSet(*this, elements, slots);
      break;
    }
  }
  if (status::IsFailure(read)) return read;
  status = kValid;
  return status::kOk;
}

Status WriteMonitorValues(BvuBinaryStream& stream, double time, std::uint32_t count,
                          const SUValue* values, const std::uint32_t* tags) {
  Puts put;
  put(stream.PutDouble(time));
  put(stream.PutUInt32(count));
  for (std::uint32_t i = 0; i < count; ++i) {
    put(stream.PutUInt32(values[i].type));
    put(stream.PutUInt32(tags[i]));
    // A value that does not travel is known by its type code to carry nothing.
    if (SUValue::IsTransferable(values[i].type)) put(values[i].WriteBinary(stream, false));
  }
  return put.Result();
}

// --- virtual-stream form ---

namespace {

void Fail(Clvistream& stream) { stream.Clear(stream.ReadState() | Clvios::kFailBit); }

void SaveText(Clvostream& stream, const char* text) {
  if (text == nullptr) {
    stream.PutI32(0);
    return;
  }
  const std::size_t length = std::strlen(text);
  stream.PutI32(static_cast<std::int32_t>(length + 1));
  stream.PutBytes(text, length);
}

// A text as SaveText writes it; false (stream failed) when damaged.
bool RestoreText(Clvistream& stream, std::unique_ptr<char[]>* text) {
  text->reset();
  std::int32_t length = 0;
  if (!stream.GetI32(length)) return false;
  if (length < 0) {
    Fail(stream);
    return false;
  }
  if (length == 0) return true;
  std::string read;
  std::size_t left = static_cast<std::size_t>(length) - 1;
  char chunk[kTextChunk];
  while (left > 0) {
    const std::size_t n = std::min(left, kTextChunk);
    if (!stream.GetBytes(chunk, n)) return false;
    read.append(chunk, n);
    left -= n;
  }
  text->reset(new char[read.size() + 1]);
  std::memcpy(text->get(), read.c_str(), read.size() + 1);
  return true;
}

bool RestoreSetHead(Clvistream& stream, std::int32_t* count, std::int32_t* capacity) {
  if (!stream.GetI32(*count) || !stream.GetI32(*capacity)) return false;
  if (*count < 0 || *capacity < 0 ||
      !PlausibleCapacity(static_cast<std::size_t>(*count), static_cast<std::uint32_t>(*capacity))) {
    Fail(stream);
    return false;
  }
  return true;
}

// The codes a value can have, or an array's elements; a damaged stream may
// name any other.
bool IsKnownElementCode(std::uint16_t code) {
  return code == SUValue::kNoType || SUValue::IsTransferable(code);
}

// An element of an array has fewer dimensions than the array, which bounds
// the nesting of a damaged stream.
void Restore(SUValue& value, Clvistream& stream, std::uint32_t most_dimensions) {
  std::uint16_t code = 0;
  std::int16_t saved_status = 0;
  if (!stream.GetU16(code) || !stream.GetI16(saved_status)) return;
  if (static_cast<std::uint32_t>(code >> 8) > most_dimensions || !IsKnownElementCode(code & 0xFF)) {
    Fail(stream);
    return;
  }
  value.SetType(code);
  if (value.IsArray()) {
    std::int32_t n = 0;
    if (!stream.GetI32(n)) return;
    if (n < 0) {
      Fail(stream);
      return;
    }
    value.Resize(0);
    for (std::int32_t i = 0; i < n; ++i) {
      if (i == value.count)
        value.Resize(static_cast<std::int32_t>(std::min<std::int64_t>(n, std::max(2 * i, 16))));
      Restore(value.payload.elements[i], stream, (code >> 8) - 1u);
      if (!stream.Good()) {
        value.Resize(i);
        return;
      }
    }
    value.status = saved_status;
    return;
  }
  switch (code) {
    case SUValue::kInteger:
    case SUValue::kLogical:
    case SUValue::kSpecification:
      if (!stream.GetI32(value.payload.integer)) return;
      break;
    case SUValue::kReal:
      if (!stream.GetDouble(value.payload.real)) return;
      break;
    case SUValue::kString:
    case SUValue::kName: {
      std::int32_t first = 0;
      std::int32_t third = 0;
      std::int32_t second = 0;
      if (code == SUValue::kName &&
          (!stream.GetI32(first) || !stream.GetI32(third) || !stream.GetI32(second))) {
        return;
      }
      std::unique_ptr<char[]> text;
      if (!RestoreText(stream, &text)) return;
      // A null text (length 0) stays null, as SetType left it: SetString
      // would store it as the empty text, which saves as length 1.
      if (text != nullptr) value.SetString(text.get());
      if (code == SUValue::kName) {
        value.name.first = static_cast<std::uint16_t>(first);
        value.name.second = static_cast<std::uint8_t>(second);
        value.name.third = static_cast<std::uint8_t>(third);
      }
      break;
    }
    case SUValue::kIntSet:
    case SUValue::kOrderedIntSet: {
      std::int32_t n = 0;
      std::int32_t slots = 0;
      if (!RestoreSetHead(stream, &n, &slots)) return;
      std::vector<std::int32_t> elements;
      for (std::int32_t i = 0; i < n; ++i) {
        std::int32_t element = 0;
        if (!stream.GetI32(element)) return;
        elements.push_back(element);
      }
      FillIntSet(value, elements, static_cast<std::uint32_t>(slots));
      break;
    }
    case SUValue::kStringSet:
    case SUValue::kOrderedStringSet: {
      std::int32_t n = 0;
      std::int32_t slots = 0;
      if (!RestoreSetHead(stream, &n, &slots)) return;
      std::vector<std::unique_ptr<char[]>> elements;
      for (std::int32_t i = 0; i < n; ++i) {
        elements.emplace_back();
        if (!RestoreText(stream, &elements.back())) return;
      }
      FillStringSet(value, elements, static_cast<std::uint32_t>(slots));
      break;
    }
    default:  // 8 and 40 leave an empty set; other codes carry nothing
      break;
  }
  value.status = saved_status;
}

}  // namespace

void SUValue::SaveToVStream(Clvostream& stream) const {
  stream.PutU16(type);
  stream.PutI16(status);
  if (IsArray()) {
    stream.PutI32(count);
    for (std::int32_t i = 0; i < count; ++i) payload.elements[i].SaveToVStream(stream);
    return;
  }
  switch (type) {
    case kInteger:
    case kLogical:
    case kSpecification:
      stream.PutI32(payload.integer);
      break;
    case kReal:
      stream.PutDouble(payload.real);
      break;
    case kString:
      SaveText(stream, payload.text);
      break;
    case kName:
      stream.PutI32(name.first);
      stream.PutI32(name.third);
      stream.PutI32(name.second);
      SaveText(stream, payload.text);
      break;
    case kIntSet:
    case kOrderedIntSet:
      stream.PutI32(count);
      stream.PutI32(static_cast<std::int32_t>(capacity));
      stream.PutI32s(payload.ints, static_cast<std::size_t>(count));
      break;
    case kStringSet:
    case kOrderedStringSet:
      stream.PutI32(count);
      stream.PutI32(static_cast<std::int32_t>(capacity));
      for (std::int32_t i = 0; i < count; ++i) SaveText(stream, payload.strings[i].Text());
      break;
    default:
      break;
  }
}

void SUValue::RestoreFromVStream(Clvistream& stream) { Restore(*this, stream, 0xFF); }
