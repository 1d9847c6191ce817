#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/directory/directory_node.h"
#include "foundation/directory/id_path.h"
#include "foundation/directory/name_path.h"
#include "foundation/messages/su_print.h"
#include "foundation/persistence/binary_stream.h"

namespace {

// A step's name: at most 255 bytes and the NUL.
constexpr std::uint32_t kStepNameSize = 256;

std::vector<std::pair<std::int32_t, BvuDirectoryNode*>> ChildrenOf(BvuDirectoryNode* node) {
  std::vector<std::pair<std::int32_t, BvuDirectoryNode*>> children;
  for (std::int32_t index = NextChildIndex(node, node->LowIndex()); index <= node->HighIndex();
       index = NextChildIndex(node, index + 1)) {
    if (BvuDirectoryNode* child = node->ChildAt(index)) children.emplace_back(index, child);
  }
  return children;
}

struct PathStep {
  std::uint32_t id = 0;
  std::string name;
};

}  // namespace

// Folded name to the first index holding it, valid while the table's
// generation and the rename count are the ones it was built at.
struct BvuDirectoryProper::NameIndex {
  std::uint64_t generation = 0;
  std::uint64_t renames = 0;
  std::unordered_map<std::string, std::int32_t> first;
};

BvuDirectoryProper::BvuDirectoryProper(BvuDirectoryNode* parent, const char* name)
    : BvuDirectoryNode(parent, name) {}

std::int32_t BvuDirectoryProper::FirstIndexNamedAnyCase(const char* text) {
  // Below this many slots a scan costs less than keeping an index.
  constexpr std::int32_t kIndexedFrom = 16;
  if (Count() < kIndexedFrom) {
    for (std::int32_t index = NextHeldIndex(LowIndex()); index <= HighIndex();
         index = NextHeldIndex(index + 1)) {
      BvuDirectoryNode* child = ItemAt(index);
      if (child != nullptr && child->Name() != nullptr && SameNameAnyCase(child->Name(), text)) {
        return index;
      }
    }
    return -1;
  }
  // Look-ups come from the server thread and from a run's monitors at once,
  // and the index is built lazily: one lock for every node's index.
  static std::mutex index_lock;
  std::lock_guard<std::mutex> hold(index_lock);
  const std::uint64_t renames = RenameCount();
  if (name_index_ == nullptr || name_index_->generation != Generation() ||
      name_index_->renames != renames) {
    if (name_index_ == nullptr) name_index_ = std::make_unique<NameIndex>();
    name_index_->first.clear();
    for (std::int32_t index = NextHeldIndex(LowIndex()); index <= HighIndex();
         index = NextHeldIndex(index + 1)) {
      BvuDirectoryNode* child = ItemAt(index);
      if (child != nullptr && child->Name() != nullptr) {
        name_index_->first.emplace(FoldedName(child->Name()), index);
      }
    }
    name_index_->generation = Generation();
    name_index_->renames = renames;
  }
  const auto found = name_index_->first.find(FoldedName(text));
  return found != name_index_->first.end() ? found->second : -1;
}

BvuDirectoryProper::~BvuDirectoryProper() {
  // Children left here must not reach back into a deleted parent.
  for (std::int32_t index = NextHeldIndex(LowIndex()); index <= HighIndex();
       index = NextHeldIndex(index + 1)) {
    BvuDirectoryNode* child = ItemAt(index);
    if (child != nullptr && child->Parent() == this) child->SetParent(nullptr);
  }
}

Status BvuDirectoryProper::AdoptChildren(BvuDirectoryNode* other) {
  // Every child keeps its index, so a taken slot here refuses the whole move.
  std::vector<std::pair<std::int32_t, BvuDirectoryNode*>> moving;
  for (std::int32_t index = NextChildIndex(other, other->LowIndex()); index <= other->HighIndex();
       index = NextChildIndex(other, index + 1)) {
    BvuDirectoryNode* child = other->ChildAt(index);
    if (child == nullptr) continue;
    if (ItemAt(index) != nullptr) return status::kBadArguments;
    moving.emplace_back(index, child);
  }
  for (std::size_t at = 0; at < moving.size(); ++at) {
    const Status s = InsertChildAt(moving[at].first, moving[at].second);
    if (status::IsFailure(s)) {
      // The other node still holds them all: forget the ones placed here.
      for (std::size_t back = 0; back < at; ++back) TakeAt(moving[back].first);
      return s;
    }
  }
  for (const auto& [index, child] : moving) {
    other->RemoveChildAt(index, nullptr);
    child->SetParent(this);
  }
  return status::kOk;
}

std::int32_t BvuDirectoryProper::HighIndex() { return BvuLookupTable::HighIndex(); }
std::int32_t BvuDirectoryProper::LowIndex() { return BvuLookupTable::LowIndex(); }
BvuDirectoryNode* BvuDirectoryProper::ChildAt(std::int32_t index) { return ItemAt(index); }

std::int32_t NextChildIndex(BvuDirectoryNode* node, std::int32_t from) {
  if (auto* table = dynamic_cast<BvuDirectoryProper*>(node)) return table->NextHeldIndex(from);
  return from;
}

std::int32_t BvuDirectoryProper::IndexOfChild(const BvuDirectoryNode* child) {
  if (deleting_at_ != -1 && ItemAt(deleting_at_) == child) return deleting_at_;
  return IndexOf(child);
}

Status BvuDirectoryProper::InsertChildAt(std::int32_t index, BvuDirectoryNode* child) {
  const Status s = SetAt(index, child);
  if (s == status::kBadArguments) {
    SuPrint(s, "Child index %d of \"%s\" refused: out of range", &index, GetNameText());
  } else if (s == kBvuNoMemory) {
    SuPrint(s, "No memory for child index %d of \"%s\"", &index, GetNameText());
  }
  return s;
}

BvuDirectoryNode* BvuDirectoryProper::ReplaceChildAt(std::int32_t index, BvuDirectoryNode* child) {
  BvuDirectoryNode* previous = ItemAt(index);
  if (status::IsFailure(InsertChildAt(index, child))) return nullptr;
  // What is handed back no longer reaches into this table.
  if (previous != nullptr && previous != child && previous->Parent() == this)
    previous->SetParent(nullptr);
  return previous;
}

Status BvuDirectoryProper::RemoveChildAt(std::int32_t index, BvuDirectoryNode** child) {
  BvuDirectoryNode* removed = TakeAt(index);
  if (removed != nullptr && removed->Parent() == this) removed->SetParent(nullptr);
  if (child != nullptr) *child = removed;
  return removed != nullptr ? status::kOk : kBvuEmptySlot;
}

std::int32_t BvuDirectoryProper::SlotCount() { return Count(); }

std::int32_t BvuDirectoryProper::LeafCount() {
  std::int32_t leaves = 0;
  for (std::int32_t index = NextHeldIndex(LowIndex()); index <= HighIndex();
       index = NextHeldIndex(index + 1)) {
    if (BvuDirectoryNode* child = ItemAt(index)) leaves += child->LeafCount();
  }
  return leaves > 0 ? leaves : 1;
}

Status BvuDirectoryProper::ReadIdPathWithNames(BvuBinaryStream& stream, BvuDirectoryNode** parent,
                                               std::int32_t* index, std::string* name,
                                               bool rename) {
  *parent = nullptr;
  *index = -1;
  if (name != nullptr) name->clear();
  std::uint8_t flag = 0;
  std::uint16_t count = 0;
  Status s = stream.GetUInt8(&flag);
  if (status::IsSuccess(s)) s = stream.GetUInt16(&count);
  if (status::IsFailure(s)) return s;
  const bool named = flag != 0;

  std::vector<PathStep> steps;
  for (std::uint16_t at = 0; at < count; ++at) {
    PathStep step;
    s = stream.GetUInt24(&step.id);
    if (status::IsFailure(s)) return s;
    if (named && step.id != kIdPathRoot && step.id != kIdPathEnd) {
      char buffer[kStepNameSize] = {};
      s = stream.GetShortStringInto(buffer, kStepNameSize);
      if (s == status::kGeneralFailure) {
        SuPrint(status::kBadArguments, "Id path refused: a step name is longer than 255 bytes");
        return status::kBadArguments;
      }
      if (status::IsFailure(s)) return s;
      step.name = buffer;
    }
    steps.push_back(std::move(step));
  }

  BvuDirectoryNode* current = this;
  std::size_t first = 0;
  if (!steps.empty() && steps[0].id == kIdPathRoot) {
    current = Root();
    first = 1;
  }
  std::size_t end = first;
  while (end < steps.size() && steps[end].id != kIdPathEnd) ++end;
  if (end == first) return kBvuNoSuchChild;

  for (std::size_t at = first; at + 1 < end; ++at) {
    const PathStep& step = steps[at];
    BvuDirectoryNode* child = step.id <= static_cast<std::uint32_t>(kBvuHighestIndex)
                                  ? current->ChildAt(static_cast<std::int32_t>(step.id))
                                  : nullptr;
    if (child != nullptr) {
      if (rename && !step.name.empty() && !SameNameAnyCase(child->Name(), step.name.c_str())) {
        child->SetName(step.name.c_str());
      }
      current = child;
      continue;
    }
    // Renaming only follows what exists; a node is made only with a name.
    if (rename || step.name.empty()) return kBvuNoSuchChild;
    auto* made = new BvuDirectoryProper(current, step.name.c_str());
    s = current->InsertChildAt(static_cast<std::int32_t>(step.id), made);
    if (status::IsFailure(s)) {
      delete made;
      return s;
    }
    current = made;
  }
  *parent = current;
  *index = static_cast<std::int32_t>(steps[end - 1].id);
  if (name != nullptr && named) *name = steps[end - 1].name;
  return status::kOk;
}

Status BvuDirectoryProper::DeleteChildren() {
  DeleteBelow(this);
  Reset();
  return status::kOk;
}

void BvuDirectoryProper::DeleteBelow(BvuDirectoryNode* root) {
  struct Level {
    BvuDirectoryNode* node;
    std::int32_t next;  // the next index to look at
  };
  std::vector<Level> levels{{root, root->LowIndex()}};
  while (!levels.empty()) {
    Level& level = levels.back();
    BvuDirectoryNode* child = nullptr;
    while (child == nullptr && level.next <= level.node->HighIndex()) {
      level.next = NextChildIndex(level.node, level.next);
      if (level.next <= level.node->HighIndex()) child = level.node->ChildAt(level.next++);
    }
    if (child != nullptr) {
      levels.push_back({child, child->LowIndex()});
      continue;
    }
    BvuDirectoryNode* emptied = level.node;
    levels.pop_back();
    if (levels.empty()) return;  // the root stays
    emptied->DeleteChildren();   // nothing below: its own clean-up only
    BvuDirectoryNode* parent = levels.back().node;
    auto* proper = dynamic_cast<BvuDirectoryProper*>(parent);
    if (proper != nullptr) proper->deleting_at_ = levels.back().next - 1;
    delete emptied;
    if (proper != nullptr) proper->deleting_at_ = -1;
  }
}

Status BvuDirectoryProper::WriteModelText(void* out, void* context, std::int32_t indent,
                                          std::int32_t flags) {
  Status last = status::kOk;
  for (std::int32_t index = NextHeldIndex(LowIndex()); index <= HighIndex();
       index = NextHeldIndex(index + 1)) {
    if (BvuDirectoryNode* child = ItemAt(index)) {
      last = child->WriteModelText(out, context, indent, flags);
    }
  }
  return last;
}

Status BvuDirectoryProper::InsertUnderPath(const char* text, BvuDirectoryNode* node) {
  std::vector<std::string> components;
  if (text == nullptr || SplitNamePath(text, &components) == 0) return status::kOk;
  if (node == nullptr) return status::kBadArguments;
  BvuDirectoryNode* current = this;
  for (std::size_t at = 0; at < components.size(); ++at) {
    const char* component = components[at].c_str();
    const bool last = at + 1 == components.size();
    std::int32_t found_at = -1;
    BvuDirectoryNode* found = nullptr;
    for (std::int32_t index = NextChildIndex(current, current->LowIndex());
         index <= current->HighIndex(); index = NextChildIndex(current, index + 1)) {
      BvuDirectoryNode* child = current->ChildAt(index);
      if (child != nullptr && child->Name() != nullptr &&
          std::strcmp(child->Name(), component) == 0) {
        found = child;
        found_at = index;
        break;
      }
    }
    if (found != nullptr && !last) {
      current = found;
      continue;
    }
    if (found == nullptr) {
      // An empty table answers high -2; its first child goes at 0.
      const std::int32_t next = std::max(current->HighIndex() + 1, 0);
      if (last) {
        node->SetName(component);
        node->SetParent(current);
        return current->InsertChildAt(next, node);
      }
      auto* made = new BvuDirectoryProper(current, component);
      const Status s = current->InsertChildAt(next, made);
      if (status::IsFailure(s)) {
        delete made;
        return s;
      }
      current = made;
      continue;
    }
    // The last component exists: a node of the same kind stays, and the
    // caller keeps its node.
    if (found->GetKind() == node->GetKind()) return status::kGeneralFailure;
    const std::vector<std::pair<std::int32_t, BvuDirectoryNode*>> children = ChildrenOf(found);
    Status s = node->AdoptChildren(found);
    // A node that holds no children cannot take the place of one that does.
    if (status::IsSuccess(s) && !ChildrenOf(found).empty()) s = status::kGeneralFailure;
    if (status::IsFailure(s)) {
      // Whatever moved goes back: the tree stays as it was.
      for (const auto& [index, child] : children) {
        if (node->ChildAt(index) != child) continue;
        node->RemoveChildAt(index, nullptr);
        child->SetParent(found);
        found->InsertChildAt(index, child);
      }
      return s;
    }
    node->SetName(component);
    node->SetParent(current);
    current->ReplaceChildAt(found_at, node);
    // Empty now, and nothing reaches it any more; the tree owned it.
    delete found;
    return status::kOk;
  }
  return status::kOk;
}

Status BvuDirectoryProper::ClearMarks() {
  Status last = status::kOk;
  for (std::int32_t index = NextHeldIndex(LowIndex()); index <= HighIndex();
       index = NextHeldIndex(index + 1)) {
    if (BvuDirectoryNode* child = ItemAt(index)) last = child->ClearMarks();
  }
  return last;
}

Status BvuDirectoryProper::NumberLeaves(std::uint32_t* counter) {
  Status last = status::kOk;
  for (std::int32_t index = NextHeldIndex(LowIndex()); index <= HighIndex();
       index = NextHeldIndex(index + 1)) {
    if (BvuDirectoryNode* child = ItemAt(index)) last = child->NumberLeaves(counter);
  }
  return last;
}
