#include "foundation/directory/name_table.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

// The records by text, so that interning costs the same however many names
// are held; the byte order the checks read is made when asked for. The
// capacity follows an array grown 64 entries at a time and freed when the
// last record leaves.
constexpr std::size_t kGrowth = 64;

// Keyed by views into the records' own texts.
std::unordered_map<std::string_view, BvuNameRecord*> g_records;
std::size_t g_capacity = 0;
// The records in byte order, made on demand; empty once anything changed.
std::vector<const BvuNameRecord*> g_ordered;

BvuNameRecord* NewRecord(const char* text, std::size_t length) {
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
  const std::string_view wanted(text);
  auto found = g_records.find(wanted);
  if (found == g_records.end()) {
    BvuNameRecord* record = NewRecord(text, wanted.size());
    found = g_records.emplace(std::string_view(record->text(), wanted.size()), record).first;
    if (g_records.size() > g_capacity) g_capacity += kGrowth;
    g_ordered.clear();
  }
  ++found->second->count;
  return found->second;
}

void Remove(BvuNameRecord* record) {
  const auto found = g_records.find(std::string_view(record->text()));
  if (found != g_records.end() && found->second == record) {
    g_records.erase(found);
    g_ordered.clear();
    if (g_records.empty()) {
      std::unordered_map<std::string_view, BvuNameRecord*>().swap(g_records);
      std::vector<const BvuNameRecord*>().swap(g_ordered);
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

std::size_t Count() { return g_records.size(); }
std::size_t Capacity() { return g_capacity; }

const BvuNameRecord* At(std::size_t position) {
  if (position >= g_records.size()) return nullptr;
  if (g_ordered.size() != g_records.size()) {
    g_ordered.clear();
    g_ordered.reserve(g_records.size());
    for (const auto& entry : g_records) g_ordered.push_back(entry.second);
    // strcmp compares unsigned bytes.
    std::sort(g_ordered.begin(), g_ordered.end(),
              [](const BvuNameRecord* a, const BvuNameRecord* b) {
                return std::strcmp(a->text(), b->text()) < 0;
              });
  }
  return g_ordered[position];
}

}  // namespace BvuNameTable
