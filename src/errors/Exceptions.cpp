#include "hostlib/multimedia/exceptions.h"

namespace hostlib {
namespace multimedia {

Exception::Exception(std::string const& identifier, std::string const& message)
    : std::runtime_error(message), identifier(identifier) {}
Exception::Exception(Exception const& other) = default;
Exception::~Exception() = default;
char const* Exception::name() const { return identifier.c_str(); }

UnexpectedException::UnexpectedException(std::string const& message)
    : Exception("Unexpected", message) {}
UnexpectedException::~UnexpectedException() = default;

InputFileNotFoundException::InputFileNotFoundException()
    : Exception("InputFileNotFound", "Input File specified not found") {}
InputFileNotFoundException::~InputFileNotFoundException() = default;

OutputFileLocationNotFoundException::OutputFileLocationNotFoundException()
    : Exception("OutputFileLocationNotFound", "The output file location specified is invalid") {}
OutputFileLocationNotFoundException::~OutputFileLocationNotFoundException() = default;

FilterCreationFailedException::FilterCreationFailedException()
    : Exception("FilterCreationFailed", "Unable to add filter to the output stream") {}
FilterCreationFailedException::~FilterCreationFailedException() = default;

ConverterCreationFailedException::ConverterCreationFailedException()
    : Exception("ConverterCreationFailed",
                "Unable to create the converter required to write data to the file") {}
ConverterCreationFailedException::~ConverterCreationFailedException() = default;

ChannelCreationFailedException::ChannelCreationFailedException()
    : Exception("ChannelCreationFailed",
                "Could not create the channel to communicate with the file") {}
ChannelCreationFailedException::~ChannelCreationFailedException() = default;

VideoWriteException::VideoWriteException(std::string const& message)
    : Exception("VideoWrite", message) {}
VideoWriteException::~VideoWriteException() = default;

AudioWriteException::AudioWriteException(std::string const& message)
    : Exception("AudioWrite", message) {}
AudioWriteException::~AudioWriteException() = default;

VideoReadException::VideoReadException(std::string const& message)
    : Exception("VideoRead", message) {}
VideoReadException::~VideoReadException() = default;

}  // namespace multimedia
}  // namespace hostlib
