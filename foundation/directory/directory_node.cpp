#include "foundation/directory/directory_node.h"

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/directory/id_path.h"

namespace {

// The path text buffer: filled from its end, grown in front.
constexpr std::size_t kFirstPathBuffer = 50;
constexpr const char* kMissingName = ".{Not Defined}";

// One buffer a thread: the run thread names variables in its value dump
// while the server thread names them in replies.
thread_local std::vector<char> g_path_text;
thread_local std::size_t g_path_start = 0;

void PrependToPath(const char* piece, std::size_t length) {
  if (length > g_path_start) {
    const std::size_t grow = length >= kFirstPathBuffer ? 2 * length : kFirstPathBuffer;
    std::vector<char> grown(g_path_text.size() + grow);
    std::memcpy(grown.data() + g_path_start + grow, g_path_text.data() + g_path_start,
                g_path_text.size() - g_path_start);
    g_path_text.swap(grown);
    g_path_start += grow;
  }
  g_path_start -= length;
  std::memcpy(g_path_text.data() + g_path_start, piece, length);
}

}  // namespace

BvuDirectoryNode::BvuDirectoryNode(BvuDirectoryNode* parent, const char* name)
    : name_(BvuNameTable::Intern(name)), parent_(parent) {}

BvuDirectoryNode::~BvuDirectoryNode() {
  if (parent_ != nullptr) {
    const std::int32_t index = parent_->IndexOfChild(this);
    if (index != -1) {
      BvuDirectoryNode* removed = nullptr;
      parent_->RemoveChildAt(index, &removed);
    }
  }
  BvuNameTable::Release(name_);
}

const char* BvuDirectoryNode::GetNameText(std::int32_t) {
  return BuildPathName(nullptr, nullptr, nullptr);
}

Status BvuDirectoryNode::ApplyToSubtree(void* list, void* guard, std::int32_t guard_state,
                                        std::int32_t eliminate, void* problem) {
  Status last = status::kOk;
  for (std::int32_t index = NextChildIndex(this, LowIndex()); index <= HighIndex();
       index = NextChildIndex(this, index + 1)) {
    BvuDirectoryNode* child = ChildAt(index);
    if (child == nullptr) continue;
    last = child->ApplyToSubtree(list, guard, guard_state, eliminate, problem);
    if (status::IsFailure(last)) return last;
  }
  return last;
}

Status BvuDirectoryNode::AdoptChildren(BvuDirectoryNode*) { return status::kOk; }
std::int32_t BvuDirectoryNode::HighIndex() { return -2; }
std::int32_t BvuDirectoryNode::LowIndex() { return -1; }
BvuDirectoryNode* BvuDirectoryNode::ChildAt(std::int32_t) { return nullptr; }
std::int32_t BvuDirectoryNode::IndexOfChild(const BvuDirectoryNode*) { return -1; }

Status BvuDirectoryNode::ResolveIdPath(std::span<const std::uint32_t> ids,
                                       BvuDirectoryNode** node) {
  *node = nullptr;
  BvuDirectoryNode* current = this;
  std::size_t at = 0;
  if (!ids.empty() && ids[0] == kIdPathRoot) {
    current = Root();
    at = 1;
  }
  for (; at < ids.size() && ids[at] != kIdPathEnd; ++at) {
    const std::int64_t id = ids[at];
    if (id < current->LowIndex() || id > current->HighIndex()) return kBvuNoSuchChild;
    BvuDirectoryNode* child = current->ChildAt(static_cast<std::int32_t>(id));
    if (child == nullptr) return kBvuNoSuchChild;
    current = child;
  }
  *node = current;
  return status::kOk;
}

Status BvuDirectoryNode::InsertChildAt(std::int32_t, BvuDirectoryNode*) {
  return status::kGeneralFailure;
}
BvuDirectoryNode* BvuDirectoryNode::ReplaceChildAt(std::int32_t, BvuDirectoryNode*) {
  return nullptr;
}
Status BvuDirectoryNode::RemoveChildAt(std::int32_t, BvuDirectoryNode** child) {
  if (child != nullptr) *child = nullptr;
  return status::kGeneralFailure;
}
std::int32_t BvuDirectoryNode::SlotCount() { return HighIndex() - LowIndex() + 1; }
std::int32_t BvuDirectoryNode::LeafCount() { return 1; }

Status BvuDirectoryNode::ReadFromMessage(BvuBinaryStream&, BvuDirectoryNode*, BvuDirectoryNode*,
                                         void*) {
  return status::kGeneralFailure;
}

Status BvuDirectoryNode::ReadIdPathWithNames(BvuBinaryStream&, BvuDirectoryNode** parent,
                                             std::int32_t* index, std::string*, bool) {
  *parent = nullptr;
  *index = -1;
  return status::kGeneralFailure;
}

Status BvuDirectoryNode::ReadItemBody(BvuBinaryStream&, void*) { return status::kGeneralFailure; }

Status BvuDirectoryNode::DeleteChildren() {
  BvuDirectoryProper::DeleteBelow(this);
  return status::kOk;
}

void* BvuDirectoryNode::LinkedObject() { return nullptr; }
void* BvuDirectoryNode::AsValueEntry() { return nullptr; }
void* BvuDirectoryNode::AsBranchingNode() { return nullptr; }
Status BvuDirectoryNode::WriteModelText(void*, void*, std::int32_t, std::int32_t) {
  return status::kOk;
}
bool BvuDirectoryNode::IsSpecialNode() { return false; }
Status BvuDirectoryNode::ReservedOperation() { return status::kGeneralFailure; }
Status BvuDirectoryNode::InsertUnderPath(const char*, BvuDirectoryNode*) {
  return status::kGeneralFailure;
}
bool BvuDirectoryNode::IsPathSeparator(char c) { return c == '.' || c == '('; }
Status BvuDirectoryNode::ClearMarks() { return status::kOk; }
Status BvuDirectoryNode::NumberLeaves(std::uint32_t*) { return status::kOk; }

const char* BvuDirectoryNode::BuildPathName(BvuDirectoryNode* stop, const char* suffix,
                                            std::int32_t* length) {
  // The suffix may point into the buffer itself (a path built before).
  const std::string tail = suffix != nullptr ? suffix : "";
  if (g_path_text.empty()) g_path_text.resize(kFirstPathBuffer);
  g_path_start = g_path_text.size() - 1;
  g_path_text[g_path_start] = '\0';
  PrependToPath(tail.data(), tail.size());
  std::size_t names = 0;
  for (BvuDirectoryNode* node = this; node != nullptr && node != stop && node->parent_ != nullptr;
       node = node->parent_) {
    const char* piece = node->name_ != nullptr ? node->name_->text() : kMissingName;
    const std::size_t piece_length = std::strlen(piece);
    PrependToPath(piece, piece_length);
    names += piece_length;
  }
  if (length != nullptr) *length = static_cast<std::int32_t>(names);
  return g_path_text.data() + g_path_start;
}

Status BvuDirectoryNode::GetIdPath(BvuIdPath* path) {
  // Most nodes lie a few steps below the root: no allocation for those.
  constexpr std::size_t kShallow = 16;
  std::uint32_t shallow[kShallow];
  std::vector<std::uint32_t> deep;
  std::size_t depth = 0;
  for (BvuDirectoryNode* node = this; node->parent_ != nullptr; node = node->parent_) {
    const std::int32_t index = node->parent_->IndexOfChild(node);
    if (index < 0) return status::kGeneralFailure;
    if (depth == kShallow) deep.assign(shallow, shallow + kShallow);
    if (depth < kShallow) {
      shallow[depth] = static_cast<std::uint32_t>(index);
    } else {
      deep.push_back(static_cast<std::uint32_t>(index));
    }
    ++depth;
  }
  const std::uint32_t* steps = depth <= kShallow ? shallow : deep.data();
  if (path->count() > 0 && path->ids().back() == kIdPathEnd) path->DropLast();
  path->Reserve(path->count() + depth + 2);
  Status s = path->count() == 0 ? path->Append(kIdPathRoot) : status::kOk;
  for (std::size_t at = depth; at > 0 && status::IsSuccess(s); --at) s = path->Append(steps[at - 1]);
  return status::IsSuccess(s) ? path->Append(kIdPathEnd) : s;
}

Status BvuDirectoryNode::ReadIdPath(BvuBinaryStream& stream, BvuDirectoryNode** node) {
  *node = nullptr;
  Status s = status::kOk;
  const BvuIdPath path(stream, &s);
  if (status::IsFailure(s)) return s;
  return status::IsSuccess(ResolveIdPath(path.ids(), node)) ? status::kOk : status::kGeneralFailure;
}

Status BvuDirectoryNode::WalkPostOrder(BvuWalkCallback callback, void* argument) {
  // An explicit stack: trees read from the client may be deep.
  struct Level {
    BvuDirectoryNode* node;
    std::int32_t next;
  };
  std::vector<Level> levels{{this, LowIndex()}};
  Status result = status::kOk;
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
    result = callback(level.node, argument);
    levels.pop_back();
    if (!levels.empty() && status::IsFailure(result)) {
      levels.back().next = levels.back().node->HighIndex() + 1;
    }
  }
  return result;
}

BvuDirectoryNode* BvuDirectoryNode::Root() {
  BvuDirectoryNode* node = this;
  while (node->parent_ != nullptr) node = node->parent_;
  return node;
}

namespace {
std::atomic<std::uint64_t> g_renames{0};
}  // namespace

void BvuDirectoryNode::SetName(const char* name) {
  BvuNameRecord* renamed = BvuNameTable::Intern(name);
  BvuNameTable::Release(name_);
  name_ = renamed;
  g_renames.fetch_add(1, std::memory_order_relaxed);
}

std::uint64_t BvuDirectoryNode::RenameCount() { return g_renames.load(std::memory_order_relaxed); }
