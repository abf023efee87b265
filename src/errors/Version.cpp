#include "hostlib/multimedia/exceptions.h"

#ifndef HOSTLIB_MM_VERSION
#define HOSTLIB_MM_VERSION "0.0.0"
#endif

// Declared extern "C" one by one: inside a braced block a const object would
// take internal linkage and GCC would ignore the visibility attribute.
extern "C" HOSTLIB_MM_API char const* const libzelhostlibmultimedia_version = HOSTLIB_MM_VERSION;
extern "C" HOSTLIB_MM_API char const* const libzelhostlibmultimedia_build_date =
    __DATE__ " " __TIME__;
