// The functions the engine exports to the libraries it loads. They are
// reached by name from those libraries, so they keep C linkage and plain
// pointer and integer arguments; the executable exports them through its
// linker dynamic list.
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "framework/libraries/library_api.h"
#include "framework/libraries/library_exports.h"
#include "framework/libraries/library_loader.h"
#include "framework/libraries/proxy_options_handler.h"
#include "framework/libraries/qln_dynamic_library.h"

namespace {

constexpr const char* kProcedureSignature = "DIDIIIIIDIDIII";
constexpr std::int32_t kMissingProcedure = 4;

struct ExportState {
  QLNInitializationBlock block{};
  ProxyOptionsHandler proxy;
  bool proxy_registered = false;
  // Libraries may forward these calls to the engine again.
  bool listing = false;
  bool forcing = false;
};

ExportState& Exports() {
  static ExportState state;
  return state;
}

}  // namespace

void ResetLibraryExports() { Exports() = ExportState{}; }

QLNOptionsHandler* SetEngineOptionsHandler(QLNOptionsHandler* handler) {
  ExportState& state = Exports();
  // Once a library registered its own, the proxy stands in the block and
  // the engine's handler is its first.
  QLNOptionsHandler*& slot =
      state.proxy_registered ? state.proxy.first : state.block.options_handler;
  QLNOptionsHandler* previous = slot;
  slot = handler;
  if (handler != nullptr && state.block.kind == 0) state.block.kind = 1;
  return previous;
}

QLNOptionsHandler* EngineOptionsHandler() {
  const ExportState& state = Exports();
  return state.proxy_registered ? state.proxy.first : state.block.options_handler;
}

namespace {

char* CopyText(const std::string& text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

std::int32_t CopyPath(const std::string& path, char* buffer, std::int32_t size) {
  if (buffer == nullptr || path.empty() || size < 1 ||
      path.size() + 1 > static_cast<std::size_t>(size)) {
    return 0;
  }
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  return static_cast<std::int32_t>(path.size());
}

using DLLsLoadedEntry = std::int32_t (*)(char***, std::int32_t**);

struct ListedLibrary {
  std::string name;
  std::int32_t unload_disallowed;
};

void AddListed(std::vector<ListedLibrary>* listed, const std::string& name, std::int32_t flag) {
  for (const ListedLibrary& l : *listed) {
    if (strcasecmp(l.name.c_str(), name.c_str()) == 0) return;
  }
  listed->push_back({name, flag});
}

// What a library's own "DLLsLoaded" lists, its arrays handed back to it.
void AddListedBy(XosDynamicLibrary* library, std::vector<ListedLibrary>* listed) {
  void* address = library->EntryPoint("DLLsLoaded");
  if (address == nullptr) return;
  auto entry = reinterpret_cast<DLLsLoadedEntry>(address);
  char** names = nullptr;
  std::int32_t* flags = nullptr;
  const std::int32_t count = entry(&names, &flags);
  if (names == nullptr) return;
  for (std::int32_t i = 0; i < count; ++i) {
    if (names[i] != nullptr) AddListed(listed, names[i], flags != nullptr ? flags[i] : 0);
  }
  entry(&names, &flags);
}

}  // namespace

extern "C" {

std::int32_t* QLN13DUMMY(void*, void*, void*, void*, void*, void*, void*, void*, void*, void*,
                         void*, void*, void*, void*, void*, std::int32_t* result) {
  if (result != nullptr) *result = kMissingProcedure;
  return result;
}

std::int32_t* QLNDUMMY(void*, void*, void*, void*, void*, void*, std::int32_t* result) {
  if (result != nullptr) *result = kMissingProcedure;
  return result;
}

std::int32_t BVInitialize(const QLNInitializationBlock* block) {
  if (block == nullptr || block->kind < 1 || block->kind > 3) return 0;
  ExportState& state = Exports();
  // A kind-1 block has no further word: it is not read.
  state.block.kind = block->kind;
  state.block.word = block->word;
  state.block.further_word = block->kind >= 2 ? block->further_word : 0;
  if (state.proxy_registered) {
    state.proxy.first = block->options_handler;
  } else {
    state.block.options_handler = block->options_handler;
  }
  return 1;
}

std::int32_t AddDLLSearchPath(const char* folder) {
  return static_cast<std::int32_t>(XosDynamicLibrary::AddSearchPath(folder));
}

std::int32_t RemoveDLLSearchPath(const char* folder) {
  return static_cast<std::int32_t>(XosDynamicLibrary::RemoveSearchPath(folder));
}

std::int32_t DLLsLoaded(char*** libraries, std::int32_t** unload_disallowed) {
  if (libraries == nullptr || unload_disallowed == nullptr) return 0;
  if (*libraries != nullptr) {
    for (char** name = *libraries; *name != nullptr; ++name) std::free(*name);
    std::free(*libraries);
    std::free(*unload_disallowed);
    *libraries = nullptr;
    *unload_disallowed = nullptr;
    return 0;
  }
  ExportState& state = Exports();
  std::vector<ListedLibrary> listed;
  for (XosDynamicLibrary* l = XosDynamicLibrary::FirstLoaded(); l != nullptr; l = l->NextLoaded()) {
    AddListed(&listed, l->FullName(), l->UnloadAllowed() ? 0 : 1);
  }
  if (!state.listing) {
    state.listing = true;
    for (XosDynamicLibrary* l = XosDynamicLibrary::FirstLoaded(); l != nullptr;
         l = l->NextLoaded()) {
      AddListedBy(l, &listed);
    }
    state.listing = false;
  }
  auto** names = static_cast<char**>(std::calloc(listed.size() + 1, sizeof(char*)));
  auto* flags = static_cast<std::int32_t*>(std::calloc(listed.size() + 1, sizeof(std::int32_t)));
  if (names == nullptr || flags == nullptr) {
    std::free(names);
    std::free(flags);
    return 0;
  }
  for (std::size_t i = 0; i < listed.size(); ++i) {
    names[i] = CopyText(listed[i].name);
    flags[i] = listed[i].unload_disallowed;
  }
  *libraries = names;
  *unload_disallowed = flags;
  return static_cast<std::int32_t>(listed.size());
}

void DisallowForcibleDLLUnloads(XosDynamicLibrary* library) {
  if (library != nullptr) library->DisallowUnload();
}

void DisallowForcibleDLLUnloadsViaFunctionObject(XosDynamicFunction* function) {
  if (function != nullptr) DisallowForcibleDLLUnloads(function->Library());
}

XosDynamicFunction* FindFunctionInDLL(const char* symbol, XosDynamicLibrary* library,
                                      const char* signature) {
  if (symbol == nullptr || library == nullptr) return nullptr;
  XosDynamicFunction* function = nullptr;
  library->FindFunction(symbol, &function, signature);
  return function;
}

XosDynamicFunction* FindQLNFunctionInDLL(const char* symbol, XosDynamicLibrary* library) {
  return FindFunctionInDLL(symbol, library, kProcedureSignature);
}

XosDynamicFunction* FindFunctionInNamedDLLEx(const char* symbol, const char* library_name,
                                             const QLNInitializationBlock* block,
                                             const char* signature, std::uint32_t* status) {
  XosDynamicLibrary* library = XosDynamicLibrary::Load(library_name, block);
  if (library == nullptr) {
    if (status != nullptr) *status = XosDynamicLibrary::LastError();
    return nullptr;
  }
  XosDynamicFunction* function = nullptr;
  const Status found = symbol != nullptr ? library->FindFunction(symbol, &function, signature)
                                         : status::kSymbolMissing;
  library->Release();  // the function keeps its own reference
  if (status != nullptr) *status = found;
  return function;
}

XosDynamicFunction* FindFunctionInNamedDLL(const char* symbol, const char* library_name,
                                           const QLNInitializationBlock* block,
                                           const char* signature) {
  return FindFunctionInNamedDLLEx(symbol, library_name, block, signature, nullptr);
}

XosDynamicFunction* FindQLNFunctionInNamedDLL(const char* symbol, const char* library_name,
                                              const QLNInitializationBlock* block,
                                              const char* signature) {
  if (symbol == nullptr) return nullptr;
  return QLNDynamicLibrary::FindInNamedLibrary(symbol, library_name, block, signature, nullptr);
}

std::int32_t ForceUnload(const char* const* names, std::int32_t count) {
  ExportState& state = Exports();
  if (state.forcing || count < 0) return 0;
  state.forcing = true;
  const std::int32_t sum = XosDynamicLibrary::ForceUnloadAll(names, count);
  state.forcing = false;
  return sum;
}

void* GetFunctionAddress(XosDynamicFunction* function) {
  if (function == nullptr) return nullptr;
  XosDynamicLibrary* library = function->Library();
  if (library == nullptr) return nullptr;
  if (library->State() == XosDynamicLibrary::kUnloaded) library->ResolveFunctionsAgain();
  return function->Entry();
}

void* GetQLNFunctionAddress(XosDynamicFunction* function) {
  void* entry = GetFunctionAddress(function);
  return entry != nullptr ? entry : reinterpret_cast<void*>(&QLNDUMMY);
}

void* GetQLN13FunctionAddress(XosDynamicFunction* function) {
  void* entry = GetFunctionAddress(function);
  return entry != nullptr ? entry : reinterpret_cast<void*>(&QLN13DUMMY);
}

std::int32_t GetDLLFileName(XosDynamicLibrary* library, char* buffer, std::int32_t size) {
  if (library == nullptr) return 0;
  return CopyPath(library->ModulePath(), buffer, size);
}

std::int32_t GetFunctionsDLLFileName(XosDynamicFunction* function, char* buffer,
                                     std::int32_t size) {
  if (function == nullptr) return 0;
  return GetDLLFileName(function->Library(), buffer, size);
}

QLNInitializationBlock* GetDLLInitializationData(void) { return &Exports().block; }

std::uint32_t GetLastDLLError(void) { return XosDynamicLibrary::LastError(); }

XosDynamicLibrary* LoadQLNUserDLL(const char* name, const QLNInitializationBlock* block) {
  return QLNDynamicLibrary::Load(name, block);
}

XosDynamicLibrary* LoadDynamicLibrary(const char* name, const QLNInitializationBlock* block) {
  return XosDynamicLibrary::Load(name, block);
}

std::int32_t RegisterDummyOptionsHandler(void* handler) {
  ExportState& state = Exports();
  const bool first_time = !state.proxy_registered;
  if (first_time) {
    state.proxy.first = state.block.options_handler;
    state.block.options_handler = &state.proxy;
    if (state.block.kind == 0) state.block.kind = 1;
    state.proxy_registered = true;
  }
  state.proxy.second = static_cast<QLNOptionsHandler*>(handler);
  return first_time ? 1 : 0;
}

void ReleaseFunction(XosDynamicFunction* function) { delete function; }

void UnloadDynamicLibrary(XosDynamicLibrary* library) {
  if (library != nullptr) library->Release();
}

}  // extern "C"
