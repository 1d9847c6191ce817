#include "results/use/use_mgr.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "foundation/persistence/binary_stream.h"
#include "platform/posix_file.h"
#include "results/manager/results_mgr.h"
#include "results/snapshots/snapshot_text.h"

namespace {

constexpr Status kNoValues = 0xA000FFFFu;
constexpr Status kNotDeleted = 0x8000FFFFu;
constexpr Status kUnknownPath = 0x80000015u;
constexpr std::uint32_t kValuesId = 1000;
constexpr std::uint32_t kPoolId = 1002;
constexpr std::uint32_t kStructuralSpecification = 64;
constexpr std::uint32_t kAllOnes = 0xFFFFFFFFu;

// A string of a use request; longer than a file or path name may be is
// refused.
Status ReadName(BvuBinaryStream& request, std::string* text) {
  char buffer[SputUseMgr::kLongestName + 1];
  const Status s = request.GetStringInto(buffer, sizeof buffer);
  if (status::IsFailure(s)) return s == status::kGeneralFailure ? status::kBadArguments : s;
  *text = buffer;
  return status::kOk;
}

void DeleteTree(BvuDirectoryProper** tree) {
  if (*tree == nullptr) return;
  BvuDirectoryProper::DeleteBelow(*tree);
  delete *tree;
  *tree = nullptr;
}

}  // namespace

SputUseMgr::SputUseMgr(SputSnapshotMgr* owner, BvuDirectoryNode* model_root)
    : owner_(owner), model_root_(model_root) {}

SputUseMgr::~SputUseMgr() {
  DeleteTree(&tree_);
  DeleteTree(&event_tree_);
  store_.CloseFile();
}

void SputUseMgr::SetTree(BvuDirectoryProper* tree) {
  if (tree == tree_) return;
  DeleteTree(&tree_);
  tree_ = tree;
}

BvuDirectoryNode* SputUseMgr::Root() const {
  return tree_ != nullptr ? static_cast<BvuDirectoryNode*>(tree_) : model_root_;
}

void SputUseMgr::SetEventTree(BvuDirectoryProper* tree) {
  if (tree == event_tree_) return;
  DeleteTree(&event_tree_);
  event_tree_ = tree;
}

std::uint32_t SputUseMgr::MaskOf(std::uint32_t nibble) {
  std::uint32_t mask = 0;
  if ((nibble & 0x1) != 0) mask |= 36;
  if ((nibble & 0x2) != 0) mask |= 17;
  if ((nibble & 0x4) != 0) mask |= 2;
  if ((nibble & 0x8) != 0) mask |= 64;
  return mask;
}

void SputUseMgr::DropTree() {
  file_name_.clear();
  DeleteTree(&tree_);
  values_ = nullptr;
}

void SputUseMgr::SetFileName(const char* name) {
  file_name_ = name != nullptr ? name : "";
  DeleteTree(&tree_);
  values_ = nullptr;
}

void FixUseDataTypes(BvuDirectoryNode* root, std::uint32_t version) {
  if (root == nullptr || version < 1 || version > 2) return;
  static constexpr std::array<std::uint16_t, 16> kToday = {0, 1, 2, 4,  5, 6,  0,  3,
                                                           0, 7, 0, 16, 8, 13, 10, 0};
  struct Level {
    BvuDirectoryNode* node;
    std::int32_t next;
  };
  std::vector<Level> levels{{root, root->LowIndex()}};
  while (!levels.empty()) {
    Level& level = levels.back();
    BvuDirectoryNode* child = nullptr;
    while (child == nullptr && level.next <= level.node->HighIndex())
      child = level.node->ChildAt(level.next++);
    if (child == nullptr) {
      levels.pop_back();
      continue;
    }
    if (child->GetKind() == SimUseData::kKind) {
      auto* data = static_cast<SimUseData*>(child);
      data->type = data->type < kToday.size() ? kToday[data->type] : 0;
      if (version == 1)
        for (std::uint32_t& element : data->elements) element = SimUseData::kArray;
    }
    levels.push_back({child, child->LowIndex()});
  }
}

// --- files ---

Status SputUseMgr::UseStore::ReadFile(const Participants& participants, bool map) {
  use_->reading_ = this;
  const Status s = SputSnapshotMgr::ReadFile(participants, map);
  use_->reading_ = nullptr;
  // Reading another file never deletes it, not even one without snapshots.
  return s == snapshot::kShortRead ? snapshot::kIoFailed : s;
}

Status SputUseMgr::ListingStore::ReadFile(const Participants& participants, bool map) {
  const Status s = SputSnapshotMgr::ReadFile(participants, map);
  return s == snapshot::kShortRead ? snapshot::kIoFailed : s;
}

Status SputUseMgr::OpenOther(const char* file, bool map) {
  const bool named = file != nullptr && file[0] != '\0';
  if (named && (file_name_.empty() || file_name_ != file)) {
    SetFileName(file);
    store_.CloseFile();
  }
  if (store_.IsOpen() && store_.FileName() == file_name_) return status::kOk;
  if (file_name_.empty()) return snapshot::kNotOpen;
  return store_.OpenFile(file_name_.c_str(), &participants_, map);
}

Status SputUseMgr::SelectFile(BvuBinaryStream& request, BvuBinaryStream* reply) {
  std::string first;
  std::string second;
  Status s = ReadName(request, &first);
  if (status::IsSuccess(s)) s = ReadName(request, &second);
  if (status::IsFailure(s)) return s;
  if (first.empty() || second.empty()) {
    own_file_ = 1;
    store_.CloseFile();
    DropTree();
  } else {
    own_file_ = 0;
    if (second != file_name_ || !store_.IsOpen()) {
      SetFileName(second.c_str());
      s = store_.OpenFile(file_name_.c_str(), &participants_, true);
      if (status::IsFailure(s)) return s;
    }
  }
  if (reply == nullptr) return status::kOk;
  s = reply->PutUInt16(30);
  return status::IsFailure(s) ? s : Chosen().ListSnapshots(reply);
}

Status SputUseMgr::ListFile(BvuBinaryStream& request, BvuBinaryStream* reply) {
  std::string name;
  Status s = ReadName(request, &name);
  if (status::IsFailure(s)) return s;
  // A store of its own: the file chosen for use stays open and chosen.
  ListingStore listing;
  s = listing.OpenFile(name.c_str(), nullptr, false);
  if (status::IsSuccess(s) && reply != nullptr) {
    s = reply->PutUInt16(138);
    if (status::IsSuccess(s)) s = listing.ListSnapshots(reply);
  }
  listing.CloseFile();
  return s;
}

Status SputUseMgr::DeleteSnapshot(std::uint32_t id, const char* file) {
  const Status s = OpenOther(file, false);
  return status::IsFailure(s) ? s : store_.DeleteSnapshot(id);
}

Status SputUseMgr::KeepSnapshot(std::uint32_t id, const char* file, const char* name) {
  const Status s = OpenOther(file, true);
  return status::IsFailure(s) ? s : store_.KeepSnapshot(id, name);
}

Status SputUseMgr::DeleteFileUnlessOwn(const char* file) {
  if (own_file_ != 0) return status::kOk;
  if (file == nullptr || file[0] == '\0') return kNotDeleted;
  if (store_.IsOpen() && store_.FileName() == file) store_.CloseFile();
  return platform::RemoveFile(file) ? status::kOk : kNotDeleted;
}

Status SputUseMgr::SendSnapshot(BvuBinaryStream& request, BvuBinaryStream* reply) {
  Status s = SelectFile(request, nullptr);
  std::uint16_t id = 0;
  if (status::IsSuccess(s)) s = request.GetUInt16(&id);
  if (status::IsFailure(s)) return s;
  SputSnapshotMgr& store = Chosen();
  // Only the values and their pool: sending a snapshot changes nothing of
  // the run, and the snapshot stays where it is.
  RunPosition at;
  s = store.RestoreSnapshot(id, &at, kValuesId, false);
  if (status::IsSuccess(s)) s = store.RestoreSnapshot(id, &at, kPoolId, false);
  if (status::IsFailure(s)) return s;
  if (values_ == nullptr) return kNoValues;
  const char* name = nullptr;
  const char* description = nullptr;
  std::uint32_t date = 0;
  std::uint32_t time_of_day = 0;
  store.GetSnapshotName(id, &name);
  store.GetSnapshotDescription(id, &description);
  store.GetSnapshotDateTime(id, &date, &time_of_day);
  if (reply == nullptr) return status::kOk;
  s = reply->PutUInt16(110);
  if (status::IsSuccess(s)) s = reply->PutUInt32(id);
  if (status::IsSuccess(s)) s = reply->PutString(name != nullptr ? name : "");
  if (status::IsSuccess(s)) s = reply->PutString(description != nullptr ? description : "");
  if (status::IsSuccess(s)) s = reply->PutUInt32(date);
  if (status::IsSuccess(s)) s = reply->PutUInt32(time_of_day);
  if (status::IsSuccess(s)) s = reply->PutDouble(at.time);
  if (status::IsSuccess(s)) s = reply->PutUInt16(at.run);
  if (status::IsSuccess(s)) s = reply->PutUInt16(static_cast<std::uint16_t>(at.count));
  if (status::IsSuccess(s)) {
    BvuDirectoryProper empty(nullptr, "");
    BvuDirectoryNode* root = Root();
    s = WriteUseDataTree(root != nullptr ? root : &empty, *reply);
  }
  if (status::IsSuccess(s)) s = values_->Save(*reply);
  return s;
}

// --- applying use data ---

namespace {

struct UseWalk {
  SimResultsMgr* manager;
  SputUseMgr* use;
  SUPackedValueTable* values;
  bool compare_values;
  Status stop = status::kOk;
};

std::string Printed(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.12g", value);
  return text;
}

std::string Printed(const SUValue& value) {
  switch (value.type) {
    case SUValue::kInteger:
    case SUValue::kLogical:
      return std::to_string(value.payload.integer);
    case SUValue::kReal:
      return Printed(value.payload.real);
    case SUValue::kString:
      return value.GetString() != nullptr ? value.GetString() : "";
    default:
      return "(set)";
  }
}

// One variable: record `at` of the snapshot against the present variable.
void ApplyOne(UseWalk& walk, std::int32_t at, std::int32_t present) {
  if (at < 0 || present < 0 || at >= walk.values->Count()) return;
  ResultsProblemSide* problem = walk.manager->Problem();
  AssignableVariable* variable = problem->VariableAt(present);
  if (variable == nullptr) return;
  const SUPackedValue& record = walk.values->Record(at);
  const bool structural = (variable->Flags() & AssignableVariable::kStructuralBit) != 0;
  const std::uint32_t now_specification =
      structural ? kStructuralSpecification : variable->Specification();
  if ((record.attribute & walk.use->snapshot_mask) == 0 ||
      (now_specification & walk.use->current_mask) == 0)
    return;
  const std::uint32_t pattern = record.flags == kAllOnes ? 0 : record.flags;
  const std::uint32_t mask = record.flags == kAllOnes ? 0 : SputUseMgr::kAssignMask;

  if (!walk.compare_values) {
    // Only a plain variable has a specification to change.
    if (variable->HoldsTypedValue() || now_specification == record.attribute) return;
    walk.manager->Stage(std::make_unique<SimAssignValue>(2, nullptr, 0.0, record.attribute,
                                                         variable, pattern, mask),
                        false);
    return;
  }

  SUValue snapshot;
  if (status::IsFailure(record.ToValue(&snapshot, walk.values->Pool()))) return;
  SUValue current;
  std::uint16_t current_type = SUValue::kReal;
  if (variable->HoldsTypedValue()) {
    variable->GetTypedValue(&current);
    current_type = current.type;
  }
  const std::uint16_t type = record.type;
  const bool agree = type == current_type || (type == SUValue::kInteger && current_type == SUValue::kReal) ||
                     (type == SUValue::kEmptySet &&
                      (current_type == SUValue::kIntSet || current_type == SUValue::kStringSet));
  if (!agree) return;

  std::unique_ptr<SimAssignValue> item;
  std::string was;
  std::string will;
  switch (current_type) {
    case SUValue::kInteger:
    case SUValue::kLogical: {
      const std::int32_t now = current.type == SUValue::kReal
                                   ? static_cast<std::int32_t>(current.payload.real)
                                   : current.payload.integer;
      if (now == snapshot.payload.integer) return;
      was = std::to_string(now);
      will = std::to_string(snapshot.payload.integer);
      item = std::make_unique<SimAssignValue>(current_type == SUValue::kInteger ? 4 : 1,
                                              &snapshot, 0.0, 0, variable, pattern, mask);
      break;
    }
    case SUValue::kReal: {
      double value = snapshot.type == SUValue::kReal
                         ? snapshot.payload.real
                         : static_cast<double>(snapshot.payload.integer);
      double lower = 0;
      double upper = 0;
      variable->Bounds(&lower, &upper);
      if (value < lower) value = lower;
      if (value > upper) value = upper;
      const double now = variable->HoldsTypedValue() ? current.payload.real : variable->Value();
      const bool changed = structural ? std::fabs(now - value) > problem->Option(74) : now != value;
      if (!changed) return;
      was = Printed(now);
      will = Printed(value);
      item = std::make_unique<SimAssignValue>(24, nullptr, value, 0, variable, pattern, mask);
      break;
    }
    case SUValue::kString: {
      const char* now = current.GetString();
      const char* then = snapshot.GetString();
      if (std::strcmp(now != nullptr ? now : "", then != nullptr ? then : "") == 0) return;
      was = Printed(current);
      will = Printed(snapshot);
      item = std::make_unique<SimAssignValue>(68, &snapshot, 0.0, 0, variable, pattern, mask);
      break;
    }
    case SUValue::kIntSet:
    case SUValue::kStringSet:
    case SUValue::kEmptySet:
      if (!snapshot.IsNotEqual(current)) return;
      was = Printed(current);
      will = Printed(snapshot);
      item = std::make_unique<SimAssignValue>(255, &snapshot, 0.0, 0, variable, pattern, mask);
      break;
    default:
      return;
  }
  if (structural)
    problem->Print(status::kOk, "Structural parameter " + variable->Name() + " will change from " +
                                    was + " to " + will);
  walk.manager->Stage(std::move(item), structural);
}

void ApplyPair(UseWalk& walk, BvuDirectoryNode* snapshot, BvuDirectoryNode* model) {
  if (snapshot == nullptr || model == nullptr || snapshot->GetKind() != SimUseData::kKind ||
      model->GetKind() != SimUseData::kKind)
    return;
  const auto* from = static_cast<SimUseData*>(snapshot);
  const auto* to = static_cast<SimUseData*>(model);
  if (from->variable_index != SimUseData::kArray) {
    ApplyOne(walk, static_cast<std::int32_t>(from->variable_index),
             static_cast<std::int32_t>(to->variable_index));
    return;
  }
  const std::size_t count = std::min(from->elements.size(), to->elements.size());
  for (std::size_t k = 0; k < count; ++k)
    ApplyOne(walk, static_cast<std::int32_t>(from->elements[k]),
             static_cast<std::int32_t>(to->elements[k]));
}

Status WalkPair(void* argument, BvuDirectoryNode* first, BvuDirectoryNode* second) {
  auto& walk = *static_cast<UseWalk*>(argument);
  // The walk stops at the first status with a bit outside 0x5FFF0000.
  if ((walk.stop & ~0x5FFF0000u) != 0) return walk.stop;
  ApplyPair(walk, first, second);
  return status::kOk;
}

BvuDirectoryNode* StartNode(BvuDirectoryNode* root, const char* path) {
  if (root == nullptr || path == nullptr || path[0] == '\0') return root;
  return root->FindFirstMatch(path, nullptr);
}

}  // namespace

Status SputUseMgr::ApplyUseData(SimResultsMgr* manager, std::uint32_t id, std::uint16_t flags,
                                const char* snapshot_path, const char* filter,
                                const char* model_path, bool values) {
  snapshot_mask = MaskOf(flags & 0xF);
  current_mask = MaskOf((flags >> 4) & 0xF);
  if (snapshot_mask == 0 || current_mask == 0 || manager == nullptr) return status::kOk;
  const bool everything = filter != nullptr && std::strcmp(filter, "~") == 0;
  if (id != kNoId) {
    SputSnapshotMgr& store = Chosen();
    RunPosition at;
    Status s = everything ? store.RestoreSnapshot(id, &at, SputSnapshotMgr::kAllParticipants, false)
                          : store.RestoreSnapshot(id, &at, kValuesId, false);
    if (!everything && status::IsSuccess(s)) s = store.RestoreSnapshot(id, &at, kPoolId, false);
    if (status::IsFailure(s)) return s;
  }
  if (values_ == nullptr) return kNoValues;
  BvuDirectoryNode* from = StartNode(Root(), snapshot_path);
  BvuDirectoryNode* to = StartNode(manager->Problem()->VariableTree(), model_path);
  if (from == nullptr || to == nullptr) return kUnknownPath;
  UseWalk walk{manager, this, values_, values};
  if (filter != nullptr && filter[0] == ' ') {
    ApplyPair(walk, from, to);
    return status::kOk;
  }
  const char* pattern = filter != nullptr && filter[0] != '\0' ? filter : "~";
  from->MatchPath(pattern, to, &walk, WalkPair, 0);
  return walk.stop;
}
