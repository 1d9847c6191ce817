// An open NLA solver library for the roads: every group goes to the sparse
// library beside it, but first the library tells, through the engine's
// message handler, the homotopy parameters the group's equation set
// offers: "Homotopy parameters: <count>" and each value.
#include <dlfcn.h>

#include <cstdio>
#include <string>
#include <vector>

#include "solve/ifaces/kvs_nonlinear.h"

namespace {

using GetFactory = platform::IUnknown* (*)();

class ProbeFactory final : public KVSNLASystemFactory {
 public:
  ProbeFactory(void* library, platform::IUnknown* inner) : library_(library), inner_(inner) {}

  Status QueryInterface(const platform::IID& iid, void** out) override {
    if (iid == IID_KVSNLASystemFactory || iid == platform::IID_IUnknown) {
      *out = static_cast<KVSNLASystemFactory*>(this);
      AddRef();
      return 0;
    }
    return inner_->QueryInterface(iid, out);
  }
  std::uint32_t AddRef() override { return ++references_; }
  std::uint32_t Release() override {
    const std::uint32_t left = --references_;
    if (left == 0) {
      inner_->Release();
      dlclose(library_);
      delete this;
    }
    return left;
  }

  Status CreateSystem(KVSNumericAlgebraicESO* eso, KVSMessagesHandler* handler,
                      KVSNLASystem** out) override {
    std::string line = "Homotopy parameters:";
    void* face = nullptr;
    if (eso->QueryInterface(IID_KVSHomotopy, &face) == 0) {
      auto* homotopy = static_cast<KVSHomotopy*>(face);
      std::int32_t count = 0;
      homotopy->GetCount(&count);
      char text[32];
      std::snprintf(text, sizeof text, " %d", count);
      line.append(text);
      std::vector<double> values(static_cast<std::size_t>(count > 0 ? count : 0));
      if (count > 0 && homotopy->GetValues(values.data()) == 0) {
        for (const double v : values) {
          std::snprintf(text, sizeof text, " %g", v);
          line.append(text);
        }
      }
      homotopy->Release();
    }
    if (handler != nullptr) handler->Print(line.c_str(), 0, 0);
    void* real = nullptr;
    if (inner_->QueryInterface(IID_KVSNLASystemFactory, &real) != 0) return 0x80004002u;
    auto* factory = static_cast<KVSNLASystemFactory*>(real);
    const Status made = factory->CreateSystem(eso, handler, out);
    factory->Release();
    return made;
  }

 private:
  void* library_;
  platform::IUnknown* inner_;
  std::uint32_t references_ = 1;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) platform::IUnknown* GetFactoryNLASystem() {
  // The sparse library sits in this library's folder.
  Dl_info self{};
  if (dladdr(reinterpret_cast<void*>(&GetFactoryNLASystem), &self) == 0) return nullptr;
  std::string path = self.dli_fname != nullptr ? self.dli_fname : "";
  path = path.substr(0, path.find_last_of('/') + 1) + "kvs_sparse.so";
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return nullptr;
  auto get = reinterpret_cast<GetFactory>(dlsym(library, "GetFactoryNLASystem"));
  platform::IUnknown* inner = get != nullptr ? get() : nullptr;
  if (inner == nullptr) {
    dlclose(library);
    return nullptr;
  }
  return new ProbeFactory(library, inner);
}
