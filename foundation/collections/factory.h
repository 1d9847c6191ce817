// The process-wide factory that makes an object from its 16-bit class id,
// for restoring saved graphs. Each persistent class registers a create
// function once (a ClassIdRegistrar per class); the first registration of an
// id wins. The factory is shared by all threads and guards itself.
#pragma once

#include <cstdint>

#include "foundation/collections/set.h"

using ClCreateFunction = ClCollectable* (*)();

// One (class id, create function) pair; equal and hashed by the id alone.
class ClFunctionAssociation : public ClCollectable {
 public:
  ClFunctionAssociation(std::uint16_t id, ClCreateFunction create) : id_(id), create_(create) {}

  std::uint32_t Hash() const override { return id_; }
  bool IsEqual(const ClCollectable* other) const override;

  std::uint16_t Id() const { return id_; }
  ClCreateFunction Creator() const { return create_; }

 private:
  std::uint16_t id_;
  ClCreateFunction create_;
};

// A set of associations. Exactly one exists per process (GetFactory); its
// operations hold the factory mutex.
class ClFactory : public ClSet {
 public:
  ClFactory() = default;
  ClFactory(const ClFactory&) = delete;
  ClFactory& operator=(const ClFactory&) = delete;
  ~ClFactory() override;

  // Keeps an earlier association of the same id and drops this one.
  void Register(ClCreateFunction create, std::uint16_t id);
  ClCreateFunction FindCreator(std::uint16_t id) const;
  // A new object of the class, or null when no create function is known.
  ClCollectable* MakeObject(std::uint16_t id) const;
  void Unregister(std::uint16_t id);
};

// The process-wide factory, made on first call together with the
// registrations of this library's own collection classes.
ClFactory* GetFactory();

// Answers 0 when no factory could be made, else 1.
int RegisterClassId(ClCreateFunction create, std::uint16_t id);
void UnregisterClassId(std::uint16_t id);
// A new default object of that class, or null.
ClCollectable* CreateByClassId(std::uint16_t id);

// One static object per persistent class: registers the class while the
// program starts and unregisters it while the program ends.
class ClassIdRegistrar {
 public:
  ClassIdRegistrar(ClCreateFunction create, std::uint16_t id);
  ~ClassIdRegistrar();
  ClassIdRegistrar(const ClassIdRegistrar&) = delete;
  ClassIdRegistrar& operator=(const ClassIdRegistrar&) = delete;

 private:
  std::uint16_t id_;
};
