/* Included first in every C++ file of the musl build. libstdc++'s
 * configuration headers come from the glibc build of GCC and test the glibc
 * version; musl has the interfaces they ask about (and no gets), as a
 * current glibc has. */
#ifndef __GLIBC_PREREQ
#define __GLIBC_PREREQ(maj, min) 1
#endif
