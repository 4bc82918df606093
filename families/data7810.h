// The Data7810 family; its table is kData7810 (families/family.h).
#ifndef VELK_FAMILIES_DATA7810_H
#define VELK_FAMILIES_DATA7810_H

#include <stdint.h>

#include "families/family.h"

namespace families {

// What the family keeps of its modules from one packet to the next: the
// digital-output state each module last accepted, by address, since a write
// to one output carries the module's other outputs too.
struct Data7810State {
  uint8_t outputs[256] = {};
};

// The baud-rate code (3 for 1200 up to 8 for 38400, each step doubling) of a
// rate in bits per second; 0 for a rate that has no code.
uint8_t BaudCodeOfRate(uint32_t rate);

}  // namespace families

#endif
