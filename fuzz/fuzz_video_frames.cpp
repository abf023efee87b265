// Any frame settings and planes through tmmfb2videowriter into the scripted
// service: writeVideo (which pads MPEG-4 frames of odd height) and
// padToEvenHeightForMpeg4 directly. The host is honest about its planes: each
// one it passes holds a full frame of the widest element type.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "Bytes.h"
#include "hostlib/multimedia/exceptions.h"
#include "hostlib/multimedia/tmmfb2videowriter.h"
#include "scripted/Scripted.h"

namespace {

namespace hm = hostlib::multimedia;
using fuzzing::Bytes;

template <class Enum>
Enum pick(Bytes& in, int known) {
  std::uint8_t b = in.byte();
  // Mostly values in the enumeration, sometimes anything at all.
  return static_cast<Enum>(b < 224 ? b % known
                                   : static_cast<std::int32_t>(in.take<std::uint32_t>()));
}

void expectIdentifier(hm::Exception const& e) {
  if (!*e.name() || !*e.what()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  Bytes in(data, size);
  scripted::reset();
  std::size_t width = in.byte() % 40, height = in.byte() % 40;
  auto type = pick<hm::VideoDataType>(in, 10);
  auto fourcc = pick<hm::FourCCType>(in, 4);
  static hm::MMFileType const files[] = {hm::FILETYPE_NONE, hm::FILETYPE_AVI, hm::FILETYPE_MPEG4,
                                         hm::FILETYPE_MJ2};
  std::uint8_t f = in.byte();
  auto file = f < 240 ? files[f % 4] : static_cast<hm::MMFileType>(in.take<std::int32_t>());
  std::uint8_t nulls = in.byte();
  std::vector<std::vector<unsigned char>> planes(3);
  unsigned char const* p[3];
  for (int i = 0; i < 3; ++i) {
    planes[i].resize(width * height * 8 + 1);
    for (auto& b : planes[i]) b = in.byte();
    p[i] = (nulls >> i) & 1 ? nullptr : planes[i].data();
  }
  int frames = 1 + in.byte() % 3;
  try {
    hm::tmmfb2videowriter writer(u"/tmp/fuzz-video-frames.mp4", scripted::DEVICE,
                                 scripted::CONVERTER, scripted::FILTER);
    writer.setWidth(width);
    writer.setHeight(height);
    writer.setVideoDataType(type);
    writer.setFourCC(fourcc);
    writer.setFileType(file);
    writer.setFrameRate(in.byte());
    try {
      unsigned char *o0 = nullptr, *o1 = nullptr, *o2 = nullptr;
      writer.padToEvenHeightForMpeg4(p[0], p[1], p[2], o0, o1, o2);
      std::unique_ptr<unsigned char[]> a(o0), b(o1), c(o2);
    } catch (hm::Exception const& e) {
      expectIdentifier(e);
    }
    writer.open();
    for (int i = 0; i < frames; ++i) {
      try {
        writer.writeVideo(p[0], p[1], p[2]);
      } catch (hm::Exception const& e) {
        expectIdentifier(e);
      }
    }
    writer.close();
  } catch (hm::Exception const& e) {
    expectIdentifier(e);
  }
  return 0;
}
