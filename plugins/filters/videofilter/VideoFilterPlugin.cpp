#include "VideoFilter.h"

SLUICE_FILTER_PLUGIN("videofilter", videofilter::VideoFilter)
