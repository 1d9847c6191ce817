#include "solve/proxies/server_class.h"

#include <cstdio>

#include "foundation/messages/su_print.h"
#include "platform/com.h"
#include "platform/registry.h"
#include "platform/system_message.h"
#include "platform/utf16.h"

namespace {

Status TryProgId(const std::string& name, platform::CLSID* clsid) {
  const std::u16string wide = platform::Utf16FromUtf8(name);
  return platform::CLSIDFromProgID(wide.c_str(), clsid);
}

}  // namespace

std::string SystemErrorText(Status status) { return platform::SystemMessageText(status); }

Status FindServerClass(const std::string& prog_id, bool try_release, platform::CLSID* clsid,
                       std::string* found) {
  char key_name[256];
  std::snprintf(key_name, sizeof key_name, kCompatibilityKey, kRelease);
  platform::HKEY key = nullptr;
  if (platform::RegOpenKeyExA(platform::HKEY_LOCAL_MACHINE, key_name, 0, platform::KEY_READ,
                              &key) != platform::ERROR_SUCCESS) {
    if (!platform::RegistryFileUnread()) {
      SuPrint(kProxyFailure, "Couldn't find registry key HKLM\\%s", key_name);
    }
  } else {
    for (int i = 1;; ++i) {
      char value_name[16];
      std::snprintf(value_name, sizeof value_name, "%d", i);
      char data[1025] = {};
      std::uint32_t size = 1024;
      std::uint32_t type = 0;
      if (platform::RegQueryValueExA(key, value_name, nullptr, &type,
                                     reinterpret_cast<std::uint8_t*>(data),
                                     &size) != platform::ERROR_SUCCESS) {
        break;
      }
      data[size < 1024 ? size : 1024] = '\0';  // a value need not end in a zero
      const std::string name = prog_id + "." + data;
      if (TryProgId(name, clsid) == 0) {
        platform::RegCloseKey(key);
        *found = name;
        return 0;
      }
    }
    platform::RegCloseKey(key);
  }
  if (try_release) {
    const std::string name = prog_id + "." + kRelease;
    if (TryProgId(name, clsid) == 0) {
      *found = name;
      return 0;
    }
  }
  const Status s = TryProgId(prog_id, clsid);
  if (s == 0) *found = prog_id;
  return s;
}

#include <cstring>

#include "solve/options/option_descriptors.h"
#include "solve/options/solver_option_table.h"

namespace {
constexpr std::uint32_t kBatch = 10;
// A server may hand out any count; never read past the batch.
std::uint32_t Fetched(std::uint32_t fetched) { return fetched > kBatch ? kBatch : fetched; }
}  // namespace

Status ServerOptionMap::Take(std::uint32_t number, std::uint32_t id, std::uint16_t vt,
                             const char16_t* name, QLNOptionsClient* client, const char* server) {
  if (number == 0) {
    std::string text;
    if (name != nullptr) {
      for (std::size_t i = 0; i < 256 && name[i] != 0; ++i) {
        text += static_cast<char>(name[i] < 0x80 ? name[i] : '?');
      }
    }
    std::int32_t found = 0;
    if (name == nullptr || IntegratorOptionNameTable(text.c_str(), &found) != 0 || found <= 0 ||
        found >= kNumbers) {
      SuPrint(0, "%s option \"%s\" is not known and is ignored", server, text.c_str());
      return 0;
    }
    number = static_cast<std::uint32_t>(found);
  }
  if (number >= static_cast<std::uint32_t>(kNumbers)) {
    std::uint32_t n = number;
    SuPrint(0, "%s option number %u is out of range and is ignored", server, &n);
    return 0;
  }
  ids_[number] = id;
  types_[number] = vt;
  return SolverOptionTable::RegisterClientForNumbers(client,
                                                     reinterpret_cast<std::int32_t*>(&number), 1);
}

Status ServerOptionMap::Enumerate(IOptionEnumerator2* list, QLNOptionsClient* client,
                                  const char* server) {
  Status last = 0;
  for (int guard = 0; guard < 10000; ++guard) {
    OptionEntry entries[kBatch] = {};
    std::uint32_t fetched = 0;
    const Status s = list->Next(kBatch, entries, &fetched);
    const std::uint32_t n = Fetched(fetched);
    for (std::uint32_t i = 0; i < n; ++i) {
      const Status t = Take(entries[i].engine_number, entries[i].server_id, entries[i].vt,
                            entries[i].name, client, server);
      if (t != 0) last = t;
      platform::CoTaskMemFree(entries[i].name);
    }
    if (s != 0 || n == 0) break;
  }
  return last;
}

Status ServerOptionMap::Enumerate(IOptionEnumerator1* list, QLNOptionsClient* client,
                                  const char* server) {
  Status last = 0;
  for (int guard = 0; guard < 10000; ++guard) {
    OptionEntry1* entries = nullptr;
    std::uint32_t fetched = 0;
    const Status s = list->Next(kBatch, &entries, &fetched);
    const std::uint32_t n = entries != nullptr ? Fetched(fetched) : 0;
    for (std::uint32_t i = 0; i < n; ++i) {
      if (entries[i].engine_number == 0) continue;  // the older form has no name
      const Status t = Take(entries[i].engine_number, entries[i].server_id, entries[i].vt, nullptr,
                            client, server);
      if (t != 0) last = t;
    }
    platform::CoTaskMemFree(entries);
    if (s != 0 || n == 0) break;
  }
  return last;
}

bool ServerOptionMap::ValueFor(std::int32_t number, const void* value, VARIANT* out) const {
  if (number < 0 || number >= kNumbers || value == nullptr) return false;
  const std::uint16_t vt = types_[static_cast<std::size_t>(number)];
  if (vt != kVariantInt32 && vt != kVariantDouble) return false;
  double v = 0.0;
  switch (SolverOptionTable::KindOf(number)) {
    case SolverOptionTable::Kind::kReal:
      std::memcpy(&v, value, sizeof v);
      break;
    case SolverOptionTable::Kind::kInteger: {
      std::int32_t i = 0;
      std::memcpy(&i, value, sizeof i);
      v = i;
      break;
    }
    case SolverOptionTable::Kind::kFlag:
      v = *static_cast<const std::uint8_t*>(value);
      break;
    default:
      return false;
  }
  *out = vt == kVariantInt32 ? VariantOfInt(static_cast<std::int32_t>(v)) : VariantOfReal(v);
  return true;
}
