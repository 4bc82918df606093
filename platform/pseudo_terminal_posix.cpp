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

bool PseudoTerminal::Link(const std::string& linkPath) {
  if (master_ == kNoHandle || linkPath.empty()) {
    error_ = "no pseudo-terminal to link to";
    return false;
  }
  // Made under a temporary name and renamed over the old link, so that the
  // name never points nowhere while it changes.
  const std::string temporary = linkPath + ".new";
  ::unlink(temporary.c_str());
  if (::symlink(slavePath_.c_str(), temporary.c_str()) != 0 || ::rename(temporary.c_str(), linkPath.c_str()) != 0) {
    error_ = "cannot link " + linkPath + " to " + slavePath_ + ": " + strerror(errno);
    ::unlink(temporary.c_str());
    return false;
  }
  linkPath_ = linkPath;
  return true;
}

void PseudoTerminal::Close() {
  if (!linkPath_.empty()) {
    // Only a link that still points at this pair is ours to remove.
    char target[256];
    const ssize_t n = ::readlink(linkPath_.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == slavePath_) ::unlink(linkPath_.c_str());
    linkPath_.clear();
  }
  if (slaveKeeper_ != kNoHandle) ::close(static_cast<int>(slaveKeeper_));
  if (master_ != kNoHandle) ::close(static_cast<int>(master_));
  slaveKeeper_ = kNoHandle;
  master_ = kNoHandle;
  slavePath_.clear();
}

}  // namespace platform
