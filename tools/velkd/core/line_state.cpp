#include "core/line_state.h"

#include "value_format.h"

namespace velkd {

LineState::LineState(const std::string& name, const std::string& path, const std::vector<size_t>& tagDevices,
                     size_t devices)
    : tagDevices_(tagDevices) {
  now_.name = name;
  now_.path = path;
  now_.tags.resize(tagDevices.size());
  now_.devices.resize(devices);
}

LineState::LineState(const std::string& name, const std::string& path, size_t tags, size_t devices)
    : LineState(name, path, std::vector<size_t>(tags, 0), devices) {}

void LineState::OnChange(std::function<void()> changed) {
  std::lock_guard<std::mutex> lock(mutex_);
  onChange_ = std::move(changed);
}

void LineState::Changed() {
  std::function<void()> notify;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    changed_ = true;
    notify = onChange_;
  }
  if (notify) notify();
}

void LineState::MarkBad(TagState& tag, const std::string& reason, uint64_t fileTime) {
  if (!tag.good && tag.reason == reason) return;
  tag.good = false;
  tag.quality = 0;
  tag.reason = reason;
  // An unread tag stays unread: it has no value to show as bad.
  if (!tag.read) return;
  tag.fileTime = fileTime;
  tag.readAt = std::chrono::system_clock::now();
}

void LineState::SetTag(size_t tag, bool good, const nlohmann::ordered_json& value, uint16_t quality,
                       const std::string& reason, uint64_t fileTime) {
  {
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
  Changed();
}

void LineState::CountPacket(size_t device, bool ok, const std::string& reason,
                            std::chrono::steady_clock::duration took) {
  {  // counters are served on request, never published
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
}

void LineState::SetDevice(size_t device, bool online, const std::string& reason) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (device >= now_.devices.size()) return;
    DeviceState& d = now_.devices[device];
    d.known = true;
    d.online = online;
    d.portDown = false;
    d.reason = online ? std::string() : reason;
    if (online) {
      d.everGood = true;
      d.lastGood = std::chrono::system_clock::now();
    } else {
      const uint64_t now = hostlib::FileTimeNowHost();
      for (size_t t = 0; t < now_.tags.size(); ++t)
        if (tagDevices_[t] == device) MarkBad(now_.tags[t], reason, now);
    }
  }
  Changed();
}

void LineState::SetAnswered(size_t device) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (device >= now_.devices.size()) return;
    DeviceState& d = now_.devices[device];
    d.known = true;
    d.online = true;
    d.portDown = false;
    d.reason.clear();
  }
  Changed();
}

void LineState::SetPort(bool open, const std::string& error, const std::string& reason) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    now_.portOpen = open;
    now_.portError = open ? std::string() : error;
    if (!open) {
      const uint64_t now = hostlib::FileTimeNowHost();
      for (DeviceState& d : now_.devices) {
        d.known = true;
        d.online = false;
        d.portDown = true;
        d.reason = reason;
      }
      for (TagState& t : now_.tags) MarkBad(t, reason, now);
    }
  }
  Changed();
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

bool LineState::PortOpen(std::string* error) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (error != nullptr) *error = now_.portError;
  return now_.portOpen;
}

void LineState::Adopt(const LineSnapshot& old, const std::vector<int>& tagFrom) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    now_.portOpen = old.portOpen;
    now_.portError = old.portError;
    now_.exchanges = old.exchanges;
    now_.bytesSent = old.bytesSent;
    now_.bytesReceived = old.bytesReceived;
    for (size_t d = 0; d < now_.devices.size() && d < old.devices.size(); ++d) now_.devices[d] = old.devices[d];
    for (size_t t = 0; t < now_.tags.size() && t < tagFrom.size(); ++t)
      if (tagFrom[t] >= 0 && static_cast<size_t>(tagFrom[t]) < old.tags.size())
        now_.tags[t] = old.tags[static_cast<size_t>(tagFrom[t])];
  }
  Changed();
}

LineSnapshot LineState::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return now_;
}

bool LineState::TakeChanged(LineSnapshot* snapshot) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!changed_) return false;
  changed_ = false;
  *snapshot = now_;
  return true;
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
