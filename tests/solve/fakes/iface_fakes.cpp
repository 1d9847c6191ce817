// A shared library of fakes, one per cross-boundary interface: every
// operation logs its name and arguments and answers kFakeResult, so that a
// caller in another module sees which operation its call reached.
#include <cstring>
#include <string>

#include "solve/ifaces/decomposer.h"
#include "solve/ifaces/decomposition.h"
#include "solve/ifaces/equation_set.h"
#include "solve/ifaces/executive.h"
#include "solve/ifaces/integrator_server.h"
#include "solve/ifaces/kvs_common.h"
#include "solve/ifaces/kvs_linear.h"
#include "solve/ifaces/kvs_nlp.h"
#include "solve/ifaces/kvs_nonlinear.h"
#include "solve/ifaces/option_enumerator.h"
#include "tests/solve/fakes/call_log.h"

using platform::IID;
using platform::IUnknown;

namespace {

std::string g_last;

struct Hit {
  const char* name;
  template <typename... Args>
  Status operator()(const Args&... args) const {
    g_last = CallLine(name, args...);
    return kFakeResult;
  }
};

template <class Derived, class I>
class Fake : public I {
 public:
  explicit Fake(const IID& iid) : iid_(iid) {}
  Status QueryInterface(const IID& iid, void** object) override {
    if (iid != iid_ && iid != platform::IID_IUnknown) {
      *object = nullptr;
      return 0x80004002u;
    }
    *object = static_cast<I*>(this);
    AddRef();
    return 0;
  }
  std::uint32_t AddRef() override { return ++refs_; }
  std::uint32_t Release() override {
    if (--refs_ != 0) return refs_;
    delete static_cast<Derived*>(this);
    return 0;
  }

 private:
  IID iid_;
  std::uint32_t refs_ = 0;
};

#define IFACE(I, iid)                               \
  class Fake_##I final : public Fake<Fake_##I, I> { \
   public:                                          \
    using Fake::Fake;
#define END_IFACE \
  }               \
  ;
#define PLAIN(I)                    \
  class Fake_##I final : public I { \
   public:
#define END_PLAIN END_IFACE
#define OP(I, order, Method, params, args, sample) \
  Status Method params override { return Hit{#Method} args; }
#include "tests/solve/fakes/iface_ops.inc"
#undef IFACE
#undef END_IFACE
#undef PLAIN
#undef END_PLAIN
#undef OP

class FakeServices final : public KVSServices {
 public:
  void Free(void* block) override { Hit{"Free"}(block); }
  void* Alloc(std::uint64_t size) override {
    Hit{"Alloc"}(size);
    return reinterpret_cast<void*>(std::uintptr_t{kFakeResult});
  }
};

template <class F>
IUnknown* Make(const IID& iid) {
  auto* fake = new F(iid);
  fake->AddRef();
  return fake;
}

struct Maker {
  const IID* iid;
  IUnknown* (*make)(const IID&);
};

#define IFACE(I, iid) {&iid, Make<Fake_##I>},
#define END_IFACE
#define PLAIN(I)
#define END_PLAIN
#define OP(...)
const Maker kMakers[] = {
#include "tests/solve/fakes/iface_ops.inc"
};

}  // namespace

extern "C" __attribute__((visibility("default"))) IUnknown* MakeFake(const IID* iid) {
  for (const Maker& maker : kMakers) {
    if (*maker.iid == *iid) return maker.make(*iid);
  }
  return nullptr;
}

extern "C" __attribute__((visibility("default"))) void* MakeFakePlain(const char* name) {
  static FakeServices services;
  static Fake_KVSMessagesHandler handler;
  if (std::strcmp(name, "KVSServices") == 0) return &services;
  if (std::strcmp(name, "KVSMessagesHandler") == 0) return &handler;
  return nullptr;
}

extern "C" __attribute__((visibility("default"))) const char* LastCall() { return g_last.c_str(); }
