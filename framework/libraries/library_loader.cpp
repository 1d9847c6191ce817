#include "framework/libraries/library_loader.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "foundation/messages/su_print.h"
#include "platform/dynamic_library.h"
#include "platform/loader_environment.h"

namespace {

// The status of the line that names a library file the search skipped.
constexpr Status kSkippedLibrary = 0x40000000u;

struct LoaderState {
  XosDynamicLibrary* head = nullptr;
  std::vector<std::string> search_paths;
  std::uint32_t last_error = 0;
  std::string last_error_text;
  std::uint32_t depth = 0;
};

LoaderState& Loader() {
  static LoaderState state;
  return state;
}

bool SameText(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str()) == 0;
}

bool EndsWithIgnoringCase(const std::string& text, const char* ending) {
  const std::string e(ending);
  return text.size() >= e.size() && SameText(text.substr(text.size() - e.size()), e);
}

// The file the loader looks for: POSIX separators, ".dll" becomes ".so".
std::string FileNameOf(const std::string& normalized) {
  std::string file = normalized;
  std::replace(file.begin(), file.end(), '\\', '/');
  if (EndsWithIgnoringCase(file, ".dll")) file = file.substr(0, file.size() - 4) + ".so";
  return file;
}

// Folders a name without folder is looked for in, in order.
std::vector<std::string> SearchOrder() {
  std::vector<std::string> folders;
  const auto& added = Loader().search_paths;
  for (auto it = added.rbegin(); it != added.rend(); ++it) folders.push_back(*it);
  const std::string exe = platform::ExecutableFolder();
  if (!exe.empty()) {
    folders.push_back(exe);
    folders.push_back(exe + "/../lib/vantor");
  }
  if (const char* server = std::getenv("QLNSERVERDIR"); server != nullptr && *server != '\0') {
    folders.push_back(server);
  }
  folders.push_back(".");
  return folders;
}

// The existing file for the name in the folder: the exact name, else the
// one that differs only in case (clients send names as Windows knows them).
std::string ExistingFile(std::string folder, const std::string& file) {
  std::replace(folder.begin(), folder.end(), '\\', '/');
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  const std::string path = folder + "/" + file;
  if (platform::IsRegularFile(path)) return path;
  const std::string other = platform::FindFileIgnoringCase(folder, file);
  if (!other.empty() && platform::IsRegularFile(folder + "/" + other)) return folder + "/" + other;
  return {};
}

std::vector<std::string> SymbolVariants(const char* name) {
  std::string lower(name);
  std::string upper(name);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  lower += '_';
  std::vector<std::string> variants{name};
  for (const std::string& v : {lower, upper}) {
    if (std::find(variants.begin(), variants.end(), v) == variants.end()) variants.push_back(v);
  }
  return variants;
}

using SearchPathEntry = std::int32_t (*)(const char*);
using ForceUnloadEntry = std::int32_t (*)(const char* const*, std::int32_t);
using BVInitializeEntry = std::int32_t (*)(const QLNInitializationBlock*);
using PlainEntry = std::int32_t (*)();

template <typename F>
F As(void* address) {
  return reinterpret_cast<F>(address);
}

}  // namespace

// ---------------------------------------------------------------- lookups

XosInternalLookup::XosInternalLookup() { ++Loader().depth; }
XosInternalLookup::~XosInternalLookup() { --Loader().depth; }
std::uint32_t XosInternalLookup::Depth() { return Loader().depth; }

std::uint32_t XosDynamicLibrary::LastError() { return Loader().last_error; }
const std::string& XosDynamicLibrary::LastErrorText() { return Loader().last_error_text; }

void XosDynamicLibrary::SetLastError(Status error) {
  if (Loader().depth == 0) Loader().last_error = error;
}

std::string XosDynamicLibrary::NormalizeName(const std::string& name) {
  if (name.empty() || EndsWithIgnoringCase(name, ".dll")) return name;
  std::string base = name;
  for (const char* ending : {".so", ".shr", ".exe"}) {
    if (EndsWithIgnoringCase(base, ending)) {
      base.resize(base.size() - std::string(ending).size());
      break;
    }
  }
  return base + ".dll";
}

std::string XosDynamicLibrary::NamePart(const std::string& name) {
  const auto cut = name.find_last_of("\\/:");
  return cut == std::string::npos ? name : name.substr(cut + 1);
}

// ---------------------------------------------------------------- objects

XosDynamicFunction::XosDynamicFunction(XosDynamicLibrary* library, const std::string& name)
    : library_(library), name_(name) {
  if (library_ != nullptr) {
    library_->AddRef();
    library_->LinkFunction(this);
  }
}

XosDynamicFunction::~XosDynamicFunction() {
  if (library_ == nullptr) return;
  XosDynamicLibrary* library = library_;
  library->UnlinkFunction(this);
  library_ = nullptr;
  library->Release();
}

XosDynamicLibrary::XosDynamicLibrary(const std::string& normalized_name)
    : full_name_(normalized_name), name_part_(NamePart(normalized_name)) {
  LoaderState& loader = Loader();
  next_ = loader.head;
  if (next_ != nullptr) next_->previous_ = this;
  loader.head = this;
}

XosDynamicLibrary::~XosDynamicLibrary() {
  LoaderState& loader = Loader();
  if (previous_ != nullptr) {
    previous_->next_ = next_;
  } else if (loader.head == this) {
    loader.head = next_;
  }
  if (next_ != nullptr) next_->previous_ = previous_;
  // Function objects outlive their library only as empty shells.
  for (XosDynamicFunction* function : functions_) {
    function->library_ = nullptr;
    function->entry_ = nullptr;
  }
  if (module_ != nullptr) platform::CloseLibrary(module_, nullptr);
}

void XosDynamicLibrary::LinkFunction(XosDynamicFunction* function) {
  functions_.push_back(function);
}

void XosDynamicLibrary::UnlinkFunction(XosDynamicFunction* function) {
  functions_.erase(std::remove(functions_.begin(), functions_.end(), function), functions_.end());
}

void XosDynamicLibrary::ForgetEntries() {
  for (XosDynamicFunction* function : functions_) function->entry_ = nullptr;
}

XosDynamicLibrary* XosDynamicLibrary::FirstLoaded() { return Loader().head; }

const std::vector<std::string>& XosDynamicLibrary::SearchPaths() { return Loader().search_paths; }

XosDynamicLibrary* XosDynamicLibrary::FindLoaded(const std::string& normalized_name) {
  for (XosDynamicLibrary* l = Loader().head; l != nullptr; l = l->next_) {
    if (SameText(l->full_name_, normalized_name)) return l;
  }
  return nullptr;
}

// ---------------------------------------------------------------- loading

namespace {

// The files a name could be loaded from, in the search order. *bare: the
// name has no folder, so the system's own search comes after these.
std::vector<std::string> FoundFiles(const std::string& file, bool* bare) {
  std::vector<std::string> found;
  *bare = file.find('/') == std::string::npos;
  if (*bare) {
    for (const std::string& folder : SearchOrder()) {
      std::string path = ExistingFile(folder, file);
      if (!path.empty()) found.push_back(path);
    }
  } else {
    const auto slash = file.rfind('/');
    std::string path = ExistingFile(file.substr(0, slash == 0 ? 1 : slash), file.substr(slash + 1));
    if (!path.empty()) found.push_back(path);
  }
  return found;
}

// The trust check of one file found: true with *checked holding it open
// (links followed), or false when it is skipped, with a line that names it
// and says why (and *skipped, when still empty, saying the same). A file
// seen already in this search is passed over without a word.
bool Trusted(const std::string& path, std::vector<std::string>* seen, std::string* skipped,
             platform::CheckedLibrary* checked) {
  const std::string why = platform::CheckLibraryFile(path, checked);
  const std::string& key = why.empty() ? checked->path : path;
  if (std::find(seen->begin(), seen->end(), key) != seen->end()) return false;
  seen->push_back(key);
  if (why.empty()) return true;
  SuPrint(kSkippedLibrary, "Library file %s skipped: %s", path.c_str(), why.c_str());
  if (skipped->empty()) *skipped = path + " skipped: " + why;
  return false;
}

// Whether the system's own search would look in the current folder, the
// run folder that others may write in: LD_LIBRARY_PATH with an empty or a
// relative entry (the dynamic loader splits it at ':' and ';').
bool SystemSearchReachesCurrentFolder() {
  const char* value = std::getenv("LD_LIBRARY_PATH");
  if (value == nullptr || *value == '\0') return false;
  bool relative = false;
  platform::AbsoluteSearchEntries(value, &relative);
  return relative;
}

}  // namespace

Status XosDynamicLibrary::LoadModule() {
  const std::string file = FileNameOf(full_name_);
  bool bare = false;
  std::vector<std::string> candidates = FoundFiles(file, &bare);
  // Last the system's own search, for a bare name (the library cache,
  // LD_LIBRARY_PATH), unless it would reach the current folder unchecked.
  const bool system_search_reaches_here = bare && SystemSearchReachesCurrentFolder();
  if (bare) candidates.push_back(file);

  load_error_text_.clear();
  bool found = false;
  std::string skipped;
  std::vector<std::string> seen;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const bool system_search = bare && i + 1 == candidates.size();
    if (system_search && system_search_reaches_here) {
      SuPrint(kSkippedLibrary,
              "Library %s not looked for by the system's search: LD_LIBRARY_PATH has an empty "
              "or relative entry, which would search the current folder",
              file.c_str());
      continue;
    }
    // Checked just before it would be opened, and loaded through what the
    // check held open: nothing after the file that loads is looked at.
    platform::CheckedLibrary checked;
    if (!system_search && !Trusted(candidates[i], &seen, &skipped, &checked)) continue;
    platform::LibraryOpen opened =
        system_search ? platform::OpenLibrary(file) : platform::OpenLibrary(checked);
    if (opened.handle != nullptr) {
      module_ = opened.handle;
      module_path_ = system_search ? platform::LibraryPath(module_) : checked.path;
      if (module_path_.empty()) module_path_ = file;
      load_state_ = kLoaded;
      return opened.floating_point_restored ? status::kFloatingPointRestored : status::kOk;
    }
    if (system_search && opened.error.find("No such file") != std::string::npos) continue;
    if (load_error_text_.empty()) load_error_text_ = opened.error;
    found = true;
  }
  const Status failure = found ? status::kGeneralFailure : status::kModuleNotFound;
  if (!found) load_error_text_ = skipped.empty() ? "cannot find " + file : skipped;
  SetLastError(failure);
  if (Loader().depth == 0) Loader().last_error_text = load_error_text_;
  return failure;
}

std::string XosDynamicLibrary::LocateFile(const char* name) {
  const std::string normalized = NormalizeName(name != nullptr ? name : "");
  if (normalized.empty()) return {};
  if (XosDynamicLibrary* loaded = FindLoaded(normalized); loaded != nullptr && loaded->module_)
    return loaded->module_path_;
  bool bare = false;
  std::string skipped;
  std::vector<std::string> seen;
  for (const std::string& path : FoundFiles(FileNameOf(normalized), &bare)) {
    platform::CheckedLibrary checked;
    if (Trusted(path, &seen, &skipped, &checked)) return checked.path;
  }
  return {};
}

void XosDynamicLibrary::HandOverSearchPaths() {
  // A copy: the library may add folders of its own while it is told.
  const std::vector<std::string> folders = Loader().search_paths;
  if (folders.empty()) return;
  if (void* add = EntryPoint("AddDLLSearchPath")) {
    for (const std::string& folder : folders) As<SearchPathEntry>(add)(folder.c_str());
    took_search_paths_ = 1;
  }
}

bool XosDynamicLibrary::Start(XosDynamicLibrary* library, const QLNInitializationBlock* block) {
  if (status::IsFailure(library->LoadModule())) {
    library->Release();
    return false;
  }
  library->HandOverSearchPaths();
  library->Initialize(block);
  if (library->init_state_ >= kDeclined) return true;
  library->Release();
  return false;
}

XosDynamicLibrary* XosDynamicLibrary::Load(const char* name, const QLNInitializationBlock* block) {
  return LoadWith(name, block,
                  [](const std::string& normalized) { return new XosDynamicLibrary(normalized); });
}

XosDynamicLibrary* XosDynamicLibrary::LoadWith(const char* name,
                                               const QLNInitializationBlock* block,
                                               LibraryMaker make) {
  const std::string normalized = NormalizeName(name != nullptr ? name : "");
  if (normalized.empty()) {
    SetLastError(status::kModuleNotFound);
    return nullptr;
  }
  if (XosDynamicLibrary* loaded = FindLoaded(normalized)) {
    loaded->AddRef();
    // A library unloaded by force comes back when someone asks for it.
    if (loaded->load_state_ == kUnloaded && !loaded->Reload()) {
      loaded->Release();
      return nullptr;
    }
    return loaded;
  }
  XosDynamicLibrary* library = make(normalized);
  return Start(library, block) ? library : nullptr;
}

bool XosDynamicLibrary::Reload() {
  if (status::IsFailure(LoadModule())) return false;
  HandOverSearchPaths();
  Initialize(block_);
  if (init_state_ >= kDeclined) return true;
  load_state_ = kForcedUnload;
  Release();
  return false;
}

std::int32_t XosDynamicLibrary::Initialize(const QLNInitializationBlock* block) {
  block_ = block;
  if (block != nullptr) {
    if (void* bv = EntryPoint("BVInitialize")) {
      init_state_ = As<BVInitializeEntry>(bv)(block) != 0 ? kAccepted : kDeclined;
    }
  }
  if (void* init = EntryPoint("DLLInitialize")) {
    const std::int32_t answer = As<PlainEntry>(init)();
    if (answer < 0) {
      init_state_ = kInitializeFailed;
      SetLastError(static_cast<Status>(answer));
    }
  }
  return init_state_;
}

void* XosDynamicLibrary::EntryPoint(const char* name) {
  if (module_ == nullptr) return nullptr;
  XosInternalLookup internal;
  for (const std::string& variant : SymbolVariants(name)) {
    void* address = platform::LibrarySymbol(module_, variant.c_str());
    // Only the library's own entry point: a dependency's (or, through a
    // dependency, the engine's own export of the same name) is not its.
    if (address != nullptr && platform::SymbolIsInLibrary(module_, address)) return address;
  }
  return nullptr;
}

// ---------------------------------------------------------------- symbols

void* XosDynamicLibrary::LookUpSymbol(const char* name, const char* signature) {
  (void)signature;  // the variants below cover the upper-cased form it asks for
  if (name == nullptr) return nullptr;
  if (module_ == nullptr) {
    if (load_state_ == kUnloaded && XosInternalLookup::Depth() == 1) Reload();
    if (module_ == nullptr) {
      SetLastError(status::kModuleNotFound);
      return nullptr;
    }
  }
  for (const std::string& variant : SymbolVariants(name)) {
    if (void* address = platform::LibrarySymbol(module_, variant.c_str())) return address;
  }
  SetLastError(status::kSymbolMissing);
  return nullptr;
}

Status XosDynamicLibrary::FindFunction(const char* name, XosDynamicFunction** function,
                                       const char* signature) {
  return FindFunctionWith(name, function, signature,
                          [](XosDynamicLibrary* library, const std::string& symbol) {
                            return new XosDynamicFunction(library, symbol);
                          });
}

Status XosDynamicLibrary::FindFunctionWith(const char* name, XosDynamicFunction** function,
                                           const char* signature, FunctionMaker make) {
  // Deleting the old function may drop the last reference to this library.
  AddRef();
  delete *function;
  *function = nullptr;
  Status result = status::kSymbolMissing;
  if (void* entry = LookUpSymbol(name, signature)) {
    XosDynamicFunction* made = make(this, name);
    made->entry_ = entry;
    *function = made;
    result = status::kOk;
  }
  Release();
  return result;
}

void XosDynamicLibrary::ResolveFunctionsAgain() {
  if (load_state_ != kUnloaded) return;
  const std::vector<XosDynamicFunction*> functions = functions_;
  for (XosDynamicFunction* function : functions) {
    XosInternalLookup internal;
    function->entry_ = LookUpSymbol(function->name_.c_str(), nullptr);
    if (module_ == nullptr) break;  // the reload failed: no point in going on
  }
}

// ---------------------------------------------------------------- release

Status XosDynamicLibrary::Release() {
  const bool forced = load_state_ == kForcedUnload;
  if (!forced) {
    --reference_count_;
    if (reference_count_ > 0) return status::kOk;
  }
  Status result = status::kOk;
  if (module_ != nullptr) {
    std::int32_t finalized = 0;
    if (init_state_ != kInitializeFailed) {
      if (void* finalize = EntryPoint("DLLFinalize")) finalized = As<PlainEntry>(finalize)();
    }
    if (finalized > 0) {
      if (forced) load_state_ = kLoaded;
      return status::kOk;
    }
    if (took_search_paths_ != 0) {
      if (void* remove = EntryPoint("RemoveDLLSearchPath")) As<SearchPathEntry>(remove)(nullptr);
      took_search_paths_ = 0;
    }
    if (finalized < 0) SetLastError(static_cast<Status>(finalized));
    ForgetEntries();
    if (!platform::CloseLibrary(module_, &load_error_text_)) result = status::kUnhandled;
    module_ = nullptr;
  }
  if (forced || load_state_ == kUnloaded) {
    // Kept for its users (and for the caller of the forced unload), to be
    // loaded again on first use.
    load_state_ = kUnloaded;
    init_state_ = kNotInitialized;
    if (forced || reference_count_ > 0) return result;
  }
  delete this;
  return result;
}

std::int32_t XosDynamicLibrary::ForceUnloadAll(const char* const* names, std::int32_t count) {
  std::int32_t sum = 0;
  for (XosDynamicLibrary* l = Loader().head; l != nullptr; l = l->next_) {
    if (l->load_state_ == kUnloaded) continue;
    if (void* force = l->EntryPoint("ForceUnload"))
      sum += As<ForceUnloadEntry>(force)(names, count);
  }
  if (names == nullptr) return sum;
  for (std::int32_t i = count - 1; i >= 0; --i) {
    if (names[i] == nullptr) continue;
    const std::string part = NamePart(NormalizeName(names[i]));
    for (XosDynamicLibrary* l = Loader().head; l != nullptr; l = l->next_) {
      if (!SameText(l->name_part_, part)) continue;
      if (l->unload_allowed_ != 0 && l->module_ != nullptr) {
        l->load_state_ = kForcedUnload;
        l->Release();
        if (l->load_state_ == kUnloaded) ++sum;
      }
      break;
    }
  }
  return sum;
}

Status XosDynamicLibrary::AddSearchPath(const char* folder, bool searched_last) {
  if (folder == nullptr || *folder == '\0') return status::kBadArguments;
  for (XosDynamicLibrary* l = Loader().head; l != nullptr; l = l->next_) {
    if (void* add = l->EntryPoint("AddDLLSearchPath")) {
      As<SearchPathEntry>(add)(folder);
      l->took_search_paths_ = 1;
    }
  }
  auto& folders = Loader().search_paths;
  const std::string added(folder);
  folders.erase(std::remove_if(folders.begin(), folders.end(),
                               [&](const std::string& f) { return SameText(f, added); }),
                folders.end());
  // The list is searched from its end.
  folders.insert(searched_last ? folders.begin() : folders.end(), added);
  return status::kOk;
}

Status XosDynamicLibrary::RemoveSearchPath(const char* folder) {
  for (XosDynamicLibrary* l = Loader().head; l != nullptr; l = l->next_) {
    if (void* remove = l->EntryPoint("RemoveDLLSearchPath")) As<SearchPathEntry>(remove)(folder);
  }
  auto& folders = Loader().search_paths;
  if (folder == nullptr) {
    folders.clear();
  } else {
    const std::string removed(folder);
    folders.erase(std::remove_if(folders.begin(), folders.end(),
                                 [&](const std::string& f) { return SameText(f, removed); }),
                  folders.end());
  }
  return status::kOk;
}
