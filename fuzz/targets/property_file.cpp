// The property package's definition file: the input written to a file that
// GPP_INI is handed (as a client names it), then every component and row
// of the offer asked for, a table of the offered components loaded and
// unloaded, as the engine does before a run.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "solve/ifaces/property_package.h"

extern "C" {
void GPP_INI(char* text1, char* text2, gppi::PackageInt* status, std::size_t length1,
             std::size_t length2);
void GPP_QUERY(gppi::PackageInt* request, gppi::PackageInt* index, char* a, char* b, char* c,
               gppi::PackageInt* status, std::size_t length_a, std::size_t length_b,
               std::size_t length_c);
void GPP_LOAD(gppi::PackageInt* objects, gppi::PackageInt* components_per_object,
              char* component_names, gppi::PackageInt* options_per_object, char* option_groups,
              char* option_names, gppi::PackageInt* most_components, gppi::PackageInt* most_options,
              gppi::PackageInt* load_flag, std::size_t component_length, std::size_t group_length,
              std::size_t option_length);
void GPP_UNLOAD(gppi::PackageInt* flag);
}

namespace {

namespace fs = std::filesystem;
constexpr std::size_t kField = gppi::kTextField;
// Queries asked at most: a long offer is read in part.
constexpr gppi::PackageInt kMostQueries = 4096;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const fs::path folder = fs::path(vantor_fuzz::ScratchFolder()) / "props";
  std::error_code ignored;
  fs::create_directories(folder, ignored);
  // The field holds 40 characters: the file is named from its folder.
  const fs::path before = fs::current_path(ignored);
  if (::chdir(folder.c_str()) != 0) return 0;
  {
    std::ofstream out("def.txt", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  char file[kField], method[kField];
  gppi::ToField("def.txt", file);
  gppi::ToField(size % 2 == 0 ? "Ideal" : "", method);
  gppi::PackageInt status = 0;
  GPP_INI(file, method, &status, kField, kField);
  fs::current_path(before, ignored);
  if (status != 1) return 0;
  char a[kField], b[kField], c[kField];
  std::vector<std::string> offered;
  for (gppi::PackageInt request : {1, 3}) {
    gppi::PackageInt count = 0;
    GPP_QUERY(&request, &count, a, b, c, &status, kField, kField, kField);
    if (status != 0) continue;
    gppi::PackageInt item = request + 1;
    for (gppi::PackageInt i = 1; i <= count && i <= kMostQueries; ++i) {
      gppi::PackageInt index = i;
      GPP_QUERY(&item, &index, a, b, c, &status, kField, kField, kField);
      if (status == 0 && item == 2) offered.push_back(gppi::FromField(a));
    }
  }
  // One object of every offered component (at most eight).
  if (offered.size() > 8) offered.resize(8);
  gppi::PackageInt objects = 1;
  gppi::PackageInt per_object = static_cast<gppi::PackageInt>(offered.size());
  gppi::PackageInt most = per_object, no_options = 0, most_options = 0, flag = 0;
  std::vector<char> names(offered.size() * kField + 1, ' ');
  for (std::size_t k = 0; k < offered.size(); ++k) gppi::ToField(offered[k], &names[k * kField]);
  char group[kField], option[kField];
  GPP_LOAD(&objects, &per_object, names.data(), &no_options, group, option, &most, &most_options,
           &flag, kField, kField, kField);
  GPP_UNLOAD(&flag);
  return 0;
}
