#include "sim/line_framer.h"

namespace sim {

void LineFramer::Feed(const char* bytes, size_t count, std::vector<std::string>* lines) {
  for (size_t i = 0; i < count; ++i) {
    const char c = bytes[i];
    if (discarding_) {
      if (c == '\r') discarding_ = false;
      continue;
    }
    partial_ += c;
    if (c == '\r') {
      lines->push_back(partial_);
      partial_.clear();
    } else if (partial_.size() >= maxLine_) {
      partial_.clear();
      discarding_ = true;
      ++dropped_;
    }
  }
}

}  // namespace sim
