// The library's exception family. Every failure reaching the host is one of these;
// hosts tell failures apart by name(), the identifier.
#pragma once

#include <stdexcept>
#include <string>

#include "hostlib/multimedia/export.h"

namespace hostlib {
namespace multimedia {

class HOSTLIB_MM_API Exception : public std::runtime_error {
 public:
  Exception(std::string const& identifier, std::string const& message);
  Exception(Exception const& other);
  virtual ~Exception();
  // The identifier, valid as long as this object.
  char const* name() const;

 private:
  std::string identifier;
};

class HOSTLIB_MM_API UnexpectedException : public Exception {
 public:
  explicit UnexpectedException(std::string const& message);
  virtual ~UnexpectedException();
};

class HOSTLIB_MM_API InputFileNotFoundException : public Exception {
 public:
  InputFileNotFoundException();
  virtual ~InputFileNotFoundException();
};

class HOSTLIB_MM_API OutputFileLocationNotFoundException : public Exception {
 public:
  OutputFileLocationNotFoundException();
  virtual ~OutputFileLocationNotFoundException();
};

class HOSTLIB_MM_API FilterCreationFailedException : public Exception {
 public:
  FilterCreationFailedException();
  virtual ~FilterCreationFailedException();
};

class HOSTLIB_MM_API ConverterCreationFailedException : public Exception {
 public:
  ConverterCreationFailedException();
  virtual ~ConverterCreationFailedException();
};

class HOSTLIB_MM_API ChannelCreationFailedException : public Exception {
 public:
  ChannelCreationFailedException();
  virtual ~ChannelCreationFailedException();
};

class HOSTLIB_MM_API VideoWriteException : public Exception {
 public:
  explicit VideoWriteException(std::string const& message);
  virtual ~VideoWriteException();
};

class HOSTLIB_MM_API AudioWriteException : public Exception {
 public:
  explicit AudioWriteException(std::string const& message);
  virtual ~AudioWriteException();
};

class HOSTLIB_MM_API VideoReadException : public Exception {
 public:
  explicit VideoReadException(std::string const& message);
  virtual ~VideoReadException();
};

}  // namespace multimedia
}  // namespace hostlib

// Version and build date of the library, as C strings.
extern "C" HOSTLIB_MM_API char const* const libzelhostlibmultimedia_version;
extern "C" HOSTLIB_MM_API char const* const libzelhostlibmultimedia_build_date;
