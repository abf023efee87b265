// The videofilereader plug-in's entry point.
#include "VideoFileReader.h"

SLUICE_DEVICE_PLUGIN("videofilereader", sluice::videofile::VideoFileReader)
