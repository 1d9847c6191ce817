// Construction, storage, stores with conversion and assignment of SUValue.
#include "foundation/values/typed_value.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

namespace {

bool IsSetCode(std::uint16_t code) {
  return code < SUValue::kOneDimension && (code & SUValue::kSetFlag);
}

bool IsKnownKindSet(std::uint16_t code) {
  return code == SUValue::kIntSet || code == SUValue::kStringSet ||
         code == SUValue::kOrderedIntSet || code == SUValue::kOrderedStringSet;
}

// Sets hold integers or strings only; a code such as 12 (a set of reals)
// names nothing that can be stored.
bool HasInvalidSetKind(std::uint16_t code) {
  if (!(code & SUValue::kSetFlag)) return false;
  const std::uint16_t kind = code & SUValue::kKindMask;
  return kind != SUValue::kNoType && kind != SUValue::kInteger && kind != SUValue::kString;
}

std::uint32_t RoundUpTo4(std::int32_t n) {
  return n <= 0 ? 0 : (static_cast<std::uint32_t>(n) + 3u) & ~3u;
}

// The slots actually allocated for a set of the given capacity. The
// capacity grows by 4 as designed (and is saved with the set), but a set
// built element by element must not be copied at every fourth element:
// beyond 16 slots the storage is a power of two, and the capacity grows
// within it without copying.
std::uint32_t SlotsAllocatedFor(std::uint32_t capacity) {
  if (capacity <= 16) return capacity;
  std::uint64_t slots = 32;
  while (slots < capacity) slots *= 2;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(slots, 0xFFFFFFFFu));
}

}  // namespace

// --- construction ---

SUValue SUValue::ConstructInt(std::int32_t value, std::uint16_t code) {
  SUValue result;
  result.type = code;
  result.status = kValid;
  result.SetInt(value);
  return result;
}

SUValue::SUValue(const SUValue& source) {
  status = (source.IsSet()) ? kValid : kUnknown;
  type = source.type;
  Assign(source);
}

SUValue::~SUValue() { Release(); }

void SUValue::Release() {
  if (IsArray()) {
    delete[] payload.elements;  // destroys every slot, nested arrays included
  } else if (IsSet()) {
    // By the storage AllocateSet chose, whatever else the code's bits say.
    if (Kind() == kInteger) {
      delete[] payload.ints;
    } else if (payload.strings != nullptr) {
      for (std::uint32_t i = 0; i < capacity; ++i) ReleaseSharedBuffer(payload.strings[i]);
      delete[] payload.strings;
    }
  } else if (type == kString || type == kName) {
    delete[] payload.text;
  } else {
    return;
  }
  payload.bits = 0;
  capacity = 0;
}

void SUValue::TakeFrom(SUValue& other) noexcept {
  if (&other == this) return;
  Release();
  status = other.status;
  type = other.type;
  capacity = other.capacity;
  payload = other.payload;
  std::memcpy(&count, &other.count, sizeof count);
  other.status = kUnknown;
  other.type = kNoType;
  other.capacity = 0;
  other.payload.bits = 0;
  other.count = 0;
}

void SUValue::SetType(std::uint16_t code) {
  Release();
  if (code == kString || code == kName || code >= kOneDimension || IsSetCode(code)) {
    payload.bits = 0;
  }
  count = 0;
  type = code;
  if (IsSetCode(code)) {
    capacity = 0;
    status = kValid;
  }
}

// --- stores ---

void SUValue::SetArrayStatusFromElements() {
  status = kValid;
  for (std::int32_t i = 0; i < count; ++i) {
    if (payload.elements[i].status < 0) {
      status = payload.elements[i].status;
      return;
    }
  }
}

void SUValue::SetInt(std::int32_t value) {
  status = kValid;
  if (IsArray()) {
    for (std::uint32_t i = 0; i < capacity; ++i) payload.elements[i].SetInt(value);
    SetArrayStatusFromElements();
    return;
  }
  switch (type) {
    case kNoType:
      type = kInteger;
      [[fallthrough]];
    case kInteger:
    case kLogical:
    case kSpecification:
      payload.integer = value;
      return;
    case kReal:
      payload.real = value;
      return;
    case kEmptySet:
      type = kIntSet;
      [[fallthrough]];
    case kIntSet:
    case kOrderedIntSet:
      InitSet(1);
      payload.ints[0] = value;
      count = 1;
      return;
    default:
      status = kTypeClash;
  }
}

void SUValue::SetReal(double value) {
  status = kValid;
  if (IsArray()) {
    for (std::uint32_t i = 0; i < capacity; ++i) payload.elements[i].SetReal(value);
    SetArrayStatusFromElements();
    return;
  }
  switch (type) {
    case kNoType:
      type = kReal;
      [[fallthrough]];
    case kReal:
      payload.real = value;
      return;
    default:
      status = kTypeClash;
  }
}

void SUValue::SetString(const char* text) {
  status = kValid;
  if (IsArray()) {
    const std::string copy(text ? text : "");  // the text may live in one of the slots
    const char* stored = text ? copy.c_str() : nullptr;
    for (std::uint32_t i = 0; i < capacity; ++i) payload.elements[i].SetString(stored);
    SetArrayStatusFromElements();
    return;
  }
  switch (type) {
    case kNoType:
      type = kString;
      payload.bits = 0;
      [[fallthrough]];
    case kString:
    case kName:
      StoreText(text);
      return;
    case kEmptySet:
      type = kStringSet;
      [[fallthrough]];
    case kStringSet:
    case kOrderedStringSet: {
      SUStringRef fresh;
      fresh.Set(text);  // before the old records go: the text may be one of them
      InitSet(1);
      payload.strings[0] = fresh;
      count = 1;
      return;
    }
    default:
      status = kTypeClash;
  }
}

// A shorter text reuses the buffer; a longer (or equally long) one gets a
// buffer of exactly its length + 1. The text may point into the old buffer.
void SUValue::StoreText(const char* text) {
  if (!text) text = "";
  const std::size_t length = std::strlen(text);
  char* held = payload.text;
  if (held && (length == 0 || length < std::strlen(held))) {
    std::memmove(held, text, length + 1);
    return;
  }
  char* fresh = new char[length + 1];
  std::memcpy(fresh, text, length + 1);
  delete[] held;
  payload.text = fresh;
}

const char* SUValue::GetString() const {
  return (type == kString || type == kName) ? payload.text : nullptr;
}

// --- assignment ---

namespace {

// True when `value` is one of the elements of `tree`, at any depth.
bool InElementTree(const SUValue& tree, const SUValue* value) {
  if (!tree.IsArray() || tree.capacity == 0) return false;
  const SUValue* first = tree.payload.elements;
  const SUValue* end = first + tree.capacity;
  const std::less<const SUValue*> before;
  if (!before(value, first) && before(value, end)) return true;
  for (const SUValue* e = first; e != end; ++e) {
    if (InElementTree(*e, value)) return true;
  }
  return false;
}

}  // namespace

void SUValue::Assign(const SUValue& source) {
  // A source inside our own elements would change while it is read; an
  // array holding us would be read while we change it, and would grow each
  // time it is read through us.
  if (&source == this || InElementTree(*this, &source) || InElementTree(source, this)) {
    const SUValue copy(source);
    Assign(copy);
    return;
  }
  // A target without a type, or an empty set whose element kind is not known
  // yet, takes the source's type.
  if (type == kNoType || type == kEmptySet || type == kEmptyOrderedSet) {
    const std::uint16_t merged = type | source.type;
    if (HasInvalidSetKind(merged)) {
      status = kTypeClash;
      return;
    }
    if (type == kNoType || IsSet()) {
      // Neither carries storage; a notype payload word is no value either.
      capacity = 0;
      payload.bits = 0;
      count = 0;
    }
    type = merged;
    if (IsSet()) status = kValid;
  }

  if (source.IsArray()) {
    if (!IsArray()) {
      status = kTypeClash;
      return;
    }
    AssignArray(source);
    return;
  }
  if (IsSet() || source.IsSet()) {
    AssignSet(source);
    return;
  }
  switch (source.type) {
    case kNoType:
      if (type != kNoType) status = kSetClash;
      return;
    case kInteger:
    case kLogical:
    case kSpecification:
      SetInt(source.payload.integer);
      return;
    case kReal:
      SetReal(source.payload.real);
      return;
    case kString:
      SetString(source.payload.text);
      return;
    case kName:
      SetString(source.payload.text);
      if (type == kName && status == kValid) name = source.name;
      return;
    default:
      status = kTypeClash;
  }
}

void SUValue::AssignSet(const SUValue& source) {
  if (!IsSet()) {
    status = kSetClash;
    return;
  }
  if (!IsKnownKindSet(type)) return;  // 8 or 40 from a source without elements
  // The element kind the source brings: integer, string, or none.
  std::uint16_t source_kind;
  if (source.IsSet()) {
    source_kind = source.Kind();
  } else if (source.type == kInteger || source.type == kLogical || source.type == kSpecification) {
    source_kind = kInteger;
  } else if (source.type == kString || source.type == kName) {
    source_kind = kString;
  } else {
    status = source.type == kNoType ? kSetClash : kTypeClash;
    return;
  }
  if (source_kind != kNoType && source_kind != Kind()) {
    status = kTypeClash;
    return;
  }
  status = kValid;
  const std::int32_t n = source.IsSet() ? source.count : 1;
  const bool sorted_insert = (type == kIntSet && source.type == kOrderedIntSet) ||
                             (type == kStringSet && source.type == kOrderedStringSet);
  InitSet(n);
  if (source_kind == kNoType) return;
  if (Kind() == kInteger) {
    for (std::int32_t i = 0; i < n; ++i) {
      const std::int32_t value = source.IsSet() ? source.payload.ints[i] : source.payload.integer;
      if (sorted_insert) {
        InsertInt(value);
      } else {
        payload.ints[i] = value;
        count = i + 1;
      }
    }
    return;
  }
  for (std::int32_t i = 0; i < n; ++i) {
    if (!source.IsSet()) {
      payload.strings[0].Set(source.payload.text);
      count = 1;
    } else if (sorted_insert) {
      InsertString(source.payload.strings[i]);
    } else {
      payload.strings[i].Share(source.payload.strings[i]);
      count = i + 1;
    }
  }
}

void SUValue::AssignArray(const SUValue& source) {
  const std::int32_t n = source.count;
  if (count > 0) {
    // Element by element into the slots the target already has.
    if (n > static_cast<std::int64_t>(capacity)) {
      status = kTypeClash;
      return;
    }
    for (std::int32_t i = 0; i < n; ++i) payload.elements[i].Assign(source.payload.elements[i]);
    count = std::max(count, n);
  } else {
    Release();
    const std::uint16_t element_type = ElementType(type);
    GrowArray(element_type >= kOneDimension ? static_cast<std::uint32_t>(std::max(n, 0))
                                            : RoundUpTo4(n));
    count = n;
    for (std::int32_t i = 0; i < n; ++i) payload.elements[i].Assign(source.payload.elements[i]);
  }
  SetArrayStatusFromElements();
}

// --- set storage ---

void SUValue::AllocateSet(std::uint32_t slots) {
  capacity = slots;
  if (slots == 0) {
    payload.bits = 0;
  } else if (Kind() == kInteger) {
    payload.ints = new std::int32_t[SlotsAllocatedFor(slots)]();
  } else {
    payload.strings = new SUStringRef[SlotsAllocatedFor(slots)];
  }
}

void SUValue::InitSet(std::int32_t n) {
  if (!IsKnownKindSet(type)) return;
  Release();
  AllocateSet(RoundUpTo4(n));
  count = 0;
}

void SUValue::ResizeSet(std::int32_t n) {
  if (!IsKnownKindSet(type) || n == count) return;
  InitSet(n);
  count = std::max(n, 0);
}

void SUValue::GrowSet() {
  const std::uint32_t slots = capacity + 4;
  if (capacity > 0 && slots <= SlotsAllocatedFor(capacity)) {
    capacity = slots;
    return;
  }
  const std::uint32_t allocated = SlotsAllocatedFor(slots);
  if (Kind() == kInteger) {
    auto* grown = new std::int32_t[allocated]();
    std::copy_n(payload.ints, count, grown);
    delete[] payload.ints;
    payload.ints = grown;
  } else {
    auto* grown = new SUStringRef[allocated];
    std::copy_n(payload.strings, count, grown);  // handles move; no count changes
    delete[] payload.strings;
    payload.strings = grown;
  }
  capacity = slots;
}

bool SUValue::InsertInt(std::int32_t value) {
  const std::int32_t found = FindInt(value);
  if (found > 0) return false;
  if (static_cast<std::uint32_t>(count) == capacity) GrowSet();
  const std::int32_t at = type == kIntSet ? -found : count;
  std::copy_backward(payload.ints + at, payload.ints + count, payload.ints + count + 1);
  payload.ints[at] = value;
  ++count;
  return true;
}

void SUValue::AddInts(const std::vector<std::int32_t>& values) {
  if (type == kEmptySet && !values.empty()) AdoptElementKind(kInteger);
  if (type != kIntSet) {
    for (std::int32_t value : values) AddInt(value);
    return;
  }
  std::vector<std::int32_t> merged(payload.ints, payload.ints + count);
  merged.insert(merged.end(), values.begin(), values.end());
  std::sort(merged.begin(), merged.end());
  merged.erase(std::unique(merged.begin(), merged.end()), merged.end());
  const auto total = static_cast<std::uint32_t>(merged.size());
  if (total == static_cast<std::uint32_t>(count)) return;
  // The capacity that growing by 4 at a time would have reached.
  const std::uint32_t slots =
      total <= capacity ? capacity
                        : capacity + RoundUpTo4(static_cast<std::int32_t>(total - capacity));
  Release();
  AllocateSet(slots);
  std::copy(merged.begin(), merged.end(), payload.ints);
  count = static_cast<std::int32_t>(total);
}

bool SUValue::InsertString(const SUStringRef& ref) {
  const std::int32_t found = FindString(ref.Text());
  if (found > 0) return false;
  if (static_cast<std::uint32_t>(count) == capacity) GrowSet();
  const std::int32_t at = type == kStringSet ? -found : count;
  std::copy_backward(payload.strings + at, payload.strings + count, payload.strings + count + 1);
  payload.strings[at] = SUStringRef();  // its handle now lives one slot up
  payload.strings[at].Share(ref);
  ++count;
  return true;
}

bool SUValue::InsertText(const char* text) {
  SUStringRef fresh;
  fresh.Set(text ? text : "");
  const bool inserted = InsertString(fresh);
  ReleaseSharedBuffer(fresh);
  return inserted;
}

void SUValue::RemoveAt(std::int32_t i) {
  if (Kind() == kInteger) {
    std::copy(payload.ints + i + 1, payload.ints + count, payload.ints + i);
  } else {
    ReleaseSharedBuffer(payload.strings[i]);
    std::copy(payload.strings + i + 1, payload.strings + count, payload.strings + i);
    payload.strings[count - 1] = SUStringRef();  // moved down, not released
  }
  --count;
}

void SUValue::ClearSet() {
  if (IsStringSet()) {
    for (std::int32_t i = 0; i < count; ++i) ReleaseSharedBuffer(payload.strings[i]);
  }
  count = 0;
}

bool SUValue::AdoptElementKind(std::uint16_t kind) {
  if (type == kEmptySet || type == kEmptyOrderedSet) {
    type = static_cast<std::uint16_t>(type | kind);
    payload.bits = 0;
    capacity = 0;
    count = 0;
    return true;
  }
  return Kind() == kind;
}

// --- search and access ---

std::int32_t SUValue::FindInt(std::int32_t value, std::int32_t start) const {
  const std::int32_t from = std::clamp(start, 0, std::max(count, 0));
  switch (type) {
    case kIntSet: {
      const std::int32_t* begin = payload.ints;
      const std::int32_t* end = begin + count;
      const std::int32_t* at = std::lower_bound(begin + from, end, value);
      const auto index = static_cast<std::int32_t>(at - begin);
      return (at != end && *at == value) ? index + 1 : -index;
    }
    case kOrderedIntSet:
      for (std::int32_t i = from; i < count; ++i) {
        if (payload.ints[i] == value) return i + 1;
      }
      return -1;
    case kInteger:
    case kLogical:
      return payload.integer == value ? 1 : 0;
    default:
      return 0;
  }
}

std::int32_t SUValue::FindString(const char* text, std::int32_t start) const {
  const std::int32_t from = std::clamp(start, 0, std::max(count, 0));
  switch (type) {
    case kStringSet: {
      std::int32_t low = from;
      std::int32_t high = count;
      while (low < high) {
        const std::int32_t middle = low + (high - low) / 2;
        if (CompareCI(payload.strings[middle].Text(), text) < 0) {
          low = middle + 1;
        } else {
          high = middle;
        }
      }
      if (low < count && CompareCI(payload.strings[low].Text(), text) == 0) return low + 1;
      return -low;
    }
    case kOrderedStringSet:
      for (std::int32_t i = from; i < count; ++i) {
        if (CompareCI(payload.strings[i].Text(), text) == 0) return i + 1;
      }
      return -1;
    case kString:
    case kName:
      return CompareCI(payload.text, text) == 0 ? 1 : 0;
    default:
      return 0;
  }
}

std::int32_t SUValue::GetIntAt(std::int32_t i) const {
  if (IsIntegerSet()) return (i >= 0 && i < count) ? payload.ints[i] : 0;
  if (type == kInteger || type == kLogical || type == kSpecification) return payload.integer;
  return 0;
}

const char* SUValue::GetStringAt(std::int32_t i) const {
  if (IsStringSet()) return (i >= 0 && i < count) ? payload.strings[i].Text() : nullptr;
  return GetString();
}

// --- arrays ---

std::uint16_t SUValue::ElementType(std::uint16_t array_type) {
  if (array_type < kOneDimension) return kNoType;
  return static_cast<std::uint16_t>((array_type - kOneDimension) & 0xFF00) |
         static_cast<std::uint16_t>(array_type & 0x0F);
}

void SUValue::GrowArray(std::uint32_t slots) {
  if (slots == capacity) return;
  SUValue* grown = slots ? new SUValue[slots] : nullptr;
  const std::uint32_t kept = std::min(slots, capacity);
  for (std::uint32_t i = 0; i < kept; ++i) grown[i].TakeFrom(payload.elements[i]);
  const std::uint16_t element_type = ElementType(type);
  for (std::uint32_t i = kept; i < slots; ++i) grown[i].SetType(element_type);
  delete[] payload.elements;
  payload.elements = grown;
  capacity = slots;
}

void SUValue::Resize(std::int32_t n) {
  if (type == kNoType) {
    type = kOneDimension;
    payload.bits = 0;
    capacity = 0;
    count = 0;
    status = kValid;
  } else if (!IsArray()) {
    status = kTypeClash;
    return;
  }
  if (n < 0) {
    status = kSetClash;
    return;
  }
  if (static_cast<std::uint32_t>(n) > capacity) {
    GrowArray(ElementType(type) >= kOneDimension ? static_cast<std::uint32_t>(n) : RoundUpTo4(n));
  }
  // Slots given up start afresh when the array grows into them again.
  const std::uint16_t element_type = ElementType(type);
  for (std::int32_t i = n; i < count; ++i) {
    SUValue fresh;
    fresh.SetType(element_type);
    payload.elements[i].TakeFrom(fresh);
  }
  count = n;
}

SUValue* SUValue::SetElement(std::int32_t i, const SUValue& value) {
  if (!IsArray()) return this;
  if (i < 0 || i > count) {
    status = kSetClash;  // index out of bounds
    return this;
  }
  if (i == count) {
    // The value may be one of our own elements: copy it before the slots move.
    if (static_cast<std::uint32_t>(count) == capacity) {
      const SUValue copy(value);
      GrowArray(capacity + 4);
      ++count;
      payload.elements[i].Assign(copy);
      return &payload.elements[i];
    }
    ++count;
  }
  payload.elements[i].Assign(value);
  return &payload.elements[i];
}
