#include "core/line_state.h"

#include "value_format.h"

namespace velkd {

LineState::LineState(std::shared_ptr<const LineFile> lineFile) : lineFile_(std::move(lineFile)) {
  now_.lineFile = lineFile_;
  now_.name = lineFile_->name;
  now_.path = lineFile_->config.path;
  now_.tags.resize(lineFile_->tags.size());
  now_.devices.resize(lineFile_->config.devices.size());
  latest_ = std::make_shared<const LineSnapshot>(now_);
}

void LineState::OnPublish(Listener listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  listener_ = std::move(listener);
}

void LineState::Publish() {
  std::shared_ptr<const LineSnapshot> snapshot;
  Listener listener;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!dirty_) return;
    dirty_ = false;
    ++now_.sequence;
    snapshot = std::make_shared<const LineSnapshot>(now_);
    listener = listener_;
    std::lock_guard<std::mutex> swap(latestMutex_);
    latest_ = snapshot;
  }
  if (listener) listener(snapshot);
}

std::shared_ptr<const LineSnapshot> LineState::Latest() const {
  std::lock_guard<std::mutex> lock(latestMutex_);
  return latest_;
}

void LineState::MarkBad(Reading& tag, const std::string& reason, uint64_t fileTime) {
  if (!tag.good && tag.reason == reason) return;
  tag.good = false;
  tag.quality = 0;
  tag.reason = reason;
  // An unread tag stays unread: it has no value to show as bad.
  if (!tag.read) return;
  tag.fileTime = fileTime;
  tag.readAt = std::chrono::system_clock::now();
}

void LineState::SetTag(size_t tag, bool good, const Value& module, uint16_t quality, const std::string& reason,
                       uint64_t fileTime) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (tag >= now_.tags.size()) return;
  Reading& t = now_.tags[tag];
  t.read = true;
  t.good = good;
  if (good) {
    t.module = module;
    t.engineering = EngineeringValue(lineFile_->tags[tag].units, module);
  }
  t.quality = quality;
  t.reason = good ? std::string() : reason;
  t.fileTime = fileTime;
  t.readAt = std::chrono::system_clock::now();
  if (good) {
    t.everGood = true;
    t.lastGood = t.readAt;
  }
  dirty_ = true;
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
    dirty_ = true;
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
        if (lineFile_->tags[t].deviceIndex == device) MarkBad(now_.tags[t], reason, now);
    }
    dirty_ = true;
  }
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
    dirty_ = true;
  }
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
      for (Reading& t : now_.tags) MarkBad(t, reason, now);
    }
    dirty_ = true;
  }
}

void LineState::SetDriverCounters(uint64_t exchanges, uint64_t bytesSent, uint64_t bytesReceived) {
  std::lock_guard<std::mutex> lock(mutex_);
  now_.exchanges = exchanges;
  now_.bytesSent = bytesSent;
  now_.bytesReceived = bytesReceived;
  dirty_ = true;
}

void LineState::SetWritesQueued(size_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  now_.writesQueued = count;
  dirty_ = true;
}

bool LineState::PortOpen(std::string* error) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (error != nullptr) *error = now_.portError;
  return now_.portOpen;
}

void LineState::Adopt(const LineSnapshot& old, const std::vector<int>& tagFrom) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Its snapshots go on counting where the old line's left off.
    now_.sequence = old.sequence;
    now_.portOpen = old.portOpen;
    now_.portError = old.portError;
    now_.exchanges = old.exchanges;
    now_.bytesSent = old.bytesSent;
    now_.bytesReceived = old.bytesReceived;
    for (size_t d = 0; d < now_.devices.size() && d < old.devices.size(); ++d) now_.devices[d] = old.devices[d];
    for (size_t t = 0; t < now_.tags.size() && t < tagFrom.size(); ++t)
      if (tagFrom[t] >= 0 && static_cast<size_t>(tagFrom[t]) < old.tags.size())
        now_.tags[t] = old.tags[static_cast<size_t>(tagFrom[t])];
    // The readings' engineering values follow this line's scaling.
    for (size_t t = 0; t < now_.tags.size(); ++t)
      now_.tags[t].engineering = EngineeringValue(lineFile_->tags[t].units, now_.tags[t].module);
    dirty_ = true;
  }
}

bool LineState::Device(size_t device, DeviceState* state) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (device >= now_.devices.size()) return false;
  *state = now_.devices[device];
  return true;
}

}  // namespace velkd
