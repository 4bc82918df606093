#include <windows.h>

#include "platform/atoms.h"

namespace platform {

uint16_t AddGlobalAtom(const char* text) { return text == nullptr ? 0 : GlobalAddAtomA(text); }

int GetGlobalAtomName(uint16_t atom, char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return 0;
  return static_cast<int>(GlobalGetAtomNameA(atom, buffer, size));
}

uint16_t DeleteGlobalAtom(uint16_t atom) { return GlobalDeleteAtom(atom); }

}  // namespace platform
