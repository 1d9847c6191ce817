#include "foundation/directory/name_table.h"

#include <cstring>
#include <new>

namespace {

// Grown 64 entries at a time and freed when the last record leaves.
constexpr std::size_t kGrowth = 64;

BvuNameRecord** g_records = nullptr;
std::size_t g_count = 0;
std::size_t g_capacity = 0;

// First position whose text is not below `text` (strcmp compares unsigned bytes).
std::size_t LowerBound(const char* text, bool* found) {
  std::size_t low = 0;
  std::size_t high = g_count;
  *found = false;
  while (low < high) {
    const std::size_t mid = low + (high - low) / 2;
    const int order = std::strcmp(g_records[mid]->text(), text);
    if (order == 0) {
      *found = true;
      return mid;
    }
    if (order < 0) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}

BvuNameRecord* NewRecord(const char* text) {
  const std::size_t length = std::strlen(text);
  void* memory = ::operator new(sizeof(BvuNameRecord) + length + 1);
  auto* record = new (memory) BvuNameRecord{0};
  std::memcpy(reinterpret_cast<char*>(record + 1), text, length + 1);
  return record;
}

void FreeRecord(BvuNameRecord* record) {
  record->~BvuNameRecord();
  ::operator delete(record);
}

}  // namespace

namespace BvuNameTable {

BvuNameRecord* Intern(const char* text) {
  if (text == nullptr) text = "";
  bool found = false;
  const std::size_t at = LowerBound(text, &found);
  if (found) {
    ++g_records[at]->count;
    return g_records[at];
  }
  if (g_count == g_capacity) {
    auto** grown = new BvuNameRecord*[g_capacity + kGrowth];
    if (g_count > 0) std::memcpy(grown, g_records, g_count * sizeof(BvuNameRecord*));
    delete[] g_records;
    g_records = grown;
    g_capacity += kGrowth;
  }
  std::memmove(g_records + at + 1, g_records + at, (g_count - at) * sizeof(BvuNameRecord*));
  g_records[at] = NewRecord(text);
  ++g_count;
  ++g_records[at]->count;
  return g_records[at];
}

void Remove(BvuNameRecord* record) {
  bool found = false;
  const std::size_t at = LowerBound(record->text(), &found);
  if (found && g_records[at] == record) {
    std::memmove(g_records + at, g_records + at + 1, (g_count - at - 1) * sizeof(BvuNameRecord*));
    --g_count;
    if (g_count == 0) {
      delete[] g_records;
      g_records = nullptr;
      g_capacity = 0;
    }
  }
  FreeRecord(record);
}

void Release(BvuNameRecord* record) {
  if (record == nullptr) return;
  if (record->count > 0) --record->count;
  if (record->count == 0) Remove(record);
}

std::size_t Count() { return g_count; }
std::size_t Capacity() { return g_capacity; }
const BvuNameRecord* At(std::size_t position) {
  return position < g_count ? g_records[position] : nullptr;
}

}  // namespace BvuNameTable
