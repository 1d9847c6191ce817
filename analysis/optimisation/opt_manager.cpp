#include "analysis/optimisation/opt_manager.h"
