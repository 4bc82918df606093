// Reads fuzzer bytes as a sequence of small choices followed by a payload.
#ifndef VELK_FUZZ_FUZZ_INPUT_H
#define VELK_FUZZ_FUZZ_INPUT_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace fuzz {

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  // One byte (0 once the input is used up).
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint32_t Word() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(Byte()) << (8 * i);
    return v;
  }
  template <typename T, size_t N>
  const T& Pick(const T (&choices)[N]) {
    return choices[Byte() % N];
  }
  // The next `n` bytes (fewer at the end).
  std::string Bytes(size_t n) {
    const size_t take = n < size_ - pos_ ? n : size_ - pos_;
    std::string s(reinterpret_cast<const char*>(data_ + pos_), take);
    pos_ += take;
    return s;
  }
  std::string Rest() { return Bytes(size_ - pos_); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace fuzz

#endif
