#include "VideoFileWriter.h"

SLUICE_DEVICE_PLUGIN("videofilewriter", videofile::VideoFileWriter)
