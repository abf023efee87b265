// Every text hosts match on: the three error catalogues whole, and the identifier and
// message of every exception class.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "errors/ErrorCatalogues.h"
#include "hostlib/multimedia/exceptions.h"

using namespace hostlib::multimedia;

// "<where> <identifier> = <exact message>": the audio, video and video-reading
// catalogues in their (sorted) order, then ("thrown") each exception class, in the order the
// test below lists them.
static const char* const kTexts = R"(
audio AudioPropertyUnavailable = Cannot determine one or more properties of the audio stream.
audio CodecNotFound = The codec required to read this file is not available on you system.
audio DurationNotSupported = The duration of this file cannot be determined. The file specified cannot be read if it has no duration.
audio FileCorrupt = Unable to read the file. The file appears to be corrupt.
audio FilePermissionDenied = Could not open the file.  Permission denied.
audio FileTypeNotSupported = The specified file type is not supported.
audio InitializationFailed = Failed to initialize internal resources.
audio MaxFlacSampleRate = Sample rate exceeded 655350 Hz, the maximum sample rate supported by the FLAC format.
audio MetadataReadFailed = Failed to read metadata from the file.
audio MinOggSampleRate = Sample rate must be greater than 600 Hz for the OGG format.
audio Mpeg4MinNumberOfSamplesRequired = On Windows, writing MPEG-4 AAC files requires a minimum of 1025 samples.
audio NoAudio = File does not contain any audio.
audio ReadCancelled = Read was canceled by the user.
audio ReadFailed = Unable to read the file.
audio ReadNotSupported = Reading a file of this type is not supported.
audio SeekFailed = Could not seek in file.  Sample accurate seeking is not supported for this file on the current platform.
audio StreamFormatChanged = Audio file contains a mid-stream format change. This is currently unsupported in VARNOLT.
audio Unexpected = File could not be processed due to an unexpected error.
audio UnknownCodec = Unable to determine the codec required.
audio UnsupportedBitRate = Unsupported Bit Rate value.
audio UnsupportedOutputChannels = Unsupported value for Number of Channels
audio UnsupportedSampleRate = Unsupported Sample Rate value.
audio WavSizeLimit = Exceeded the 4GB file size limit imposed by the WAV format.
audio WriteNotSupported = Writing a file of this type is not supported.
video apiInitFailed = Failed to initialize MediaFoundation.
video couldNotInitFile = Could not initialize the video file for writing.
video couldNotOpenFile = Could not open the video file for writing.
video couldNotWriteFrame = Could not write a video frame.
video initializationFailed = Could not initialize the video file for writing.
video invalidCharInFileName = File name contains invalid characters.
video invalidDimensionsMinMax = On Windows, frame must be between 64 by 64 and 1088 by 1920 when writing MPEG4 files.
video invalidFileName = The file name must be specified as a string.
video invalidFrameRate = FrameRate must be a positive scalar.
video invalidInputs = FrameRate is too high for the given video frame size. Please reduce the frame rate or image size.
video jpegcompress = Unable to compress a frame using the JPEG library.
video jpeginit = >Unable to initialize the JPEG compression library.
video kakaduError = Unexpected error from Kakadu library
video openFailed = Could not open the video file for writing.
video unexpectedError = Unexpected error writing file.
video writeFailed = Could not write a video frame.
read CodecNotFound = The codec required to read this video file is not available.
read FileCorrupt = Unable to read the video file. The file appears to be corrupt.
read FilePermissionDenied = Could not open the video file. Permission denied.
read FileTypeNotSupported = The specified video file type is not supported.
read NoVideo = File does not contain any video.
read ReadFailed = Unable to read the video file.
read SeekFailed = Could not seek to the requested frame.
read Unexpected = The video file could not be read due to an unexpected error.
thrown Id = Text
thrown Unexpected = Boom
thrown InputFileNotFound = Input File specified not found
thrown OutputFileLocationNotFound = The output file location specified is invalid
thrown FilterCreationFailed = Unable to add filter to the output stream
thrown ConverterCreationFailed = Unable to create the converter required to write data to the file
thrown ChannelCreationFailed = Could not create the channel to communicate with the file
thrown VideoWrite = Video text
thrown AudioWrite = Audio text
thrown VideoRead = Read text)";

TEST(ErrorTexts, CataloguesAndExceptionsCarryExactlyTheseTexts) {
  std::string listed;
  for (auto const& [id, text] : audioErrorCatalogue()) listed += "\naudio " + id + " = " + text;
  for (auto const& [id, text] : videoErrorCatalogue()) listed += "\nvideo " + id + " = " + text;
  for (auto const& [id, text] : videoReadErrorCatalogue()) listed += "\nread " + id + " = " + text;
  // Each class copied into a plain Exception, as the library rethrows a library
  // failure, and read as hosts may catch it: as a std::runtime_error.
  for (std::runtime_error const& caught : std::initializer_list<Exception>{
           Exception("Id", "Text"), UnexpectedException("Boom"), InputFileNotFoundException(),
           OutputFileLocationNotFoundException(), FilterCreationFailedException(),
           ConverterCreationFailedException(), ChannelCreationFailedException(),
           VideoWriteException("Video text"), AudioWriteException("Audio text"),
           VideoReadException("Read text")})
    listed += "\nthrown " + std::string(dynamic_cast<Exception const&>(caught).name()) + " = " +
              caught.what();
  EXPECT_EQ(kTexts, listed);
}
