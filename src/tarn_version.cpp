// tarn_version.cpp - the version of the library that was linked.
//
// A program compiled against one header may run against another build of
// the shared library; TARN_VERSION_STRING tells what it was compiled with,
// tarn_version() what it runs with.
#include "pytarn.h"

const char *tarn_version(void) { return TARN_VERSION_STRING; }
