// The property package "vtprops": its offer (components and the rows of its
// component lists), read from a definition file or built in, and the tables
// of property objects the engine hands it before a run. One package state
// per process, as the engine loads one package at a time.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "solve/ifaces/property_package.h"

namespace {

using gppi::PackageInt;

struct Component {
  std::string name, formula, cas;
};

struct Row {
  std::string list, property, component;
};

struct Offer {
  std::vector<Component> components;
  std::vector<Row> rows;
};

constexpr PackageInt kAccepted = 1;
constexpr PackageInt kRefused = 0;
constexpr PackageInt kQueryFailed = 3;

Offer BuiltIn() {
  Offer offer;
  offer.components = {{"WATER", "H2O", "7732-18-5"},
                      {"NITROGEN", "N2", "7727-37-9"},
                      {"OXYGEN", "O2", "7782-44-7"},
                      {"CARBONDIOXIDE", "CO2", "124-38-9"}};
  offer.rows = {{"Air", "Density", "NITROGEN"},  {"Air", "Density", "OXYGEN"},
                {"Air", "Enthalpy", "NITROGEN"}, {"Air", "Enthalpy", "OXYGEN"},
                {"Water", "Density", "WATER"},   {"Water", "Enthalpy", "WATER"}};
  return offer;
}

// False when the file cannot be read or holds a line of another form.
bool ReadDefinition(const std::string& path, Offer* offer) {
  std::ifstream in(path);
  if (!in) return false;
  Offer read;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string kind;
    if (!(words >> kind) || kind[0] == '#') continue;
    std::string a, b, c;
    if (!(words >> a >> b >> c)) return false;
    if (kind == "component") {
      read.components.push_back({a, b, c});
    } else if (kind == "row") {
      read.rows.push_back({a, b, c});
    } else {
      return false;
    }
  }
  *offer = std::move(read);
  return true;
}

Offer g_offer;
bool g_started = false;
// The components of each numbered property object, from GPP_LOAD.
std::vector<std::vector<std::string>> g_objects;

bool Offered(const std::string& name) {
  for (const Component& c : g_offer.components) {
    if (c.name == name) return true;
  }
  return false;
}

// Every answer text goes into its blank-padded field; a name longer than
// the field is cut to it.
void Put(const std::string& text, char* field) { gppi::ToField(text, field); }

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void GPP_INI(char* text1, char* text2, PackageInt* status,
                                                    std::size_t length1, std::size_t length2) {
  const std::string file = length1 >= gppi::kTextField ? gppi::FromField(text1) : "";
  const std::string method = length2 >= gppi::kTextField ? gppi::FromField(text2) : "";
  g_started = false;
  g_objects.clear();
  if (!method.empty() && method != "Ideal") {
    *status = kRefused;
    return;
  }
  Offer offer = BuiltIn();
  if (!file.empty() && !ReadDefinition(file, &offer)) {
    *status = kRefused;
    return;
  }
  g_offer = std::move(offer);
  g_started = true;
  *status = kAccepted;
}

__attribute__((visibility("default"))) void GPP_QUERY(PackageInt* request, PackageInt* index,
                                                      char* a, char* b, char* c,
                                                      PackageInt* status, std::size_t length_a,
                                                      std::size_t length_b,
                                                      std::size_t length_c) {
  *status = kQueryFailed;
  if (!g_started || length_a < gppi::kTextField || length_b < gppi::kTextField ||
      length_c < gppi::kTextField) {
    return;
  }
  const auto components = static_cast<PackageInt>(g_offer.components.size());
  const auto rows = static_cast<PackageInt>(g_offer.rows.size());
  switch (*request) {
    case 1:
      *index = components;
      break;
    case 2: {
      if (*index < 1 || *index > components) return;
      const Component& k = g_offer.components[static_cast<std::size_t>(*index - 1)];
      Put(k.name, a), Put(k.formula, b), Put(k.cas, c);
      break;
    }
    case 3:
      *index = rows;
      break;
    case 4: {
      if (*index < 1 || *index > rows) return;
      const Row& r = g_offer.rows[static_cast<std::size_t>(*index - 1)];
      Put(r.list, a), Put(r.property, b), Put(r.component, c);
      break;
    }
    default:
      return;
  }
  *status = 0;
}

__attribute__((visibility("default"))) void GPP_LOAD(
    PackageInt* objects, PackageInt* components_per_object, char* component_names,
    PackageInt* options_per_object, char* option_groups, char* option_names,
    PackageInt* most_components, PackageInt* most_options, PackageInt* load_flag,
    std::size_t component_length, std::size_t, std::size_t) {
  (void)options_per_object, (void)option_groups, (void)option_names, (void)most_options;
  *load_flag = kRefused;
  g_objects.clear();
  if (!g_started || *objects < 0 || *most_components < 0 ||
      component_length < gppi::kTextField) {
    return;
  }
  std::vector<std::vector<std::string>> tables;
  for (PackageInt i = 0; i < *objects; ++i) {
    if (components_per_object[i] < 0 || components_per_object[i] > *most_components) return;
    std::vector<std::string> names;
    for (PackageInt k = 0; k < components_per_object[i]; ++k) {
      const char* field = component_names + (i * *most_components + k) * component_length;
      names.push_back(gppi::FromField(field));
      if (!Offered(names.back())) return;
    }
    tables.push_back(std::move(names));
  }
  g_objects = std::move(tables);
  *load_flag = kAccepted;
}

__attribute__((visibility("default"))) void GPP_UNLOAD(PackageInt* flag) {
  (void)flag;
  g_objects.clear();
}

__attribute__((visibility("default"))) void GPP_END() {}

__attribute__((visibility("default"))) void GPP_OPTIONS(PackageInt* first, PackageInt* second) {
  (void)first;
  *second = 0;
}

}  // extern "C"
