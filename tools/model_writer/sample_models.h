// Sample models written as instance descriptions, for the client's
// examples, the end-to-end tests and the fuzz seeds.
#pragma once

#include "tools/model_writer/model_writer.h"

namespace modelwriter {

// "T101" at root index 2.
Step T101();
// The tank: state h (index 1, initial, lower bound 0), fixed inflow F_in
// (2), free outflow F_out (3), real parameters k (4) and A (5), the mass
// balance A*h' - (F_in - F_out) (6) and the outflow law
// F_out - k*SQRT(h) (7): a list of seven items.
void Tank(Writer& w);
// The outflow item alone (no count).
void Outflow(Writer& w);

}  // namespace modelwriter
