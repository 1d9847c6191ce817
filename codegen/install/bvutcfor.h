/* The C/FORTRAN interface macros of generated procedure headers. */
#ifndef VANTOR_BVUTCFOR_H
#define VANTOR_BVUTCFOR_H
#include "bvdll.h"
#endif
