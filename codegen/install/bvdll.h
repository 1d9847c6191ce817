/* Linkage macros and the engine functions that user procedures call. */
#ifndef VANTOR_BVDLL_H
#define VANTOR_BVDLL_H

/* Generated templates use NULL. */
#include <stddef.h>

#ifdef __cplusplus
#define VANTOR_C_LINKAGE extern "C"
#else
#define VANTOR_C_LINKAGE
#endif

/* Entry points a procedure library exports. */
#define DLL_C_AS_F(t) VANTOR_C_LINKAGE __attribute__((visibility("default"))) t
#define DLL_C_AS_C(t) VANTOR_C_LINKAGE __attribute__((visibility("default"))) t
#define DLL_PTR_C_AS_C(t) VANTOR_C_LINKAGE __attribute__((visibility("default"))) t*

/* Routines defined elsewhere (the user's own, or the engine's). */
#ifdef __cplusplus
#define EXT_C_AS_F(t) extern "C" t
#define EXT_PTR_C_AS_F(t) extern "C" t*
#define EXT_C_AS_C(t) extern "C" t
#else
#define EXT_C_AS_F(t) extern t
#define EXT_PTR_C_AS_F(t) extern t*
#define EXT_C_AS_C(t) extern t
#endif

/* Exactly as the generated sources re-declare them. */
EXT_C_AS_C(void) QLN_Print(int status, char *_Zform, ...);
EXT_C_AS_C(int) QLN_Rqst(int *option, int *iinfo, double *xinfo, char **sinfo );

#endif
