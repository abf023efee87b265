// Types shared by the host, the library, the channel service and its plug-ins:
// the sample and element type enumerations carried in records, and the property
// map. Header-only: plug-ins include it without linking the library.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace hostlib {
namespace multimedia {

// Property map: each value is null or the address of a boost::any whose held
// type the key fixes.
typedef std::map<std::string, void*> PropertyMap;

// Audio sample types (32-bit). 8 names no type.
enum __attribute__((visibility("default"))) AudioDataType : std::int32_t {
  AUDIO_DOUBLE = 0,
  AUDIO_SINGLE = 1,
  AUDIO_INT8 = 2,
  AUDIO_UINT8 = 3,
  AUDIO_INT16 = 4,
  AUDIO_UINT16 = 5,
  AUDIO_INT32 = 6,
  AUDIO_UINT32 = 7,
  AUDIO_UNSPECIFIED = 8,
  AUDIO_INT24 = 9,
  AUDIO_UINT24 = 10
};

// Video element types (32-bit). 9 is "invalid".
enum __attribute__((visibility("default"))) VideoDataType : std::int32_t {
  VIDEO_DOUBLE = 0,
  VIDEO_SINGLE = 1,
  VIDEO_INT8 = 2,
  VIDEO_UINT8 = 3,
  VIDEO_INT16 = 4,
  VIDEO_UINT16 = 5,
  VIDEO_INT32 = 6,
  VIDEO_UINT32 = 7,
  VIDEO_LOGICAL = 8,
  VIDEO_INVALID = 9
};

// Plane layouts (32-bit): 1 three full planes, 2 one plane, 3 one full plane and
// two half-width planes.
enum __attribute__((visibility("default"))) FourCCType : std::int32_t {
  FOURCC_NONE = 0,
  FOURCC_RGB_PLANAR = 1,
  FOURCC_MONO = 2,
  FOURCC_YUV422_PLANAR = 3
};

// Output file kinds (32-bit): only 1, 7 and 8 carry meaning in the writer.
enum __attribute__((visibility("default"))) MMFileType : std::int32_t {
  FILETYPE_NONE = 0,
  FILETYPE_AVI = 1,
  FILETYPE_MPEG4 = 7,
  FILETYPE_MJ2 = 8
};

}  // namespace multimedia
}  // namespace hostlib
