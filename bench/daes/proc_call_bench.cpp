// One evaluation of a procedure call through the engine (pack the
// arguments through the tape, guarded call, read the output back) beside a
// direct call of the same C function through a pointer, per call.
#include <benchmark/benchmark.h>

#include <dlfcn.h>

#include <cstring>
#include <string>

#include "daes/procedures/proc_call.h"
#include "expr/tree/list_expression.h"
#include "expr/tree/proc_call_expression.h"
#include "expr/tree/var_ref_expression.h"

namespace {

const std::string kLibrary = std::string(VANTOR_BENCH_PROCS) + "/bench_procs.so";

class Held : public ExpressionADVariable {
 public:
  Held(double v, std::uint16_t type) : ExpressionADVariable(1) {
    if (type == SUValue::kReal) {
      value_.SetType(SUValue::kReal);
      value_.SetReal(v);
    } else {
      value_.Assign(SUValue::ConstructInt(static_cast<std::int32_t>(v), type));
    }
  }
  SUValue* ValuePointer() override { return &value_; }
  std::uint16_t ValueType() const override { return value_.type; }

 private:
  SUValue value_;
};

Expression* Ref(std::uint32_t offset, std::uint16_t type) {
  Expression* e = new VarRefExpression(offset, type);
  e->AddRef();
  return e;
}

void BM_ProcedureEquationCall(benchmark::State& state) {
  DAESProcDefWithExceptionHandler d;
  d.SetLanguage(procdef::kLanguageC);
  d.SetImplementationName("bproc");
  d.SetLibrary(kLibrary.c_str());
  d.SetOptions(procflag::kEveryEvaluation);
  Held x(1.5, SUValue::kReal), n(3, SUValue::kInteger), y(0.0, SUValue::kReal);
  Expression* vx = Ref(0, SUValue::kReal);
  Expression* vn = Ref(1, SUValue::kInteger);
  Expression* vy = Ref(2, SUValue::kReal);
  ExpressionList* ins = new ExpressionList;
  ins->Append(vx);
  ins->Append(vn);
  ExpressionList* outs = new ExpressionList;
  outs->Append(vy);
  auto* in = new ProcIOListExpression(ins, 0);
  auto* out = new ProcIOListExpression(outs, 0);
  auto* call = new ProcCallExpression(in, out);
  call->AddRef();
  ExpressionVariable* vars[3] = {&x, &n, &y};
  ExprADContext context(call, vars, 3);
  ProcCallData data(call, &context, &d, nullptr);
  if (data.BuildCallLayouts(false) != 0) {
    state.SkipWithError("layout failed");
    return;
  }
  std::int32_t need = 0;
  double sum = 0;
  for (auto _ : state) {
    if (data.CallProcedure(0, &need) != 0) {
      state.SkipWithError("call failed");
      break;
    }
    sum += data.Output(0);
  }
  benchmark::DoNotOptimize(sum);
  call->Release();
  vx->Release();
  vn->Release();
  vy->Release();
}
BENCHMARK(BM_ProcedureEquationCall);

void BM_DirectCall(benchmark::State& state) {
  void* library = dlopen(kLibrary.c_str(), RTLD_NOW | RTLD_LOCAL);
  auto entry =
      library != nullptr ? reinterpret_cast<ProcOldEntry>(dlsym(library, "bproc")) : nullptr;
  if (entry == nullptr) {
    state.SkipWithError("no library");
    return;
  }
  double in[2] = {1.5, 0.0};
  const std::int64_t n = 3;
  std::memcpy(&in[1], &n, 8);
  double out[1] = {0.0};
  ProcInt sizes[1] = {0}, in_offs[2] = {0, 1}, out_offs[1] = {0};
  ProcInt fail = 1, props = 0, wlen = 0, nout = 1, nin = 2, task = 0;
  double sum = 0;
  for (auto _ : state) {
    entry(in, sizes, out, sizes, in_offs, out_offs, &fail, &props, nullptr, &wlen, nullptr, &nout,
          &nin, &task);
    sum += out[0];
    benchmark::ClobberMemory();
  }
  benchmark::DoNotOptimize(sum);
  dlclose(library);
}
BENCHMARK(BM_DirectCall);

}  // namespace

BENCHMARK_MAIN();
