// User and procedure libraries: loaded like any library, but their start-up
// also hands the engine's utilities to them ("SputUtilitiesInit", or the
// support library "bvdll_support"), and their functions are procedure
// entries that fall back to the placeholder procedures when missing.
#pragma once

#include "framework/libraries/library_loader.h"

class QLNDynamicFunction : public XosDynamicFunction {
 public:
  using XosDynamicFunction::XosDynamicFunction;
};

class QLNDynamicLibrary : public XosDynamicLibrary {
 public:
  // The library or null (the last DLL error says why).
  static XosDynamicLibrary* Load(const char* name, const QLNInitializationBlock* block);
  // Loads the library, makes a function object for the symbol and leaves the
  // library held by that function only. *result (optional): 0, 0xA0000034
  // when the library cannot be loaded, 0xA0000033 when the symbol is missing.
  static XosDynamicFunction* FindInNamedLibrary(const char* symbol, const char* name,
                                                const QLNInitializationBlock* block,
                                                const char* signature, Status* result);

  // With a null block only answers the state.
  std::int32_t Initialize(const QLNInitializationBlock* block) override;
  Status FindFunction(const char* name, XosDynamicFunction** function,
                      const char* signature) override;

 private:
  using XosDynamicLibrary::XosDynamicLibrary;
};
