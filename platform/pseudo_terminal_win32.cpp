// Windows has no pseudo-terminals; a simulated bus there runs on a real port
// or a virtual null-modem pair.
#include "platform/pseudo_terminal.h"

namespace platform {

bool PseudoTerminal::Create() {
  error_ = "pseudo-terminals are not available on this system";
  return false;
}

bool PseudoTerminal::Link(const std::string&) {
  error_ = "pseudo-terminals are not available on this system";
  return false;
}

void PseudoTerminal::Close() {}

}  // namespace platform
