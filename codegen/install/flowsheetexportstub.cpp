/* Included first by every generated flowsheet source: the linkage macros,
 * the engine functions a flowsheet library calls, and the small run-time
 * helpers the equation code uses but does not define. */
#ifndef VANTOR_FLOWSHEET_EXPORT_STUB
#define VANTOR_FLOWSHEET_EXPORT_STUB

#include <climits>
#include <cstdarg>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "bvdll.h"

/* The loader looks its life-cycle entries up under upper-case names; with
 * these the generated ones run at load, so residual is right at once. */
#define DLL_INITIALIZE DLLINITIALIZE
#define DLL_FINALIZE DLLFINALIZE

#define CALL_EXT_F(name) name
#define FINITE(v) std::isfinite(v)

/* The engine's library API (exported by the executable). */
struct XosDynamicFunction;
struct XosDynamicLibrary;
struct QLNInitializationBlock;
extern "C" {
XosDynamicFunction* FindQLNFunctionInNamedDLL(const char* symbol, const char* library_name,
                                              const QLNInitializationBlock* block,
                                              const char* signature);
QLNInitializationBlock* GetDLLInitializationData(void);
std::uint32_t GetLastDLLError(void);
void* GetQLNFunctionAddress(XosDynamicFunction* function);
void* GetQLN13FunctionAddress(XosDynamicFunction* function);
void ReleaseFunction(XosDynamicFunction* function);
int32_t RegisterDummyOptionsHandler(void* handler);
/* The property package's start and end, linked from gpp.a in an export. */
int PropertiesInitialize(void);
void PropertiesFinalize(void);
}

/* The printer and the request entry may be absent from a host: the library
 * still loads and stays quiet. */
extern "C" __attribute__((weak)) void QLN_Print(int status, char* _Zform, ...);
extern "C" __attribute__((weak)) int QLN_Rqst(int* option, int* iinfo, double* xinfo,
                                              char** sinfo);
static inline void vantor_print(int status, const char* format, ...) {
  void (*print)(int, char*, ...) = &QLN_Print;
  if (print == nullptr) return;
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  print(status, (char*)"%s", text);
}
#define QLN_Print(...) vantor_print(__VA_ARGS__)

/* Procedures of the old interface, called through their function objects. */
typedef void (*QLNProcedureEntry)(double*, int*, double*, int*, int*, int*, int*, int*, double*,
                                  int*, double*, int*, int*, int*);
#define GetQLNFunctionAddress(f) ((QLNProcedureEntry)GetQLNFunctionAddress(f))

/* Text helpers of the equation code; texts are kept in 40-character fields. */
static inline const char* bv_concat(const char* a, const char* b) {
  static char buffer[4][256];
  static int next = 0;
  char* out = buffer[next++ & 3];
  std::snprintf(out, sizeof buffer[0], "%s%s", a != nullptr ? a : "", b != nullptr ? b : "");
  return out;
}
static inline int bv_mod(int a, int b) { return b != 0 ? a % b : 0; }
static inline double bv_mod(double a, double b) { return b != 0.0 ? std::fmod(a, b) : 0.0; }
static inline int bv_strcmp(const char* a, const char* b) {
  return strcasecmp(a != nullptr ? a : "", b != nullptr ? b : "");
}
static inline int bv_strcmpEQ(const char* a, const char* b) { return bv_strcmp(a, b) == 0; }
static inline int bv_strcmpNE(const char* a, const char* b) { return bv_strcmp(a, b) != 0; }
static inline int bv_strcmpLT(const char* a, const char* b) { return bv_strcmp(a, b) < 0; }
static inline int bv_strcmpGT(const char* a, const char* b) { return bv_strcmp(a, b) > 0; }
static inline int bv_strcmpLE(const char* a, const char* b) { return bv_strcmp(a, b) <= 0; }
static inline int bv_strcmpGE(const char* a, const char* b) { return bv_strcmp(a, b) >= 0; }
/* Whether the 40-character field changed. */
static inline int bv_packstr(char* field, const char* text) {
  char f[40] = {0};
  std::strncpy(f, text != nullptr ? text : "", 39);
  if (std::memcmp(field, f, 40) == 0) return 0;
  std::memcpy(field, f, 40);
  return 1;
}
static inline int bv_packFTNstr(char* field, const char* text) {
  char f[40];
  const std::size_t n = text != nullptr ? std::strlen(text) : 0;
  std::memset(f, ' ', 40);
  if (n > 0) std::memcpy(f, text, n > 40 ? 40 : n);
  if (std::memcmp(field, f, 40) == 0) return 0;
  std::memcpy(field, f, 40);
  return 1;
}
/* CONVERTTO to a text: at most 40 characters, as the interpreter writes
 * them; the buffers take turns, as bv_concat's do. */
static inline char* bv_text_buffer(void) {
  static char buffer[4][41];
  static int next = 0;
  return buffer[next++ & 3];
}
static inline const char* bv_text40(const char* a) {
  char* out = bv_text_buffer();
  std::snprintf(out, 41, "%s", a != nullptr ? a : "");
  return out;
}
static inline const char* bv_int40(int a) {
  char* out = bv_text_buffer();
  std::snprintf(out, 41, "%d", a);
  return out;
}
static inline const char* bv_real40(double a) {
  char* out = bv_text_buffer();
  std::snprintf(out, 41, "%g", a);
  return out;
}
/* CONVERTTO from a real to an integer, held to the integer range. */
static inline int bv_saturate(double x) {
  if (!(x == x)) return 0;
  if (x >= 2147483647.0) return INT_MAX;
  if (x <= -2147483648.0) return INT_MIN;
  return (int)x;
}
/* URND and NRND draw from the process's generator, as the interpreter does. */
static inline double bv_urnd(double a, double b) {
  return a + 2.0 * (std::rand() / (double)RAND_MAX - 0.5) * b;
}
static inline double bv_nrnd(double a, double b) {
  double u, v, q;
  do {
    u = 2.0 * std::rand() / (double)RAND_MAX - 1.0;
    v = 2.0 * std::rand() / (double)RAND_MAX - 1.0;
    q = u * u + v * v;
  } while (!(q > 0.0 && q < 1.0));
  return a + b * u * std::sqrt(-2.0 * std::log(q) / q);
}
/* System values other than the time are not served to compiled code. */
static inline double bv_sysfun(const char* name) {
  (void)name;
  return 0.0;
}

#ifdef TANQ_EXPORT
/* An exported flowsheet is a block type of the host's block framework;
 * its headers declare the block, port and factory types. */
#include "qvfblock.h"

/* The engine's options handler, as the engine declares it: the export's
 * handler answers the numbered option requests with the options that were
 * in force when it was exported. */
class QLNOptionsHandler {
 public:
  virtual int32_t OptionRequest(int32_t option, int32_t* iinfo, double* xinfo,
                                const char** sinfo) = 0;

 protected:
  ~QLNOptionsHandler() = default;
};

/* Equations as DefineEqns registers them: function, flags, and the names
 * of each batch as one run of texts ended by "\0". */
static int g_i;
static inline void bv_SetEqn(void (**pFuncs)(int), unsigned char *pFlags, void (*pFn)(int),
                             int iFlags = 0, int iProc = 0, int iOutput = 0) {
  (void)iProc;
  (void)iOutput;
  pFuncs[g_i] = pFn;
  pFlags[g_i] = (unsigned char)iFlags;
  g_i++;
}
#define SetEqn(...) bv_SetEqn(p_func, g_cEqnFlags, __VA_ARGS__)
struct bv_NameBatch {
  int iFirst;
  const char *pNames;
};
static bv_NameBatch g_NameBatches[4096];
static int g_nNameBatches;
static inline void SetEqnNames(const char *pNames) {
  if (g_i == 0) g_nNameBatches = 0;
  if (g_nNameBatches < (int)(sizeof g_NameBatches / sizeof g_NameBatches[0]))
    g_NameBatches[g_nNameBatches++] = bv_NameBatch{g_i, pNames};
}
/* The name of equation i (from 0); "" when none was registered. */
static inline const char *bv_EqnName(int i) {
  for (int b = g_nNameBatches - 1; b >= 0; b--) {
    if (g_NameBatches[b].iFirst > i) continue;
    const char *p = g_NameBatches[b].pNames;
    for (int k = g_NameBatches[b].iFirst; k < i; k++) p += strlen(p) + 1;
    return p;
  }
  return "";
}

/* Variables as AddVars creates them: value and bounds into the block's
 * arrays, the rest to the host. */
static int g_iVar;
static inline void bv_AddVar(void *pBlk, int iFirst, double *pX, double *pBounds, double dValue,
                             double dLower, double dUpper, double dScale, int iFixed, int iType,
                             int iRelation) {
  pX[g_iVar] = dValue;
  pBounds[2 * g_iVar] = dLower;
  pBounds[2 * g_iVar + 1] = dUpper;
  if (pBlk)
    blk_var_define((VRKBLK_P)pBlk, iFirst + g_iVar, dLower, dUpper, dScale, iFixed, iType,
                   iRelation);
  g_iVar++;
}
#define AddVar(...)                                                                    \
  bv_AddVar(g_pCurrentInstance ? g_pCurrentInstance->pBlk : 0,                         \
            g_pCurrentInstance ? g_pCurrentInstance->iFirstVar : 0, g_pX, bounds, __VA_ARGS__)

/* Ports: the variables they carry, then the component fields (8
 * characters each) after the plain variables. */
static inline void qln_set_port_num_vars(rt_port_tag *pPort, int nVars) {
  vrkport_set_num_vars(pPort, nVars);
}
static inline void qln_add_port_var(rt_port_tag *pPort, int iPortVar, int iBlockVar) {
  vrkport_add_var(pPort, iPortVar, iBlockVar);
}
static inline void qln_define_port_components(rt_port_tag *pPort, int iFirst,
                                              const char *pFields) {
  vrkport_define_components(pPort, iFirst, (int)(strlen(pFields) / 8), pFields);
}

/* The host keeps no registry on Linux: nothing is added to PATH. */
static inline int QLNReadRegistryText(const char *pKey, const char *pValue, char *pOut,
                                      size_t n) {
  (void)pKey;
  (void)pValue;
  if (n > 0) pOut[0] = '\0';
  return 0;
}
#endif

#endif
