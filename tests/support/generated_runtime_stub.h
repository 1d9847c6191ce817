// The run time that equation functions written by the solver equations
// rely on but do not define, as C text to put before them: storage, the
// inline helpers, the procedure table, the packing macros and numeric
// derivatives. Tests and benchmarks compile generated equations against it
// without the installation's flowsheet stub.
#pragma once

#include <cstddef>
#include <sstream>
#include <string>

namespace testsupport {

// `capacity`: the intermediate arrays' size.
inline std::string GeneratedRuntimeStub(std::size_t capacity) {
  std::ostringstream out;
  out << "#include <math.h>\n#include <stdlib.h>\n#include <string.h>\n"
      << "static double *g_pX, *g_pJ; static int *g_piCol;\n"
      << "static double s[" << capacity << "]; static int is[" << capacity << "];\n"
      << "static double res, temp; static int ires;\n"
      << "static inline double bv_sqr(double x) { return x * x; }\n"
      << "static inline double bv_fabs(double x) { return fabs(x); }\n"
      << "static inline int bv_isqr(int x) { return x * x; }\n"
      << "static inline int bv_round(double x) "
         "{ return (int)(x >= 0 ? trunc(x + 0.5) : trunc(x - 0.5)); }\n"
      << "static inline double bv_time(void) { return 0.0; }\n"
      << "static double bv_pd(int c, double old, void (*f)(int)) {\n"
      << "  double keep = g_pX[c], h = 1e-7 * (fabs(keep) + 1e-7);\n"
      << "  g_pX[c] = keep + h; f(0); g_pX[c] = keep; return (res - old) / h;\n}\n"
      // A procedure output's difference quotient, negated for the residual.
      << "static double bv_pdproc(int c, int k, int (*f)(int, int), double old) {\n"
      << "  double keep = g_pX[c], h = 1e-7 * (fabs(keep) + 1e-7), d;\n"
      << "  g_pX[c] = keep + h; f(k, 0); d = (res - old) / h; g_pX[c] = keep; f(k, 0);\n"
      << "  return -d;\n}\n"
      << "#define PD_PICK(a, b, c, d, name, ...) name\n"
      << "#define PD(...) PD_PICK(__VA_ARGS__, bv_pdproc, bv_pd)(__VA_ARGS__)\n"
      << "struct QVInstance { int pStateData[64]; int pSwitchData[64]; double pProcData[4096]; "
         "};\n"
      << "static struct QVInstance g_instance, *g_pInstance = &g_instance;\n"
      << "static int g_iLevel;\n"
      // Procedure calls: the old interface through the procedure table.
      << "typedef void (*QLNProc)(double*, int*, double*, int*, int*, int*, int*, int*, "
         "double*, int*, double*, int*, int*, int*);\n"
      << "static QLNProc g_Functions[8];\n"
      << "void set_function(int i, void* f) { g_Functions[i] = (QLNProc)f; }\n"
      << "#define GetQLNFunctionAddress(f) (f)\n"
      << "static double *g_pDerivs;\n"
      << "int g_last_print;\n"
      << "static void QLN_Print(int status, const char* text) { (void)text; g_last_print = status; "
         "}\n"
      << "int g_last_fail;\n"
      << "static int CheckIFail(int flag, int call, const char* name) {\n"
      << "  (void)call, (void)name; g_last_fail = flag; return flag == 1 ? 0 : flag == 2 ? 1 : "
         "-1;\n}\n"
      << "#define FINITE(v) isfinite(v)\n"
      << "#define PACKREALINPUT(p, v) { double v_ = (v); "
         "if (pdInputs[p] != v_) { pdInputs[p] = v_; bInputsChanged = 1; } }\n"
      << "#define PACKINTINPUT(p, v) { long long i_ = (v); "
         "if (memcmp(&pdInputs[p], &i_, 8)) { memcpy(&pdInputs[p], &i_, 8); bInputsChanged = 1; } "
         "}\n"
      << "#define PACKSTRINPUT(p, t) { char f_[40] = {0}; strncpy(f_, t, 39); "
         "if (memcmp(&pdInputs[p], f_, 40)) { memcpy(&pdInputs[p], f_, 40); bInputsChanged = 1; } "
         "}\n"
      << "#define PACKFTNSTRINPUT(p, t) { char f_[40]; size_t n_ = strlen(t); memset(f_, ' ', 40); "
         "memcpy(f_, t, n_ > 40 ? 40 : n_); "
         "if (memcmp(&pdInputs[p], f_, 40)) { memcpy(&pdInputs[p], f_, 40); bInputsChanged = 1; } "
         "}\n"
      // Array elements: integers through piArgs (8-byte slots), C texts
      // through their address-table entry at psArgs, FORTRAN texts at a
      // byte offset from psArgs.
      << "#define PACKINTVECINPUT(k, v) { long long i_ = (v); char *a_ = (char *)piArgs + 8 * (k); "
         "if (memcmp(a_, &i_, 8)) { memcpy(a_, &i_, 8); bInputsChanged = 1; } }\n"
      << "#define PACKSTRVECINPUT(t) { char f_[40] = {0}, *a_ = *(char **)psArgs; "
         "strncpy(f_, t, 39); "
         "if (memcmp(a_, f_, 40)) { memcpy(a_, f_, 40); bInputsChanged = 1; } }\n"
      << "#define PACKFTNSTRVECINPUT(o, t) { char f_[40]; size_t n_ = strlen(t); "
         "memset(f_, ' ', 40); memcpy(f_, t, n_ > 40 ? 40 : n_); "
         "if (memcmp(psArgs + (o), f_, 40)) { memcpy(psArgs + (o), f_, 40); bInputsChanged = 1; } "
         "}\n"
      << "#define PACKREALOUTPUT(p, v) pdOutputs[p] = (v)\n"
      << "#define UNPACKREALINPUT(p, i) x[i] = pdInputs[p]\n";
  return out.str();
}

}  // namespace testsupport
