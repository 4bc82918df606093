// A scratch buffer seen through the size one request asked for. Every
// place a request fills or reads goes through Put or Slice, which refuse
// an index outside that size instead of touching the memory beside it, so
// a check forgotten upstream costs an exception answer, never an overrun.
#ifndef VELKD_MODBUS_BOUNDED_SCRATCH_H
#define VELKD_MODBUS_BOUNDED_SCRATCH_H

#include <stddef.h>

#include <algorithm>
#include <array>

namespace velkd {

template <typename T, size_t Capacity>
class BoundedScratch {
 public:
  // Views the first `size` elements, zeroed; false (and an empty view) when
  // the buffer is smaller than that.
  bool Take(size_t size) {
    size_ = size <= Capacity ? size : 0;
    std::fill(data_.begin(), data_.begin() + size_, T());
    return size_ == size;
  }
  size_t size() const { return size_; }
  bool Put(size_t index, T value) {
    if (index >= size_) return false;
    data_[index] = value;
    return true;
  }
  // `count` elements from `first`, or null when they are not all in view.
  const T* Slice(size_t first, size_t count) const {
    return first <= size_ && count <= size_ - first ? data_.data() + first : nullptr;
  }
  // For libmodbus, which is told the view's size along with it.
  T* data() { return data_.data(); }

 private:
  std::array<T, Capacity> data_ = {};
  size_t size_ = 0;
};

}  // namespace velkd

#endif
