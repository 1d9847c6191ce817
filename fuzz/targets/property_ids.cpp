// Id-path reads of service 66 (select or unload a property package), as
// received, several to an input (each a u16 length and its body), through
// the server registry to the property manager, whose package is linked into
// the target under the name "linked". What a read keeps is filled twice.
// A read naming another package would have the manager load a library of
// the input's choosing: the target reads such paths itself first and leaves
// those requests out.
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "control/properties/property_mgr.h"
#include "foundation/directory/id_path.h"
#include "framework/messaging/message.h"
#include "framework/messaging/template.h"
#include "framework/servers/server_registry.h"
#include "fuzz/byte_stream.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/received_request.h"

namespace {

void Put(char* field, std::size_t length, const char* text) {
  const std::size_t n = std::strlen(text);
  for (std::size_t i = 0; i < length; ++i) field[i] = i < n ? text[i] : ' ';
}

void Ini(char*, char*, gppi::PackageInt* status, std::size_t, std::size_t) { *status = 1; }

void Query(gppi::PackageInt* request, gppi::PackageInt* index, char* a, char* b, char* c,
           gppi::PackageInt* status, std::size_t la, std::size_t lb, std::size_t lc) {
  *status = 0;
  if (*request == 1 || *request == 3) {
    *index = 1;
  } else if (*index == 1) {
    Put(a, la, *request == 2 ? "WATER" : "Liquids");
    Put(b, lb, *request == 2 ? "" : "Density");
    Put(c, lc, *request == 2 ? "" : "WATER");
  }
}

void Load(gppi::PackageInt*, gppi::PackageInt*, char*, gppi::PackageInt*, char*, char*,
          gppi::PackageInt*, gppi::PackageInt*, gppi::PackageInt* flag, std::size_t, std::size_t,
          std::size_t) {
  *flag = 1;
}

void Unload(gppi::PackageInt*) {}
void End() {}
void Options(gppi::PackageInt*, gppi::PackageInt* second) { *second = 0; }

std::unique_ptr<GppiPackage> Linked() {
  auto package = std::make_unique<GppiPackage>();
  package->name = "linked";
  package->ini = Ini;
  package->query = Query;
  package->load = Load;
  package->unload = Unload;
  package->end = End;
  package->options = Options;
  return package;
}

// Whether every item of the body names no package but the linked one (the
// last named step of a path is the package).
bool NamesOnlyTheLinkedPackage(const std::uint8_t* body, std::size_t size) {
  vantor_fuzz::ByteStream stream(vantor_fuzz::Bytes(body, body + size));
  double period = 0.0;
  if (status::IsFailure(stream.TryGet8(&period))) return true;
  while (stream.Remaining() > 0) {
    Status read = status::kOk;
    const BvuIdPath ids(stream, &read);
    if (status::IsFailure(read)) return true;
    const char* last = nullptr;
    if (ids.with_names()) {
      for (std::size_t i = 0; i < ids.count(); ++i) {
        const std::uint32_t id = ids.ids()[i];
        if (id != kIdPathRoot && id != kIdPathEnd) last = ids.NameAt(i).c_str();
      }
    }
    if (last != nullptr && last[0] != '\0' && strcasecmp(last, "linked") != 0) return false;
    std::uint16_t word = 0;
    if (status::IsFailure(stream.GetUInt16(&word)) || status::IsFailure(stream.GetUInt16(&word)))
      return true;
  }
  return true;
}

std::unique_ptr<DseMessage> Received(const std::uint8_t* body, std::size_t size) {
  auto request = vantor_fuzz::ReceivedRequest(GppiPropertyMgr::kService, body, size);
  if (request != nullptr) request->subtype = DseMessage::kIdPathRead;
  return request;
}

constexpr int kMostRequests = 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = [] {
    vantor_fuzz::InstallQuietCollector();
    return true;
  }();
  (void)quiet;
  GppiPropertyMgr manager;
  DseServerRegistry registry;
  registry.Register(GppiPropertyMgr::kService, &manager);
  if (status::IsFailure(manager.AdoptPackage(Linked(), "a", "b"))) return 0;
  std::size_t at = 0;
  for (int n = 0; n < kMostRequests && at + 2 <= size; ++n) {
    const std::size_t length = std::min<std::size_t>(data[at] | (data[at + 1] << 8), size - at - 2);
    const std::uint8_t* body = data + at + 2;
    at += 2 + length;
    if (!NamesOnlyTheLinkedPackage(body, length)) continue;
    std::unique_ptr<DseMessage> request = Received(body, length);
    if (request == nullptr) continue;
    DseMessage* reply = nullptr;
    DseTemplate* kept = nullptr;
    registry.ExecuteRequest(request.get(), &reply, &kept);
    delete reply;
    std::unique_ptr<DseTemplate> response(kept);
    if (response == nullptr) continue;
    DseMessage* made = nullptr;
    if (status::IsSuccess(response->BuildHeader(&made))) delete made;
    for (int fill = 0; fill < 2; ++fill) {
      made = nullptr;
      if (status::IsSuccess(response->Fill(&made))) delete made;
    }
  }
  return 0;
}
