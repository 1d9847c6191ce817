// A group method's operations that a fake does not look at, answered as
// the explicit and torn methods answer them: no handle or work space kept,
// none of the open-solver operations. A fake supplies Solve and what else
// its test looks at.
#pragma once

#include <cstdint>

#include "solve/methods/plain_group_method.h"

class QuietGroupMethod : public QLNPlainGroupMethod {
 public:
  Status DropWorkspace(void**) override { return status::kOk; }
};
