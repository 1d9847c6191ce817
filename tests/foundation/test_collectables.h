// Persistent test classes that count their live objects: a numbered value and a link.
#pragma once

#include <atomic>
#include <cstdint>

#include "foundation/collections/collectable.h"
#include "foundation/collections/factory.h"
#include "foundation/persistence/file_stream.h"
#include "foundation/persistence/persistence.h"
#include "foundation/persistence/virtual_stream.h"

namespace testobjects {

inline constexpr std::uint16_t kValueId = 0x7A01;
inline constexpr std::uint16_t kLinkId = 0x7A02;

// Atomic: tests restore and destroy objects on more than one thread.
inline std::atomic<int> g_live_values{0};
inline std::atomic<int> g_live_links{0};

class Value : public ClCollectable {
 public:
  explicit Value(std::int32_t v = 0) : value(v) { ++g_live_values; }
  Value(const Value& other) : ClCollectable(other), value(other.value) { ++g_live_values; }
  ~Value() override { --g_live_values; }

  ClCollectable* NewEmpty() const override { return new Value; }
  ClCollectable* Copy() const override { return new Value(*this); }
  std::uint16_t ClassId() const override { return kValueId; }
  std::uint32_t StoredSize() const override { return 4; }
  std::uint32_t Hash() const override { return static_cast<std::uint32_t>(value); }
  bool IsEqual(const ClCollectable* other) const override {
    const auto* that = dynamic_cast<const Value*>(other);
    return that != nullptr && that->value == value;
  }
  void SaveToFile(ClFileStream& file) const override {
    file.Write32(static_cast<std::uint32_t>(value));
  }
  void RestoreFromFile(ClFileStream& file) override {
    std::uint32_t v = 0;
    file.Read32(v);
    value = static_cast<std::int32_t>(v);
  }
  void SaveToVStream(Clvostream& stream) const override { stream.PutI32(value); }
  void RestoreFromVStream(Clvistream& stream) override { stream.GetI32(value); }

  std::int32_t value;
};

// Points at another object without owning it.
class Link : public ClCollectable {
 public:
  Link() { ++g_live_links; }
  ~Link() override { --g_live_links; }

  ClCollectable* NewEmpty() const override { return new Link; }
  std::uint16_t ClassId() const override { return kLinkId; }
  std::uint32_t StoredSize() const override { return 4 + StoredSizeOf(target); }
  void SaveToFile(ClFileStream& file) const override {
    file.Write32(tag);
    StoreCollectableToFile(file, target);
  }
  void RestoreFromFile(ClFileStream& file) override {
    file.Read32(tag);
    target = RestoreCollectableFromFile(file);
  }
  void SaveToVStream(Clvostream& stream) const override {
    stream.PutU32(tag);
    StoreCollectable(stream, target);
  }
  void RestoreFromVStream(Clvistream& stream) override {
    stream.GetU32(tag);
    target = RestoreCollectable(stream);
  }

  std::uint32_t tag = 0;
  ClCollectable* target = nullptr;
};

inline ClCollectable* MakeValue() { return new Value; }
inline ClCollectable* MakeLink() { return new Link; }

inline ClassIdRegistrar g_value_registrar(&MakeValue, kValueId);
inline ClassIdRegistrar g_link_registrar(&MakeLink, kLinkId);

}  // namespace testobjects
