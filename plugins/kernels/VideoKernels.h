// Frame conversions for the video filter, compiled once for every element type:
// column-major planes of any VideoDataType into the row-major layouts video
// devices take (see FrameLayout in sluice/records.h).
//
// Input planes are column-major: element (row r, column c) of a plane of
// `height` rows lies at index c * height + r; they need no alignment. Elements
// become unsigned 8 or 16-bit codes: floating point is full scale on [0, 1],
// clipped, NaN as 0; wider integers narrow by rounding; signed integers are
// offset by half their range; logical is 0 or full scale.
//
// Each function returns false, writing nothing, for an element type that has no
// kernel (VIDEO_INVALID, or a value outside the enumeration).
#pragma once

#include <cstddef>
#include <cstdint>

#include "sluice/media.h"

namespace sluice {
namespace kernels {

// BT.601 in 16-bit fixed point. Each row of chroma weights sums to zero so that a
// grey pixel has exactly neutral chroma; the luma weights of full range sum to
// 65536 so that a grey pixel keeps its value.
struct YuvWeights {
  int yr, yg, yb, yOffset;
  int ur, ug, ub;
  int vr, vg, vb;
};
constexpr YuvWeights kFullRange = {19595,  38470, 7471,  0,      -11059,
                                   -21709, 32768, 32768, -27439, -5329};
// Luma scaled by 219/255 onto 16..235, chroma by 224/255 onto 16..240.
constexpr YuvWeights kLimitedRange = {16829,  33039, 6416,  16,     -9714,
                                      -19070, 28784, 28784, -24104, -4680};

// One plane of `width` columns and `height` rows: element (r, c) goes to
// out[r * rowStride + c * step], each word XORed with `mask` (the sign offset of
// signed outputs). A negative rowStride with `out` on the last row writes the
// rows bottom-up.
bool transposePlane(VideoDataType type, unsigned char const* in, std::size_t width,
                    std::size_t height, std::uint8_t* out, std::size_t step,
                    std::ptrdiff_t rowStride, std::uint8_t mask = 0);
bool transposePlane(VideoDataType type, unsigned char const* in, std::size_t width,
                    std::size_t height, std::uint16_t* out, std::size_t step,
                    std::ptrdiff_t rowStride, std::uint16_t mask = 0);

// Three planes packed three bytes to a pixel: pixel (r, c) goes to
// first + r * rowStride + 3 * c as the codes of (q0, q1, q2); a negative
// rowStride with `first` on the last row writes bottom-up.
bool packThree(VideoDataType type, unsigned char const* q0, unsigned char const* q1,
               unsigned char const* q2, std::size_t w, std::size_t h, std::uint8_t* first,
               std::ptrdiff_t rowStride);

// R, G, B planes (or one plane passed three times for grey) into 4:2:0 Y, U, V
// planes: luma w x h (stride yStride), chroma ceil(w/2) x ceil(h/2) (stride
// cStride), each chroma sample from the mean of its 2 x 2 block (edge pixels
// repeated at odd sizes).
bool rgbToYuv420(VideoDataType type, unsigned char const* r, unsigned char const* g,
                 unsigned char const* b, std::size_t w, std::size_t h, YuvWeights const& k,
                 std::uint8_t* y, std::size_t yStride, std::uint8_t* u, std::uint8_t* v,
                 std::size_t cStride);

// A 4:2:2 frame (full-range Y of w columns, Cb and Cr of w/2 columns) into 4:2:0
// planes laid out as rgbToYuv420 lays them out: luma copied (rescaled for
// limited range), chroma from the mean of each pair of rows. A chroma column
// beyond the input's (odd or single-column widths) repeats the last one; with no
// chroma column at all the chroma is neutral.
bool yuv422ToYuv420(VideoDataType type, unsigned char const* yIn, unsigned char const* uIn,
                    unsigned char const* vIn, std::size_t w, std::size_t h, bool limited,
                    std::uint8_t* y, std::size_t yStride, std::uint8_t* u, std::uint8_t* v,
                    std::size_t cStride);

// A 4:2:2 frame (full-range BT.601) into R, G, B codes written as transposePlane
// writes: pixel (r, c) band k at out[r * rowStride + c * step + offset[k]],
// XORed with mask.
bool yuv422ToRgb(VideoDataType type, unsigned char const* yIn, unsigned char const* uIn,
                 unsigned char const* vIn, std::size_t w, std::size_t h, std::uint8_t* out,
                 std::size_t step, std::ptrdiff_t rowStride, std::ptrdiff_t const offset[3],
                 std::uint8_t mask = 0);
bool yuv422ToRgb(VideoDataType type, unsigned char const* yIn, unsigned char const* uIn,
                 unsigned char const* vIn, std::size_t w, std::size_t h, std::uint16_t* out,
                 std::size_t step, std::ptrdiff_t rowStride, std::ptrdiff_t const offset[3],
                 std::uint16_t mask = 0);

// The inverse of the packing kernels, for reading devices: top-down rows of
// `bands` (1 or 3) interleaved words a pixel, `w` pixels a row without padding
// (RGB24, Gray8; RGB48, Gray16 as native-endian words), into column-major planes:
// band k of pixel (r, c) goes to planes[k][c * h + r].
void unpackPixels(std::uint8_t const* in, std::size_t w, std::size_t h, std::size_t bands,
                  std::uint8_t* const planes[3]);
void unpackPixels(std::uint16_t const* in, std::size_t w, std::size_t h, std::size_t bands,
                  std::uint16_t* const planes[3]);

// Replicates the last column and row of a w x h plane into a wider or taller one
// of `cols` x `rows` (at most one more of each), as codecs that need even sizes
// want.
void padEdges(std::uint8_t* plane, std::size_t stride, std::size_t w, std::size_t h,
              std::size_t cols, std::size_t rows);

}  // namespace kernels
}  // namespace sluice
