#include "foundation/collections/factory.h"

#include <mutex>

#include "foundation/collections/ordered.h"
#include "foundation/collections/slist.h"

namespace {

// Both mutexes live for the whole process: registrars of other classes may
// unregister while static objects are being destroyed.
std::mutex& FactoryMutex() {
  static std::mutex* const mutex = new std::mutex;
  return *mutex;
}

std::mutex& FactoryCreationMutex() {
  static std::mutex* const mutex = new std::mutex;
  return *mutex;
}

ClFactory* g_factory = nullptr;

template <typename T>
ClCollectable* Make() {
  return new T;
}

void RegisterLibraryClasses(ClFactory& factory) {
  factory.Register(&Make<ClCollectable>, kClCollectableId);
  factory.Register(&Make<ClIdentitySet>, kClIdentitySetId);
  factory.Register(&Make<ClOrdered>, kClOrderedId);
  factory.Register(&Make<ClSet>, kClSetId);
  factory.Register(&Make<ClSlistCollectables>, kClSlistCollectablesId);
  factory.Register(&Make<ClHashTable>, kClHashTableId);
}

}  // namespace

bool ClFunctionAssociation::IsEqual(const ClCollectable* other) const {
  const auto* that = dynamic_cast<const ClFunctionAssociation*>(other);
  return that != nullptr && that->id_ == id_;
}

ClFactory::~ClFactory() { ClearAndDestroy(); }

void ClFactory::Register(ClCreateFunction create, std::uint16_t id) {
  std::lock_guard<std::mutex> lock(FactoryMutex());
  auto* association = new ClFunctionAssociation(id, create);
  if (ClSet::Insert(association) != association) delete association;
}

ClCreateFunction ClFactory::FindCreator(std::uint16_t id) const {
  std::lock_guard<std::mutex> lock(FactoryMutex());
  const ClFunctionAssociation key(id, nullptr);
  const auto* found = static_cast<const ClFunctionAssociation*>(Find(&key));
  return found != nullptr ? found->Creator() : nullptr;
}

ClCollectable* ClFactory::MakeObject(std::uint16_t id) const {
  const ClCreateFunction create = FindCreator(id);
  return create != nullptr ? create() : nullptr;
}

void ClFactory::Unregister(std::uint16_t id) {
  std::lock_guard<std::mutex> lock(FactoryMutex());
  const ClFunctionAssociation key(id, nullptr);
  delete Remove(&key);
}

ClFactory* GetFactory() {
  std::lock_guard<std::mutex> lock(FactoryCreationMutex());
  if (g_factory == nullptr) {
    // Never deleted: registrars unregister at exit in any order.
    auto* factory = new ClFactory;
    RegisterLibraryClasses(*factory);
    g_factory = factory;
  }
  return g_factory;
}

int RegisterClassId(ClCreateFunction create, std::uint16_t id) {
  ClFactory* factory = GetFactory();
  if (factory == nullptr) return 0;
  factory->Register(create, id);
  return 1;
}

void UnregisterClassId(std::uint16_t id) { GetFactory()->Unregister(id); }

ClCollectable* CreateByClassId(std::uint16_t id) { return GetFactory()->MakeObject(id); }

ClassIdRegistrar::ClassIdRegistrar(ClCreateFunction create, std::uint16_t id) : id_(id) {
  RegisterClassId(create, id);
}

ClassIdRegistrar::~ClassIdRegistrar() { UnregisterClassId(id_); }
