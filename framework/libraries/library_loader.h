// The loader of libraries used at run time. One object per loaded library,
// counted by its users; a process-wide list of loaded libraries and of search
// folders; a start-up and shut-down protocol the library may take part in;
// function objects that keep their library loaded; and the deferred reload of
// a library that was unloaded by force. Everything here belongs to one thread
// at a time (no lock): the libraries' users own their references.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/libraries/library_api.h"
#include "platform/status.h"

namespace status {
inline constexpr Status kSymbolMissing = 0xA0000033u;
inline constexpr Status kModuleNotFound = 0xA0000034u;
// LoadModule: loaded, and the floating-point settings the library changed
// were put back.
inline constexpr Status kFloatingPointRestored = 80;
}  // namespace status

class XosDynamicLibrary;

// A symbol of a loaded library, holding one reference to it. The entry is
// null until resolved, and again after a forced unload until the next use.
class XosDynamicFunction {
 public:
  XosDynamicFunction(XosDynamicLibrary* library, const std::string& name);
  virtual ~XosDynamicFunction();
  XosDynamicFunction(const XosDynamicFunction&) = delete;
  XosDynamicFunction& operator=(const XosDynamicFunction&) = delete;

  XosDynamicLibrary* Library() const { return library_; }
  const std::string& Name() const { return name_; }
  void* Entry() const { return entry_; }

 private:
  friend class XosDynamicLibrary;
  XosDynamicLibrary* library_;
  std::string name_;
  void* entry_ = nullptr;
};

class XosDynamicLibrary {
 public:
  enum InitState : std::int32_t {
    kNotInitialized = 0,
    kAccepted = 1,   // "BVInitialize" answered non-zero
    kDeclined = -1,  // "BVInitialize" answered 0
    kInitializeFailed = -2,
  };
  enum LoadState : std::uint32_t {
    kNew = 0,
    kLoaded = 1,
    kForcedUnload = 2,
    kUnloaded = 3,  // by force; reloaded on first use
  };

  // The library of that name, loaded and initialised (a further reference
  // when it is loaded already); null on failure, with the last DLL error.
  static XosDynamicLibrary* Load(const char* name, const QLNInitializationBlock* block);
  // The file a load of the name would open, found without loading anything
  // (a loaded library's own file), so that asking runs no library code.
  // Empty when no file in the search folders passes the trust check: the
  // system's own search is not asked.
  static std::string LocateFile(const char* name);

  virtual ~XosDynamicLibrary();
  XosDynamicLibrary(const XosDynamicLibrary&) = delete;
  XosDynamicLibrary& operator=(const XosDynamicLibrary&) = delete;

  // Runs the library's start-up entry points; returns the initialisation state.
  virtual std::int32_t Initialize(const QLNInitializationBlock* block);
  // Replaces *function by a new function object for the symbol; 0xA0000033
  // (and null) when the library does not have it.
  virtual Status FindFunction(const char* name, XosDynamicFunction** function,
                              const char* signature);

  // Opens the module along the search order; 0 or 80 when loaded,
  // 0xA0000034 when no file was found, 0xA000FFFF when one failed to load.
  // A file that another user could have put or changed is skipped, with a
  // line naming it and why; so is the system's own search when
  // LD_LIBRARY_PATH would have it look in the current folder.
  Status LoadModule();
  // The symbol's address, tried as given, in lower case with a trailing
  // underscore (FORTRAN), then in upper case; null when missing.
  void* LookUpSymbol(const char* name, const char* signature);
  // Drops one reference; the last one finalises and unloads the library and
  // destroys this object (unless the library asks to stay loaded).
  Status Release();
  void AddRef() { ++reference_count_; }

  // Hands names to every library's "ForceUnload", then unloads the named
  // libraries that allow it; returns the sum of the answers and unloads.
  static std::int32_t ForceUnloadAll(const char* const* names, std::int32_t count);
  // Puts the folder on the search path (again, when it is there already),
  // searched first, or with searched_last after every other added folder.
  static Status AddSearchPath(const char* folder, bool searched_last = false);
  // Null removes every folder.
  static Status RemoveSearchPath(const char* folder);
  static const std::vector<std::string>& SearchPaths();

  static XosDynamicLibrary* FirstLoaded();
  XosDynamicLibrary* NextLoaded() const { return next_; }
  static std::uint32_t LastError();
  // Why the last library that failed to load did (the dynamic loader's text).
  static const std::string& LastErrorText();
  static void SetLastError(Status error);

  // A protocol entry point of this very library (not of a dependency), looked
  // up for the loader itself; null when it has none or is not loaded.
  void* EntryPoint(const char* name);
  // Resolves every function of a library unloaded by force (reloading it).
  void ResolveFunctionsAgain();
  // The name with a ".dll" ending as the loader keeps it: "a/b.so" -> "a/b.dll".
  static std::string NormalizeName(const std::string& name);
  // What follows the last '\\', '/' or ':'.
  static std::string NamePart(const std::string& name);

  const std::string& FullName() const { return full_name_; }
  const std::string& NameOnly() const { return name_part_; }
  const std::string& ModulePath() const { return module_path_; }
  const std::string& LoadErrorText() const { return load_error_text_; }
  bool HasModule() const { return module_ != nullptr; }
  std::int32_t ReferenceCount() const { return reference_count_; }
  std::int32_t InitializationState() const { return init_state_; }
  std::uint32_t State() const { return load_state_; }
  bool UnloadAllowed() const { return unload_allowed_ != 0; }
  void DisallowUnload() { unload_allowed_ = 0; }
  bool TookSearchPaths() const { return took_search_paths_ != 0; }
  const QLNInitializationBlock* Block() const { return block_; }
  const std::vector<XosDynamicFunction*>& Functions() const { return functions_; }

 protected:
  using LibraryMaker = XosDynamicLibrary* (*)(const std::string& normalized_name);
  using FunctionMaker = XosDynamicFunction* (*)(XosDynamicLibrary* library,
                                                const std::string& symbol);

  explicit XosDynamicLibrary(const std::string& normalized_name);
  static XosDynamicLibrary* LoadWith(const char* name, const QLNInitializationBlock* block,
                                     LibraryMaker make);
  Status FindFunctionWith(const char* name, XosDynamicFunction** function, const char* signature,
                          FunctionMaker make);
  // Loads, hands over the search folders and initialises a new object;
  // false (after releasing it) when that fails.
  static bool Start(XosDynamicLibrary* library, const QLNInitializationBlock* block);
  static XosDynamicLibrary* FindLoaded(const std::string& normalized_name);
  void LinkFunction(XosDynamicFunction* function);
  void SetInitializationState(std::int32_t state) { init_state_ = state; }

 private:
  friend class XosDynamicFunction;
  bool Reload();
  void HandOverSearchPaths();
  void UnlinkFunction(XosDynamicFunction* function);
  void ForgetEntries();

  std::uint32_t took_search_paths_ = 0;
  XosDynamicLibrary* previous_ = nullptr;
  XosDynamicLibrary* next_ = nullptr;
  std::vector<XosDynamicFunction*> functions_;
  std::string full_name_;
  std::string name_part_;
  void* module_ = nullptr;
  std::int32_t reference_count_ = 1;
  std::int32_t init_state_ = kNotInitialized;
  std::uint32_t unload_allowed_ = 1;
  const QLNInitializationBlock* block_ = nullptr;
  std::uint32_t load_state_ = kNew;
  std::string module_path_;
  std::string load_error_text_;
};

// Raises the loader's internal-lookup depth for its lifetime: lookups the
// loader makes for itself neither overwrite the last DLL error nor (below
// the outermost one) reload a library.
class XosInternalLookup {
 public:
  XosInternalLookup();
  ~XosInternalLookup();
  XosInternalLookup(const XosInternalLookup&) = delete;
  XosInternalLookup& operator=(const XosInternalLookup&) = delete;
  static std::uint32_t Depth();
};
