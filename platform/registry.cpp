#include "platform/registry.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include <sys/stat.h>

#include <cerrno>

#include "platform/dynamic_library.h"
#include "platform/posix_file.h"
#include "platform/registry_tree.h"

namespace platform {

struct RegistryKeyHandle {
  std::shared_ptr<const RegistryTree> tree;  // keeps key alive
  const RegistryKey* key;
};

namespace {

// A registry file this large is not one that the install step wrote.
constexpr off_t kMaxFileSize = 16 << 20;
constexpr std::size_t kProblemsShown = 5;

struct LoadedFile {
  std::string path;
  bool exists = false;
  int error = 0;  // why the file is not there
  off_t size = 0;
  ino_t inode = 0;
  timespec modified{};
  std::shared_ptr<const RegistryTree> tree;
  bool unread = false;  // missing or not readable: said once on standard error
};

std::mutex g_load_mutex;
LoadedFile g_loaded;  // guarded by g_load_mutex

std::mutex g_handle_mutex;
std::unordered_set<HKEY> g_open_handles;  // guarded by g_handle_mutex

// Taken before main: the engine later changes into its run folders.
const std::string g_start_folder = [] {
  std::string folder;
  return CurrentDirectory(&folder) ? folder : std::string();
}();

void Report(const std::string& path, const std::vector<std::string>& problems) {
  for (std::size_t i = 0; i < problems.size() && i < kProblemsShown; ++i) {
    std::fprintf(stderr, "vantor: registry file %s, %s: line skipped\n", path.c_str(),
                 problems[i].c_str());
  }
  if (problems.size() > kProblemsShown) {
    std::fprintf(stderr, "vantor: registry file %s, %zu more bad lines skipped\n", path.c_str(),
                 problems.size() - kProblemsShown);
  }
}

std::shared_ptr<const RegistryTree> CurrentTree() {
  LoadedFile now;
  now.path = RegistryFilePath();
  struct stat st {};
  if (stat(now.path.c_str(), &st) != 0) {
    now.error = errno;
  } else if (!S_ISREG(st.st_mode)) {
    now.error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  } else {
    now.exists = true;
    now.size = st.st_size;
    now.inode = st.st_ino;
    now.modified = st.st_mtim;
  }

  std::lock_guard<std::mutex> lock(g_load_mutex);
  const LoadedFile& old = g_loaded;
  if (old.tree && old.path == now.path && old.exists == now.exists && old.error == now.error &&
      old.size == now.size && old.inode == now.inode &&
      old.modified.tv_sec == now.modified.tv_sec && old.modified.tv_nsec == now.modified.tv_nsec) {
    return old.tree;
  }
  std::string text;
  int read_error = 0;
  bool refused = false;
  if (now.exists && now.size > kMaxFileSize) {
    std::fprintf(stderr, "vantor: registry file %s is over %lld bytes and is ignored\n",
                 now.path.c_str(), static_cast<long long>(kMaxFileSize));
  } else if (now.exists) {
    // It names the servers the engine loads: it passes the loader's check,
    // and what is read is the file checked.
    CheckedLibrary checked;
    if (const std::string why = CheckLibraryFile(now.path, &checked); !why.empty()) {
      std::fprintf(stderr, "vantor: registry file %s not read: %s\n", now.path.c_str(),
                   why.c_str());
      refused = true;
    } else {
      struct stat held {};
      std::size_t done = 0;
      if (fstat(checked.file.get(), &held) != 0) {
        read_error = errno;
      } else {
        text.resize(std::min<std::size_t>(held.st_size, kMaxFileSize));
        if (!ReadFileAt(checked.file.get(), text.data(), text.size(), 0, &done, &read_error)) {
          done = 0;
        }
      }
      text.resize(done);
    }
  }
  now.unread = now.error != 0 || read_error != 0 || refused;
  if (now.unread && !refused) {
    // Without it no outside server or installation is found: the lines
    // about missing keys that follow would not say why.
    std::fprintf(stderr, "vantor: %s\n",
                 MissingRegistryText(now.path, now.error != 0 ? now.error : read_error).c_str());
  }
  std::vector<std::string> problems;
  now.tree = RegistryTree::Parse(text, &problems);
  Report(now.path, problems);
  g_loaded = std::move(now);
  return g_loaded.tree;
}

int RootIndex(HKEY key) {
  const auto value = reinterpret_cast<std::uintptr_t>(key);
  if (value < 0x80000000u || value >= 0x80000000u + RegistryTree::kRootCount) return -1;
  return static_cast<int>(value - 0x80000000u);
}

// The key behind a handle, with the tree it lives in held for the caller.
bool Resolve(HKEY key, RegistryKeyHandle* out) {
  if (const int root = RootIndex(key); root >= 0) {
    out->tree = CurrentTree();
    out->key = &out->tree->Root(root);
    return true;
  }
  std::lock_guard<std::mutex> lock(g_handle_mutex);
  if (g_open_handles.count(key) == 0) return false;
  *out = *key;
  return true;
}

// Copies a name into a caller's character buffer of *length characters.
std::int32_t CopyName(const std::string& name, char* buffer, std::uint32_t* length) {
  if (name.size() + 1 > *length) return ERROR_MORE_DATA;
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  *length = static_cast<std::uint32_t>(name.size());
  return ERROR_SUCCESS;
}

void ClearTime(FILETIME* time) {
  if (time != nullptr) *time = FILETIME{0, 0};
}

constexpr REGSAM kReadRights = KEY_READ | KEY_WOW64_64KEY | KEY_WOW64_32KEY | 0x80000000u;

}  // namespace

std::string RegistryFilePathFor(const char* variable, const std::string& start_folder,
                                const std::string& executable_folder) {
  if (variable != nullptr && *variable != '\0') {
    if (variable[0] == '/' || start_folder.empty()) return variable;
    return start_folder + (start_folder.back() == '/' ? "" : "/") + variable;
  }
  return executable_folder + "/../etc/vantor/registry.ini";
}

std::string RegistryFilePath() {
  return RegistryFilePathFor(std::getenv("VANTOR_REGISTRY"), g_start_folder, ExecutableFolder());
}

bool RegistryFileUnread() {
  CurrentTree();
  std::lock_guard<std::mutex> lock(g_load_mutex);
  return g_loaded.unread;
}

std::string MissingRegistryText(const std::string& path, int error) {
  const char* reason = error == ENOENT ? "not found" : std::strerror(error);
  return "registry file " + path + ": " + reason +
         " (VANTOR_REGISTRY names the registry file; unset, it is "
         "../etc/vantor/registry.ini beside the engine)";
}

std::int32_t RegOpenKeyExA(HKEY key, const char* sub_key, std::uint32_t /*options*/, REGSAM desired,
                           HKEY* result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  RegistryKeyHandle found;
  if (!Resolve(key, &found)) return ERROR_INVALID_HANDLE;
  if ((desired & ~kReadRights) != 0) return ERROR_ACCESS_DENIED;

  std::string_view path = sub_key != nullptr ? sub_key : "";
  while (!path.empty()) {
    const auto cut = path.find('\\');
    const std::string_view piece = path.substr(0, cut);
    if (!piece.empty()) {
      found.key = found.key->FindSubkey(piece);
      if (found.key == nullptr) return ERROR_FILE_NOT_FOUND;
    }
    if (cut == std::string_view::npos) break;
    path.remove_prefix(cut + 1);
  }
  auto* handle = new RegistryKeyHandle(std::move(found));
  std::lock_guard<std::mutex> lock(g_handle_mutex);
  g_open_handles.insert(handle);
  *result = handle;
  return ERROR_SUCCESS;
}

std::int32_t RegQueryValueExA(HKEY key, const char* value_name, std::uint32_t* reserved,
                              std::uint32_t* type, std::uint8_t* data, std::uint32_t* data_size) {
  if (reserved != nullptr || (data != nullptr && data_size == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  RegistryKeyHandle found;
  if (!Resolve(key, &found)) return ERROR_INVALID_HANDLE;
  const RegistryValue* value = found.key->FindValue(value_name != nullptr ? value_name : "");
  if (value == nullptr) return ERROR_FILE_NOT_FOUND;

  if (type != nullptr) *type = value->type;
  const auto size = static_cast<std::uint32_t>(value->data.size());
  std::int32_t result = ERROR_SUCCESS;
  if (data != nullptr) {
    if (*data_size < size) {
      result = ERROR_MORE_DATA;
    } else {
      std::memcpy(data, value->data.data(), size);
    }
  }
  if (data_size != nullptr) *data_size = size;
  return result;
}

std::int32_t RegEnumKeyExA(HKEY key, std::uint32_t index, char* name, std::uint32_t* name_length,
                           std::uint32_t* reserved, char* class_name, std::uint32_t* class_length,
                           FILETIME* last_write_time) {
  if (name == nullptr || name_length == nullptr || reserved != nullptr ||
      (class_name != nullptr && class_length == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  RegistryKeyHandle found;
  if (!Resolve(key, &found)) return ERROR_INVALID_HANDLE;
  const auto& subkeys = found.key->subkeys;
  if (index >= subkeys.size()) return ERROR_NO_MORE_ITEMS;

  const RegistryKey& subkey = *std::next(subkeys.begin(), index)->second;
  if (const std::int32_t copied = CopyName(subkey.name, name, name_length);
      copied != ERROR_SUCCESS) {
    return copied;
  }
  if (class_name != nullptr) {
    if (*class_length == 0) return ERROR_MORE_DATA;
    class_name[0] = '\0';
    *class_length = 0;
  }
  ClearTime(last_write_time);
  return ERROR_SUCCESS;
}

std::int32_t RegQueryInfoKeyA(HKEY key, char* class_name, std::uint32_t* class_length,
                              std::uint32_t* reserved, std::uint32_t* subkey_count,
                              std::uint32_t* max_subkey_length, std::uint32_t* max_class_length,
                              std::uint32_t* value_count, std::uint32_t* max_value_name_length,
                              std::uint32_t* max_value_length,
                              std::uint32_t* security_descriptor_size, FILETIME* last_write_time) {
  if (reserved != nullptr || (class_name != nullptr && class_length == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  RegistryKeyHandle found;
  if (!Resolve(key, &found)) return ERROR_INVALID_HANDLE;
  const RegistryKey& k = *found.key;

  std::size_t longest_subkey = 0;
  for (const auto& [folded, subkey] : k.subkeys) {
    longest_subkey = std::max(longest_subkey, subkey->name.size());
  }
  std::size_t longest_name = 0;
  std::size_t longest_data = 0;
  for (const auto& [folded, value] : k.values) {
    longest_name = std::max(longest_name, value.name.size());
    longest_data = std::max(longest_data, value.data.size());
  }
  if (class_name != nullptr) {
    if (*class_length == 0) return ERROR_MORE_DATA;
    class_name[0] = '\0';
    *class_length = 0;
  }
  const auto set = [](std::uint32_t* out, std::size_t v) {
    if (out != nullptr) *out = static_cast<std::uint32_t>(v);
  };
  set(subkey_count, k.subkeys.size());
  set(max_subkey_length, longest_subkey);
  set(max_class_length, 0);
  set(value_count, k.values.size());
  set(max_value_name_length, longest_name);
  set(max_value_length, longest_data);
  set(security_descriptor_size, 0);
  ClearTime(last_write_time);
  return ERROR_SUCCESS;
}

std::int32_t RegCloseKey(HKEY key) {
  if (RootIndex(key) >= 0) return ERROR_SUCCESS;
  {
    std::lock_guard<std::mutex> lock(g_handle_mutex);
    if (g_open_handles.erase(key) == 0) return ERROR_INVALID_HANDLE;
  }
  delete key;
  return ERROR_SUCCESS;
}

bool RegQueryText(HKEY key, const char* value_name, std::size_t limit, std::string* text) {
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  if (RegQueryValueExA(key, value_name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      type != REG_SZ || (limit != 0 && size > limit)) {
    return false;
  }
  std::string buffer(size, '\0');
  if (size > 0 &&
      RegQueryValueExA(key, value_name, nullptr, &type,
                       reinterpret_cast<std::uint8_t*>(buffer.data()), &size) != ERROR_SUCCESS) {
    return false;
  }
  buffer.resize(size);
  while (!buffer.empty() && buffer.back() == '\0') buffer.pop_back();
  *text = std::move(buffer);
  return true;
}

}  // namespace platform
