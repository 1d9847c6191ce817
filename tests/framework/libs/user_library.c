/* A user procedure library that wants the engine's utilities handed over.
 * With UTILITIES defined it takes them itself; without, the support
 * library does it for it. */
#include <stdint.h>

static uintptr_t given_word = 0;

#ifdef UTILITIES
void SputUtilitiesInit(uintptr_t word, uintptr_t handler) {
  (void)handler;
  given_word = word;
}
#endif

uintptr_t UserGivenWord(void) { return given_word; }

int32_t UserProcedure(void) { return 5; }

/* Declared as a generated wrapper declares it: the engine defines it. */
int QLN_Rqst(int* option, int* iinfo, double* xinfo, char** sinfo);

/* The simulation time the engine reports (request 31), as a procedure asks
 * it; *kind is the kind of answer, -1 when nobody answers. */
double UserTime(int32_t* kind) {
  int option = 31, integer = -7;
  double time = -7.0;
  char* text = (char*)"left";
  *kind = QLN_Rqst(&option, &integer, &time, &text);
  return text == 0 && integer == 0 ? time : -99.0;
}
