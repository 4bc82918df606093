// The process-wide global atom table that carries string values to the host.
#ifndef VELK_PLATFORM_ATOMS_H
#define VELK_PLATFORM_ATOMS_H

#include <stdint.h>

namespace platform {

// Adds a reference to the atom of `text` (case-insensitive, at most 255
// characters), creating it when needed. Returns 0 on failure.
uint16_t AddGlobalAtom(const char* text);

// Copies the atom's text into `buffer` (NUL-terminated, cut to size - 1) and
// returns its length; 0 for an unknown atom.
int GetGlobalAtomName(uint16_t atom, char* buffer, int size);

// Removes one reference; the atom is freed with its last one. Returns 0 on
// success and `atom` when it was not a live atom, as the Windows call does.
uint16_t DeleteGlobalAtom(uint16_t atom);

}  // namespace platform

#endif
