/* A library that takes part in the whole start-up and shut-down protocol.
 * Every entry point appends a line to the file named by PROTO_LOG, so that a
 * test sees what the engine called even after the library is gone; the
 * answers come from PROTO_BV, PROTO_INIT, PROTO_FINI and PROTO_FORCE. Its
 * entry points bind to themselves (protected), since the engine exports
 * functions of the same names. */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "framework/libraries/library_api.h"

#define ENTRY __attribute__((visibility("protected")))

static int Answer(const char* variable, int fallback) {
  const char* text = getenv(variable);
  return text != NULL && *text != '\0' ? atoi(text) : fallback;
}

__attribute__((format(printf, 1, 2))) static void Log(const char* format, ...) {
  const char* path = getenv("PROTO_LOG");
  if (path == NULL) return;
  FILE* log = fopen(path, "a");
  if (log == NULL) return;
  va_list args;
  va_start(args, format);
  vfprintf(log, format, args);
  va_end(args);
  fputc('\n', log);
  fclose(log);
}

ENTRY int32_t BVInitialize(const QLNInitializationBlock* block) {
  Log("BVInitialize %ld", block != NULL ? (long)block->kind : -1L);
  return Answer("PROTO_BV", 1);
}

ENTRY int32_t DLLInitialize(void) {
  Log("DLLInitialize");
  return Answer("PROTO_INIT", 0);
}

ENTRY int32_t DLLFinalize(void) {
  Log("DLLFinalize");
  return Answer("PROTO_FINI", 0);
}

ENTRY int32_t AddDLLSearchPath(const char* folder) {
  Log("AddDLLSearchPath %s", folder != NULL ? folder : "(null)");
  return 0;
}

ENTRY int32_t RemoveDLLSearchPath(const char* folder) {
  Log("RemoveDLLSearchPath %s", folder != NULL ? folder : "(null)");
  return 0;
}

ENTRY int32_t ForceUnload(const char* const* names, int32_t count) {
  (void)names;
  Log("ForceUnload %ld", (long)count);
  return Answer("PROTO_FORCE", 0);
}

/* Lists one library of its own, "inner.dll", whose unload it forbids. */
ENTRY int32_t DLLsLoaded(char*** libraries, int32_t** flags) {
  if (*libraries != NULL) {
    free((*libraries)[0]);
    free(*libraries);
    free(*flags);
    *libraries = NULL;
    *flags = NULL;
    return 0;
  }
  *libraries = calloc(2, sizeof(char*));
  *flags = calloc(1, sizeof(int32_t));
  (*libraries)[0] = strdup("inner.dll");
  (*flags)[0] = 1;
  return 1;
}

int32_t ProtoAnswer(void) { return 7; }

/* Reaches the engine through its exports, as a user library does. */
int32_t ProtoCallEngine(XosDynamicLibrary* self) {
  const QLNInitializationBlock* block = GetDLLInitializationData();
  XosDynamicFunction* function = FindFunctionInDLL("ProtoAnswer", self, NULL);
  if (block == NULL || function == NULL) return -1;
  int32_t (*answer)(void) = (int32_t(*)(void))GetFunctionAddress(function);
  const int32_t result = (int32_t)block->kind * 1000 + (answer != NULL ? answer() : -100);
  ReleaseFunction(function);
  return result;
}
