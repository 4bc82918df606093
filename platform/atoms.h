// The process-wide global atom table that carries string values to the host.
#ifndef VELK_PLATFORM_ATOMS_H
#define VELK_PLATFORM_ATOMS_H

#include <stdint.h>

namespace platform {

// Adds a reference to the atom of `text` (case-insensitive, at most 255
// characters), creating it when needed. Returns 0 on failure, a full table
// included. None of these functions throws.
uint16_t AddGlobalAtom(const char* text);

// Drops one reference to `atom`; the atom goes away with its last one.
// Returns 0 on success and `atom` itself when it is not in the table, as the
// Windows function does.
uint16_t DeleteGlobalAtom(uint16_t atom);

// Copies the atom's text into `buffer` (NUL-terminated, cut to size - 1) and
// returns its length; 0 for an unknown atom.
int GetGlobalAtomName(uint16_t atom, char* buffer, int size);

}  // namespace platform

#endif
