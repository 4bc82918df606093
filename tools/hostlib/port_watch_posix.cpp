#include "port_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace hostlib {
namespace {

// The node's directory, or the nearest one above it that exists: a by-id
// directory vanishes with its last adapter.
std::string ExistingDirectoryOf(const std::string& path) {
  std::string dir = path;
  for (;;) {
    const size_t slash = dir.find_last_of('/');
    if (slash == std::string::npos) return ".";
    dir = slash == 0 ? "/" : dir.substr(0, slash);
    struct stat info;
    if (stat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return dir;
    if (dir == "/") return dir;
  }
}

}  // namespace

struct PortWatch::Impl {
  int inotify = -1;
  int wake[2] = {-1, -1};
  std::thread thread;
};

PortWatch::PortWatch(const std::string& portName, std::function<void()> appeared) : impl_(new Impl) {
  Impl& w = *impl_;
  w.inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (w.inotify < 0) return;
  const std::string dir = ExistingDirectoryOf(portName);
  // A node is created, a link is made or moved in, or udev changes a new
  // node's owner or mode after creating it.
  if (inotify_add_watch(w.inotify, dir.c_str(), IN_CREATE | IN_MOVED_TO | IN_ATTRIB) < 0 ||
      pipe2(w.wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    close(w.inotify);
    w.inotify = -1;
    return;
  }
  w.thread = std::thread([&w, appeared] {
    pollfd fds[2] = {{w.inotify, POLLIN, 0}, {w.wake[0], POLLIN, 0}};
    for (;;) {
      // Bounded, though only the two descriptors end the wait.
      if (poll(fds, 2, 60000) < 0) continue;
      if (fds[1].revents != 0) return;
      if (fds[0].revents == 0) continue;
      alignas(inotify_event) char events[4096];
      bool any = false;
      while (read(w.inotify, events, sizeof events) > 0) any = true;
      if (any) appeared();
    }
  });
}

PortWatch::~PortWatch() {
  Impl& w = *impl_;
  if (w.thread.joinable()) {
    // An empty pipe always takes one byte.
    const char byte = 0;
    const ssize_t written = write(w.wake[1], &byte, 1);
    (void)written;
    w.thread.join();
  }
  if (w.inotify >= 0) close(w.inotify);
  if (w.wake[0] >= 0) close(w.wake[0]);
  if (w.wake[1] >= 0) close(w.wake[1]);
}

bool PortWatch::watching() const { return impl_->inotify >= 0; }

}  // namespace hostlib
