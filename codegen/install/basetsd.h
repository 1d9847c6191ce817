/* The integer of the user-procedure calling interfaces: 32 bits here. */
#ifndef VANTOR_BASETSD_H
#define VANTOR_BASETSD_H
typedef int __int3264;
#endif
