// Visibility of the library's exported interface. Everything else is hidden.
#pragma once

#define HOSTLIB_MM_API __attribute__((visibility("default")))
