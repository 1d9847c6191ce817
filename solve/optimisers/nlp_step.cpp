#include "solve/optimisers/nlp_step.h"

#include "solve/ifaces/kvs_nlp.h"

std::int32_t NlpStepAnswer(std::int32_t step, std::uint32_t request, std::int32_t previous) {
  switch (step) {
    case -8:
      return 6;
    case 0:
      return 1;
    case 1: {
      const bool functions = (request & (kNlpWantsObjective | kNlpWantsConstraints)) != 0;
      const bool derivatives = (request & (kNlpWantsGradient | kNlpWantsJacobian)) != 0;
      if (!functions) return -2;
      return derivatives ? 0 : -1;
    }
    case 2:
      return 3;
    case 3:
      return 4;
    case 4:
      return 5;
    case 5:
      return 7;
    case 6:
      // Answered as the call prepared it before the step.
      return previous;
    default:
      return 2;
  }
}
