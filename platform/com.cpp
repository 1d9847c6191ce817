#include "platform/com.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/dynamic_library.h"
#include "platform/registry.h"
#include "platform/utf16.h"

namespace platform {

namespace {

struct ThreadJoin {
  std::uint32_t count = 0;
  std::uint32_t model = COINIT_MULTITHREADED;
};
thread_local ThreadJoin t_join;

constexpr std::uint32_t kKnownFlags =
    COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY;

// The default text value of a key below HKEY_CLASSES_ROOT; empty when there
// is none.
std::string DefaultText(const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return {};
  }
  std::string text;
  std::uint32_t type = REG_NONE;
  std::uint32_t size = 0;
  if (RegQueryValueExA(key, nullptr, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      type == REG_SZ && size > 0) {
    text.resize(size);
    if (RegQueryValueExA(key, nullptr, nullptr, nullptr,
                         reinterpret_cast<std::uint8_t*>(text.data()), &size) == ERROR_SUCCESS) {
      text.resize(size - 1);
    } else {
      text.clear();
    }
  }
  RegCloseKey(key);
  return text;
}

}  // namespace

Status CoInitializeEx(void* reserved, std::uint32_t flags) {
  if (reserved != nullptr || (flags & ~kKnownFlags) != 0) return E_INVALIDARG;
  const std::uint32_t model = flags & COINIT_APARTMENTTHREADED;
  if (t_join.count == 0) {
    t_join.model = model;
    t_join.count = 1;
    return S_OK;
  }
  if (t_join.model != model) return RPC_E_CHANGED_MODE;
  ++t_join.count;
  return S_FALSE;
}

void CoUninitialize() {
  if (t_join.count > 0) --t_join.count;
}

Status CLSIDFromProgID(const OLECHAR* prog_id, CLSID* clsid) {
  if (prog_id == nullptr || clsid == nullptr) return E_INVALIDARG;
  const std::string name = Utf8FromUtf16(prog_id);
  // A ProgID names one key; a backslash would walk below it.
  if (name.empty() || name.find('\\') != std::string::npos) return CO_E_CLASSSTRING;
  if (!ParseGuid(DefaultText(name + "\\CLSID"), clsid)) return CO_E_CLASSSTRING;
  return S_OK;
}

Status CoCreateInstance(const CLSID& clsid, IUnknown* outer, std::uint32_t context, const IID& iid,
                        void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (t_join.count == 0) return CO_E_NOTINITIALIZED;
  if ((context & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  const std::string path = DefaultText("CLSID\\" + GuidText(clsid) + "\\InprocServer32");
  if (path.empty()) return REGDB_E_CLASSNOTREG;

  // A server named by its file is loaded only as the engine's loader would
  // load it; a bare name is the system's own search.
  LibraryOpen opened;
  if (path.find('/') == std::string::npos) {
    opened = OpenLibrary(path);
  } else {
    CheckedLibrary checked;
    if (const std::string why = CheckLibraryFile(path, &checked); !why.empty()) {
      std::fprintf(stderr, "vantor: in-process server %s of class %s not loaded: %s\n",
                   path.c_str(), GuidText(clsid).c_str(), why.c_str());
      return CO_E_DLLNOTFOUND;
    }
    opened = OpenLibrary(checked);
  }
  void* const library = opened.handle;
  if (library == nullptr) {
    std::fprintf(stderr, "vantor: in-process server %s of class %s does not load: %s\n",
                 path.c_str(), GuidText(clsid).c_str(), opened.error.c_str());
    return CO_E_DLLNOTFOUND;
  }
  const auto get_class_object =
      reinterpret_cast<DllGetClassObjectFunction>(LibrarySymbol(library, "DllGetClassObject"));
  if (get_class_object == nullptr) return CO_E_ERRORINDLL;

  void* factory_object = nullptr;
  const Status got = get_class_object(clsid, IID_IClassFactory, &factory_object);
  if (status::IsFailure(got)) return got;
  if (factory_object == nullptr) return CO_E_ERRORINDLL;
  auto* factory = static_cast<IClassFactory*>(factory_object);
  const Status created = factory->CreateInstance(outer, iid, object);
  factory->Release();
  if (status::IsFailure(created)) *object = nullptr;
  return created;
}

void* CoTaskMemAlloc(std::size_t size) { return std::malloc(size); }

void CoTaskMemFree(void* memory) { std::free(memory); }

}  // namespace platform
