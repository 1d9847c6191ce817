// The answers shared by the group methods that keep no solver handle under
// themselves and have none of the open-solver operations. A method derives
// from it by choice and still supplies Solve and DropWorkspace; one with an
// optional operation overrides that one.
#pragma once

#include <cstdint>

#include "foundation/interfaces/group_method.h"

class QLNPlainGroupMethod : public QLNGroupMethod {
 public:
  Status ReleaseHandle(std::int32_t) override { return status::kOk; }
  Status Operation4() override { return status::kOk; }
  Status Operation6(void*) override { return kGroupMethodUnsupported; }
  Status Operation7(void*) override { return kGroupMethodUnsupported; }
  Status Operation8(void*) override { return kGroupMethodUnsupported; }
  void Notify() override {}
};
