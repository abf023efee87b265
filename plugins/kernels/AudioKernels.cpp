#include "AudioKernels.h"

#include "SampleConvert.h"

namespace sluice {
namespace kernels {

ConvertFunction convertFunction(long in, long out) {
  ConvertFunction result = nullptr;
  detail::withType(in, [&](auto i) {
    detail::withType(out, [&](auto o) { result = &detail::convertRun<decltype(i), decltype(o)>; });
  });
  return result;
}

TransposeFunction transposeFunction(long in, long out) {
  TransposeFunction result = nullptr;
  detail::withType(in, [&](auto i) {
    detail::withType(out,
                     [&](auto o) { result = &detail::transposeRun<decltype(i), decltype(o)>; });
  });
  return result;
}

}  // namespace kernels
}  // namespace sluice
