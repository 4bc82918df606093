// Serial ports on POSIX: ttys and pseudo-terminals, opened non-blocking and
// held exclusively, configured through termios2 so that any baud rate works.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include <limits.h>

#include <memory>
#include <string>

#if defined(__linux__) && __has_include(<asm/termbits.h>)
// The kernel's own termios: <termios.h> would clash with it, so line
// discipline calls go through ioctl only.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>
#if defined(TCGETS2) && defined(BOTHER)
#define VELK_SERIAL_TERMIOS2 1
#endif
#if __has_include(<linux/serial.h>)
#include <linux/serial.h>
#endif
#endif

#if !defined(VELK_SERIAL_TERMIOS2)
#include <sys/ioctl.h>
#include <termios.h>
#endif

#include "platform/clock.h"
#include "platform/line_timing.h"
#include "platform/serial_api.h"

namespace platform {
namespace {

// A name not starting with "/" is looked up in /dev.
std::string DevicePath(const char* name) {
  std::string path(name);
  if (!path.empty() && path[0] != '/') path = "/dev/" + path;
  return path;
}

#if defined(VELK_SERIAL_TERMIOS2)
typedef struct termios2 LineTermios;
bool GetTermios(int fd, LineTermios* t) { return ioctl(fd, TCGETS2, t) == 0; }
bool SetTermios(int fd, const LineTermios& t) { return ioctl(fd, TCSETS2, &t) == 0; }

uint32_t BaudOf(const LineTermios& t) { return t.c_ospeed; }

struct SpeedCode {
  uint32_t rate;
  tcflag_t code;
};

// A standard rate goes in with its standard code, so that every other
// program (stty, getty) reads it back; only other rates need BOTHER.
const SpeedCode kSpeedCodes[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool SetBaud(LineTermios* t, uint32_t baud) {
  tcflag_t code = BOTHER;
  for (const SpeedCode& s : kSpeedCodes)
    if (s.rate == baud) code = s.code;
  t->c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t->c_cflag |= code | (code << IBSHIFT);
  t->c_ispeed = baud;
  t->c_ospeed = baud;
  return true;
}

bool FlushQueues(int fd, int which) { return ioctl(fd, TCFLSH, which) == 0; }
#else
typedef struct termios LineTermios;
bool GetTermios(int fd, LineTermios* t) { return tcgetattr(fd, t) == 0; }
bool SetTermios(int fd, const LineTermios& t) { return tcsetattr(fd, TCSANOW, &t) == 0; }

// Systems without termios2 take the rate itself as the speed value.
uint32_t BaudOf(const LineTermios& t) { return static_cast<uint32_t>(cfgetospeed(&t)); }
bool SetBaud(LineTermios* t, uint32_t baud) { return cfsetspeed(t, static_cast<speed_t>(baud)) == 0; }

bool FlushQueues(int fd, int which) { return tcflush(fd, which) == 0; }
#endif

#if !defined(CMSPAR)
#define CMSPAR 0
#endif

bool SetFraming(LineTermios* t, const LineSettings& settings) {
  tcflag_t size;
  switch (settings.dataBits) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: return false;
  }
  tcflag_t parity;
  switch (settings.parity) {
    case 0: parity = 0; break;
    case 1: parity = PARENB | PARODD; break;
    case 2: parity = PARENB; break;
    case 3: parity = PARENB | PARODD | CMSPAR; break;
    case 4: parity = PARENB | CMSPAR; break;
    default: return false;
  }
  if ((settings.parity == 3 || settings.parity == 4) && CMSPAR == 0) return false;
  tcflag_t stop;
  switch (settings.stopBits) {
    case 1: stop = 0; break;
    case 2: stop = CSTOPB; break;
    default: return false;
  }
  t->c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
  t->c_cflag |= size | parity | stop | CREAD | CLOCAL;
  return true;
}

// Raw bytes both ways, as a Windows port has them: no software flow control
// (an XOFF byte inside an answer would stop every later command), no
// translation, no line editing. Hardware flow control (CRTSCTS) stays as
// the port has it.
void MakeRaw(LineTermios* t) {
  t->c_iflag = 0;
  t->c_oflag = 0;
  t->c_lflag = 0;
  t->c_cc[VMIN] = 0;
  t->c_cc[VTIME] = 0;
}

// An error that says the device does not offer a call at all, as opposed to
// a device that went away (EIO, ENXIO) and may answer again once re-opened.
bool Refused(int error) { return error == ENOTTY || error == EINVAL || error == EOPNOTSUPP; }

// True where the system has the port in RS-485 mode and switches the
// direction itself.
bool KernelRs485(int fd) {
#if defined(TIOCGRS485) && defined(SER_RS485_ENABLED)
  struct serial_rs485 rs485;
  memset(&rs485, 0, sizeof rs485);
  return ioctl(fd, TIOCGRS485, &rs485) == 0 && (rs485.flags & SER_RS485_ENABLED) != 0;
#else
  (void)fd;
  return false;
#endif
}

OpenError OpenErrorOf(int error) {
  switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR: return OpenError::kMissing;
    case EBUSY:
    case EWOULDBLOCK: return OpenError::kBusy;
    case EACCES:
    case EPERM:
    case EROFS: return OpenError::kPermission;
    case ENOTTY: return OpenError::kNotSerial;
    default: return OpenError::kOther;
  }
}

// One descriptor and what is known of it. Close happens once, in the
// destructor.
class PosixPort final : public Port {
 public:
  // `opened`: ours, non-blocking and exclusive; else adopted from the host.
  PosixPort(int fd, bool opened) : fd_(fd), exclusive_(opened), nonBlocking_(opened) {
    if (opened) {
      rs485Known_ = true;
      kernelRs485_ = KernelRs485(fd);
    }
  }

  ~PosixPort() override {
    // The exclusive flag belongs to the tty, not to the descriptor: clear it
    // so that the next opening after ours is not refused.
    if (exclusive_) ioctl(fd_, TIOCNXCL);
    ::close(fd_);
  }

  Handle handle() const override { return fd_; }

  bool Configure(const LineSettings& settings) override {
    LineTermios t;
    if (settings.baudRate == 0 || !GetTermios(fd_, &t)) return false;
    if (!SetFraming(&t, settings) || !SetBaud(&t, settings.baudRate)) return false;
    MakeRaw(&t);
    if (!SetTermios(fd_, t)) return false;
    charTimeUs_ = CharTimeUs(settings);
    return true;
  }

  bool Settings(LineSettings* settings) override {
    LineTermios t;
    if (settings == nullptr || !GetTermios(fd_, &t)) return false;
    settings->baudRate = BaudOf(t);
    switch (t.c_cflag & CSIZE) {
      case CS5: settings->dataBits = 5; break;
      case CS6: settings->dataBits = 6; break;
      case CS7: settings->dataBits = 7; break;
      default: settings->dataBits = 8; break;
    }
    if (!(t.c_cflag & PARENB))
      settings->parity = 0;
    else if (CMSPAR != 0 && (t.c_cflag & CMSPAR))
      settings->parity = (t.c_cflag & PARODD) ? 3 : 4;
    else
      settings->parity = (t.c_cflag & PARODD) ? 1 : 2;
    settings->stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    return true;
  }

  bool SetWriteLimit(uint32_t msPerByte, uint32_t extraMs) override {
    writeMsPerByte_ = msPerByte;
    writeExtraMs_ = extraMs;
    return true;
  }

  bool SetDirection(Direction direction) override {
    if (rtsRefused_ || kernelRs485_) return false;
    if (!rs485Known_) {
      // An adopted port: asked at its first use.
      rs485Known_ = true;
      kernelRs485_ = KernelRs485(fd_);
      if (kernelRs485_) return false;
    }
    int bits = TIOCM_RTS;
    if (ioctl(fd_, direction == Direction::kTransmit ? TIOCMBIS : TIOCMBIC, &bits) == 0) return true;
    if (Refused(errno)) rtsRefused_ = true;
    return false;
  }

  bool Discard(Queue queue) override {
    switch (queue) {
      case Queue::kInput: return FlushQueues(fd_, TCIFLUSH);
      case Queue::kOutput: return FlushQueues(fd_, TCOFLUSH);
      default: return FlushQueues(fd_, TCIOFLUSH);
    }
  }

  bool Drain(uint32_t maxMs) override {
    if (charTimeUs_ == 0) {
      // An adopted port: its rate is asked for at its first drain.
      LineSettings settings;
      charTimeUs_ = Settings(&settings) ? CharTimeUs(settings) : 1000u;
    }
    return DrainQueue(SystemClock(), charTimeUs_, maxMs, [this](uint32_t* bytes) { return Unsent(bytes); });
  }

  bool Read(void* bytes, uint32_t count, uint32_t* got) override {
    if (got != nullptr) *got = 0;
    if (bytes == nullptr && count > 0) return false;
    if (count == 0) return true;
    for (;;) {
      const ssize_t n = ::read(fd_, bytes, count);
      if (n >= 0) {
        if (got != nullptr) *got = static_cast<uint32_t>(n);
        return true;
      }
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
  }

  bool Write(const void* bytes, uint32_t count, uint32_t* written) override {
    if (written != nullptr) *written = 0;
    if (bytes == nullptr && count > 0) return false;
    const uint32_t limitMs = PrepareWrite(count);
    Clock& clock = SystemClock();
    const char* next = static_cast<const char*>(bytes);
    uint32_t done = 0;
    // The clock is read only when the port does not take everything at once.
    bool timed = false;
    uint32_t deadline = 0;
    while (done < count) {
      const ssize_t n = ::write(fd_, next + done, count - done);
      if (n > 0) {
        done += static_cast<uint32_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
      if (!timed) {
        timed = true;
        deadline = clock.TickMs() + limitMs;
      }
      const uint32_t left = TickRemaining(clock.TickMs(), deadline);
      if (left == 0) break;
      pollfd p = {fd_, POLLOUT, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(left > INT_MAX ? INT_MAX : left));
      if (ready < 0 && errno != EINTR) break;
      if (ready > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(p.revents & POLLOUT)) break;
    }
    if (written != nullptr) *written = done;
    return done == count;
  }

  WaitResult Wait(uint32_t maxMs) override {
    // A look (the line's check before every command) asks for the count of
    // bytes waiting. A poll would first wait for the system's work that
    // moves received bytes to the reader, and right after an answer that
    // work is usually still finishing the answer itself: the poll then
    // sleeps for it, which cost more than the rest of the exchange's own
    // work. Bytes still on their way are missed as they would be a moment
    // later. A port the system hung up fails the call, and the poll below
    // says so.
    int waiting = 0;
    if (maxMs == 0 && ::ioctl(fd_, FIONREAD, &waiting) == 0)
      return waiting > 0 ? WaitResult::kInput : WaitResult::kTimeout;
    Clock& clock = SystemClock();
    bool timed = false;
    uint32_t deadline = 0;
    uint32_t left = maxMs;
    for (;;) {
      pollfd p = {fd_, POLLIN, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(left > INT_MAX ? INT_MAX : left));
      if (ready > 0) {
        // Checked before POLLIN: a tty the system hung up also reports
        // itself readable, and its reads return nothing.
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
          // A hung-up line wakes poll at once, over and over: pace a
          // caller that goes on waiting as a plain 1 ms wait.
          clock.SleepMs(1);
          return WaitResult::kHangUp;
        }
        return WaitResult::kInput;
      }
      if (ready == 0) return WaitResult::kTimeout;
      if (errno != EINTR) return WaitResult::kHangUp;
      // Interrupted: wait out the rest.
      if (!timed) {
        timed = true;
        deadline = clock.TickMs() + maxMs;
      }
      left = TickRemaining(clock.TickMs(), deadline);
    }
  }

 private:
  // Bytes not yet on the wire. The kernel's queue empties before the UART
  // has shifted out the last character; where the device tells, that
  // character counts as well, so that a drained queue means the line is
  // idle.
  bool Unsent(uint32_t* bytes) {
    int out = 0;
    if (ioctl(fd_, TIOCOUTQ, &out) != 0) return false;
    *bytes = out > 0 ? static_cast<uint32_t>(out) : 0;
#if defined(TIOCSERGETLSR) && defined(TIOCSER_TEMT)
    if (*bytes == 0 && !lineStatusRefused_) {
      unsigned int lsr = 0;
      if (ioctl(fd_, TIOCSERGETLSR, &lsr) == 0) {
        if (!(lsr & TIOCSER_TEMT)) *bytes = 1;
      } else if (Refused(errno)) {
        lineStatusRefused_ = true;
      }
    }
#endif
    return true;
  }

  // The write's bound in milliseconds. A descriptor that would block (one
  // the host opened and handed over) is made non-blocking first, so that
  // the bound holds for it as well.
  uint32_t PrepareWrite(uint32_t count) {
    if (!nonBlocking_) {
      const int flags = fcntl(fd_, F_GETFL);
      if (flags >= 0 && ((flags & O_NONBLOCK) != 0 || fcntl(fd_, F_SETFL, flags | O_NONBLOCK) == 0))
        nonBlocking_ = true;
    }
    // Kept below 2^31 so that the deadline compares wrap-safe.
    const uint64_t limit = static_cast<uint64_t>(writeMsPerByte_) * count + writeExtraMs_;
    return limit > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<uint32_t>(limit);
  }

  const int fd_;
  uint32_t writeMsPerByte_ = kDefaultWriteMsPerByte;
  uint32_t writeExtraMs_ = kDefaultWriteExtraMs;
  uint32_t charTimeUs_ = 0;  // of the settings last applied; 0 until known
  const bool exclusive_;     // TIOCEXCL set by Open, to be cleared at closing
  // Checked once: a descriptor adopted from the host may block.
  bool nonBlocking_;
  // Asked once: where the kernel switches the RS-485 direction, RTS is not
  // the driver's.
  bool rs485Known_ = false;
  bool kernelRs485_ = false;
  // Calls the device refused once (a pseudo-terminal has no modem lines and
  // no line-status register) are not made again on this port.
  bool rtsRefused_ = false;
  bool lineStatusRefused_ = false;
};

class PosixSerialApi final : public SerialApi {
 public:
  Opened Open(const char* name) override {
    Opened opened;
    opened.error = OpenError::kMissing;
    if (name == nullptr || name[0] == '\0') return opened;
    const std::string device = DevicePath(name);
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      opened.error = OpenErrorOf(errno);
      return opened;
    }
    // flock refuses a second opening even by root or by this process, as
    // share mode 0 does on Windows; TIOCEXCL keeps out users that do not
    // lock. The lock comes first so that a refused opening changes nothing.
    if (!isatty(fd)) {
      opened.error = OpenError::kNotSerial;
      ::close(fd);
      return opened;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
      opened.error = OpenErrorOf(errno);
      ::close(fd);
      return opened;
    }
    opened.error = OpenError::kNone;
    opened.port.reset(new PosixPort(fd, true));
    return opened;
  }

  std::unique_ptr<Port> Adopt(Handle h) override {
    if (h < 0 || h > INT_MAX) return nullptr;
    return std::unique_ptr<Port>(new PosixPort(static_cast<int>(h), false));
  }
};

}  // namespace

SerialApi& DeviceSerialApi() {
  static PosixSerialApi api;
  return api;
}

}  // namespace platform
