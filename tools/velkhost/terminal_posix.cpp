// The progress bar of a scan goes to the error output, which the platform
// layer does not describe.
#include <unistd.h>

#include "terminal.h"

namespace velkhost {

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

}  // namespace velkhost
