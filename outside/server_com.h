// What the two in-process servers share: the reference count of their COM
// objects, a class factory per class, wide texts handed to the engine, and
// the published option lists. Header only, so each server library carries
// its own copy and no state is shared between them.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "platform/com_status.h"
#include "platform/unknown.h"
#include "solve/ifaces/com_types.h"
#include "solve/ifaces/option_enumerator.h"

#define VANTOR_SERVER_EXPORT __attribute__((visibility("default")))

namespace outside {

// Objects alive in one server library; a test reads it to see every
// reference dropped.
inline std::atomic<std::int64_t>& LiveObjects() {
  static std::atomic<std::int64_t> count{0};
  return count;
}

// A malloc-ed UTF-16 copy of an ASCII text, freed by the engine with
// CoTaskMemFree; null when out of memory.
inline char16_t* WideCopy(std::string_view text) {
  auto* out = static_cast<char16_t*>(std::malloc((text.size() + 1) * sizeof(char16_t)));
  if (out == nullptr) return nullptr;
  for (std::size_t i = 0; i < text.size(); ++i) {
    out[i] = static_cast<char16_t>(static_cast<unsigned char>(text[i]));
  }
  out[text.size()] = u'\0';
  return out;
}

// One option a server publishes: the engine's number, our id, its variant
// type and the accepted range.
struct PublishedOption {
  const char* name;
  std::uint32_t engine_number;
  std::uint32_t server_id;
  std::uint16_t vt;
  double low;
  double high;
};

// Checks a value against its published option: E_INVALIDARG for a wrong
// variant type or a value out of range.
inline Status CheckOptionValue(const PublishedOption& option, const VARIANT& value) {
  if (value.vt != option.vt) return platform::E_INVALIDARG;
  const double v = value.vt == kVariantInt32 ? value.lVal : value.dblVal;
  if (!(v >= option.low && v <= option.high)) return platform::E_INVALIDARG;
  return platform::S_OK;
}

inline double OptionNumber(const VARIANT& value) {
  return value.vt == kVariantInt32 ? value.lVal : value.dblVal;
}

// The newer option enumerator over a fixed list; each name is a fresh copy
// the engine frees. Next answers 1 once the list is used up.
class OptionEnumerator final : public IOptionEnumerator2 {
 public:
  OptionEnumerator(const PublishedOption* options, std::uint32_t count)
      : options_(options), count_(count) {
    ++LiveObjects();
  }

  Status QueryInterface(const platform::IID& iid, void** object) override {
    if (object == nullptr) return platform::E_POINTER;
    if (iid == platform::IID_IUnknown || iid == IID_IOptionEnumerator2) {
      *object = static_cast<IOptionEnumerator2*>(this);
      AddRef();
      return platform::S_OK;
    }
    *object = nullptr;
    return platform::E_NOINTERFACE;
  }
  std::uint32_t AddRef() override { return ++refs_; }
  std::uint32_t Release() override {
    const std::uint32_t left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  Status Next(std::uint32_t count, OptionEntry* entries, std::uint32_t* fetched) override {
    if (fetched != nullptr) *fetched = 0;
    if (count > 0 && entries == nullptr) return platform::E_POINTER;
    std::uint32_t done = 0;
    while (done < count && next_ < count_) {
      const PublishedOption& o = options_[next_];
      char16_t* name = WideCopy(o.name);
      if (name == nullptr) break;  // the entries so far stay the caller's
      entries[done] = OptionEntry{name, o.engine_number, o.server_id, o.vt};
      ++done;
      ++next_;
    }
    if (fetched != nullptr) *fetched = done;
    if (done == 0 && next_ < count_ && count > 0) return platform::E_OUTOFMEMORY;
    return done == 0 ? 1u : 0u;
  }

 private:
  ~OptionEnumerator() { --LiveObjects(); }

  const PublishedOption* options_;
  std::uint32_t count_;
  std::uint32_t next_ = 0;
  std::atomic<std::uint32_t> refs_{0};
};

// The class factory of one server class; Make creates an object with no
// reference that CreateInstance then queries.
template <class Object>
class ClassFactory final : public platform::IClassFactory {
 public:
  Status QueryInterface(const platform::IID& iid, void** object) override {
    if (object == nullptr) return platform::E_POINTER;
    if (iid == platform::IID_IUnknown || iid == platform::IID_IClassFactory) {
      *object = static_cast<platform::IClassFactory*>(this);
      AddRef();
      return platform::S_OK;
    }
    *object = nullptr;
    return platform::E_NOINTERFACE;
  }
  // The factory is static: it lives as long as the library.
  std::uint32_t AddRef() override { return 2; }
  std::uint32_t Release() override { return 1; }

  Status CreateInstance(platform::IUnknown* outer, const platform::IID& iid,
                        void** object) override {
    if (object == nullptr) return platform::E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return platform::CLASS_E_NOAGGREGATION;
    auto* made = new (std::nothrow) Object();
    if (made == nullptr) return platform::E_OUTOFMEMORY;
    made->AddRef();
    const Status s = made->QueryInterface(iid, object);
    made->Release();
    return s;
  }
  Status LockServer(std::int32_t) override { return platform::S_OK; }
};

}  // namespace outside

namespace outside {

// Holds one reference; released at the end of its scope.
template <class T>
class Ref {
 public:
  Ref() = default;
  explicit Ref(T* held) : p_(held) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Reset();
      p_ = other.p_;
      other.p_ = nullptr;
    }
    return *this;
  }
  ~Ref() { Reset(); }

  void Reset() {
    if (p_ != nullptr) p_->Release();
    p_ = nullptr;
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // For an out argument: drops what is held first.
  T** Out() {
    Reset();
    return &p_;
  }
  void** OutVoid() { return reinterpret_cast<void**>(Out()); }
  T* Detach() {
    T* held = p_;
    p_ = nullptr;
    return held;
  }

 private:
  T* p_ = nullptr;
};

// Queries `from` for interface `iid`; an empty Ref when it has none.
template <class T>
Ref<T> QueryRef(platform::IUnknown* from, const platform::IID& iid) {
  Ref<T> out;
  if (from != nullptr && from->QueryInterface(iid, out.OutVoid()) != platform::S_OK) out.Reset();
  return out;
}

}  // namespace outside
