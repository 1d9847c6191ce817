#include "foundation/persistence/persistence.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "foundation/collections/collection.h"
#include "foundation/collections/collection_errors.h"
#include "foundation/collections/factory.h"
#include "foundation/persistence/file_stream.h"
#include "foundation/persistence/virtual_stream.h"

// A graph that restores must also compare.
static_assert(kMaxRestoreDepth <= kMaxEqualityDepth);

namespace {

constexpr std::size_t kSlotCount = 8;
thread_local ClCollectable* t_slots[kSlotCount] = {};
std::atomic<std::size_t> g_next_slot{0};

thread_local ClRestoreRecord* t_restore_record = nullptr;
thread_local int t_restore_depth = 0;

// What a top-level restore learns about who holds its objects: every object
// is named once by its body, then once per reference to it.
struct Holders {
  std::unordered_map<const ClCollectable*, std::uint32_t> references;
  std::unordered_map<ClCollectable*, std::uint32_t> dropped;  // names no collection kept
  std::unordered_set<const ClCollectable*> targets;           // belong to the caller
};
thread_local Holders* t_holders = nullptr;

// Replacements announced by bodies being restored, taken when each returns.
thread_local std::vector<std::pair<ClCollectable*, ClCollectable*>> t_replacements;

// The object that stands for `object` (entry `number` of the read table)
// once its body has been read.
ClCollectable* TakeReplacement(ClOrdered& table, std::size_t number, ClCollectable* object) {
  const auto found =
      std::find_if(t_replacements.begin(), t_replacements.end(),
                   [object](const auto& entry) { return entry.first == object; });
  if (found == t_replacements.end()) return object;
  ClCollectable* replacement = found->second;
  t_replacements.erase(found);
  table.ItemRefAt(number) = replacement;
  if (t_restore_record != nullptr) {
    for (ClCollectable*& made : t_restore_record->made) {
      if (made == object) made = replacement;
    }
  }
  if (t_holders != nullptr) {
    const auto named = t_holders->references.find(object);
    if (named != t_holders->references.end()) {
      t_holders->references[replacement] += named->second;
      t_holders->references.erase(named);
    }
  }
  delete object;
  return replacement;
}

// Deletes the objects that every name of was dropped, then the items of
// such collections that nothing else names.
void DisposeUnheld(Holders& holders) {
  std::vector<ClCollectable*> pending;
  for (const auto& entry : holders.dropped) pending.push_back(entry.first);
  std::unordered_set<ClCollectable*> unheld;
  std::vector<ClCollectable*> order;
  while (!pending.empty()) {
    ClCollectable* object = pending.back();
    pending.pop_back();
    if (object == nullptr || object == NilObject() || unheld.count(object) != 0 ||
        holders.targets.count(object) != 0) {
      continue;
    }
    const auto named = holders.references.find(object);
    const std::uint32_t names = 1 + (named != holders.references.end() ? named->second : 0);
    if (holders.dropped[object] < names) continue;
    unheld.insert(object);
    order.push_back(object);
    // Its items lose the name it gave them.
    struct Context {
      Holders* holders;
      std::vector<ClCollectable*>* pending;
    } context{&holders, &pending};
    if (auto* collection = dynamic_cast<ClCollection*>(object)) {
      collection->Apply(
          [](ClCollectable* item, void* data) {
            auto* context = static_cast<Context*>(data);
            if (item == nullptr) return;
            ++context->holders->dropped[item];
            context->pending->push_back(item);
          },
          &context);
    }
  }
  if (order.empty()) return;
  if (t_restore_record != nullptr) {
    auto& made = t_restore_record->made;
    made.erase(std::remove_if(made.begin(), made.end(),
                              [&](ClCollectable* o) { return unheld.count(o) != 0; }),
               made.end());
  }
  for (ClCollectable* object : order) delete object;
}
// Objects counted by the StoredSizeOf call in progress on this thread.
thread_local ClIdentitySet* t_sizing = nullptr;

// Initial values for reads that may fail: a short file leaves a value that fails
// the reference check instead of whatever the stream left.
constexpr std::uint16_t kUnreadId = kReferenceMark;
constexpr std::uint32_t kUnreadNumber = 0xFFFFFFFFu;

// Owns the store table of a top-level save for its whole length.
class SaveScope {
 public:
  SaveScope() : top_(StoreManager().Table() == nullptr) {
    if (top_) StoreManager().MakeCurrentInstance();
  }
  ~SaveScope() {
    if (top_) StoreManager().FreeCurrentInstance();
  }
  SaveScope(const SaveScope&) = delete;
  SaveScope& operator=(const SaveScope&) = delete;
  bool top() const { return top_; }
  ClStoreTable& table() const { return *StoreManager().Table(); }

 private:
  bool top_;
};

// Owns the read table of a top-level restore; also bounds the nesting of
// bodies on this thread.
class ReadScope {
 public:
  ReadScope() : top_(ReadManager().Table() == nullptr) {}
  ~ReadScope() {
    if (depth_counted_) --t_restore_depth;
    if (top_) ReadManager().FreeCurrentInstance();
    if (holders_ != nullptr) t_holders = outer_holders_;
  }
  ReadScope(const ReadScope&) = delete;
  ReadScope& operator=(const ReadScope&) = delete;

  bool top() const { return top_; }
  void Open() {
    t_replacements.clear();
    ReadManager().MakeCurrentInstance();
    table().Append(NilObject());
    holders_ = std::make_unique<Holders>();
    outer_holders_ = t_holders;
    t_holders = holders_.get();
  }
  // At the end of a top-level restore that raised nothing.
  void Finish() {
    if (holders_ != nullptr) DisposeUnheld(*holders_);
  }
  ClOrdered& table() const { return *ReadManager().Table(); }
  // False when the nesting is too deep for the stack.
  bool Enter() {
    depth_counted_ = true;
    return ++t_restore_depth <= kMaxRestoreDepth;
  }

 private:
  bool top_;
  bool depth_counted_ = false;
  std::unique_ptr<Holders> holders_;
  Holders* outer_holders_ = nullptr;
};

// The object for a first occurrence of `id`: a new one, or the target.
ClCollectable* ObjectFor(std::uint16_t id, ClCollectable* target) {
  if (target != nullptr) {
    if (target->ClassId() != id) {
      ClRaiseError(ClErrorClass::kExternal, kClId, static_cast<unsigned>(id),
                   static_cast<unsigned>(target->ClassId()));
    }
    if (t_restore_record != nullptr) t_restore_record->targets.push_back(target);
    if (t_holders != nullptr) t_holders->targets.insert(target);
    return target;
  }
  std::unique_ptr<ClCollectable> object(CreateByClassId(id));
  if (object == nullptr) {
    ClRaiseError(ClErrorClass::kInternal, kClNoCreate, static_cast<unsigned>(id),
                 static_cast<unsigned>(id));
  }
  if (t_restore_record != nullptr) t_restore_record->made.push_back(object.get());
  return object.release();
}

ClCollectable* Resolve(const ClOrdered& table, std::uint32_t number, const ClCollectable* target) {
  if (number >= table.Entries() || (target != nullptr && table.ItemAt(number) != target)) {
    ClRaiseError(ClErrorClass::kInternal, kClRef);
  }
  ClCollectable* object = table.ItemAt(number);
  if (object == NilObject()) return nullptr;
  if (t_holders != nullptr) ++t_holders->references[object];
  return object;
}

void SetFail(Clvistream& stream) { stream.Clear(stream.ReadState() | Clvios::kFailBit); }

}  // namespace

// ---- thread-local instances ------------------------------------------------

ClInstanceManager::ClInstanceManager() : slot_(g_next_slot.fetch_add(1)) {
  if (slot_ >= kSlotCount) std::abort();  // a fixed handful of managers exists
}

ClCollectable* ClInstanceManager::CurrentInstance() const { return t_slots[slot_]; }

ClCollectable* ClInstanceManager::MakeCurrentInstance() {
  t_slots[slot_] = CreateInstance();
  return t_slots[slot_];
}

void ClInstanceManager::FreeCurrentInstance() {
  ClCollectable* instance = t_slots[slot_];
  t_slots[slot_] = nullptr;
  if (instance != nullptr) DeleteInstance(instance);
}

ClCollectable* ClInstanceManager::ExchangeCurrentInstance(ClCollectable* instance) {
  ClCollectable* previous = t_slots[slot_];
  t_slots[slot_] = instance;
  return previous;
}

ClStoreManager& StoreManager() {
  static ClStoreManager* const manager = new ClStoreManager;
  return *manager;
}

ClReadManager& ReadManager() {
  static ClReadManager* const manager = new ClReadManager;
  return *manager;
}

// ---- store table -----------------------------------------------------------

bool ClStoreEntry::IsEqual(const ClCollectable* other) const {
  const auto* that = dynamic_cast<const ClStoreEntry*>(other);
  return that != nullptr && that->object_ == object_;
}

ClStoreTable::ClStoreTable() : ClSet(ClHashTable::kDefaultBuckets) { Add(NilObject()); }

ClStoreTable::~ClStoreTable() { ClearAndDestroy(); }

bool ClStoreTable::FindNumber(const ClCollectable* object, std::uint32_t& number) const {
  const ClStoreEntry key(object, 0);
  const auto* entry = static_cast<const ClStoreEntry*>(Find(&key));
  if (entry == nullptr) return false;
  number = entry->Number();
  return true;
}

std::uint32_t ClStoreTable::Add(const ClCollectable* object) {
  const auto number = static_cast<std::uint32_t>(Entries());
  // A save of many objects looks each one up: the buckets grow with them,
  // so that the save stays linear in the objects.
  if (Entries() >= 2 * Buckets()) Resize(4 * Entries());
  Insert(new ClStoreEntry(object, number));
  return number;
}

// ---- saving ----------------------------------------------------------------

void WriteCollectableToFile(const ClCollectable* object, ClFileStream& file) {
  if (object == nullptr) object = NilObject();
  const SaveScope scope;
  if (scope.top()) file.Write32(kCollectableMagic);
  std::uint32_t number = 0;
  if (scope.table().FindNumber(object, number)) {
    file.Write16(kReferenceMark);
    file.Write32(number);
    return;
  }
  scope.table().Add(object);
  file.Write16(object->ClassId());
  object->SaveToFile(file);
}

void StoreCollectableToFile(ClFileStream& file, const ClCollectable* object) {
  WriteCollectableToFile(object != nullptr ? object : NilObject(), file);
}

void WriteCollectable(const ClCollectable* object, Clvostream& stream) {
  if (object == nullptr) object = NilObject();
  const SaveScope scope;
  std::uint32_t number = 0;
  if (scope.table().FindNumber(object, number)) {
    stream.PutChar('@');
    stream.PutU32(number);
    return;
  }
  scope.table().Add(object);
  stream.PutChar(':');
  stream.PutU16(object->ClassId());
  stream.PutChar('{');
  object->SaveToVStream(stream);
  stream.PutChar('}');
}

void StoreCollectable(Clvostream& stream, const ClCollectable* object) {
  WriteCollectable(object != nullptr ? object : NilObject(), stream);
}

// ---- restoring -------------------------------------------------------------

ClCollectable* RestoreCollectableFromFile(ClFileStream& file, ClCollectable* target) {
  ReadScope scope;
  if (scope.top()) {
    std::uint32_t magic = 0;
    file.Read32(magic);
    if (magic != kCollectableMagic) {
      // Shown as the 32-bit signed number it is in the file.
      ClRaiseError(ClErrorClass::kExternal, kClMagic,
                   static_cast<long>(static_cast<std::int32_t>(magic)),
                   static_cast<long>(kCollectableMagic));
    }
    scope.Open();
  }
  if (!scope.Enter()) ClRaiseError(ClErrorClass::kExternal, kClReadErr);

  std::uint16_t id = kUnreadId;
  file.Read16(id);
  if (id != kReferenceMark) {
    ClCollectable* object = ObjectFor(id, target);
    const std::size_t number = scope.table().Entries();
    scope.table().Append(object);
    object->RestoreFromFile(file);
    if (object != target) object = TakeReplacement(scope.table(), number, object);
    if (scope.top()) scope.Finish();
    return object;
  }
  std::uint32_t number = kUnreadNumber;
  file.Read32(number);
  return Resolve(scope.table(), number, target);
}

ClCollectable* RestoreCollectable(Clvistream& stream, ClCollectable* target) {
  if (!stream.Good()) return nullptr;
  ReadScope scope;
  if (scope.top()) scope.Open();
  if (!scope.Enter()) ClRaiseError(ClErrorClass::kExternal, kClStream);

  char mark = 0;
  if (!stream.GetChar(mark)) {
    SetFail(stream);
    return nullptr;
  }
  if (mark == '@') {
    std::uint32_t number = kUnreadNumber;
    if (!stream.GetU32(number)) {
      SetFail(stream);
      return nullptr;
    }
    return Resolve(scope.table(), number, target);
  }
  if (mark == ':') {
    std::uint16_t id = kUnreadId;
    char open = 0;
    stream.GetU16(id);
    stream.GetChar(open);
    if (stream.Good() && open == '{') {
      ClCollectable* object = ObjectFor(id, target);
      const std::size_t number = scope.table().Entries();
      scope.table().Append(object);
      object->RestoreFromVStream(stream);
      if (object != target) object = TakeReplacement(scope.table(), number, object);
      char close = 0;
      stream.GetChar(close);  // the closing '}'
      if (scope.top()) scope.Finish();
      return object;
    }
  }
  SetFail(stream);
  return nullptr;
}

void ReplaceRestoredObject(ClCollectable* object, ClCollectable* replacement) {
  if (object != nullptr && replacement != nullptr && object != replacement) {
    t_replacements.emplace_back(object, replacement);
  }
}

void NoteDroppedItem(ClCollectable* item) {
  if (t_holders != nullptr && item != nullptr) ++t_holders->dropped[item];
}

ClRestoreRecord* ExchangeRestoreRecord(ClRestoreRecord* record) {
  ClRestoreRecord* previous = t_restore_record;
  t_restore_record = record;
  return previous;
}

// ---- sizes -----------------------------------------------------------------

std::uint32_t StoredSizeOf(const ClCollectable* object) {
  if (object == nullptr) object = NilObject();
  // The outermost call owns the set of objects counted; the slot is emptied
  // however the call ends, a raised error included.
  struct Owner {
    std::unique_ptr<ClIdentitySet> set;
    ~Owner() {
      if (set != nullptr) t_sizing = nullptr;
    }
  } owner;
  std::uint32_t size = 0;
  if (t_sizing == nullptr) {
    owner.set = std::make_unique<ClIdentitySet>();
    t_sizing = owner.set.get();
    if (StoreManager().Table() == nullptr) size += 4;
  }
  std::uint32_t number = 0;
  const ClStoreTable* table = StoreManager().Table();
  auto* key = const_cast<ClCollectable*>(object);
  if (object == NilObject() || (table != nullptr && table->FindNumber(object, number)) ||
      t_sizing->Find(key) != nullptr) {
    size += 6;
  } else {
    t_sizing->Insert(key);
    size += 2 + object->StoredSize();
  }
  return size;
}
