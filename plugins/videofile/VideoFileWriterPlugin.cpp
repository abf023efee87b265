// The videofilewriter plug-in's entry point.
#include "VideoFileWriter.h"

SLUICE_DEVICE_PLUGIN("videofilewriter", sluice::videofile::VideoFileWriter)
