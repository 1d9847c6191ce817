// DseServerCB: what a message server implements for the service types it
// registers with the server registry. Every operation answers a status; an
// operation a server does not support answers 0x80000028. The server owns
// itself; the registry only points at it.
#pragma once

#include <cstdint>

#include "platform/status.h"

class BvuIdPath;
class DseMessage;
class DseServerRegistry;
class DseTemplate;
class SUValue;

class DseServerCB {
 public:
  virtual ~DseServerCB();
  // A client command: its number and its lists of texts (a missing text is
  // null), integers and reals (sent as 4-byte floats, widened here).
  virtual Status HandleCommand(std::uint32_t type, std::uint32_t command,
                               std::uint32_t string_count, const char* const* strings,
                               std::uint32_t integer_count, const std::int32_t* integers,
                               std::uint32_t real_count, const double* reals);
  // Resolves one item of an id-path read to the address of its value and
  // its wire type code: 0 nothing, 1 one byte, 4 u32, 20 4-byte float, 24
  // double, 68 text (the address is the text itself).
  virtual Status GetItem(std::uint32_t type, const BvuIdPath& ids, std::uint32_t first,
                         std::uint32_t second, std::uint32_t* type_code, void** value_address);
  // Writes one item of an id-path write; note the order of the selectors.
  virtual Status SetItem(std::uint32_t type, const BvuIdPath& ids, std::uint32_t second,
                         std::uint32_t first, SUValue* value);
  // Requests of subtypes 7 and 12; may leave a reply or a template. By
  // default id-path reads are served through the registry's items and
  // anything else is not supported.
  virtual Status HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                               DseTemplate** kept);
  // A line for the I/O server (the server registered for type 4).
  virtual Status HandleIOServerCommand(std::uint32_t code, std::uint32_t value,
                                       std::uint32_t line_count, const char* const* lines);

  // Set by DseServerRegistry::Register.
  DseServerRegistry* registry = nullptr;
};
