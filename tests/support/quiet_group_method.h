// A group method's operations that a fake does not look at, answered as
// the explicit and torn methods answer them: no handle or work space kept,
// none of the open-solver operations. A fake supplies Solve and what else
// its test looks at.
#pragma once

#include <cstdint>

#include "foundation/interfaces/group_method.h"

class QuietGroupMethod : public QLNGroupMethod {
 public:
  Status ReleaseHandle(std::int32_t) override { return status::kOk; }
  Status Operation4() override { return status::kOk; }
  Status DropWorkspace(void**) override { return status::kOk; }
  Status Operation6(void*) override { return kGroupMethodUnsupported; }
  Status Operation7(void*) override { return kGroupMethodUnsupported; }
  Status Operation8(void*) override { return kGroupMethodUnsupported; }
  void Notify() override {}
};
