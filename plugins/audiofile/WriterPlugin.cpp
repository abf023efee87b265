// The audiofilewriter plug-in's entry point.
#include "AudioFileWriter.h"

SLUICE_DEVICE_PLUGIN("audiofilewriter", sluice::audiofile::AudioFileWriter)
