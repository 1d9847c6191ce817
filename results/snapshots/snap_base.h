// The snapshot participant base lives with the foundation interfaces.
#pragma once

#include "foundation/interfaces/snap_base.h"
