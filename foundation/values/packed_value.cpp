// The value pool and single compact records: storing texts and lists, and
// turning records back into typed values and into their stream form.
#include "foundation/values/packed_value.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "foundation/persistence/binary_stream.h"
#include "foundation/values/typed_value.h"
#include "platform/byte_order.h"

namespace {

constexpr std::uint32_t kFirstCapacity = 64;
constexpr std::uint32_t kPrefix = 4;
constexpr std::uint8_t kCurrentLayout = 255;
constexpr std::uint8_t kTypeFollows = 0x80;
constexpr std::uint8_t kAttributeMask = 0x7F;

std::uint32_t Capped(std::uint64_t n) {
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(n, std::numeric_limits<std::uint32_t>::max()));
}

// A real stored into an integer record: truncated, clamped to the range.
std::int32_t IntegerOf(double real) {
  if (std::isnan(real)) return 0;
  if (real <= std::numeric_limits<std::int32_t>::min())
    return std::numeric_limits<std::int32_t>::min();
  if (real >= std::numeric_limits<std::int32_t>::max())
    return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(real);
}

bool IsIntegerLike(std::uint16_t code) {
  return code == SUValue::kInteger || code == SUValue::kLogical || code == SUValue::kSpecification;
}

// The record type a notype record takes for a value; 0 for none.
std::uint16_t KeptTypeOf(std::uint16_t code) {
  switch (code) {
    case SUValue::kInteger:
    case SUValue::kSpecification:
      return SUValue::kInteger;
    case SUValue::kLogical:
      return SUValue::kLogical;
    case SUValue::kReal:
      return SUValue::kReal;
    case SUValue::kString:
    case SUValue::kName:
      return SUValue::kString;
    case SUValue::kEmptySet:
    case SUValue::kEmptyOrderedSet:
      return SUValue::kEmptySet;
    case SUValue::kIntSet:
    case SUValue::kOrderedIntSet:
      return SUValue::kIntSet;
    case SUValue::kStringSet:
    case SUValue::kOrderedStringSet:
      return SUValue::kStringSet;
    default:
      return SUValue::kNoType;
  }
}

class Puts {
 public:
  void operator()(Status put) {
    if (status::IsFailure(put) && status::IsSuccess(result_)) result_ = put;
  }
  Status Result() const { return result_; }

 private:
  Status result_ = status::kOk;
};

}  // namespace

// --- pool ---

SUValuePool::~SUValuePool() { delete[] data_; }

void SUValuePool::Grow(std::uint32_t n) {
  if (n <= capacity_) return;
  std::uint64_t grown = capacity_ == 0 ? kFirstCapacity : capacity_;
  while (grown < n) grown *= 2;
  const std::uint32_t slots = Capped(grown);
  auto* fresh = new std::uint8_t[slots]();
  if (used_ > 0) std::memcpy(fresh, data_, used_);
  delete[] data_;
  data_ = fresh;
  capacity_ = slots;
}

std::uint32_t SUValuePool::Allocate(std::uint32_t n) {
  const std::uint64_t wanted = static_cast<std::uint64_t>(used_) + n;
  if (wanted > capacity_) Grow(Capped(wanted));
  const std::uint32_t offset = used_;
  used_ += n;
  return offset;
}

const std::uint8_t* SUValuePool::Block(std::uint32_t offset, std::uint32_t bytes_per_unit,
                                       std::uint32_t* prefix) const {
  if (offset < kPrefix || offset > used_) return nullptr;
  const std::uint32_t units = platform::LoadLE32(data_ + offset - kPrefix);
  if (static_cast<std::uint64_t>(offset) + static_cast<std::uint64_t>(units) * bytes_per_unit >
      used_) {
    return nullptr;
  }
  *prefix = units;
  return data_ + offset;
}

void SUValuePool::SetPrefix(std::uint32_t offset, std::uint32_t prefix) {
  platform::StoreLE32(data_ + offset - kPrefix, prefix);
}

void SUValuePool::StoreString(std::uint32_t* offset, const char* text) {
  // The text may lie in this pool, which may move when it grows.
  const std::string copy(text != nullptr ? text : "");
  const auto length = static_cast<std::uint32_t>(copy.size() + 1);
  std::uint32_t room = 0;
  if (*offset != 0 && Block(*offset, 1, &room) != nullptr && room >= length) {
    std::memcpy(data_ + *offset, copy.c_str(), length);
    return;
  }
  const std::uint32_t size = *offset == 0 ? std::max(length, kSmallestString) : length;
  const std::uint32_t contents = Allocate(kPrefix + size) + kPrefix;
  SetPrefix(contents, size);
  std::memcpy(data_ + contents, copy.c_str(), length);
  std::memset(data_ + contents + length, 0, size - length);
  *offset = contents;
}

void SUValuePool::StoreIntList(std::uint32_t* offset, const SUValue& value) {
  std::vector<std::int32_t> integers;
  if (value.IsIntegerSet()) {
    integers.assign(value.payload.ints, value.payload.ints + value.count);
  } else if (value.type == SUValue::kInteger || value.type == SUValue::kLogical) {
    integers.push_back(value.payload.integer);
  }
  const auto n = static_cast<std::uint32_t>(integers.size());
  std::uint32_t held = 0;
  if (*offset == 0 || Block(*offset, 4, &held) == nullptr || held < n) {
    *offset = Allocate(kPrefix + 4 * n) + kPrefix;
  }
  SetPrefix(*offset, n);
  for (std::uint32_t i = 0; i < n; ++i) {
    platform::StoreLE32(data_ + *offset + 4 * i, static_cast<std::uint32_t>(integers[i]));
  }
}

void SUValuePool::StoreStringList(std::uint32_t* offset, const SUValue& value) {
  std::vector<const char*> texts;
  if (value.IsStringSet()) {
    for (std::int32_t i = 0; i < value.count; ++i) texts.push_back(value.payload.strings[i].Text());
  } else if (value.type == SUValue::kString || value.type == SUValue::kName) {
    texts.push_back(value.payload.text);
  }
  const auto n = static_cast<std::uint32_t>(texts.size());
  std::uint32_t held = 0;
  if (*offset == 0 || Block(*offset, 4, &held) == nullptr || held < n) {
    *offset = Allocate(kPrefix + 4 * n) + kPrefix;
    std::memset(data_ + *offset, 0, 4 * static_cast<std::size_t>(n));
  }
  SetPrefix(*offset, n);
  for (std::uint32_t i = 0; i < n; ++i) {
    std::uint32_t slot = 0;
    if (texts[i] != nullptr) {
      slot = platform::LoadLE32(data_ + *offset + 4 * i);
      StoreString(&slot, texts[i]);  // may move the buffer
    }
    platform::StoreLE32(data_ + *offset + 4 * i, slot);
  }
}

const char* SUValuePool::StringAt(std::uint32_t offset) const {
  std::uint32_t room = 0;
  const std::uint8_t* text = Block(offset, 1, &room);
  if (text == nullptr || std::memchr(text, 0, room) == nullptr) return nullptr;
  return reinterpret_cast<const char*>(text);
}

Status SUValuePool::ReadIntList(std::uint32_t offset, std::vector<std::int32_t>* integers) const {
  integers->clear();
  std::uint32_t n = 0;
  const std::uint8_t* list = Block(offset, 4, &n);
  if (list == nullptr) return status::kBadArguments;
  for (std::uint32_t i = 0; i < n; ++i) {
    integers->push_back(static_cast<std::int32_t>(platform::LoadLE32(list + 4 * i)));
  }
  return status::kOk;
}

Status SUValuePool::ReadStringList(std::uint32_t offset, std::vector<const char*>* texts) const {
  texts->clear();
  std::uint32_t n = 0;
  const std::uint8_t* list = Block(offset, 4, &n);
  if (list == nullptr) return status::kBadArguments;
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint32_t slot = platform::LoadLE32(list + 4 * i);
    const char* text = slot != 0 ? StringAt(slot) : nullptr;
    if (slot != 0 && text == nullptr) return status::kBadArguments;
    texts->push_back(text);
  }
  return status::kOk;
}

Status SUValuePool::LoadIntSet(std::uint32_t offset, SUValue* value) const {
  std::vector<std::int32_t> integers;
  const Status read = ReadIntList(offset, &integers);
  if (status::IsFailure(read)) return read;
  value->AddInts(integers);
  return status::kOk;
}

Status SUValuePool::LoadStringSet(std::uint32_t offset, SUValue* value) const {
  std::vector<const char*> texts;
  const Status read = ReadStringList(offset, &texts);
  if (status::IsFailure(read)) return read;
  if (!value->IsStringSet()) return status::kBadArguments;
  value->ResizeSet(static_cast<std::int32_t>(texts.size()));
  for (std::size_t i = 0; i < texts.size(); ++i) value->payload.strings[i].Set(texts[i]);
  return status::kOk;
}

bool SUValuePool::FetchString(std::uint32_t offset, char* buffer, std::uint32_t size) const {
  const char* text = StringAt(offset);
  if (text == nullptr) return false;
  const std::size_t length = std::strlen(text) + 1;
  if (length > size) return false;
  std::memcpy(buffer, text, length);
  return true;
}

void SUValuePool::LoadBytes(const std::uint8_t* bytes, std::uint32_t size) {
  std::uint64_t wanted = 16;
  while (wanted < size) wanted *= 2;
  if (capacity_ < size || capacity_ > 2 * wanted) {
    delete[] data_;
    capacity_ = Capped(wanted);
    data_ = new std::uint8_t[capacity_];
  }
  // A fresh pool loading an empty section has no buffer at all.
  if (size > 0) std::memcpy(data_, bytes, size);
  if (capacity_ > size) std::memset(data_ + size, 0, capacity_ - size);
  used_ = size;
}

// --- records ---

bool SUPackedValue::HoldsBlock() const {
  return type == SUValue::kString || type == SUValue::kEmptySet || type == SUValue::kIntSet ||
         type == SUValue::kStringSet;
}

void SUPackedValue::SetInt(std::int32_t value) {
  switch (type) {
    case SUValue::kReal:
      payload.real = value;
      return;
    case SUValue::kNoType:
      type = SUValue::kInteger;
      payload.bits = 0;
      [[fallthrough]];
    case SUValue::kInteger:
    case SUValue::kLogical:
      payload.integer = value;
      return;
    default:
      return;
  }
}

void SUPackedValue::SetReal(double value) {
  type = SUValue::kReal;
  payload.real = value;
}

void SUPackedValue::SetString(const char* text, SUValuePool& pool) {
  std::uint32_t offset = type == SUValue::kString ? payload.offset : 0;
  pool.StoreString(&offset, text);
  type = SUValue::kString;
  payload.bits = 0;
  payload.offset = offset;
}

Status SUPackedValue::FromValue(const SUValue& value, SUValuePool& pool) {
  const std::uint16_t target = type == SUValue::kNoType ? KeptTypeOf(value.type) : type;
  switch (target) {
    case SUValue::kInteger:
    case SUValue::kLogical:
    case SUValue::kReal: {
      const bool real_source = value.type == SUValue::kReal;
      if (!real_source && !IsIntegerLike(value.type)) return status::kBadArguments;
      if (target == SUValue::kReal) {
        payload.real = real_source ? value.payload.real : value.payload.integer;
      } else {
        payload.bits = 0;
        payload.integer = real_source ? IntegerOf(value.payload.real) : value.payload.integer;
      }
      type = target;
      return status::kOk;
    }
    case SUValue::kString: {
      const char* text = value.GetString();
      if (text == nullptr && value.type != SUValue::kString && value.type != SUValue::kName) {
        return status::kBadArguments;
      }
      SetString(text, pool);
      return status::kOk;
    }
    case SUValue::kEmptySet:
    case SUValue::kIntSet: {
      std::uint32_t offset =
          (type == SUValue::kEmptySet || type == SUValue::kIntSet) ? payload.offset : 0;
      pool.StoreIntList(&offset, value);
      payload.bits = 0;
      payload.offset = offset;
      type = value.IsSet() ? KeptTypeOf(value.type) : target;
      if (type != SUValue::kEmptySet && type != SUValue::kIntSet) type = target;
      return status::kOk;
    }
    case SUValue::kStringSet: {
      std::uint32_t offset = type == SUValue::kStringSet ? payload.offset : 0;
      pool.StoreStringList(&offset, value);
      payload.bits = 0;
      payload.offset = offset;
      type = target;
      return status::kOk;
    }
    default:
      return status::kBadArguments;
  }
}

Status SUPackedValue::ToValue(SUValue* value, const SUValuePool& pool) const {
  Status built = status::kOk;
  switch (type) {
    case SUValue::kInteger:
    case SUValue::kLogical:
      value->SetType(type);
      value->SetInt(payload.integer);
      break;
    case SUValue::kReal:
      value->SetType(type);
      value->SetReal(payload.real);
      break;
    case SUValue::kString: {
      const char* text = pool.StringAt(payload.offset);
      value->SetType(type);
      if (text == nullptr) {
        built = status::kBadArguments;
      } else {
        value->SetString(text);
      }
      break;
    }
    case SUValue::kEmptySet:
    case SUValue::kIntSet:
      value->SetType(type);
      built = pool.LoadIntSet(payload.offset, value);
      break;
    case SUValue::kStringSet:
      value->SetType(type);
      built = pool.LoadStringSet(payload.offset, value);
      break;
    default:
      value->SetType(SUValue::kNoType);
      value->status = SUValue::kUnknown;
      return status::kOk;
  }
  value->status = status::IsFailure(built) ? SUValue::kUnreadable : SUValue::kValid;
  return built;
}

const char* SUPackedValue::StringAddress(const SUValuePool& pool) const {
  return type == SUValue::kString ? pool.StringAt(payload.offset) : nullptr;
}

Status SUPackedValue::Save(BvuBinaryStream& stream, const SUValuePool& pool) const {
  Puts put;
  put(stream.PutUInt8(kCurrentLayout));
  put(stream.PutUInt8(static_cast<std::uint8_t>((attribute & kAttributeMask) | kTypeFollows)));
  put(stream.PutUInt8(static_cast<std::uint8_t>(type)));
  switch (type) {
    case SUValue::kInteger:
      put(stream.PutUInt32(static_cast<std::uint32_t>(payload.integer)));
      break;
    case SUValue::kLogical:
      put(stream.PutUInt8(static_cast<std::uint8_t>(payload.integer)));
      break;
    case SUValue::kReal:
      put(stream.PutDouble(payload.real));
      break;
    case SUValue::kString:
      put(stream.PutString(StringAddress(pool)));
      break;
    case SUValue::kEmptySet:
    case SUValue::kIntSet: {
      std::vector<std::int32_t> integers;
      pool.ReadIntList(payload.offset, &integers);  // a damaged list saves as empty
      put(stream.PutUInt32(static_cast<std::uint32_t>(integers.size())));
      for (std::int32_t integer : integers)
        put(stream.PutUInt32(static_cast<std::uint32_t>(integer)));
      break;
    }
    case SUValue::kStringSet: {
      std::vector<const char*> texts;
      pool.ReadStringList(payload.offset, &texts);
      put(stream.PutUInt32(static_cast<std::uint32_t>(texts.size())));
      for (const char* text : texts) put(stream.PutString(text));
      break;
    }
    default:
      break;
  }
  put(stream.PutUInt8(0));
  put(stream.PutUInt32(flags));
  return put.Result();
}

Status SUPackedValue::Restore(BvuBinaryStream& stream, SUValuePool& pool) {
  owner = nullptr;
  std::uint8_t byte = 0;
  Status read = stream.GetUInt8(&byte);
  if (status::IsFailure(read)) return read;
  const bool current = byte == kCurrentLayout;
  if (current) {
    read = stream.GetUInt8(&byte);
    if (status::IsFailure(read)) return read;
  }
  attribute = byte & kAttributeMask;
  type = SUValue::kReal;
  if ((byte & kTypeFollows) != 0) {
    std::uint8_t code = 0;
    read = stream.GetUInt8(&code);
    if (status::IsFailure(read)) return read;
    type = code;
  }
  payload.bits = 0;
  switch (type) {
    case SUValue::kInteger: {
      std::uint32_t value = 0;
      read = stream.GetUInt32(&value);
      payload.integer = static_cast<std::int32_t>(value);
      break;
    }
    case SUValue::kLogical: {
      std::uint8_t value = 0;
      read = stream.GetUInt8(&value);
      payload.integer = value;
      break;
    }
    case SUValue::kReal: {
      unsigned char bytes[8];
      read = stream.TryGet8(bytes) == 1 ? status::kOk : status::kUnhandled;
      payload.real = platform::LoadLEDouble(bytes);
      break;
    }
    case SUValue::kString: {
      char* text = nullptr;
      read = stream.GetStringNew(&text);
      const std::unique_ptr<char[]> owned(text);
      if (status::IsFailure(read)) break;
      pool.StoreString(&payload.offset, text);
      break;
    }
    case SUValue::kEmptySet:
    case SUValue::kIntSet: {
      std::uint32_t n = 0;
      read = stream.GetUInt32(&n);
      std::vector<std::int32_t> elements;
      for (std::uint32_t i = 0; i < n && status::IsSuccess(read); ++i) {
        std::uint32_t element = 0;
        read = stream.GetUInt32(&element);
        if (status::IsSuccess(read)) elements.push_back(static_cast<std::int32_t>(element));
      }
      if (status::IsFailure(read)) break;
      SUValue set;
      set.SetType(type);
      set.AddInts(elements);
      read = FromValue(set, pool);
      break;
    }
    case SUValue::kStringSet: {
      std::uint32_t n = 0;
      read = stream.GetUInt32(&n);
      std::vector<std::unique_ptr<char[]>> texts;
      for (std::uint32_t i = 0; i < n && status::IsSuccess(read); ++i) {
        char* text = nullptr;
        read = stream.GetStringNew(&text);
        texts.emplace_back(text);
      }
      if (status::IsFailure(read)) break;
      SUValue set;
      set.SetType(SUValue::kStringSet);
      set.InitSet(static_cast<std::int32_t>(texts.size()));
      for (std::size_t i = 0; i < texts.size(); ++i) set.payload.strings[i].Set(texts[i].get());
      set.count = static_cast<std::int32_t>(texts.size());
      read = FromValue(set, pool);
      break;
    }
    default:
      break;
  }
  if (status::IsFailure(read)) return read;
  if (current) {
    std::uint8_t ignored = 0;
    read = stream.GetUInt8(&ignored);
    if (status::IsSuccess(read)) read = stream.GetUInt32(&flags);
  }
  return read;
}
