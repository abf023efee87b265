// The audiofilter plug-in's entry point.
#include "AudioFilter.h"

SLUICE_FILTER_PLUGIN("audiofilter", sluice::audiofilter::AudioFilter)
