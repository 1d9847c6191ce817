// Loads a framework library the way the engine does and hands out its
// factory; records what its systems print.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "solve/ifaces/kvs_linear.h"
#include "solve/ifaces/kvs_nonlinear.h"

namespace kvs_test {

inline void* OpenLibrary(const std::string& name) {
  const std::string path = std::string(VANTOR_KVS_DIR) + "/" + name + ".so";
  void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  EXPECT_NE(lib, nullptr) << dlerror();
  return lib;  // kept open for the process
}

// The factory interface `iid` of library `name` (one reference).
template <class Factory>
Factory* LoadFactory(const std::string& name, const char* entry, const platform::IID& iid) {
  void* lib = OpenLibrary(name);
  if (lib == nullptr) return nullptr;
  auto get = reinterpret_cast<GetFactoryFunction>(dlsym(lib, entry));
  if (get == nullptr) return nullptr;
  platform::IUnknown* object = get();
  void* factory = nullptr;
  object->QueryInterface(iid, &factory);
  object->Release();
  return static_cast<Factory*>(factory);
}

inline KVSServices* Services() {
  auto get =
      reinterpret_cast<GetKVSServicesFunction>(dlsym(OpenLibrary("kvs_services"), kGetKVSServices));
  return get();
}

class RecordingHandler final : public KVSMessagesHandler {
 public:
  Status Print(const char* text, std::int32_t, Status) override {
    lines.emplace_back(text);
    return 0;
  }
  Status Nothing() override { return 0; }
  std::vector<std::string> lines;
};

// Sets a parameter through the system's parameter interface.
inline Status SetParameter(platform::IUnknown* system, const char* name, std::int32_t kind,
                           const void* value) {
  void* params = nullptr;
  if (system->QueryInterface(IID_KVSParameters, &params) != 0) return 0x80004002u;
  auto* p = static_cast<KVSParameters*>(params);
  const Status s = p->Set(name, kind, value);
  p->Release();
  return s;
}
inline Status SetInt(platform::IUnknown* s, const char* name, std::int32_t v) {
  return SetParameter(s, name, kKvsInteger, &v);
}
inline Status SetReal(platform::IUnknown* s, const char* name, double v) {
  return SetParameter(s, name, kKvsReal, &v);
}
inline Status SetText(platform::IUnknown* s, const char* name, const char* v) {
  return SetParameter(s, name, kKvsText, v);
}

}  // namespace kvs_test
