/* A library that calls every function the engine exports, as user libraries
 * do, and reports each one as "ok NAME" or "FAILED NAME" on its own line.
 * It defines none of them, so every call reaches the engine. The folder of
 * the test libraries is given: twin.so of a/ and fortran_style.so and
 * user_plain.so of the folder itself serve as the libraries it loads. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "framework/libraries/library_api.h"

static char* report_at;
static size_t report_left;
static int32_t failures;

static void Check(const char* name, int good) {
  const int n = snprintf(report_at, report_left, "%s %s\n", good ? "ok" : "FAILED", name);
  if (n > 0 && (size_t)n < report_left) {
    report_at += n;
    report_left -= (size_t)n;
  }
  if (!good) ++failures;
}

static int EndsWith(const char* text, const char* end) {
  const size_t a = strlen(text), b = strlen(end);
  return a >= b && strcmp(text + a - b, end) == 0;
}

typedef int32_t (*Answer)(void);

int32_t CallerRun(const char* libs, char* report, int32_t size) {
  report_at = report;
  report_left = (size_t)size;
  failures = 0;
  report[0] = '\0';
  char folder[1024], buffer[1024];

  int32_t result = 0;
  Check("QLN13DUMMY",
        QLN13DUMMY(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, &result) == &result && result == 4);
  result = 0;
  Check("QLNDUMMY", QLNDUMMY(0, 0, 0, 0, 0, 0, &result) == &result && result == 4);

  const QLNInitializationBlock given = {2, 5, NULL, 9};
  const int32_t initialized = BVInitialize(&given);
  const QLNInitializationBlock* kept = GetDLLInitializationData();
  Check("BVInitialize", initialized == 1);
  Check("GetDLLInitializationData",
        kept != NULL && kept->kind == 2 && kept->word == 5 && kept->further_word == 9);
  Check("RegisterDummyOptionsHandler", RegisterDummyOptionsHandler(NULL) == 1 &&
                                           kept->options_handler != NULL &&
                                           RegisterDummyOptionsHandler(NULL) == 0);

  /* Neither the engine's handler nor the registered one is there to
   * answer: no answer, and every out cleared. */
  int option = 31, integer = 5;
  double real = 1.5;
  char* text = folder;
  Check("QLN_Rqst", QLN_Rqst(&option, &integer, &real, &text) == -1 && integer == 0 &&
                        real == 0.0 && text == NULL);

  snprintf(folder, sizeof folder, "%s/a", libs);
  Check("AddDLLSearchPath", AddDLLSearchPath(folder) == 0);
  XosDynamicLibrary* twin = LoadDynamicLibrary("twin", NULL);
  Check("LoadDynamicLibrary", twin != NULL);
  Check("GetDLLFileName",
        GetDLLFileName(twin, buffer, sizeof buffer) > 0 && EndsWith(buffer, "/a/twin.so"));
  XosDynamicFunction* id = FindFunctionInDLL("TwinId", twin, NULL);
  Answer twin_id = (Answer)GetFunctionAddress(id);
  Check("FindFunctionInDLL", id != NULL);
  Check("GetFunctionAddress", twin_id != NULL && twin_id() == 1);
  Check("GetFunctionsDLLFileName",
        GetFunctionsDLLFileName(id, buffer, sizeof buffer) > 0 && EndsWith(buffer, "/a/twin.so"));

  /* Unloads that are not allowed are refused: the function stays usable. */
  DisallowForcibleDLLUnloadsViaFunctionObject(id);
  char** names = NULL;
  int32_t* flags = NULL;
  const int32_t count = DLLsLoaded(&names, &flags);
  int listed = 0;
  for (int32_t i = 0; i < count && names != NULL; ++i) {
    if (names[i] != NULL && strstr(names[i], "twin") != NULL && flags[i] == 1) listed = 1;
  }
  Check("DisallowForcibleDLLUnloadsViaFunctionObject", listed);
  Check("DLLsLoaded",
        count > 0 && DLLsLoaded(&names, &flags) == 0 && names == NULL && flags == NULL);
  DisallowForcibleDLLUnloads(twin);
  const char* forced[] = {"twin"};
  Check("ForceUnload", ForceUnload(forced, 1) == 0 && GetFunctionAddress(id) != NULL);
  Check("DisallowForcibleDLLUnloads", twin_id() == 1);
  ReleaseFunction(id);
  Check("ReleaseFunction", 1);
  UnloadDynamicLibrary(twin);
  Check("UnloadDynamicLibrary", 1);
  Check("RemoveDLLSearchPath", RemoveDLLSearchPath(folder) == 0);

  Check("GetLastDLLError",
        LoadDynamicLibrary("no_such_library", NULL) == NULL && GetLastDLLError() != 0);

  snprintf(folder, sizeof folder, "%s/fortran_style", libs);
  uint32_t status = 1;
  XosDynamicFunction* upper = FindFunctionInNamedDLLEx("UPPERONLY", folder, NULL, NULL, &status);
  Check("FindFunctionInNamedDLLEx",
        upper != NULL && status == 0 && ((Answer)GetFunctionAddress(upper))() == 11);
  ReleaseFunction(upper);
  upper = FindFunctionInNamedDLL("UPPERONLY", folder, NULL, NULL);
  Check("FindFunctionInNamedDLL", upper != NULL);
  ReleaseFunction(upper);
  /* Procedures are found by their FORTRAN names too. */
  XosDynamicFunction* times = FindQLNFunctionInNamedDLL("TimesInitialized", folder, NULL, NULL);
  Check("FindQLNFunctionInNamedDLL", times != NULL);
  Check("GetQLNFunctionAddress", GetQLNFunctionAddress(times) != (void*)&QLNDUMMY &&
                                     GetQLNFunctionAddress(NULL) == (void*)&QLNDUMMY);
  Check("GetQLN13FunctionAddress", GetQLN13FunctionAddress(times) == GetQLNFunctionAddress(times) &&
                                       GetQLN13FunctionAddress(NULL) == (void*)&QLN13DUMMY);
  ReleaseFunction(times);

  snprintf(folder, sizeof folder, "%s/user_plain", libs);
  XosDynamicLibrary* user = LoadQLNUserDLL(folder, NULL);
  Check("LoadQLNUserDLL", user != NULL);
  XosDynamicFunction* procedure = FindQLNFunctionInDLL("UserProcedure", user);
  Check("FindQLNFunctionInDLL",
        procedure != NULL && ((Answer)GetFunctionAddress(procedure))() == 5);
  ReleaseFunction(procedure);
  UnloadDynamicLibrary(user);

  /* The printer generated procedures call, arguments by address. */
  int32_t shown = 7;
  char format[] = "QLN_Print reached the engine with %d";
  QLN_Print(0, format, &shown);
  Check("QLN_Print", 1);
  /* As gfortran calls it: addresses, then the format's length. */
  const int zero = 0;
  qln_print_(&zero, "qln_print_ reached the engine with %d", (uintptr_t)&shown,
             (uintptr_t)&zero, (uintptr_t)&zero, (uintptr_t)&zero, (uintptr_t)&zero, 37);
  Check("qln_print_", 1);
  return failures;
}
