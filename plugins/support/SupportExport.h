// Visibility of the support library's functions: one shared object in the
// process, so that its locks and its log routing are one for every plug-in.
#pragma once

#define SLUICE_SUPPORT_API __attribute__((visibility("default")))
