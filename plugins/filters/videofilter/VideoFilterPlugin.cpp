// The videofilter plug-in's entry point.
#include "VideoFilter.h"

SLUICE_FILTER_PLUGIN("videofilter", sluice::videofilter::VideoFilter)
