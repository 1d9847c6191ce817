/* The engine's interface to the libraries it loads at run time (user
 * procedure libraries, exported flowsheet libraries, the engine's own
 * outside components): the initialisation block, the options handler, and
 * the functions the engine exports to them. Plain C with fixed widths so
 * that C, C++ and FORTRAN wrappers can be built against it. */
#ifndef VANTOR_FRAMEWORK_LIBRARY_API_H
#define VANTOR_FRAMEWORK_LIBRARY_API_H

#include <stdint.h>

#ifdef __cplusplus
#include "foundation/interfaces/options_handler.h"

class XosDynamicLibrary;
class XosDynamicFunction;
#else
typedef struct XosDynamicLibrary XosDynamicLibrary;
typedef struct XosDynamicFunction XosDynamicFunction;
typedef struct QLNOptionsHandler QLNOptionsHandler;
#endif

/* Handed to a library's "BVInitialize"; the process keeps a copy. The words
 * beside the kind and the handler are passed through unchanged. The engine's
 * procedure-call context is such a block of kind 3: its word is the message
 * collector, its options handler the solver option table and its further
 * word the problem manager. */
typedef struct QLNInitializationBlock {
  uint32_t kind; /* 1, 2 or 3 */
  uintptr_t word;
  QLNOptionsHandler* options_handler;
  uintptr_t further_word; /* kinds 2 and 3 only */
} QLNInitializationBlock;

#ifdef __cplusplus
extern "C" {
#endif

/* Placeholders for procedures that could not be found: they store the error
 * answer 4 through their last argument and return that pointer. */
int32_t* QLN13DUMMY(void* a1, void* a2, void* a3, void* a4, void* a5, void* a6, void* a7, void* a8,
                    void* a9, void* a10, void* a11, void* a12, void* a13, void* a14, void* a15,
                    int32_t* result);
int32_t* QLNDUMMY(void* a1, void* a2, void* a3, void* a4, void* a5, void* a6, int32_t* result);

int32_t BVInitialize(const QLNInitializationBlock* block);
int32_t AddDLLSearchPath(const char* folder);
int32_t DLLsLoaded(char*** libraries, int32_t** unload_disallowed);
void DisallowForcibleDLLUnloads(XosDynamicLibrary* library);
void DisallowForcibleDLLUnloadsViaFunctionObject(XosDynamicFunction* function);
XosDynamicFunction* FindQLNFunctionInDLL(const char* symbol, XosDynamicLibrary* library);
XosDynamicFunction* FindQLNFunctionInNamedDLL(const char* symbol, const char* library_name,
                                              const QLNInitializationBlock* block,
                                              const char* signature);
XosDynamicFunction* FindFunctionInDLL(const char* symbol, XosDynamicLibrary* library,
                                      const char* signature);
XosDynamicFunction* FindFunctionInNamedDLL(const char* symbol, const char* library_name,
                                           const QLNInitializationBlock* block,
                                           const char* signature);
XosDynamicFunction* FindFunctionInNamedDLLEx(const char* symbol, const char* library_name,
                                             const QLNInitializationBlock* block,
                                             const char* signature, uint32_t* status);
int32_t ForceUnload(const char* const* names, int32_t count);
void* GetQLN13FunctionAddress(XosDynamicFunction* function);
void* GetQLNFunctionAddress(XosDynamicFunction* function);
int32_t GetDLLFileName(XosDynamicLibrary* library, char* buffer, int32_t size);
QLNInitializationBlock* GetDLLInitializationData(void);
void* GetFunctionAddress(XosDynamicFunction* function);
int32_t GetFunctionsDLLFileName(XosDynamicFunction* function, char* buffer, int32_t size);
uint32_t GetLastDLLError(void);
XosDynamicLibrary* LoadQLNUserDLL(const char* name, const QLNInitializationBlock* block);
XosDynamicLibrary* LoadDynamicLibrary(const char* name, const QLNInitializationBlock* block);
int32_t RegisterDummyOptionsHandler(void* handler);
void ReleaseFunction(XosDynamicFunction* function);
int32_t RemoveDLLSearchPath(const char* folder);
void UnloadDynamicLibrary(XosDynamicLibrary* library);
// The engine's printer for generated procedures: a status, then a format
// whose numeric arguments are passed by address.
void QLN_Print(int status, char* _Zform, ...);
// Asks the process's options handler for a numbered option (1..44; 31 is
// the simulation time): the handler's kind of answer, -1 when nobody
// answers. Every out is cleared first; the text stays the handler's.
int QLN_Rqst(int* option, int* iinfo, double* xinfo, char** sinfo);
// The same for FORTRAN as gfortran calls QLN_PRINT: five places after the
// format, a text taking two, its lengths after the format's.
void qln_print_(const int* status, const char* format, uintptr_t s1, uintptr_t s2, uintptr_t s3,
                uintptr_t s4, uintptr_t s5, uintptr_t s6);

#ifdef __cplusplus
}
#endif

#endif
