// A small writer of ISO base media boxes (ISO/IEC 14496-12) into memory: fields
// big-endian, nested boxes sized when they end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sluice {
namespace support {

class IsoBoxWriter {
 public:
  void u8(std::uint32_t v) { bytes_.push_back(static_cast<std::uint8_t>(v)); }
  void u16(std::uint32_t v) {
    u8(v >> 8);
    u8(v);
  }
  void u32(std::uint32_t v) {
    u16(v >> 16);
    u16(v & 0xffff);
  }
  void u64(std::uint64_t v) {
    u32(static_cast<std::uint32_t>(v >> 32));
    u32(static_cast<std::uint32_t>(v));
  }
  void type(char const (&fourcc)[5]) {
    for (int i = 0; i < 4; ++i) u8(static_cast<unsigned char>(fourcc[i]));
  }
  void zeros(std::size_t n) { bytes_.insert(bytes_.end(), n, 0); }

  // Opens a box; its size is filled in by end().
  void begin(char const (&fourcc)[5]) {
    open_.push_back(bytes_.size());
    u32(0);
    type(fourcc);
  }
  // A full box: a box with version and 24-bit flags.
  void beginFull(char const (&fourcc)[5], unsigned version, std::uint32_t flags) {
    begin(fourcc);
    u32((version << 24) | (flags & 0xffffff));
  }
  void end() {
    std::size_t const start = open_.back();
    open_.pop_back();
    auto const size = static_cast<std::uint32_t>(bytes_.size() - start);
    for (int i = 0; i < 4; ++i) bytes_[start + i] = static_cast<std::uint8_t>(size >> (24 - 8 * i));
  }

  std::vector<std::uint8_t> const& bytes() const { return bytes_; }
  std::vector<std::uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::vector<std::size_t> open_;
};

}  // namespace support
}  // namespace sluice
