// Visibility of the library's exported interface. Everything else is hidden.
#pragma once

#if defined(HOSTLIB_MULTIMEDIA_BUILD)
#define HOSTLIB_MM_API __attribute__((visibility("default")))
#else
#define HOSTLIB_MM_API __attribute__((visibility("default")))
#endif
