#include "bench/bench_support.h"

#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "protocol/packet_items.h"
#include "sim/bus.h"

namespace bench {

size_t VelkFrame(const std::string& pending) {
  const size_t end = pending.find('\r');
  return end == std::string::npos ? 0 : end + 1;
}

CannedModule::CannedModule(Framer framer, std::string answer, uint32_t turnaroundUs)
    : framer_(std::move(framer)), answer_(std::move(answer)), turnaroundUs_(turnaroundUs) {
  ok_ = terminal_.Create();
  if (ok_) thread_ = std::thread([this] { Run(); });
}

CannedModule::~CannedModule() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  terminal_.Close();
}

void CannedModule::Run() {
  const int master = static_cast<int>(terminal_.master());
  std::string pending;
  char bytes[512];
  while (!stop_) {
    pollfd p = {master, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    const ssize_t n = read(master, bytes, sizeof bytes);
    if (n <= 0) continue;
    pending.append(bytes, static_cast<size_t>(n));
    size_t length;
    while ((length = framer_(pending)) > 0) {
      pending.erase(0, length);
      if (turnaroundUs_ > 0) std::this_thread::sleep_for(std::chrono::microseconds(turnaroundUs_));
      if (write(master, answer_.data(), answer_.size()) != static_cast<ssize_t>(answer_.size())) return;
    }
  }
}

BarePort::~BarePort() {
  if (fd_ >= 0) close(fd_);
}

bool BarePort::Open(const std::string& path, uint32_t baud) {
  fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd_ < 0) return false;
  termios t;
  if (tcgetattr(fd_, &t) != 0) return false;
  cfmakeraw(&t);
  const speed_t speed = baud >= 115200 ? B115200 : baud >= 57600 ? B57600 : baud >= 19200 ? B19200 : B9600;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  return tcsetattr(fd_, TCSANOW, &t) == 0;
}

size_t BarePort::Exchange(const std::string& command, int timeoutMs) {
  if (write(fd_, command.data(), command.size()) != static_cast<ssize_t>(command.size())) return 0;
  size_t length = 0;
  for (;;) {
    pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return 0;
    const ssize_t n = read(fd_, buffer_ + length, sizeof buffer_ - length);
    if (n <= 0) return 0;
    length += static_cast<size_t>(n);
    if (buffer_[length - 1] == '\r') return length;
    if (length == sizeof buffer_) return 0;
  }
}

std::string SimulatorAnswer(const char* type, int address, const std::string& command) {
  sim::Bus bus;
  bus.Add(type, static_cast<uint8_t>(address));
  std::string answer;
  for (const sim::Piece& piece : bus.Handle(command).pieces) answer += piece.bytes;
  return answer;
}

OneItemPacket::OneItemPacket(const char* type, const char* registerName, int16_t registerCode, int16_t channel,
                             int16_t dataType, int16_t address, bool checksums) {
  device.address = static_cast<uint32_t>(address);
  device.noChecksum = checksums ? 0 : 1;
  item.channel = channel;
  item.dataType = dataType;
  item.registerCode = registerCode;
  protocol::LinkOneItem(packet, node, &item);
  packet.address = address;
  packet.device = &device;
  packet.moduleType = type;
  packet.registerName = registerName;
  packet.registerCode = registerCode;
  packet.channelLow = channel;
  packet.channelHigh = channel;
}

bool DriverLine::Open(const std::string& path, uint32_t baud) {
  velk::PortSettings settings{};
  strncpy(settings.portName, path.c_str(), sizeof settings.portName - 1);
  settings.baudRate = baud;
  settings.dataBits = 8;
  settings.stopBits = 1;
  settings.timeoutMs = 1000;
  if (driver_.OpenPort(0, &settings) != 1) return false;
  // The DISPLAY register of a Velk module holds the first wait after a
  // command: 0 ms, as the host sets it for a fast line.
  OneItemPacket display("Velk4017", "DISPLAY", 4, 0, velk::kTypeWord, 1);
  display.packet.direction = 1;
  driver_.ProcessPacket2(&display.packet);
  return Read();
}

double Percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const size_t i = static_cast<size_t>(p * static_cast<double>(samples.size() - 1) + 0.5);
  return samples[std::min(i, samples.size() - 1)];
}

double ThreadCpuUs() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

}  // namespace bench
