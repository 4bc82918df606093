#include "sim/reply.h"

namespace sim {

std::string Reply::Bytes() const {
  std::string all;
  for (const Piece& piece : pieces) all += piece.bytes;
  return all;
}

uint32_t Reply::TotalMs() const {
  uint32_t total = 0;
  for (const Piece& piece : pieces) total += piece.afterMs;
  return total;
}

}  // namespace sim
