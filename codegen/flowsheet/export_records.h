// The records an export request carries into the flowsheet generator: the
// exportable ports and how each problem variable is handed to the host.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class QLNVariable;

namespace codegen {

// One exportable port of an exported flowsheet.
struct ExportPort {
  std::string name;
  std::uint32_t direction = 0;   // 1 input, any other output
  std::uint32_t type = 0;        // 1 or 2 a material stream
  std::uint32_t attributes = 0;  // extended attributes, type 2 only
  std::vector<QLNVariable*> variables;
  // One per variable, -1 until the source is generated.
  std::vector<std::int32_t> block_indexes;
  std::vector<std::string> components;
};

// How the export hands one problem variable to the host: `first` is the
// host's physical type of the variable; with a mode other than 1 the
// value and bounds go over as value * scale + offset and the host scales
// by `scale`.
struct ExportVariableSetting {
  std::uint32_t first = 0;
  std::uint32_t mode = 0;
  double scale = 1.0;
  double offset = 0.0;
};

}  // namespace codegen
