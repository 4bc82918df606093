#include "line_state.h"

namespace velkd {

LineState::LineState(const std::string& name, const std::string& path, size_t tags, size_t devices) {
  now_.name = name;
  now_.path = path;
  now_.tags.resize(tags);
  now_.devices.resize(devices);
}

void LineState::SetTag(size_t tag, bool good, const nlohmann::ordered_json& value, uint16_t quality,
                       const std::string& reason, uint64_t fileTime) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (tag >= now_.tags.size()) return;
  TagState& t = now_.tags[tag];
  t.read = true;
  t.good = good;
  if (good) t.value = value;
  t.quality = quality;
  t.reason = good ? std::string() : reason;
  t.fileTime = fileTime;
  t.readAt = std::chrono::system_clock::now();
  if (good) {
    t.everGood = true;
    t.lastGood = t.readAt;
  }
}

void LineState::CountPacket(size_t device, bool ok, const std::string& reason,
                            std::chrono::steady_clock::duration took) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (device >= now_.devices.size()) return;
  DeviceState& d = now_.devices[device];
  ++d.packets;
  ++d.packetsByReason[ok ? std::string("ok") : reason];
  const double seconds = std::chrono::duration<double>(took).count();
  size_t bucket = 0;
  while (bucket < kPacketSecondsBuckets.size() && seconds > kPacketSecondsBuckets[bucket]) ++bucket;
  ++d.packetSeconds[bucket];
  d.packetSecondsSum += seconds;
}

void LineState::SetDevice(size_t device, bool online, const std::string& reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (device >= now_.devices.size()) return;
  DeviceState& d = now_.devices[device];
  d.known = true;
  d.online = online;
  d.reason = online ? std::string() : reason;
  if (online) {
    d.everGood = true;
    d.lastGood = std::chrono::system_clock::now();
  }
}

void LineState::SetPort(bool open, const std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  now_.portOpen = open;
  now_.portError = open ? std::string() : error;
}

void LineState::SetDriverCounters(uint64_t exchanges, uint64_t bytesSent, uint64_t bytesReceived) {
  std::lock_guard<std::mutex> lock(mutex_);
  now_.exchanges = exchanges;
  now_.bytesSent = bytesSent;
  now_.bytesReceived = bytesReceived;
}

void LineState::SetWritesQueued(size_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  now_.writesQueued = count;
}

LineSnapshot LineState::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return now_;
}

bool LineState::Tag(size_t tag, TagState* state) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (tag >= now_.tags.size()) return false;
  *state = now_.tags[tag];
  return true;
}

bool LineState::Device(size_t device, DeviceState* state) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (device >= now_.devices.size()) return false;
  *state = now_.devices[device];
  return true;
}

}  // namespace velkd
