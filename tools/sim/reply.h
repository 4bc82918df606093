// What a module puts back on the line for one command: the answer bytes in
// pieces, each after a pause. A plain answer is one piece without pause;
// faults add a delay, split it into chunks or put stray bytes in front.
#ifndef VELK_SIM_REPLY_H
#define VELK_SIM_REPLY_H

#include <stdint.h>

#include <string>
#include <vector>

namespace sim {

struct Piece {
  // Pause before these bytes: after the command's carriage return for the
  // first piece, after the previous piece for the others.
  uint32_t afterMs = 0;
  std::string bytes;
};

struct Reply {
  std::vector<Piece> pieces;

  bool empty() const { return pieces.empty(); }
  // Every byte of every piece, in order.
  std::string Bytes() const;
  // Sum of every pause: when the last byte goes out.
  uint32_t TotalMs() const;
};

}  // namespace sim

#endif
