#include "foundation/directory/name_table.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace {

// Sorted by text; grown 64 entries at a time and freed when the last record
// leaves.
constexpr std::size_t kGrowth = 64;

std::vector<BvuNameRecord*> g_records;

// First position whose text is not below `text` (strcmp compares unsigned bytes).
std::vector<BvuNameRecord*>::iterator LowerBound(const char* text) {
  return std::lower_bound(g_records.begin(), g_records.end(), text,
                          [](const BvuNameRecord* record, const char* wanted) {
                            return std::strcmp(record->text(), wanted) < 0;
                          });
}

bool Holds(std::vector<BvuNameRecord*>::iterator at, const char* text) {
  return at != g_records.end() && std::strcmp((*at)->text(), text) == 0;
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
  auto at = LowerBound(text);
  if (!Holds(at, text)) {
    if (g_records.size() == g_records.capacity()) {
      const auto offset = at - g_records.begin();
      g_records.reserve(g_records.capacity() + kGrowth);
      at = g_records.begin() + offset;
    }
    at = g_records.insert(at, NewRecord(text));
  }
  ++(*at)->count;
  return *at;
}

void Remove(BvuNameRecord* record) {
  const auto at = LowerBound(record->text());
  if (Holds(at, record->text()) && *at == record) {
    g_records.erase(at);
    if (g_records.empty()) std::vector<BvuNameRecord*>().swap(g_records);
  }
  FreeRecord(record);
}

void Release(BvuNameRecord* record) {
  if (record == nullptr) return;
  if (record->count > 0) --record->count;
  if (record->count == 0) Remove(record);
}

std::size_t Count() { return g_records.size(); }
std::size_t Capacity() { return g_records.capacity(); }
const BvuNameRecord* At(std::size_t position) {
  return position < g_records.size() ? g_records[position] : nullptr;
}

}  // namespace BvuNameTable
