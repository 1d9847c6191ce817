// Service-66 requests of the property manager, as received, several to an
// input (each a u16 length and its body), against a package linked into the
// target that offers three components in two lists. What the requests
// defined is then numbered, handed to the package and written as code.
#include <cstring>
#include <memory>
#include <sstream>
#include <vector>

#include "control/properties/property_mgr.h"
#include "framework/connections/segment.h"
#include "framework/messaging/message.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/received_request.h"

namespace {

void Put(char* field, std::size_t length, const char* text) {
  const std::size_t n = std::strlen(text);
  for (std::size_t i = 0; i < length; ++i) field[i] = i < n ? text[i] : ' ';
}

void Ini(char*, char*, gppi::PackageInt* status, std::size_t, std::size_t) { *status = 1; }

const char* kComponents[3] = {"WATER", "ETHANOL", "METHANE"};
const char* kRows[3][3] = {
    {"Liquids", "Density", "WATER"}, {"Liquids", "Enthalpy", "ETHANOL"}, {"Gases", "Density", ""}};

void Query(gppi::PackageInt* request, gppi::PackageInt* index, char* a, char* b, char* c,
           gppi::PackageInt* status, std::size_t la, std::size_t lb, std::size_t lc) {
  *status = 0;
  if (*request == 1 || *request == 3) {
    *index = 3;
  } else if (*index >= 1 && *index <= 3) {
    const std::size_t i = static_cast<std::size_t>(*index - 1);
    Put(a, la, *request == 2 ? kComponents[i] : kRows[i][0]);
    Put(b, lb, *request == 2 ? "" : kRows[i][1]);
    Put(c, lc, *request == 2 ? "" : kRows[i][2]);
  }
}

void Load(gppi::PackageInt* objects, gppi::PackageInt* per_object, char* names,
          gppi::PackageInt* options_per, char* groups, char* options, gppi::PackageInt* most,
          gppi::PackageInt* most_options, gppi::PackageInt* flag, std::size_t, std::size_t,
          std::size_t) {
  // Reads every field it is handed, as a package would.
  std::size_t sum = 0;
  for (gppi::PackageInt i = 0; i < *objects; ++i) {
    sum += static_cast<std::size_t>(per_object[i] + options_per[i]);
  }
  const std::size_t fields = static_cast<std::size_t>(*objects);
  for (std::size_t k = 0; k < fields * static_cast<std::size_t>(*most) * 40; ++k) sum += names[k];
  for (std::size_t k = 0; k < fields * static_cast<std::size_t>(*most_options) * 40; ++k) {
    sum += static_cast<std::size_t>(groups[k] + options[k]);
  }
  *flag = sum != 0 ? 1 : 2;
}

void Unload(gppi::PackageInt*) {}
void End() {}
void Options(gppi::PackageInt*, gppi::PackageInt* second) { *second = 0; }

std::unique_ptr<DseMessage> Received(const std::uint8_t* body, std::size_t size) {
  return vantor_fuzz::ReceivedRequest(GppiPropertyMgr::kService, body, size);
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
  auto package = std::make_unique<GppiPackage>();
  package->name = "linked";
  package->ini = Ini;
  package->query = Query;
  package->load = Load;
  package->unload = Unload;
  package->end = End;
  package->options = Options;
  if (status::IsFailure(manager.AdoptPackage(std::move(package), "a", "b"))) return 0;
  std::size_t at = 0;
  for (int n = 0; n < kMostRequests && at + 2 <= size; ++n) {
    const std::size_t length = std::min<std::size_t>(data[at] | (data[at + 1] << 8), size - at - 2);
    std::unique_ptr<DseMessage> request = Received(data + at + 2, length);
    at += 2 + length;
    if (request == nullptr) continue;
    DseMessage* reply = nullptr;
    manager.HandleRequest(GppiPropertyMgr::kService, request.get(), &reply, nullptr);
    delete reply;
  }
  for (const auto& object : manager.Objects()) manager.GetPropertyId(object->name.c_str());
  manager.LoadProperties();
  const GppiPropertyObject* object = nullptr;
  manager.Forward(1, &object);
  std::ostringstream code;
  manager.WritePropertiesCode(code);
  return 0;
}
