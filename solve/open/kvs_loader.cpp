#include "solve/open/kvs_loader.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "foundation/messages/su_print.h"
#include "framework/libraries/library_api.h"

namespace {

std::mutex g_services_mutex;
KVSServices* g_services = nullptr;

void* Entry(const char* library, const char* entry) {
  XosDynamicFunction* f = FindFunctionInNamedDLL(entry, library, nullptr, nullptr);
  return f != nullptr ? GetFunctionAddress(f) : nullptr;
}

}  // namespace

Status LoadKvsServices() {
  std::lock_guard<std::mutex> lock(g_services_mutex);
  if (g_services != nullptr) return 0;
  const char* library = "kvs_services.dll";
  auto get = reinterpret_cast<GetKVSServicesFunction>(Entry(library, kGetKVSServices));
  // To the console, not the message printer: the printer may need the services.
  if (get == nullptr) {
    std::printf("Loading %s failed, aborting\n", library);
    std::fflush(stdout);
    return kKvsLoadFailed;
  }
  g_services = get();
  if (g_services == nullptr) {
    std::printf("Fetching %s failed\n", kGetKVSServices);
    std::fflush(stdout);
    return kKvsLoadFailed;
  }
  return 0;
}

void* KvsServicesAlloc(std::uint64_t size) {
  if (LoadKvsServices() != 0) return nullptr;
  return g_services->Alloc(size);
}

void KvsServicesFree(void* block) {
  if (block == nullptr) return;
  if (LoadKvsServices() != 0) return;
  g_services->Free(block);
}

char* KvsServicesCopy(const char* text) {
  if (text == nullptr) text = "";
  const std::size_t n = std::strlen(text) + 1;
  auto* out = static_cast<char*>(KvsServicesAlloc(n));
  if (out != nullptr) std::memcpy(out, text, n);
  return out;
}

std::string TakeKvsText(char* text) {
  if (text == nullptr) return {};
  std::string out(text);
  KvsServicesFree(text);
  return out;
}

Status LoadKvsFactory(const char* library, const char* entry, const platform::IID& iid, bool say,
                      KvsFactory* out) {
  *out = KvsFactory{};
  auto get = reinterpret_cast<GetFactoryFunction>(Entry(library, entry));
  if (get == nullptr) {
    if (say) {
      SuPrint(kKvsLoadFailed,
              "Failed to load %s\nCheck that it exists and that it is on your path.", library);
    }
    return kKvsLoadFailed;
  }
  platform::IUnknown* object = get();
  if (object == nullptr) return KvsCode(-5);
  void* factory = nullptr;
  const Status q = object->QueryInterface(iid, &factory);
  object->Release();
  if (q != 0 || factory == nullptr) return KvsCode(-5);
  out->factory = static_cast<platform::IUnknown*>(factory);
  void* utility = nullptr;
  if (out->factory->QueryInterface(IID_KVSUtilityComponent, &utility) == 0 && utility != nullptr) {
    auto* u = static_cast<KVSUtilityComponent*>(utility);
    char* text = nullptr;
    if (u->GetVersion(&text) == 0) out->version = TakeKvsText(text);
    text = nullptr;
    if (u->GetProduct(&text) == 0) out->product = TakeKvsText(text);
    text = nullptr;
    if (u->GetName(&text) == 0) out->name = TakeKvsText(text);
    u->Release();
  }
  return 0;
}
