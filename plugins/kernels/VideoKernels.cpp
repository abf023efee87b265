#include "VideoKernels.h"

#include <cstring>

#include "PlaneTranspose.h"

namespace sluice {
namespace kernels {

namespace {

template <typename Word>
bool transposeAny(VideoDataType type, unsigned char const* in, std::size_t width,
                  std::size_t height, Word* out, std::size_t step, std::ptrdiff_t rowStride,
                  Word mask) {
  return withElementType(type, [&](auto t) {
    transposePlane<decltype(t), Word>(in, width, height, out, step, rowStride, mask);
  });
}

template <typename Word>
bool yuv422ToRgbAny(VideoDataType type, unsigned char const* yIn, unsigned char const* uIn,
                    unsigned char const* vIn, std::size_t w, std::size_t h, Word* out,
                    std::size_t step, std::ptrdiff_t rowStride, std::ptrdiff_t const offset[3],
                    Word mask) {
  return withElementType(type, [&](auto t) {
    yuv422ToRgb<decltype(t), Word>(yIn, uIn, vIn, w, h, out, step, rowStride, offset, mask);
  });
}

}  // namespace

bool transposePlane(VideoDataType type, unsigned char const* in, std::size_t width,
                    std::size_t height, std::uint8_t* out, std::size_t step,
                    std::ptrdiff_t rowStride, std::uint8_t mask) {
  return transposeAny(type, in, width, height, out, step, rowStride, mask);
}

bool transposePlane(VideoDataType type, unsigned char const* in, std::size_t width,
                    std::size_t height, std::uint16_t* out, std::size_t step,
                    std::ptrdiff_t rowStride, std::uint16_t mask) {
  return transposeAny(type, in, width, height, out, step, rowStride, mask);
}

bool packThree(VideoDataType type, unsigned char const* q0, unsigned char const* q1,
               unsigned char const* q2, std::size_t w, std::size_t h, std::uint8_t* first,
               std::ptrdiff_t rowStride) {
  return withElementType(
      type, [&](auto t) { packThree<decltype(t)>(q0, q1, q2, w, h, first, rowStride); });
}

bool rgbToYuv420(VideoDataType type, unsigned char const* r, unsigned char const* g,
                 unsigned char const* b, std::size_t w, std::size_t h, YuvWeights const& k,
                 std::uint8_t* y, std::size_t yStride, std::uint8_t* u, std::uint8_t* v,
                 std::size_t cStride) {
  return withElementType(
      type, [&](auto t) { rgbToYuv420<decltype(t)>(r, g, b, w, h, k, y, yStride, u, v, cStride); });
}

bool yuv422ToYuv420(VideoDataType type, unsigned char const* yIn, unsigned char const* uIn,
                    unsigned char const* vIn, std::size_t w, std::size_t h, bool limited,
                    std::uint8_t* y, std::size_t yStride, std::uint8_t* u, std::uint8_t* v,
                    std::size_t cStride) {
  return withElementType(type, [&](auto t) {
    yuv422ToYuv420<decltype(t)>(yIn, uIn, vIn, w, h, limited, y, yStride, u, v, cStride);
  });
}

bool yuv422ToRgb(VideoDataType type, unsigned char const* yIn, unsigned char const* uIn,
                 unsigned char const* vIn, std::size_t w, std::size_t h, std::uint8_t* out,
                 std::size_t step, std::ptrdiff_t rowStride, std::ptrdiff_t const offset[3],
                 std::uint8_t mask) {
  return yuv422ToRgbAny(type, yIn, uIn, vIn, w, h, out, step, rowStride, offset, mask);
}

bool yuv422ToRgb(VideoDataType type, unsigned char const* yIn, unsigned char const* uIn,
                 unsigned char const* vIn, std::size_t w, std::size_t h, std::uint16_t* out,
                 std::size_t step, std::ptrdiff_t rowStride, std::ptrdiff_t const offset[3],
                 std::uint16_t mask) {
  return yuv422ToRgbAny(type, yIn, uIn, vIn, w, h, out, step, rowStride, offset, mask);
}

void padEdges(std::uint8_t* plane, std::size_t stride, std::size_t w, std::size_t h,
              std::size_t cols, std::size_t rows) {
  if (cols > w)
    for (std::size_t r = 0; r < h; ++r) plane[r * stride + w] = plane[r * stride + w - 1];
  if (rows > h) std::memcpy(plane + h * stride, plane + (h - 1) * stride, cols);
}

}  // namespace kernels
}  // namespace sluice
