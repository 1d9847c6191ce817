// Builds results-data trees and value tables for the snapshot text tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/values/typed_value.h"
#include "results/snapshots/snapshot_text.h"

namespace snaptext {

// The child of the node with this name (case as given), or a new plain node.
inline BvuDirectoryNode* ChildNamed(BvuDirectoryNode* node, const std::string& name) {
  for (std::int32_t i = node->LowIndex(); i <= node->HighIndex(); ++i) {
    BvuDirectoryNode* child = node->ChildAt(i);
    if (child != nullptr && child->Name() != nullptr && name == child->Name()) return child;
  }
  return nullptr;
}

inline std::int32_t NextFreeIndex(BvuDirectoryNode* node) {
  const std::int32_t high = node->HighIndex();
  return high < 0 ? 0 : high + 1;
}

// Places a use-data node at the path of names ("A", ".X", "(1)"), making
// plain parents as needed.
inline SimUseData* AddUseData(BvuDirectoryNode* root, const std::vector<std::string>& names,
                              std::uint32_t index, std::uint32_t attribute) {
  BvuDirectoryNode* at = root;
  for (std::size_t i = 0; i + 1 < names.size(); ++i) {
    BvuDirectoryNode* next = ChildNamed(at, names[i]);
    if (next == nullptr) {
      next = new BvuDirectoryProper(at, names[i].c_str());
      at->InsertChildAt(NextFreeIndex(at), next);
    }
    at = next;
  }
  auto* node = new SimUseData(at, names.back().c_str());
  node->variable_index = index;
  node->attribute = attribute;
  at->InsertChildAt(NextFreeIndex(at), node);
  return node;
}

// Resize clears every record: the old ones are put back.
inline std::int32_t Grow(SUPackedValueTable& table) {
  const std::int32_t at = table.Count();
  std::vector<SUPackedValue> kept;
  for (std::int32_t i = 0; i < at; ++i) kept.push_back(table.Record(i));
  table.Resize(at + 1);
  for (std::int32_t i = 0; i < at; ++i) table.Record(i) = kept[static_cast<std::size_t>(i)];
  return at;
}

inline std::uint32_t AddReal(SUPackedValueTable& table, double value) {
  const std::int32_t at = Grow(table);
  SUValue v;
  v.SetType(SUValue::kReal);
  v.SetReal(value);
  table.Record(at).FromValue(v, table.Pool());
  return static_cast<std::uint32_t>(at);
}

inline std::uint32_t AddTyped(SUPackedValueTable& table, std::uint16_t type, std::int32_t integer,
                              const char* text) {
  const std::int32_t at = Grow(table);
  SUValue v;
  v.SetType(type);
  if (text != nullptr)
    v.SetString(text);
  else
    v.SetInt(integer);
  table.Record(at).FromValue(v, table.Pool());
  return static_cast<std::uint32_t>(at);
}

}  // namespace snaptext
