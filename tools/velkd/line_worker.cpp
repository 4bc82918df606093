#include "line_worker.h"

#include <math.h>

#include <algorithm>
#include <set>

#include "journal_log.h"
#include "line_setup.h"
#include "outcome_text.h"
#include "packet_exchange.h"
#include "reading_json.h"
#include "value_format.h"
#include "write_field.h"
#include "write_request.h"

namespace velkd {
namespace {

// Writes beyond this wait nowhere: the sender is told the queue is full.
const size_t kMaxQueuedWrites = 32;
const uint32_t kMaxReopenDelayMs = 30000;

std::string Dump(const nlohmann::ordered_json& json) {
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

LineWorker::LineWorker(const LineSpec& lineSpec, const std::string& port, velkhost::DriverLibrary& library,
                       const std::string& prefix, Outbox& outbox)
    : spec_(lineSpec), port_(port.empty() ? lineSpec.config.port.name : port), library_(library), prefix_(prefix),
      outbox_(outbox),
      state_(lineSpec.name, lineSpec.config.path, lineSpec.config.tags.size(), lineSpec.config.devices.size()) {}

LineWorker::~LineWorker() {
  Stop("stopped");
  if (diagnostics_ != nullptr) diagnostics_->Release();
}

bool LineWorker::SameAs(const LineWorker& other) const {
  return spec_.text == other.spec_.text && spec_.config.path == other.spec_.config.path && port_ == other.port_ &&
         prefix_ == other.prefix_;
}

const velkhost::WriteField* LineWorker::WriteFieldOf(size_t tag) const {
  if (tag >= checked_.tags.size()) return nullptr;
  const velkhost::TagEntry& entry = spec_.config.tags[tag];
  return velkhost::WriteFieldOf(spec_.config.devices[entry.deviceIndex].type, checked_.tags[tag].registerName);
}

std::string LineWorker::DeviceTopic(size_t device) const {
  return prefix_ + "/" + spec_.name + "/" + spec_.config.devices[device].name;
}

std::string LineWorker::TagTopic(size_t tag) const {
  const velkhost::TagEntry& entry = spec_.config.tags[tag];
  return DeviceTopic(entry.deviceIndex) + "/" + entry.name;
}

bool LineWorker::Prepare(std::string* error) {
  driver_ = library_.CreateDriver();
  if (driver_ == nullptr) {
    *error = library_.error();
    return false;
  }
  void* diagnostics = nullptr;
  if (driver_->d->QueryInterface(velk::kIidIDriverDiagnostics, &diagnostics) == velk::kOk && diagnostics != nullptr)
    diagnostics_ = static_cast<velk::IDriverDiagnostics*>(diagnostics);
  std::vector<velkhost::ConfigProblem> problems, warnings;
  if (!velkhost::CheckLine(driver_->d, spec_.config, &checked_, &problems, &warnings)) {
    *error = "the driver rejected entries of " + spec_.config.path + ":";
    for (const velkhost::ConfigProblem& p : problems)
      *error += "\n  line " + std::to_string(p.line) + ": " + p.message;
    return false;
  }
  for (const velkhost::ConfigProblem& w : warnings)
    Log(kWarning, "%s:%d: %s", spec_.config.path.c_str(), w.line, w.message.c_str());
  // One plan per interval, so that a packet never makes a slow tag fast.
  const std::set<uint32_t> intervals(spec_.tagIntervalMs.begin(), spec_.tagIntervalMs.end());
  for (uint32_t interval : intervals) {
    auto group = std::make_unique<velkhost::LineConfig>(spec_.config);
    bool any = false;
    for (size_t t = 0; t < group->tags.size(); ++t) {
      group->tags[t].poll = group->tags[t].poll && spec_.tagIntervalMs[t] == interval;
      any = any || group->tags[t].poll;
    }
    if (!any) continue;
    velkhost::PacketPlan plan =
        velkhost::PlanReads(driver_->d, *group, checked_, velkhost::ItemLayout::kTagItem2);
    for (auto& packet : plan) {
      Scheduled scheduled;
      scheduled.packet = std::move(packet);
      scheduled.intervalMs = interval;
      packets_.push_back(std::move(scheduled));
    }
    groupConfigs_.push_back(std::move(group));
  }
  lastValues_.assign(spec_.config.tags.size(), nlohmann::ordered_json());
  devices_.assign(spec_.config.devices.size(), Published());
  return true;
}

void LineWorker::Start() {
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
}

void LineWorker::Stop(const std::string& reason) {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
  for (const PendingWrite& write : writes_)
    if (write.done) write.done({false, false, reason});
  writes_.clear();
  for (size_t d = 0; d < devices_.size(); ++d) PublishDevice(d, false, reason);
  if (driver_ != nullptr && portOpen_) driver_->d->ClosePort();
  portOpen_ = false;
}

bool LineWorker::OpenPort() {
  lastOpen_ = Clock::now();
  if (portOpen_) driver_->d->ClosePort();
  portOpen_ = false;
  std::string error, portName, note;
  if (port_.empty()) {
    error = "no port: give [port] name in " + spec_.config.path + " or --port NAME";
  } else if (velkhost::ShortPortName(port_, &portName, &note, &error)) {
    // A long /dev/serial/by-id/... name is followed to its device node at
    // every opening: the adapter may come back as another node.
    if (!note.empty() && error != portError_) Log(kInfo, "line %s: %s", spec_.name.c_str(), note.c_str());
    const velk::PortSettings settings = velkhost::MakePortSettings(spec_.config.port, portName, spec_.config.port.timeoutMs);
    portOpen_ = velkhost::OpenLine(*driver_, settings, &error);
  }
  state_.SetPort(portOpen_, error);
  if (!portOpen_) {
    if (error != portError_) Log(kError, "line %s: %s", spec_.name.c_str(), error.c_str());
    portError_ = error;
    for (size_t d = 0; d < devices_.size(); ++d) PublishDevice(d, false, "no port");
    return false;
  }
  Log(kInfo, "line %s: %s open", spec_.name.c_str(), port_.c_str());
  portError_.clear();
  if (spec_.config.port.hasPollDelay &&
      !velkhost::WritePollDelay(driver_->d, driver_->d2, spec_.config, checked_, spec_.config.port.pollDelayMs,
                                velkhost::ItemLayout::kTagItem2, &error))
    Log(kWarning, "line %s: poll_delay_ms not applied: %s", spec_.name.c_str(), error.c_str());
  return true;
}

void LineWorker::Run() {
  OpenPort();
  for (Scheduled& s : packets_) s.due = Clock::now();
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    if (!writes_.empty()) {
      const PendingWrite write = writes_.front();
      writes_.pop_front();
      state_.SetWritesQueued(writes_.size());
      lock.unlock();
      DoWrite(write);
      lock.lock();
      continue;
    }
    // A line that answers nothing at all (the port gone, an adapter
    // replaced) is opened again, less often the longer it stays silent.
    const bool silent = !portOpen_ || (!packets_.empty() && failedInRow_ >= packets_.size());
    const Clock::time_point reopenAt = lastOpen_ + std::chrono::milliseconds(reopenDelayMs_);
    if (silent && Clock::now() >= reopenAt) {
      lock.unlock();
      OpenPort();
      lock.lock();
      failedInRow_ = 0;
      // Back to a second once a module answers again.
      reopenDelayMs_ = std::min(reopenDelayMs_ * 2, kMaxReopenDelayMs);
      continue;
    }
    Scheduled* next = nullptr;
    for (Scheduled& s : packets_)
      if (next == nullptr || s.due < next->due) next = &s;
    Clock::time_point until = next != nullptr ? next->due : Clock::now() + std::chrono::seconds(1);
    // Without a port nothing is due before the next opening.
    if (!portOpen_) until = reopenAt;
    if (next == nullptr || !portOpen_ || Clock::now() < next->due) {
      wake_.wait_until(lock, until);
      continue;
    }
    lock.unlock();
    PollPacket(*next);
    lock.lock();
    const Clock::time_point now = Clock::now();
    next->due += std::chrono::milliseconds(next->intervalMs);
    // A line slower than its schedule polls as fast as it can, not in bursts.
    if (next->due < now) next->due = now;
  }
}

void LineWorker::CopyDriverCounters() {
  if (diagnostics_ == nullptr) return;
  velk::LineCounters counters{};
  counters.size = sizeof counters;
  if (diagnostics_->GetCounters(&counters) == 1)
    state_.SetDriverCounters(counters.exchanges, counters.bytesSent, counters.bytesReceived);
}

std::string LineWorker::FailureReason() {
  return velkhost::OutcomeReason(diagnostics_ != nullptr ? diagnostics_->GetLastOutcome() : -1);
}

void LineWorker::PollPacket(Scheduled& scheduled) {
  velkhost::HostPacket& packet = *scheduled.packet;
  const Clock::time_point started = Clock::now();
  const velkhost::PacketOutcome outcome = velkhost::RunPacket(*driver_, packet);
  const Clock::duration took = Clock::now() - started;
  const bool ok = outcome.result == 1;
  const std::string reason = ok ? std::string() : FailureReason();
  state_.CountPacket(packet.device(), ok, reason, took);
  CopyDriverCounters();
  for (size_t i = 0; i < packet.tags().size(); ++i) {
    const size_t tag = packet.tags()[i];
    const velkhost::TagReading reading =
        velkhost::ReadItem(packet, i, outcome, spec_.config.tags[tag].dataType, library_);
    std::string tagReason = reason;
    if (reading.state == velkhost::TagReading::kRefused) tagReason = "refused";
    if (reading.state == velkhost::TagReading::kNotStored) tagReason = "not stored";
    if (reading.ok) lastValues_[tag] = velkhost::ValueJson(reading.value);
    state_.SetTag(tag, reading.ok, lastValues_[tag], reading.quality, tagReason, reading.fileTime);
    PublishTag(tag, reading.ok, reading.quality, lastValues_[tag], tagReason, reading.fileTime);
  }
  failedInRow_ = ok ? 0 : failedInRow_ + 1;
  if (ok) {
    devices_[packet.device()].everGood = true;
    devices_[packet.device()].lastGood = Clock::now();
    devices_[packet.device()].lastGoodFileTime = outcome.fileTime;
    reopenDelayMs_ = 1000;
  }
  PublishDevice(packet.device(), ok, reason);
}

void LineWorker::PublishTag(size_t tag, bool ok, uint16_t quality, const nlohmann::ordered_json& value,
                            const std::string& reason, uint64_t fileTime) {
  // A bad reading keeps the last good value, marked bad with its reason.
  const nlohmann::ordered_json json = velkhost::ReadingJson(value, quality, ok, reason, fileTime);
  const std::string key = Dump(value) + "|" + std::to_string(quality) + (ok ? "|good|" : "|bad|") + reason;
  outbox_.Retain(TagTopic(tag), Dump(json), key);
}

void LineWorker::PublishDevice(size_t device, bool online, const std::string& reason) {
  Published& state = devices_[device];
  const std::string why = online ? std::string() : reason;
  state_.SetDevice(device, online, why);
  if (!state.published || state.online != online || state.reason != why) {
    const velkhost::DeviceEntry& entry = spec_.config.devices[device];
    if (online)
      Log(kNotice, "line %s: device %s (%s at %s) online", spec_.name.c_str(), entry.name.c_str(), entry.type.c_str(),
          entry.address.c_str());
    else
      Log(kWarning, "line %s: device %s (%s at %s) offline: %s", spec_.name.c_str(), entry.name.c_str(),
          entry.type.c_str(), entry.address.c_str(), why.c_str());
  }
  state.published = true;
  state.online = online;
  state.reason = why;
  nlohmann::ordered_json json;
  json["state"] = online ? "online" : "offline";
  json["reason"] = online ? nlohmann::ordered_json() : nlohmann::ordered_json(why);
  if (state.everGood) {
    const double seconds = std::chrono::duration<double>(Clock::now() - state.lastGood).count();
    json["last_good_s"] = round(seconds * 10.0) / 10.0;
    // The absolute time too: a subscriber that comes late sees how long a
    // device has been down from the retained message alone.
    json["last_good"] = velkhost::FileTimeIso(state.lastGoodFileTime);
  } else {
    json["last_good_s"] = nullptr;
    json["last_good"] = nullptr;
  }
  outbox_.Retain(DeviceTopic(device) + "/$state", Dump(json), json["state"].get<std::string>() + "|" + why);
}

bool LineWorker::QueueWrite(const std::string& device, const std::string& tag, const std::string& payload,
                            std::string* value, std::string* reason) {
  const int index = spec_.config.FindTag(tag);
  if (index < 0 || spec_.config.tags[static_cast<size_t>(index)].device != device) {
    *reason = "no such tag";
    return false;
  }
  const size_t t = static_cast<size_t>(index);
  if (!spec_.writable[t]) {
    *reason = "not writable: the line file does not list this tag in [gateway] writable";
    return false;
  }
  const velkhost::TagEntry& entry = spec_.config.tags[t];
  const velkhost::WriteField* field = WriteFieldOf(t);
  PendingWrite write;
  write.tag = t;
  if (!ParseWritePayload(payload, entry.dataType, field, &write.slot, &write.text, reason)) return false;
  *value = write.text;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (writes_.size() >= kMaxQueuedWrites) {
      *reason = "write queue full";
      return false;
    }
    writes_.push_back(write);
    state_.SetWritesQueued(writes_.size());
  }
  wake_.notify_all();
  return true;
}

bool LineWorker::QueueWrites(const std::vector<TagWrite>& writes, const WritesDone& done, size_t* ahead,
                             std::string* reason) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (writes_.size() + writes.size() > kMaxQueuedWrites) {
      *reason = "write queue full";
      return false;
    }
    *ahead = writes_.size();
    for (size_t i = 0; i < writes.size(); ++i) {
      PendingWrite write;
      write.tag = writes[i].tag;
      write.slot = writes[i].slot;
      write.text = writes[i].text;
      write.done = [done, i](const WriteOutcome& outcome) { done(i, outcome); };
      writes_.push_back(write);
    }
    state_.SetWritesQueued(writes_.size());
  }
  wake_.notify_all();
  return true;
}

void LineWorker::DoWrite(const PendingWrite& write) {
  std::unique_ptr<velkhost::HostPacket> packet =
      velkhost::SingleTagPacket(spec_.config, checked_, write.tag, 1, velkhost::ItemLayout::kTagItem2);
  packet->value(0) = write.slot;
  // A display that refuses the command sets quality 0 and still reports
  // success; other writes leave the quality as it was.
  packet->set_quality(0, velkhost::kQualityUntouched);
  const velkhost::PacketOutcome outcome = velkhost::RunPacket(*driver_, *packet);
  CopyDriverCounters();
  const bool ok = outcome.result == 1 && packet->quality(0) != 0;
  const std::string reason = outcome.result != 1 ? FailureReason() : (ok ? std::string() : "refused");
  const velkhost::TagEntry& tag = spec_.config.tags[write.tag];
  if (ok)
    Log(kInfo, "line %s: wrote %s to %s/%s", spec_.name.c_str(), write.text.c_str(), tag.device.c_str(),
        tag.name.c_str());
  else
    Log(kWarning, "line %s: writing %s to %s/%s failed: %s", spec_.name.c_str(), write.text.c_str(),
        tag.device.c_str(), tag.name.c_str(), reason.c_str());
  if (write.done)
    write.done({ok, outcome.result == 1 || reason == "refused", reason});
  else
    outbox_.Send(TagTopic(write.tag) + "/set/result",
                 WriteResultJson(ok, write.text, reason, velkhost::FileTimeIso(outcome.fileTime)));
  // The tag's next reading shows what the module now holds.
  std::lock_guard<std::mutex> lock(mutex_);
  for (Scheduled& s : packets_)
    if (std::find(s.packet->tags().begin(), s.packet->tags().end(), write.tag) != s.packet->tags().end())
      s.due = Clock::now();
}

}  // namespace velkd
