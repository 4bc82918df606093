#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "platform/pseudo_terminal.h"

namespace platform {

bool PseudoTerminal::Create() {
  Close();
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (master < 0) {
    error_ = std::string("posix_openpt: ") + strerror(errno);
    return false;
  }
  char name[128];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    error_ = std::string("pseudo-terminal set-up: ") + strerror(errno);
    ::close(master);
    return false;
  }
  termios t;
  if (tcgetattr(master, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);
  }
  const int keeper = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (keeper >= 0 && tcgetattr(keeper, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(keeper, TCSANOW, &t);
  }
  master_ = master;
  slaveKeeper_ = keeper;
  slavePath_ = name;
  error_.clear();
  return true;
}

void PseudoTerminal::Close() {
  if (slaveKeeper_ != kNoHandle) ::close(static_cast<int>(slaveKeeper_));
  if (master_ != kNoHandle) ::close(static_cast<int>(master_));
  slaveKeeper_ = kNoHandle;
  master_ = kNoHandle;
  slavePath_.clear();
}

}  // namespace platform
