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

Step RobertsonNode() { return {2, "Robertson"}; }

void Robertson(Writer& w) {
  w.List(6);
  const double start[] = {1.0, 0.0};
  for (std::uint32_t k = 1; k <= 2; ++k) {
    w.Item(kStateVariable);
    w.Placement({RobertsonNode(), {k, k == 1 ? ".y1" : ".y2"}});
    w.Value(start[k - 1]), w.Spec(32), w.Record(1), w.End();
  }
  w.Item(kRealVariable);
  w.Placement({RobertsonNode(), {3, ".y3"}});
  w.Value(0.0), w.Spec(1), w.Record(1), w.End();
  // Var(0) the derivative, then y1, y2, y3.
  const Expr exchange = Mul(Real(1e4), Mul(Var(2), Var(3)));
  const Expr slow = Mul(Real(0.04), Var(1));
  w.Item(kInlineEquation);
  w.U32(0);
  w.Expression(Sub(Add(Var(0), slow), exchange));
  w.Placement({RobertsonNode(), {10, ".r1"}});
  w.EquationHead(4);
  w.Reference({2, 1, 1});
  w.Reference({2, 1});
  w.Reference({2, 2});
  w.Reference({2, 3});
  w.Item(kInlineEquation);
  w.U32(0);
  w.Expression(Add(Add(Sub(Var(0), slow), exchange), Mul(Real(3e7), Mul(Var(2), Var(2)))));
  w.Placement({RobertsonNode(), {11, ".r2"}});
  w.EquationHead(4);
  w.Reference({2, 2, 1});
  w.Reference({2, 1});
  w.Reference({2, 2});
  w.Reference({2, 3});
  w.Item(kInlineEquation);
  w.U32(0);
  w.Expression(Sub(Add(Add(Var(0), Var(1)), Var(2)), Real(1.0)));
  w.Placement({RobertsonNode(), {12, ".balance"}});
  w.EquationHead(3);
  w.Reference({2, 1});
  w.Reference({2, 2});
  w.Reference({2, 3});
}

}  // namespace modelwriter
