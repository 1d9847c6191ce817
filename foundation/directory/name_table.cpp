#include "foundation/directory/name_table.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <string_view>
#include <vector>

namespace {

// The records by text, so that interning costs the same however many names
// are held; the byte order the checks read is made when asked for. The
// capacity follows an array grown 64 entries at a time and freed when the
// last record leaves.
constexpr std::size_t kGrowth = 64;

// An open-addressed table (linear probing, at most half full) of the
// records with the hashes of their texts: a model's tens of thousands of
// names are looked up, added and removed with one slot read for most, not
// a walk through separately allocated entries.
struct Slot {
  std::size_t hash = 0;
  BvuNameRecord* record = nullptr;  // null: empty
};
constexpr std::size_t kFirstSlots = 64;
std::vector<Slot> g_slots;
std::size_t g_count = 0;
std::size_t g_capacity = 0;
// The records in byte order, made on demand; empty once anything changed.
std::vector<const BvuNameRecord*> g_ordered;

std::size_t HashOf(std::string_view text) { return std::hash<std::string_view>{}(text); }

bool Holds(const BvuNameRecord* record, std::string_view text) {
  const char* held = record->text();
  return std::memcmp(held, text.data(), text.size()) == 0 && held[text.size()] == '\0';
}

// Doubles the slots (or makes the first ones) and places every record again.
void Grow() {
  std::vector<Slot> old;
  old.swap(g_slots);
  g_slots.resize(old.empty() ? kFirstSlots : 2 * old.size());
  const std::size_t mask = g_slots.size() - 1;
  for (const Slot& slot : old) {
    if (slot.record == nullptr) continue;
    std::size_t at = slot.hash & mask;
    while (g_slots[at].record != nullptr) at = (at + 1) & mask;
    g_slots[at] = slot;
  }
}

// Empties the slot and moves later records of its run back, so that no
// search stops short at the gap.
void EmptySlot(std::size_t at) {
  const std::size_t mask = g_slots.size() - 1;
  std::size_t next = at;
  for (;;) {
    next = (next + 1) & mask;
    if (g_slots[next].record == nullptr) break;
    const std::size_t home = g_slots[next].hash & mask;
    // The record may move to the gap when its home does not lie in (at, next].
    const bool stays = at <= next ? (home > at && home <= next) : (home > at || home <= next);
    if (stays) continue;
    g_slots[at] = g_slots[next];
    at = next;
  }
  g_slots[at] = Slot{};
}

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
  const std::size_t hash = HashOf(wanted);
  if (g_slots.empty()) Grow();
  std::size_t mask = g_slots.size() - 1;
  std::size_t at = hash & mask;
  for (; g_slots[at].record != nullptr; at = (at + 1) & mask) {
    if (g_slots[at].hash == hash && Holds(g_slots[at].record, wanted)) {
      ++g_slots[at].record->count;
      return g_slots[at].record;
    }
  }
  BvuNameRecord* record = NewRecord(text, wanted.size());
  if (2 * (g_count + 1) > g_slots.size()) {
    Grow();
    mask = g_slots.size() - 1;
    at = hash & mask;
    while (g_slots[at].record != nullptr) at = (at + 1) & mask;
  }
  g_slots[at] = Slot{hash, record};
  ++g_count;
  if (g_count > g_capacity) g_capacity += kGrowth;
  g_ordered.clear();
  ++record->count;
  return record;
}

void Remove(BvuNameRecord* record) {
  if (!g_slots.empty()) {
    const std::size_t mask = g_slots.size() - 1;
    const std::size_t hash = HashOf(record->text());
    for (std::size_t at = hash & mask; g_slots[at].record != nullptr; at = (at + 1) & mask) {
      if (g_slots[at].record != record) continue;
      EmptySlot(at);
      --g_count;
      g_ordered.clear();
      if (g_count == 0) {
        std::vector<Slot>().swap(g_slots);
        std::vector<const BvuNameRecord*>().swap(g_ordered);
        g_capacity = 0;
      }
      break;
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
  if (position >= g_count) return nullptr;
  if (g_ordered.size() != g_count) {
    g_ordered.clear();
    g_ordered.reserve(g_count);
    for (const Slot& slot : g_slots) {
      if (slot.record != nullptr) g_ordered.push_back(slot.record);
    }
    // strcmp compares unsigned bytes.
    std::sort(g_ordered.begin(), g_ordered.end(),
              [](const BvuNameRecord* a, const BvuNameRecord* b) {
                return std::strcmp(a->text(), b->text()) < 0;
              });
  }
  return g_ordered[position];
}

}  // namespace BvuNameTable
