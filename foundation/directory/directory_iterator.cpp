#include "foundation/directory/directory_iterator.h"

#include "foundation/directory/directory_node.h"
#include "foundation/directory/name_path.h"

namespace {

// A later component carries its separator: "A.~" runs below A.
bool IsAnyRun(const std::string& component) { return component == "~" || component == ".~"; }

// "Blocks(\"T 1\")" and ".Streams(\"S\")" name the block or stream itself.
std::string WithoutQualifier(const std::string& component) {
  const bool dotted = !component.empty() && component[0] == '.';
  const std::string body = dotted ? component.substr(1) : component;
  for (const char* qualifier : {"BLOCKS(\"", "STREAMS(\""}) {
    const std::size_t length = std::char_traits<char>::length(qualifier);
    if (body.size() >= length + 2 && FoldedName(body.substr(0, length).c_str()) == qualifier &&
        body.compare(body.size() - 2, 2, "\")") == 0) {
      std::string bare = dotted ? "." : "";
      return bare.append(body, length, body.size() - length - 2);
    }
  }
  return component;
}

}  // namespace

struct BvuDirectoryIterator::Level {
  BvuDirectoryNode* node;
  BvuDirectoryNode* partner;
  std::int32_t next;
  std::size_t component;
  // The partner's children by folded name, made when first asked.
  std::unique_ptr<std::unordered_map<std::string, BvuDirectoryNode*>> partner_children;
};

BvuDirectoryIterator::BvuDirectoryIterator(BvuDirectoryNode* root,
                                           std::vector<std::string> components)
    : BvuDirectoryIterator(root, nullptr, std::move(components), true) {
  paired_ = false;
}

BvuDirectoryIterator::BvuDirectoryIterator(BvuDirectoryNode* root, BvuDirectoryNode* second_root,
                                           std::vector<std::string> components,
                                           bool keep_unpartnered)
    : root_(root), paired_(true), keep_unpartnered_(keep_unpartnered),
      components_(std::move(components)) {
  if (root_ != nullptr && !components_.empty()) Descend(root_, second_root, 0);
}

BvuDirectoryIterator::~BvuDirectoryIterator() = default;

void BvuDirectoryIterator::Descend(BvuDirectoryNode* node, BvuDirectoryNode* partner,
                                   std::size_t component) {
  levels_.push_back(Level{node, partner, node->LowIndex(), component, nullptr});
}

std::int32_t BvuDirectoryIterator::MatchComponent(const char* name, std::size_t component,
                                                  std::size_t* used) const {
  // Only an index may match the beginning of a name: "(1" of "(1,2)".
  const bool index_name = name != nullptr && name[0] == '(';
  std::string pattern = components_[component];
  std::int32_t kind = MatchNamePattern(name, pattern.c_str(), index_name);
  std::size_t next = component + 1;
  // An index split over several components: "(1" "(2)" is tried as "(1,2)".
  while (kind == kNamePrefixMatch && pattern[0] == '(' && next < components_.size() &&
         components_[next][0] == '(') {
    pattern += ',';
    pattern.append(components_[next], 1, std::string::npos);
    if (pattern.size() >= 2 && pattern.compare(pattern.size() - 2, 2, "))") == 0)
      pattern.pop_back();
    ++next;
    kind = MatchNamePattern(name, pattern.c_str(), index_name);
  }
  *used = next - component;
  return kind;
}

BvuDirectoryNode* BvuDirectoryIterator::PartnerOf(Level& level, BvuDirectoryNode* child) {
  if (level.partner == nullptr) return nullptr;
  if (!level.partner_children) {
    level.partner_children = std::make_unique<std::unordered_map<std::string, BvuDirectoryNode*>>();
    BvuDirectoryNode* partner = level.partner;
    for (std::int32_t index = NextChildIndex(partner, partner->LowIndex());
         index <= partner->HighIndex(); index = NextChildIndex(partner, index + 1)) {
      if (BvuDirectoryNode* other = partner->ChildAt(index)) {
        level.partner_children->emplace(FoldedName(other->Name()), other);
      }
    }
  }
  const auto found = level.partner_children->find(FoldedName(child->Name()));
  return found != level.partner_children->end() ? found->second : nullptr;
}

Status BvuDirectoryIterator::NextMatch(BvuDirectoryNode** node, BvuDirectoryNode** partner) {
  while (!levels_.empty()) {
    Level& level = levels_.back();
    level.next = NextChildIndex(level.node, level.next);
    if (level.next > level.node->HighIndex()) {
      levels_.pop_back();
      continue;
    }
    BvuDirectoryNode* child = level.node->ChildAt(level.next++);
    if (child == nullptr) continue;
    BvuDirectoryNode* other = nullptr;
    if (paired_) {
      other = PartnerOf(level, child);
      if (other == nullptr && !keep_unpartnered_) continue;
    }
    const std::size_t component = level.component;
    bool matched = false;
    if (IsAnyRun(components_[component])) {
      // "~" takes one or more levels: it may end here or go on below.
      matched = component + 1 == components_.size();
      Descend(child, other, component);
      if (!matched) Descend(child, other, component + 1);
    } else {
      std::size_t used = 1;
      const std::int32_t kind = MatchComponent(child->Name(), component, &used);
      if (kind == kNameExactMatch || kind == kNameWildMatch) {
        matched = component + used == components_.size();
        if (!matched) Descend(child, other, component + used);
      }
    }
    if (!matched) continue;
    *node = child;
    if (partner != nullptr) *partner = other;
    return status::kOk;
  }
  *node = nullptr;
  if (partner != nullptr) *partner = nullptr;
  return kBvuEmptySlot;
}

void DeleteDirectoryIterator(BvuDirectoryIterator* iterator) { delete iterator; }

BvuDirectoryNode* BvuDirectoryNode::FindFirstMatch(const char* path,
                                                   BvuDirectoryIterator** iterator) {
  std::vector<std::string> components;
  SplitNamePath(path, &components);
  auto walk = std::make_unique<BvuDirectoryIterator>(this, std::move(components));
  BvuDirectoryNode* first = nullptr;
  walk->NextMatch(&first);
  if (iterator != nullptr) *iterator = walk.release();
  return first;
}

Status BvuDirectoryNode::MatchPath(const char* path, BvuDirectoryNode* second_root, void* argument,
                                   BvuPairCallback callback, std::int32_t flag) {
  std::vector<std::string> components;
  if (second_root == nullptr || SplitNamePath(path, &components) == 0) return kBvuEmptySlot;
  for (std::string& component : components) component = WithoutQualifier(component);
  BvuDirectoryIterator walk(this, second_root, std::move(components), flag != 0);
  BvuDirectoryNode* first = nullptr;
  BvuDirectoryNode* second = nullptr;
  while (walk.NextMatch(&first, &second) == status::kOk) callback(argument, first, second);
  return status::kOk;
}

BvuDirectoryPairIterator::BvuDirectoryPairIterator(BvuDirectoryNode* first_root,
                                                   BvuDirectoryNode* second_root)
    : walk_(first_root, second_root, {"~"}, true) {}

Status BvuDirectoryPairIterator::Next(BvuDirectoryNode** first, BvuDirectoryNode** second) {
  return walk_.NextMatch(first, second);
}
