// The layer of an exported flowsheet that makes it a block type of a host
// block framework: the block callbacks, block creation with its ports, the
// block factory with its model library, and the library entry points.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "codegen/flowsheet/export_records.h"

namespace codegen {

// The export name as the host knows the factory: letters upper case,
// digits kept, anything else "_".
std::string ExportIdentityName(const std::string& name);
// A port name as the host knows it: segments split at ".", a segment
// blocks("X") becomes X, upper case, the separators kept.
std::string PortHostName(const std::string& name);
// A component name cut or blank-filled to 8 characters.
std::string ComponentField(const std::string& name);

// The port lines of the initialisation callback for port k.
void WritePortDefinition(std::ostream& out, std::size_t k, const ExportPort& port);

// The whole layer; `script` writes the solver options' script support
// (may be empty).
void WriteBlockFactoryLayer(std::ostream& out, const std::string& name,
                            const std::vector<ExportPort>& ports, const std::string& script);

}  // namespace codegen
