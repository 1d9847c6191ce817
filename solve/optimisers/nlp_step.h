// The answer a dense optimiser gives its caller for one step of an open NLP
// solver, shared by the NLP proxies.
#pragma once

#include <cstdint>

#include "platform/status.h"

// `step` is the solver's step result read as a signed code, `request` its
// request flags after the step (objective 2, constraints 4, derivatives 32
// and 64), `previous` the answer of the call before. A result the table
// does not know is a failure (2).
std::int32_t NlpStepAnswer(std::int32_t step, std::uint32_t request, std::int32_t previous);
