#include "codegen/build/product_folders.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>

#include "codegen/build/build_driver.h"
#include "foundation/messages/status_and_msg.h"

using namespace platform;

namespace {
constexpr Status kUnspecified = 0x80004005u;

struct ProductRow {
  const char* product;
  const char* version_variable;
  const char* suffix;
  const char* value;
  const char* check;
};
// The version variables are named but never read.
constexpr ProductRow kRows[] = {
    {"QVSystem", "QV200_QVSYSTEM_VSN", "\\Dir", "Root", "incl"},
    {"TANQ", "QV200_TANQ_VSN", "", "TANQTOP", "include"},
    {"Gravik", "QV200_GRAVIK_VSN", "\\gravik", "orvtop", "include"},
    {"LumetSystem", "QV200_GRAVIK_VSN", "\\gravik", "orvtop", "include"},
};

BvuStatusAndMsg* Warn(const char* format, const std::string& text) {
  codegen::Warning(nullptr, format, text.c_str());
  return new (std::nothrow) BvuStatusAndMsg(codegen::kWarning, format, text.c_str());
}
}  // namespace

Status ReadCompatibilityKey(HKEY* key, const char* product, char* digit, std::string* version) {
  if (*key == nullptr) {
    const std::string path =
        std::string("SOFTWARE\\Brunvald\\QVSystem\\38.0\\Compatibility\\") + product;
    std::int32_t rc = RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, key);
    if (rc != ERROR_SUCCESS) rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key);
    if (rc != ERROR_SUCCESS) return static_cast<Status>(rc);
  }
  const char name[2] = {*digit, '\0'};
  const bool found = RegQueryText(*key, name, 10, version);
  if (*digit == '9') return kUnspecified;
  ++*digit;
  return found ? 0 : kUnspecified;
}

BvuStatusAndMsg* FindProductFolder(std::string* line) {
  const std::size_t percent = line->rfind('%');
  const std::string text = percent == std::string::npos ? "" : line->substr(percent + 1);
  const ProductRow* row = nullptr;
  for (const ProductRow& candidate : kRows) {
    if (strncasecmp(text.c_str(), candidate.product, std::strlen(candidate.product)) == 0) {
      row = &candidate;
      break;
    }
  }
  if (row == nullptr) return Warn("Couldn't find a compatible version of %s", text);
  HKEY list = nullptr;
  char digit = '1';
  std::string root;
  for (bool own = row == &kRows[0];;) {
    std::string version = "38.0";
    if (!own && ReadCompatibilityKey(&list, row->product, &digit, &version) != 0) {
      if (list != nullptr) RegCloseKey(list);
      return Warn("Couldn't find a compatible version of %s", text);
    }
    const std::string path =
        std::string("SOFTWARE\\Brunvald\\") + row->product + "\\" + version + row->suffix;
    HKEY key = nullptr;
    bool found = false;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
      found = RegQueryText(key, row->value, 260, &root);
      RegCloseKey(key);
    }
    if (found) break;
    // The framework's own product has only the one version to try.
    if (own) return Warn("Couldn't find folder %s", path + "\\" + row->value);
  }
  if (list != nullptr) RegCloseKey(list);
  if (!root.empty() && (root.back() == '\\' || root.back() == '/')) root.pop_back();
  const std::string check = root + "/" + row->check;
  std::error_code error;
  if (!std::filesystem::is_directory(check, error)) return Warn("Couldn't find folder %s", check);
  line->resize(percent);
  *line += root;
  return nullptr;
}

std::string FindIntelFortranFolder() {
  HKEY compilers = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\WOW6432Node\\Intel\\Compilers\\Fortran", 0,
                    KEY_READ, &compilers) != ERROR_SUCCESS) {
    return "";
  }
  long best_major = 170, best_minor = 0;
  std::string best;
  char name[256];
  for (std::uint32_t index = 0;; ++index) {
    std::uint32_t length = sizeof name;
    if (RegEnumKeyExA(compilers, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    const long major = std::strtol(name, nullptr, 10);
    const char* dot = std::strchr(name, '.');
    const long minor = dot != nullptr ? std::strtol(dot + 1, nullptr, 10) : 0;
    if (major > best_major || (major == best_major && minor > best_minor)) {
      best_major = major;
      best_minor = minor;
      best = name;
    }
  }
  std::string folder;
  HKEY key = nullptr;
  if (!best.empty() && RegOpenKeyExA(compilers, best.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
    if (!RegQueryText(key, "ProductDir", 256, &folder)) folder.clear();
    RegCloseKey(key);
  }
  RegCloseKey(compilers);
  return folder;
}

std::string ExportProductFolderLines(const std::function<void(BvuStatusAndMsg*)>& report,
                                     bool quiet) {
  std::string lines;
  for (const char* line :
       {"GRAVIK_TOP = \"%Gravik", "LUMETSYSTEM_TOP = \"%LumetSystem", "TANQ_TOP = \"%TANQ"}) {
    std::string text = line;
    if (BvuStatusAndMsg* warning = FindProductFolder(&text)) {
      if (report && !quiet) {
        report(warning);
      } else {
        delete warning;
      }
      text += ".";
    }
    lines += text + "\"\n";
  }
  return lines;
}
