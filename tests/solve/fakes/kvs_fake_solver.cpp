// A solver library of the open framework for the loader tests: its factory
// answers as the test sets it (a component name, an empty factory, a wrong
// interface) and counts its releases and the parameters it was given.
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "solve/ifaces/kvs_nlp.h"
#include "solve/ifaces/kvs_nonlinear.h"

namespace {

int g_mode = 0;
std::string g_calls;
int g_live = 0;
std::string g_name = "_KVS_FAKE";
std::map<std::string, double> g_parameters;

char* Copy(const std::string& text) {
  auto* out = static_cast<char*>(std::malloc(text.size() + 1));
  std::memcpy(out, text.c_str(), text.size() + 1);
  return out;
}

class Factory final : public KVSNLASystemFactory, public KVSUtilityComponent, public KVSParameters {
 public:
  Factory() { ++g_live; }
  Status QueryInterface(const platform::IID& iid, void** out) override {
    *out = nullptr;
    if (iid == IID_KVSUtilityComponent) {
      *out = static_cast<KVSUtilityComponent*>(this);
    } else if (iid == IID_KVSParameters) {
      *out = static_cast<KVSParameters*>(this);
    } else if (iid == platform::IID_IUnknown || iid == IID_KVSNLASystemFactory ||
               iid == IID_KVSNLPSystemFactory) {
      *out = static_cast<KVSNLASystemFactory*>(this);
    }
    if (*out == nullptr) return 0x80004002u;
    AddRef();
    return 0;
  }
  std::uint32_t AddRef() override { return ++refs_; }
  std::uint32_t Release() override {
    const std::uint32_t left = --refs_;
    if (left == 0) {
      --g_live;
      delete this;
    }
    return left;
  }
  Status CreateSystem(KVSNumericAlgebraicESO*, KVSMessagesHandler*, KVSNLASystem** out) override;
  Status GetVersion(char** text) override { return *text = Copy("1.0"), 0; }
  Status GetProduct(char** text) override { return *text = Copy("FAKE"), 0; }
  Status GetDescription(char** text) override { return *text = Copy("fake"), 0; }
  Status DeleteThis() override { return 0; }
  Status GetName(char** text) override { return *text = Copy(g_name), 0; }
  Status GetCount(std::int32_t* count) override {
    *count = static_cast<std::int32_t>(g_parameters.size());
    return 0;
  }
  Status GetNames(char*** names) override {
    *names = nullptr;
    return 1;
  }
  Status GetValue(const char*, std::int32_t*, void*) override { return 1; }
  Status Set(const char* name, std::int32_t kind, const void* value) override {
    if (kind == kKvsText) return 1;
    g_parameters[name] = kind == kKvsReal ? *static_cast<const double*>(value)
                                          : *static_cast<const std::int32_t*>(value);
    return 0;
  }

 private:
  std::uint32_t refs_ = 1;
};

// Asks to be called again twice, then converges; records each call.
class System final : public KVSNLASystem, public KVSUtilityComponent {
 public:
  Status QueryInterface(const platform::IID& iid, void** out) override {
    *out = nullptr;
    if (iid == IID_KVSUtilityComponent) *out = static_cast<KVSUtilityComponent*>(this);
    if (iid == platform::IID_IUnknown) *out = static_cast<KVSNLASystem*>(this);
    if (*out == nullptr) return 0x80004002u;
    AddRef();
    return 0;
  }
  std::uint32_t AddRef() override { return ++refs_; }
  std::uint32_t Release() override {
    const std::uint32_t left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  Status Solve(std::int32_t call, Status*) override {
    g_calls += std::to_string(call);
    if (g_mode == 3) {
      volatile int* nowhere = nullptr;
      *nowhere = call;
    }
    if (g_mode == 4) return 0xA0000010u;
    if (g_mode == 5) return 7;
    return ++solves_ % 3 == 0 ? 0 : 1;
  }
  Status GetVersion(char** text) override { return *text = Copy("1.0"), 0; }
  Status GetProduct(char** text) override { return *text = Copy("FAKE"), 0; }
  Status GetDescription(char** text) override { return *text = Copy("fake"), 0; }
  Status DeleteThis() override { return 0; }
  Status GetName(char** text) override { return *text = Copy(g_name), 0; }

 private:
  std::uint32_t refs_ = 1;
  int solves_ = 0;
};

Status Factory::CreateSystem(KVSNumericAlgebraicESO*, KVSMessagesHandler*, KVSNLASystem** out) {
  *out = new System();
  return 0;
}

// Answers no factory interface at all.
class Stranger final : public platform::IUnknown {
 public:
  Status QueryInterface(const platform::IID&, void** out) override {
    *out = nullptr;
    return 0x80004002u;
  }
  std::uint32_t AddRef() override { return 2; }
  std::uint32_t Release() override { return 1; }
};

platform::IUnknown* Make() {
  static Stranger stranger;
  if (g_mode == 1) return nullptr;
  if (g_mode == 2) return &stranger;
  return static_cast<KVSNLASystemFactory*>(new Factory());
}

}  // namespace

extern "C" __attribute__((visibility("default"))) platform::IUnknown* GetFactoryNLASystem() {
  return Make();
}
extern "C" __attribute__((visibility("default"))) platform::IUnknown* GetFactoryNLPSystem() {
  return Make();
}
extern "C" __attribute__((visibility("default"))) void KvsFakeSet(int mode, const char* name) {
  g_mode = mode;
  g_name = name;
  g_parameters.clear();
  g_calls.clear();
}
extern "C" __attribute__((visibility("default"))) int KvsFakeLive() { return g_live; }
extern "C" __attribute__((visibility("default"))) const char* KvsFakeCalls() {
  return g_calls.c_str();
}
extern "C" __attribute__((visibility("default"))) double KvsFakeParameter(const char* name) {
  auto it = g_parameters.find(name);
  return it != g_parameters.end() ? it->second : -1.0;
}
