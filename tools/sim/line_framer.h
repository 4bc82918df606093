// Cuts a byte stream into command lines at the carriage return. Bytes from
// the line are untrusted: a line that grows past the limit without a
// carriage return is dropped whole, up to and including its carriage
// return, instead of growing without bound.
#ifndef VELK_SIM_LINE_FRAMER_H
#define VELK_SIM_LINE_FRAMER_H

#include <stddef.h>

#include <string>
#include <vector>

namespace sim {

class LineFramer {
 public:
  explicit LineFramer(size_t maxLine = 1024) : maxLine_(maxLine) {}

  // Appends `count` bytes; every line completed by them (carriage return
  // included) is appended to `lines`.
  void Feed(const char* bytes, size_t count, std::vector<std::string>* lines);
  // Bytes waiting for their carriage return.
  size_t pending() const { return partial_.size(); }
  // Lines dropped for their length.
  size_t dropped() const { return dropped_; }

 private:
  const size_t maxLine_;
  std::string partial_;
  bool discarding_ = false;
  size_t dropped_ = 0;
};

}  // namespace sim

#endif
