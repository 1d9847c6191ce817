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
