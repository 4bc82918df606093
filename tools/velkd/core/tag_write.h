// The one write path of every face: a write a face has checked and
// encoded for the driver, and what became of it.
#ifndef VELKD_TAG_WRITE_H
#define VELKD_TAG_WRITE_H

#include <stddef.h>

#include <functional>
#include <string>

#include "velk4000/velk4000.h"

namespace velkd {

struct TagWrite {
  size_t tag = 0;  // of the line file
  velk::ValueSlot slot;
  std::string text;  // the value as written, for the log and the outcome
};

// `answered` tells a module that refused from one that said nothing.
struct WriteOutcome {
  bool ok = false;
  bool answered = false;
  std::string reason;
};

// Hears of each write of a batch, by its index in the batch: from the
// line's thread once the module confirmed and every tag that reads what it
// changed was read again, or from a stop for writes never done.
typedef std::function<void(size_t index, const WriteOutcome& outcome)> WritesDone;

}  // namespace velkd

#endif
