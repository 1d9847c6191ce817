// QLNOptionsClient: a solver object that follows option changes. The table
// calls it back on every write of a number (or named option) it registered
// for, on the writing thread. Destroying a client removes it from every list
// of the table, so a client need not unregister by hand.
#pragma once

#include <cstdint>

#include "platform/status.h"

class SUValue;

class QLNOptionsClient {
 public:
  virtual ~QLNOptionsClient();
  // `value` points at the new value in the option's own kind (double,
  // int32_t, one byte, or the characters of a text); null at registration
  // for a number whose value is not handed out.
  virtual Status OptionChanged(std::int32_t number, const void* value) = 0;
  // `id` is the one the client registered the name with.
  virtual Status NamedOptionChanged(std::uint32_t id, const SUValue& value) = 0;
};
