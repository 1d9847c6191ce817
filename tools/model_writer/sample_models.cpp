#include "tools/model_writer/sample_models.h"

namespace modelwriter {

Step T101() { return {2, "T101"}; }

void Outflow(Writer& w) {
  w.Item(kInlineEquation);
  w.U32(0);
  w.Expression(Sub(Var(0), Mul(Var(1), Sqrt(Var(2)))));
  w.Placement({T101(), {7, ".Outflow"}});
  w.EquationHead(3);
  w.Reference({2, 3});
  w.Reference({2, 4});
  w.Reference({2, 1});
}

// The tank: state h, fixed inflow, free outflow, parameters k and A, the
// mass balance and the outflow law.
void Tank(Writer& w) {
  w.List(7);
  w.Item(kStateVariable);
  w.Placement({T101(), {1, ".h"}});
  w.Value(1.0), w.Spec(32), w.Lower(0.0), w.End();
  w.Item(kRealVariable);
  w.Placement({T101(), {2, ".F_in"}});
  w.Value(0.5), w.Spec(4), w.End();
  w.Item(kRealVariable);
  w.Placement({T101(), {3, ".F_out"}});
  w.Value(0.0), w.End();
  w.Item(kRealParameter);
  w.Placement({T101(), {4, ".k"}});
  w.Value(0.5), w.End();
  w.Item(kRealParameter);
  w.Placement({T101(), {5, ".A"}});
  w.Value(2.0), w.End();
  w.Item(kInlineEquation);
  w.U32(0);
  w.Expression(Sub(Mul(Var(0), Var(1)), Sub(Var(2), Var(3))));
  w.Placement({T101(), {6, ".MassBalance"}});
  w.EquationHead(4);
  w.Reference({2, 5});
  w.Reference({2, 1, 1});
  w.Reference({2, 2});
  w.Reference({2, 3});
  Outflow(w);
}

Step FirstOrderNode() { return {2, "FirstOrder"}; }

void FirstOrderY(Writer& w) {
  w.Item(kRealVariable);
  w.Placement({FirstOrderNode(), {4, ".y"}});
  w.Spec(1), w.Record(1), w.End();
}

void FirstOrderOutput(Writer& w) {
  w.Item(kInlineEquation);
  w.U32(0);
  w.Expression(Sub(Var(0), Mul(Real(2.0), Var(1))));
  w.Placement({FirstOrderNode(), {11, ".e2"}});
  w.EquationHead(2);
  w.Reference({2, 4});
  w.Reference({2, 3});
}

void FirstOrder(Writer& w) {
  w.List(6);
  w.Item(kRealVariable);
  w.Placement({FirstOrderNode(), {1, ".u"}});
  w.Value(2.0), w.Spec(4), w.Record(1), w.End();
  w.Item(kRealVariable);
  w.Placement({FirstOrderNode(), {2, ".k"}});
  w.Value(1.0), w.Spec(4), w.End();
  // Initial, not fixed: a dynamic run from t = 0 warns of fixed states.
  w.Item(kStateVariable);
  w.Placement({FirstOrderNode(), {3, ".x"}});
  w.Value(0.0), w.Spec(32), w.Record(1), w.End();
  FirstOrderY(w);
  w.Item(kInlineEquation);
  w.U32(0);
  w.Expression(Sub(Var(0), Mul(Var(1), Sub(Var(2), Var(3)))));
  w.Placement({FirstOrderNode(), {10, ".e1"}});
  w.EquationHead(4);
  w.Reference({2, 3, 1});
  w.Reference({2, 2});
  w.Reference({2, 1});
  w.Reference({2, 3});
  FirstOrderOutput(w);
}

}  // namespace modelwriter
