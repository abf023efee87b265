// Micro-benchmarks of the filter kernels, the code the audio and video filters
// run for every record:
//   audio/<in>/<out>/<channels>/<cache|stream>: column-major to interleaved
//     with conversion, every input type to every output type, 1, 2, 8 and 32
//     channels, a block that stays in cache and one that streams from memory;
//   video/<size>/<uint8|uint16>/fourcc<1|2|3>: column-major planes into the
//     layout the filter produces for them (uint8: packed BGR24 or grey bytes;
//     uint16: 16-bit planes);
//   video/<size>/uint8/yuv420: RGB planes into the 4:2:0 planes of the encoders.
// Figures are items (samples or pixels) per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "PlaneTranspose.h"
#include "sluice/records.h"
#include "AudioKernels.h"

namespace {

using hostlib::multimedia::AudioDataType;

constexpr long kTypes[] = {0, 1, 2, 3, 4, 5, 6, 7, 9, 10};

// Input bytes that are valid samples of every type: small values for floats
// (full scale is 1.0), any bits for integers.
std::vector<unsigned char> sampleBytes(long type, std::size_t count) {
  std::size_t const size = type == 0   ? 8
                           : type == 1 ? 4
                           : type <= 3 ? 1
                           : type <= 5 ? 2
                           : type <= 7 ? 4
                                       : 3;
  std::vector<unsigned char> bytes(count * size);
  std::uint32_t seed = 99;
  for (std::size_t i = 0; i < count; ++i) {
    seed = seed * 1664525u + 1013904223u;
    double const x = (double(seed >> 8) / double(1 << 24) - 0.5) * 1.9;
    if (type == 0) {
      std::memcpy(&bytes[i * 8], &x, 8);
    } else if (type == 1) {
      float const f = float(x);
      std::memcpy(&bytes[i * 4], &f, 4);
    } else {
      for (std::size_t b = 0; b < size; ++b)
        bytes[i * size + b] = static_cast<unsigned char>(seed >> (8 * b));
    }
  }
  return bytes;
}

std::size_t sizeOf(long type) {
  return type == 0 ? 8 : type == 1 ? 4 : type <= 3 ? 1 : type <= 5 ? 2 : type <= 7 ? 4 : 3;
}

void audioKernel(benchmark::State& state, long in, long out, std::size_t channels, bool streaming) {
  // Cache: 16 Ki samples in all (at most 128 KiB of doubles); streaming: 8 Mi
  // samples (64 MiB of doubles), far beyond the last-level cache.
  std::size_t const samples = streaming ? (std::size_t(8) << 20) : (std::size_t(16) << 10);
  std::size_t const frames = samples / channels;
  std::vector<unsigned char> src = sampleBytes(in, frames * channels);
  std::vector<unsigned char> dst(frames * channels * sizeOf(out), 0);
  auto transpose = sluice::kernels::transposeFunction(in, out);
  for (auto _ : state) {
    transpose(src.data(), dst.data(), frames, channels);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(std::int64_t(state.iterations()) * std::int64_t(frames * channels));
  state.SetBytesProcessed(std::int64_t(state.iterations()) *
                          std::int64_t(frames * channels * (sizeOf(in) + sizeOf(out))));
}

template <typename T>
void videoKernel(benchmark::State& state, std::size_t w, std::size_t h, int fourCC) {
  std::size_t const es = sizeof(T);
  std::vector<unsigned char> planes[3];
  std::uint32_t seed = 5;
  for (auto& p : planes) {
    p.resize(w * h * es);
    for (auto& b : p) b = static_cast<unsigned char>((seed = seed * 1664525u + 1013904223u) >> 24);
  }
  unsigned char const* p0 = planes[0].data();
  unsigned char const* p1 = planes[1].data();
  unsigned char const* p2 = planes[2].data();
  std::size_t const n = w * h;
  if constexpr (sizeof(T) == 1) {
    // The layouts of a raw AVI: packed BGR24 rows for colour, grey bytes for one band.
    std::size_t const stride = sluice::dibStride(w);
    std::vector<std::uint8_t> out(stride * h, 0);
    auto const rows = static_cast<std::ptrdiff_t>(stride);
    std::ptrdiff_t const offsets[3] = {2, 1, 0};
    for (auto _ : state) {
      if (fourCC == 1) {
        sluice::kernels::packThree<T>(p2, p1, p0, w, h, out.data(), rows);
      } else if (fourCC == 2) {
        sluice::kernels::transposePlane<T, std::uint8_t>(p0, w, h, out.data(), 1,
                                                     static_cast<std::ptrdiff_t>(w));
      } else {
        sluice::kernels::yuv422ToRgb<T, std::uint8_t>(p0, p1, p2, w, h, out.data(), 3, rows, offsets);
      }
      benchmark::DoNotOptimize(out.data());
      benchmark::ClobberMemory();
    }
  } else {
    // The 16-bit "Planar" layout of a Motion JPEG 2000 file.
    std::vector<std::uint16_t> out(3 * n, 0);
    auto const rows = static_cast<std::ptrdiff_t>(w);
    std::ptrdiff_t const offsets[3] = {0, static_cast<std::ptrdiff_t>(n),
                                       static_cast<std::ptrdiff_t>(2 * n)};
    for (auto _ : state) {
      if (fourCC == 1) {
        unsigned char const* in[3] = {p0, p1, p2};
        for (std::size_t k = 0; k < 3; ++k)
          sluice::kernels::transposePlane<T, std::uint16_t>(in[k], w, h, out.data() + k * n, 1, rows);
      } else if (fourCC == 2) {
        sluice::kernels::transposePlane<T, std::uint16_t>(p0, w, h, out.data(), 1, rows);
      } else {
        sluice::kernels::yuv422ToRgb<T, std::uint16_t>(p0, p1, p2, w, h, out.data(), 1, rows, offsets);
      }
      benchmark::DoNotOptimize(out.data());
      benchmark::ClobberMemory();
    }
  }
  state.SetItemsProcessed(std::int64_t(state.iterations()) * std::int64_t(n));
}

// RGB planes into the 4:2:0 planes that Motion JPEG and H.264 encode.
void yuv420Kernel(benchmark::State& state, std::size_t w, std::size_t h) {
  std::vector<unsigned char> planes[3];
  std::uint32_t seed = 5;
  for (auto& p : planes) {
    p.resize(w * h);
    for (auto& b : p) b = static_cast<unsigned char>((seed = seed * 1664525u + 1013904223u) >> 24);
  }
  std::size_t const cw = (w + 1) / 2, ch = (h + 1) / 2;
  std::vector<std::uint8_t> y(w * h), u(cw * ch), v(cw * ch);
  for (auto _ : state) {
    sluice::kernels::rgbToYuv420<std::uint8_t>(planes[0].data(), planes[1].data(), planes[2].data(), w,
                                           h, sluice::kernels::kFullRange, y.data(), w, u.data(),
                                           v.data(), cw);
    benchmark::DoNotOptimize(y.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(std::int64_t(state.iterations()) * std::int64_t(w * h));
}

void registerAll() {
  for (long in : kTypes)
    for (long out : kTypes)
      for (std::size_t channels : {1, 2, 8, 32})
        for (bool streaming : {false, true}) {
          std::string name = std::string("audio/") + sluice::audioTypeName(in) + "/" +
                             sluice::audioTypeName(out) + "/" + std::to_string(channels) +
                             (streaming ? "/stream" : "/cache");
          benchmark::RegisterBenchmark(name.c_str(), audioKernel, in, out, channels, streaming);
        }
  struct Size {
    char const* name;
    std::size_t w, h;
  };
  for (Size s : {Size{"640x480", 640, 480}, Size{"1920x1080", 1920, 1080}})
    for (int fourCC : {1, 2, 3}) {
      std::string base = std::string("video/") + s.name;
      benchmark::RegisterBenchmark((base + "/uint8/fourcc" + std::to_string(fourCC)).c_str(),
                                   videoKernel<std::uint8_t>, s.w, s.h, fourCC)
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark((base + "/uint16/fourcc" + std::to_string(fourCC)).c_str(),
                                   videoKernel<std::uint16_t>, s.w, s.h, fourCC)
          ->Unit(benchmark::kMillisecond);
    }
  for (Size s : {Size{"640x480", 640, 480}, Size{"1920x1080", 1920, 1080}})
    benchmark::RegisterBenchmark((std::string("video/") + s.name + "/uint8/yuv420").c_str(),
                                 yuv420Kernel, s.w, s.h)
        ->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
  registerAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
