// Sample conversions, compiled once for every pair of AudioDataType values.
//
// Rules: float to integer scales by 2^(bits-1), rounds to nearest (ties to even)
// and clips to the type's range, NaN becoming 0; integer to float scales by
// 2^-(bits-1) (unsigned types offset by half their range first); integer to
// integer shifts; float to float casts. 24-bit types are 3 bytes, little-endian.
#pragma once

#include <cstddef>

namespace sluice {
namespace kernels {

// Converts `count` samples, in order.
typedef void (*ConvertFunction)(unsigned char const* src, unsigned char* dst, std::size_t count);
// Turns frames x channels samples, channel after channel, into interleaved frames.
typedef void (*TransposeFunction)(unsigned char const* src, unsigned char* dst, std::size_t frames,
                                  std::size_t channels);

// Null when either value names no sample type.
ConvertFunction convertFunction(long in, long out);
TransposeFunction transposeFunction(long in, long out);

}  // namespace kernels
}  // namespace sluice
