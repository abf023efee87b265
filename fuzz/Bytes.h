// Takes values off the front of a fuzzer's input; zeroes once it runs out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace fuzzing {

class Bytes {
 public:
  Bytes(std::uint8_t const* data, std::size_t size) : data_(data), size_(size) {}
  template <class T>
  T take() {
    T value{};
    std::size_t n = sizeof(T) < size_ ? sizeof(T) : size_;
    std::memcpy(&value, data_, n);
    data_ += n;
    size_ -= n;
    return value;
  }
  std::uint8_t byte() { return take<std::uint8_t>(); }
  bool empty() const { return size_ == 0; }

 private:
  std::uint8_t const* data_;
  std::size_t size_;
};

}  // namespace fuzzing
