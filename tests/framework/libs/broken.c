/* Needs a symbol nothing provides, so that loading it fails. */
#include <stdint.h>

int32_t vantor_symbol_nobody_defines(void);

int32_t BrokenCall(void) { return vantor_symbol_nobody_defines(); }
