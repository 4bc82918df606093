// What velksim shows while it serves: what each Data7210 display shows, the
// state of every module and the last commands received. On a terminal the
// view is redrawn in place; otherwise every new command and every change of
// a display becomes one plain line, so the output can be logged or piped.
#ifndef VELKSIM_LIVE_VIEW_H
#define VELKSIM_LIVE_VIEW_H

#include <stdint.h>
#include <stdio.h>

#include <map>
#include <string>

#include "sim/bus.h"

namespace velksim {

class LiveView {
 public:
  LiveView(const sim::Bus& bus, std::string linePath, bool redraw, FILE* out = stdout);

  // Brings the view up to date; call it at every refresh.
  void Update();
  // Leaves the terminal as a shell expects it.
  void Finish();

  // A line's bytes as readable text: printable characters as they are,
  // the carriage return as "<CR>", other bytes as "<XX>".
  static std::string Readable(const std::string& bytes);

 private:
  void Redraw();
  void PrintNew();

  const sim::Bus& bus_;
  const std::string linePath_;
  const bool redraw_;
  FILE* out_;
  uint64_t printedSequence_ = 0;
  std::map<uint8_t, std::string> shown_;
};

}  // namespace velksim

#endif
