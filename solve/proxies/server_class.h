// Finding an outside server's class by ProgID: the suffixes listed under the
// compatibility key first, then (for the integrator) the release suffix,
// then the bare ProgID.
#pragma once

#include <string>

#include "platform/guid.h"
#include "platform/status.h"

inline constexpr Status kProxyFailure = 0xA000FFFFu;
inline constexpr const char* kCompatibilityKey =
    "SOFTWARE\\Brunvald\\QVSystem\\%s\\Compatibility\\KVS";
inline constexpr const char* kRelease = "38.0";

// 0 with the class and the ProgID that found it; the last CLSIDFromProgID
// status otherwise. A missing compatibility key is printed and the bare
// ProgID still tried.
Status FindServerClass(const std::string& prog_id, bool try_release, platform::CLSID* clsid,
                       std::string* found);

// The printable system text of a COM status.
std::string SystemErrorText(Status status);

#include <array>
#include <cstdint>

#include "solve/ifaces/com_types.h"
#include "solve/ifaces/option_enumerator.h"

class QLNOptionsClient;

// The server's id and variant type per engine option number, filled from
// the server's option list.
class ServerOptionMap {
 public:
  static constexpr std::int32_t kNumbers = 172;
  // Reads the list ten entries at a time and registers `client` for every
  // number it names; bad entries are skipped with a message. The last
  // failure, else 0.
  Status Enumerate(IOptionEnumerator2* list, QLNOptionsClient* client, const char* server);
  Status Enumerate(IOptionEnumerator1* list, QLNOptionsClient* client, const char* server);
  // The value to send for an option change; false when the number is not
  // the server's or its type carries no value.
  bool ValueFor(std::int32_t number, const void* value, VARIANT* out) const;
  std::uint32_t IdOf(std::int32_t number) const { return ids_[static_cast<std::size_t>(number)]; }
  std::uint16_t TypeOf(std::int32_t number) const {
    return types_[static_cast<std::size_t>(number)];
  }

 private:
  Status Take(std::uint32_t number, std::uint32_t id, std::uint16_t vt, const char16_t* name,
              QLNOptionsClient* client, const char* server);
  std::array<std::uint32_t, kNumbers> ids_{};
  std::array<std::uint16_t, kNumbers> types_{};
};
