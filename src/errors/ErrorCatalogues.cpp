#include "errors/ErrorCatalogues.h"

#include <boost/assign/list_of.hpp>

namespace hostlib {
namespace multimedia {
namespace {

// Inserted in this order at library load.
const ErrorCatalogue kAudioCatalogue = boost::assign::map_list_of<std::string, std::string>
    ("InitializationFailed", "Failed to initialize internal resources.")
    ("ReadCancelled", "Read was canceled by the user.")
    ("ReadFailed", "Unable to read the file.")
    ("Unexpected", "File could not be processed due to an unexpected error.")
    ("FilePermissionDenied", "Could not open the file.  Permission denied.")
    ("FileCorrupt", "Unable to read the file. The file appears to be corrupt.")
    ("FileTypeNotSupported", "The specified file type is not supported.")
    ("CodecNotFound", "The codec required to read this file is not available on you system.")
    ("UnknownCodec", "Unable to determine the codec required.")
    ("NoAudio", "File does not contain any audio.")
    ("DurationNotSupported", "The duration of this file cannot be determined. The file specified cannot be read if it has no duration.")
    ("SeekFailed", "Could not seek in file.  Sample accurate seeking is not supported for this file on the current platform.")
    ("StreamFormatChanged", "Audio file contains a mid-stream format change. This is currently unsupported in VARNOLT.")
    ("MetadataReadFailed", "Failed to read metadata from the file.")
    ("UnsupportedSampleRate", "Unsupported Sample Rate value.")
    ("UnsupportedBitRate", "Unsupported Bit Rate value.")
    ("UnsupportedOutputChannels", "Unsupported value for Number of Channels")
    ("ReadNotSupported", "Reading a file of this type is not supported.")
    ("WriteNotSupported", "Writing a file of this type is not supported.")
    ("Mpeg4MinNumberOfSamplesRequired", "On Windows, writing MPEG-4 AAC files requires a minimum of 1025 samples.")
    ("WavSizeLimit", "Exceeded the 4GB file size limit imposed by the WAV format.")
    ("AudioPropertyUnavailable", "Cannot determine one or more properties of the audio stream.")
    ("MaxFlacSampleRate", "Sample rate exceeded 655350 Hz, the maximum sample rate supported by the FLAC format.")
    ("MinOggSampleRate", "Sample rate must be greater than 600 Hz for the OGG format.");

const ErrorCatalogue kVideoCatalogue = boost::assign::map_list_of<std::string, std::string>
    ("invalidFileName", "The file name must be specified as a string.")
    ("invalidFrameRate", "FrameRate must be a positive scalar.")
    ("jpeginit", ">Unable to initialize the JPEG compression library.")
    ("couldNotOpenFile", "Could not open the video file for writing.")
    ("couldNotInitFile", "Could not initialize the video file for writing.")
    ("couldNotWriteFrame", "Could not write a video frame.")
    ("jpegcompress", "Unable to compress a frame using the JPEG library.")
    ("kakaduError", "Unexpected error from Kakadu library")
    ("invalidCharInFileName", "File name contains invalid characters.")
    ("initializationFailed", "Could not initialize the video file for writing.")
    ("openFailed", "Could not open the video file for writing.")
    ("writeFailed", "Could not write a video frame.")
    ("invalidInputs", "FrameRate is too high for the given video frame size. Please reduce the frame rate or image size.")
    ("apiInitFailed", "Failed to initialize MediaFoundation.")
    ("invalidDimensionsMinMax", "On Windows, frame must be between 64 by 64 and 1088 by 1920 when writing MPEG4 files.")
    ("unexpectedError", "Unexpected error writing file.");

const ErrorCatalogue kVideoReadCatalogue = boost::assign::map_list_of<std::string, std::string>
    ("ReadFailed", "Unable to read the video file.")
    ("FileCorrupt", "Unable to read the video file. The file appears to be corrupt.")
    ("FileTypeNotSupported", "The specified video file type is not supported.")
    ("CodecNotFound", "The codec required to read this video file is not available.")
    ("NoVideo", "File does not contain any video.")
    ("SeekFailed", "Could not seek to the requested frame.")
    ("FilePermissionDenied", "Could not open the video file. Permission denied.")
    ("Unexpected", "The video file could not be read due to an unexpected error.");

}  // namespace

ErrorCatalogue const& audioErrorCatalogue() { return kAudioCatalogue; }
ErrorCatalogue const& videoErrorCatalogue() { return kVideoCatalogue; }
ErrorCatalogue const& videoReadErrorCatalogue() { return kVideoReadCatalogue; }

}  // namespace multimedia
}  // namespace hostlib
