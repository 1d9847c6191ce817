// Instance descriptions: an item list read into a fresh model tree, with a
// library of two condition expressions for IF and transition items and two
// procedure calls (one with array arguments and a definition); then a
// problem is built under an event schedule, its events evaluated, and
// everything deleted, as the instance and problem managers would. The
// expression of every equation read is sent on: what it sends reads back
// to a tree that sends the same bytes (see expr_message.cpp).
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "daes/equations/equation_node.h"
#include "daes/events/implicit_event.h"
#include "daes/instance/instance_node.h"
#include "daes/problem/problem.h"
#include "daes/procedures/proc_def.h"
#include "expr/tree/binary_expression.h"
#include "expr/tree/expression.h"
#include "expr/tree/list_expression.h"
#include "expr/tree/operator_table.h"
#include "expr/tree/proc_call_expression.h"
#include "expr/tree/var_ref_expression.h"
#include "foundation/interfaces/current_objects.h"
#include "fuzz/byte_stream.h"
#include "fuzz/fuzz_support.h"

namespace {

void Require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "instance_items: %s\n", what);
  std::abort();
}

// The bytes the tree sends; false when it sends nothing.
bool Sent(const Expression* tree, vantor_fuzz::Bytes* bytes) {
  vantor_fuzz::ByteStream out;
  if (tree->WriteCompactToMessage(out) != status::kOk) return false;
  *bytes = out.Bytes();
  return true;
}

Expression* ReadBack(const vantor_fuzz::Bytes& bytes) {
  vantor_fuzz::ByteStream message(bytes);
  return Expression::ReadFromMessage(message);
}

// As the compact-form target: what the expression (a tree read) sends
// reads back to a tree that sends the same bytes.
void RequireSettles(const Expression* residual) {
  vantor_fuzz::Bytes sent;
  if (!Sent(residual, &sent)) return;
  Expression* again = ReadBack(sent);
  Require(again != nullptr, "what an equation's expression sent did not read");
  vantor_fuzz::Bytes resent;
  const bool ok = Sent(again, &resent);
  again->Release();
  Require(ok, "an expression read from a sent one sent nothing");
  Require(resent == sent, "an expression read from a sent one sent other bytes");
}

}  // namespace

namespace {
struct LibraryExpression : BvuDirectoryNode {
  LibraryExpression(BvuDirectoryNode* parent, Expression* e)
      : BvuDirectoryNode(parent, ".e"), expression(e) {}
  ~LibraryExpression() override { Expression::Release(expression); }
  std::int32_t GetKind() override { return daes::kLibraryExpressionKind; }
  void* LinkedObject() override { return expression; }
  Expression* expression;
};

Expression* Condition(double crest) {
  Expression* x = new VarRefExpression(0);
  Expression* c = new TerminalExpression(crest);
  x->AddRef();
  c->AddRef();
  Expression* e = MakeBinaryExpression(kGt, x, c);
  x->Release();
  c->Release();
  return e;
}
// CALL (y(..)) = cproc(x(..)) over an array input and an array output,
// bound to a definition that is never loaded: collecting a model's calls
// lays out their derivative entries, and the model's total is bounded.
Expression* ArrayCall(DAESProcDef* definition) {
  Expression* refs[2] = {new VarRefExpression(0, SUValue::kOneDimension | SUValue::kReal),
                         new VarRefExpression(1, SUValue::kOneDimension | SUValue::kReal)};
  ProcIOListExpression* lists[2] = {};
  for (int k = 0; k < 2; ++k) {
    refs[k]->AddRef();
    auto* items = new ExpressionList;
    items->Append(refs[k]);
    lists[k] = new ProcIOListExpression(items, 0);
    lists[k]->AddRef();
  }
  auto* call = new ProcCallExpression(lists[0], lists[1]);
  call->Bind(definition);
  call->AddRef();  // the library's own reference
  for (int k = 0; k < 2; ++k) {
    lists[k]->Release();
    refs[k]->Release();
  }
  return call;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantor_fuzz::ByteStream body(std::vector<std::uint8_t>(data, data + size));
  BvuDirectoryProper library(nullptr, nullptr);
  library.InsertChildAt(1, new LibraryExpression(&library, Condition(1.2)));
  library.InsertChildAt(2, new LibraryExpression(&library, Condition(0.5)));
  // A procedure call without a definition: its items read, its collection fails.
  Expression* call = new ProcCallExpression();
  call->AddRef();  // the library's own reference
  library.InsertChildAt(3, new LibraryExpression(&library, call));
  static DAESProcDefWithExceptionHandler* const definition = [] {
    auto* made = new DAESProcDefWithExceptionHandler;
    made->SetLanguage(2);
    made->SetImplementationName("cproc");
    made->SetInterfaceVersion(2);
    return made;
  }();
  library.InsertChildAt(4, new LibraryExpression(&library, ArrayCall(definition)));
  DAESEventSchedule schedule;
  SetCurrentEventSchedule(&schedule);
  auto* root = new DAESInstanceNode(nullptr, nullptr);
  root->ReadFromMessage(body, root, &library, root);
  // Evaluate what was built: every element must lead somewhere valid.
  // Children are visited by held index: ids may lie far apart, and a walk
  // over every index between them would take seconds.
  for (std::int32_t i = NextChildIndex(root, root->LowIndex()); i <= root->HighIndex();
       i = NextChildIndex(root, i + 1)) {
    BvuDirectoryNode* instance = root->ChildAt(i);
    if (instance == nullptr) continue;
    int visited = 0;
    for (std::int32_t j = NextChildIndex(instance, instance->LowIndex());
         j <= instance->HighIndex() && visited < 64;
         j = NextChildIndex(instance, j + 1), ++visited) {
      if (auto* eq = dynamic_cast<DAESSimpleEquation*>(instance->ChildAt(j))) {
        double r = 0.0;
        eq->EvaluateResidual(&r);
        if (eq->ResidualExpression() != nullptr) RequireSettles(eq->ResidualExpression());
      }
    }
  }
  {
    std::unique_ptr<DAESProblem> problem(DAESCreateProblem(root, 0, nullptr));
    schedule.EvaluateAll();
    schedule.TakeNewStates();
  }
  BvuDirectoryProper::DeleteBelow(root);
  delete root;
  SetCurrentEventSchedule(nullptr);
  library.DeleteChildren();
  return 0;
}
