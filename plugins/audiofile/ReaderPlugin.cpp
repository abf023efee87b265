// The audiofilereader plug-in's entry point.
#include "AudioFileReader.h"

SLUICE_DEVICE_PLUGIN("audiofilereader", sluice::audiofile::AudioFileReader)
