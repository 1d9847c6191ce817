#include "framework/libraries/qln_dynamic_library.h"

namespace {

using UtilitiesInitEntry = void (*)(std::uintptr_t, std::uintptr_t);

}  // namespace

XosDynamicLibrary* QLNDynamicLibrary::Load(const char* name, const QLNInitializationBlock* block) {
  return LoadWith(name, block, [](const std::string& normalized) {
    return static_cast<XosDynamicLibrary*>(new QLNDynamicLibrary(normalized));
  });
}

XosDynamicFunction* QLNDynamicLibrary::FindInNamedLibrary(const char* symbol, const char* name,
                                                          const QLNInitializationBlock* block,
                                                          const char* signature, Status* result) {
  XosDynamicLibrary* library = Load(name, block);
  if (library == nullptr) {
    if (result != nullptr) *result = status::kModuleNotFound;
    return nullptr;
  }
  XosDynamicFunction* function = nullptr;
  const Status found = library->FindFunction(symbol, &function, signature);
  library->Release();  // the function keeps its own reference
  if (result != nullptr) *result = found;
  return function;
}

std::int32_t QLNDynamicLibrary::Initialize(const QLNInitializationBlock* block) {
  if (block == nullptr) return InitializationState();
  XosDynamicLibrary::Initialize(block);
  if (InitializationState() != kNotInitialized) return InitializationState();
  if (void* utilities = EntryPoint("SputUtilitiesInit")) {
    reinterpret_cast<UtilitiesInitEntry>(utilities)(
        block->word, reinterpret_cast<std::uintptr_t>(block->options_handler));
    SetInitializationState(kAccepted);
  } else {
    // The support library initialises the utilities on the library's behalf;
    // its absence is not this library's failure.
    XosInternalLookup internal;
    if (XosDynamicLibrary* support = XosDynamicLibrary::Load("bvdll_support", block)) {
      SetInitializationState(support->InitializationState());
      support->Release();
    }
  }
  return InitializationState();
}

Status QLNDynamicLibrary::FindFunction(const char* name, XosDynamicFunction** function,
                                       const char* signature) {
  return FindFunctionWith(
      name, function, signature, [](XosDynamicLibrary* library, const std::string& symbol) {
        return static_cast<XosDynamicFunction*>(new QLNDynamicFunction(library, symbol));
      });
}
