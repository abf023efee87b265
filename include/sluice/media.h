// The media enumerations that hosts, the library and plug-ins share, and their
// tables of sizes and names. Each table is defined here once.
//
// The enumerations keep the host's namespace, hostlib::multimedia: the host
// library's exported functions carry them in their signatures. The service and
// its plug-ins use them as sluice::AudioDataType and so on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace hostlib {
namespace multimedia {

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

namespace sluice {

using hostlib::multimedia::AudioDataType;
using hostlib::multimedia::FourCCType;
using hostlib::multimedia::MMFileType;
using hostlib::multimedia::VideoDataType;

// Bytes per audio sample by AudioDataType value 0..10 (the 24-bit types take 3,
// 8 takes 1); 0 for any other value.
inline std::size_t audioSampleSize(long type) {
  static const std::size_t sizes[] = {8, 4, 1, 1, 2, 2, 4, 4, 1, 3, 3};
  return (type >= 0 && type <= 10) ? sizes[type] : 0;
}

// Whether a value names an audio sample type (0..10 except 8).
inline bool isAudioSampleType(long type) { return type >= 0 && type <= 10 && type != 8; }

// The names audio sample types travel under in property maps ("double",
// "int24", ...); empty for 8 and for any value outside 0..10.
inline char const* audioTypeName(long type) {
  static char const* const names[] = {"double", "single", "int8", "uint8", "int16", "uint16",
                                      "int32",  "uint32", "",     "int24", "uint24"};
  return (type >= 0 && type <= 10) ? names[type] : "";
}

// The type a name gives; false for a name of no sample type.
inline bool audioTypeFromName(std::string const& name, AudioDataType& type) {
  for (long t = 0; t <= 10; ++t)
    if (isAudioSampleType(t) && name == audioTypeName(t)) {
      type = static_cast<AudioDataType>(t);
      return true;
    }
  return false;
}

// Bytes per video element by VideoDataType value 0..8; 0 for anything else.
inline std::size_t videoElementSize(long type) {
  static const std::size_t sizes[] = {8, 4, 1, 1, 2, 2, 4, 4, 1};
  return (type >= 0 && type <= 8) ? sizes[type] : 0;
}

// Names of the video element types by VideoDataType value 0..9; empty outside.
inline char16_t const* videoTypeName(long type) {
  static char16_t const* const names[] = {u"double", u"single", u"int8",   u"uint8",   u"int16",
                                          u"uint16", u"int32",  u"uint32", u"logical", u"invalid"};
  return (type >= 0 && type <= 9) ? names[type] : u"";
}

// Bands of a plane layout by FourCCType value 0..3; 0 for anything else.
inline std::size_t fourCCBands(long fourCC) {
  static const std::size_t bands[] = {0, 3, 1, 3};
  return (fourCC >= 0 && fourCC <= 3) ? bands[fourCC] : 0;
}

}  // namespace sluice
