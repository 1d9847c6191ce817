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

// "FirstOrder" at root index 2.
Step FirstOrderNode();
// The first-order lag: fixed u (index 1, 2.0) and k (2, 1.0), the state x
// (3, initial 0.0) and the free y (4), with e1 (10) dx/dt - k*(u - x) and
// e2 (11) y - 2*x: a list of six items. u, x and y are recorded.
void FirstOrder(Writer& w);
// One of its items alone (no count): e2, or the variable y.
void FirstOrderOutput(Writer& w);
void FirstOrderY(Writer& w);

// "Robertson" at root index 2.
Step RobertsonNode();
// Robertson's stiff kinetics as an index-1 DAE: the states y1 (index 1,
// initial 1.0) and y2 (2, initial 0.0), the free y3 (3), the rate laws
// y1' + 0.04 y1 - 1e4 y2 y3 (10) and y2' - 0.04 y1 + 1e4 y2 y3 + 3e7 y2^2
// (11) and the balance y1 + y2 + y3 - 1 (12): a list of six items, the
// three variables recorded.
void Robertson(Writer& w);

}  // namespace modelwriter
