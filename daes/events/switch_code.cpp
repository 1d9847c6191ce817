#include <ostream>

#include "daes/events/switch_equation.h"
#include "daes/problem/equation_code.h"
#include "expr/tape/tape.h"

Status DAESSwitchEquation::WriteSwitchCode(daes::EquationCState& w) {
  Status status = 0;
  for (std::int32_t s = 0; s < StateCount(); ++s) {
    *w.out << "case " << s << ":";
    for (std::int32_t t = 0; t < TransitionCount(s); ++t) {
      DAESFiniteStateTransition* transition = GetTransition(s, t);
      auto* tape =
          transition != nullptr ? dynamic_cast<ExprPCContext*>(transition->Condition()) : nullptr;
      if (tape == nullptr || !tape->HasTape()) {
        *w.out << "/*Expression not yet implemented*/";
        w.success = false;
      } else {
        const Status written = tape->WriteValueCode(w.expr, *w.out);
        if (status::IsFailure(written)) status = written;
        if (w.expr.tape.failed) w.success = false;
      }
      auto& flags = w.expr.tape.nonlinear;
      const auto at = static_cast<std::size_t>(w.expr.tape.current_equation);
      if (at < flags.size()) flags[at] = false;
      *w.out << "if (ires) {e_switch=" << (transition != nullptr ? transition->Target() : s)
             << ";break;}\n";
    }
    *w.out << "break;\n";
  }
  return status;
}
