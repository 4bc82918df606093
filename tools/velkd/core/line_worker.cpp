#include "core/line_worker.h"

#include <algorithm>
#include <filesystem>
#include <set>

#include "core/journal_log.h"
#include "core/service_notify.h"
#include "line_setup.h"
#include "outcome_text.h"
#include "packet_exchange.h"
#include "value_format.h"
#include "write_field.h"

namespace velkd {
namespace {

// Writes beyond this wait nowhere: the sender is told the queue is full.
const size_t kMaxQueuedWrites = 32;
const uint32_t kMaxReopenDelayMs = 30000;
// A lost port is tried this often: a restarted peer or a re-plugged adapter
// is back in use within about a second even where no notice comes.
const auto kPortRetry = std::chrono::milliseconds(1000);

// The letters a register's name starts with: "DO" of "DO3" and of "DO".
// Registers of one stem on one module are views of the same inputs or
// outputs, so a write of one changes what the others read.
std::string RegisterStem(const char* name) {
  std::string stem;
  for (; name != nullptr && *name != '\0' && !(*name >= '0' && *name <= '9'); ++name) stem += *name;
  return stem;
}

bool SamePortSettings(const hostlib::PortConfig& a, const hostlib::PortConfig& b) {
  return a.name == b.name && a.baud == b.baud && a.dataBits == b.dataBits && a.parity == b.parity &&
         a.stopBits == b.stopBits && a.timeoutMs == b.timeoutMs && a.hasPollDelay == b.hasPollDelay &&
         a.pollDelayMs == b.pollDelayMs;
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

LineWorker::LineWorker(std::shared_ptr<const LineFile> lineFile, const std::string& port,
                       hostlib::DriverLibrary& library)
    : lineFile_(lineFile),
      port_(port.empty() ? lineFile->config.port.name : port),
      library_(library),
      state_(lineFile) {}

LineWorker::~LineWorker() {
  Stop("stopped");
  if (diagnostics_ != nullptr) diagnostics_->Release();
}

bool LineWorker::SameAs(const LineWorker& other) const {
  return lineFile_->text == other.lineFile_->text && lineFile_->config.path == other.lineFile_->config.path &&
         port_ == other.port_;
}

const hostlib::WriteField* LineWorker::WriteFieldOf(size_t tag) const {
  if (tag >= checked_.tags.size()) return nullptr;
  const hostlib::TagEntry& entry = lineFile_->config.tags[tag];
  return hostlib::WriteFieldOf(lineFile_->config.devices[entry.deviceIndex].type, checked_.tags[tag].registerName);
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
  std::vector<hostlib::ConfigProblem> problems, warnings;
  if (!hostlib::CheckLine(driver_->d, lineFile_->config, &checked_, &problems, &warnings)) {
    *error = "the driver rejected entries of " + lineFile_->config.path + ":";
    for (const hostlib::ConfigProblem& p : problems) *error += "\n  line " + std::to_string(p.line) + ": " + p.message;
    return false;
  }
  for (const hostlib::ConfigProblem& w : warnings)
    Log(kWarning, "%s:%d: %s", lineFile_->config.path.c_str(), w.line, w.message.c_str());
  // One plan per interval, so that a packet never makes a slow tag fast.
  std::set<uint32_t> intervals;
  for (const TagRow& row : lineFile_->tags) intervals.insert(row.intervalMs);
  for (uint32_t interval : intervals) {
    auto group = std::make_unique<hostlib::LineConfig>(lineFile_->config);
    bool any = false;
    for (size_t t = 0; t < group->tags.size(); ++t) {
      group->tags[t].poll = group->tags[t].poll && lineFile_->tags[t].intervalMs == interval;
      any = any || group->tags[t].poll;
    }
    if (!any) continue;
    hostlib::PacketPlan plan = hostlib::PlanReads(driver_->d, *group, checked_, hostlib::ItemLayout::kTagItem2);
    for (auto& packet : plan) {
      Scheduled scheduled;
      scheduled.packet = std::move(packet);
      scheduled.intervalMs = interval;
      packets_.push_back(std::move(scheduled));
    }
    groupConfigs_.push_back(std::move(group));
  }
  backoff_ = std::make_unique<hostlib::LineBackoff>(lineFile_->config.devices.size(), packets_.size(),
                                                    lineFile_->config.backoff);
  return true;
}

bool LineWorker::SameModules(const LineWorker& other) const {
  const hostlib::LineConfig& a = lineFile_->config;
  const hostlib::LineConfig& b = other.lineFile_->config;
  if (lineFile_->name != other.lineFile_->name || port_ != other.port_ || !SamePortSettings(a.port, b.port) ||
      a.devices.size() != b.devices.size())
    return false;
  for (size_t d = 0; d < a.devices.size(); ++d)
    if (a.devices[d].name != b.devices[d].name || a.devices[d].type != b.devices[d].type ||
        a.devices[d].address != b.devices[d].address)
      return false;
  return true;
}

void LineWorker::Start() {
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
}

void LineWorker::Halt() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
  // Its thread calls back into this worker: it ends first.
  watch_.reset();
}

void LineWorker::TakeOver(LineWorker& old) {
  old.Halt();
  // The driver object that holds the open port goes on; this worker's own,
  // used only to check the file, gives way.
  if (diagnostics_ != nullptr) diagnostics_->Release();
  driver_ = std::move(old.driver_);
  diagnostics_ = old.diagnostics_;
  old.diagnostics_ = nullptr;
  std::vector<int> tagFrom;
  for (const hostlib::TagEntry& tag : lineFile_->config.tags)
    tagFrom.push_back(old.lineFile_->config.FindTag(tag.name));
  state_.Adopt(*old.state_.Latest(), tagFrom);
  everOpen_ = old.everOpen_;
  lostAt_ = old.lostAt_;
  lastOpen_ = old.lastOpen_;
  // Accepted writes are carried out by the line that goes on, when their
  // tag is still writable there.
  std::deque<PendingWrite> queued;
  {
    std::lock_guard<std::mutex> lock(old.mutex_);
    queued.swap(old.writes_);
  }
  for (PendingWrite& write : queued) {
    const int tag = lineFile_->config.FindTag(old.lineFile_->config.tags[write.tag].name);
    if (tag < 0 || !lineFile_->tags[static_cast<size_t>(tag)].writable) {
      old.Answer(write, {false, false, "not writable after the reload"});
      continue;
    }
    write.tag = static_cast<size_t>(tag);
    writes_.push_back(std::move(write));
  }
  state_.SetWritesQueued(writes_.size());
  state_.Publish();
}

void LineWorker::StopWrites(const std::string& reason) {
  std::deque<PendingWrite> refused;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    acceptWrites_ = false;
    refused.swap(writes_);
    state_.SetWritesQueued(0);
    state_.Publish();
    // The write on the line now, with its read-back: two exchanges.
    const auto bound = std::chrono::milliseconds(4 * lineFile_->config.port.timeoutMs + 2000);
    wake_.wait_for(lock, bound, [this] { return !writing_; });
  }
  for (const PendingWrite& write : refused) Answer(write, {false, false, reason});
}

void LineWorker::Stop(const std::string& reason) {
  if (!thread_.joinable()) return;
  StopWrites(reason);
  Halt();
  // Every device offline with `reason`, quietly: the gateway logs its own
  // stop or reload.
  if (driver_ != nullptr && state_.PortOpen()) driver_->d->ClosePort();
  state_.SetPort(false, reason, reason);
  state_.Publish();
}

bool LineWorker::OpenPort() {
  const Clock::time_point now = Clock::now();
  lastOpen_ = now;
  std::string before;
  const bool wasOpen = state_.PortOpen(&before);
  if (wasOpen) driver_->d->ClosePort();
  bool open = false;
  std::string error, portName, note;
  if (port_.empty()) {
    error = "no port: give [port] name in " + lineFile_->config.path + " or --port NAME";
  } else if (hostlib::ShortPortName(port_, &portName, &note, &error)) {
    // A long /dev/serial/by-id/... name is followed to its device node at
    // every opening: the adapter may come back as another node.
    if (!note.empty() && error != before) Log(kInfo, "line %s: %s", lineFile_->name.c_str(), note.c_str());
    const velk::PortSettings settings =
        hostlib::MakePortSettings(lineFile_->config.port, portName, lineFile_->config.port.timeoutMs);
    open = hostlib::OpenLine(*driver_, settings, &error);
  }
  if (!open) {
    retryAt_ = now + kPortRetry;
    WatchPort();
    if (wasOpen) lostAt_ = now;
    // One line per change: the first failure and each new reason. A node
    // that is still gone after "port lost" is what that line said already.
    std::error_code ec;
    const bool stillGone = everOpen_ && !wasOpen && !std::filesystem::exists(port_, ec);
    if (wasOpen || (error != before && !stillGone))
      Log(kError, "line %s: %s", lineFile_->name.c_str(),
          hostlib::JoinClauses((wasOpen ? "port lost: " : "") + error, "next try in " + RetryText()).c_str());
    state_.SetPort(false, error, everOpen_ ? "port lost" : "no port");
    state_.Publish();
    return false;
  }
  watch_.reset();
  if (everOpen_ && !wasOpen)
    Log(kNotice, "line %s: port back after %.1f s", lineFile_->name.c_str(), Seconds(now - lostAt_));
  else if (!everOpen_)
    Log(kInfo, "line %s: %s open", lineFile_->name.c_str(), port_.c_str());
  everOpen_ = true;
  state_.SetPort(true, std::string());
  if (lineFile_->config.port.hasPollDelay &&
      !hostlib::WritePollDelay(driver_->d, driver_->d2, lineFile_->config, checked_, lineFile_->config.port.pollDelayMs,
                               hostlib::ItemLayout::kTagItem2, &error))
    Log(kWarning, "line %s: poll_delay_ms not applied: %s", lineFile_->name.c_str(), error.c_str());
  // Everything is read again at once.
  for (Scheduled& s : packets_) s.due = Clock::now();
  state_.Publish();
  return true;
}

void LineWorker::WatchPort() {
  if (watch_ != nullptr || port_.empty()) return;
  watch_ = std::make_unique<hostlib::PortWatch>(port_, [this] {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      portAppeared_ = true;
    }
    wake_.notify_all();
  });
}

std::string LineWorker::RetryText() const {
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kPortRetry).count()) + " s" +
         (watch_ != nullptr && watch_->watching() ? ", or as soon as it appears" : "");
}

void LineWorker::PortLost(const std::string& reason) {
  const Clock::time_point now = Clock::now();
  driver_->d->ClosePort();
  lostAt_ = now;
  lastOpen_ = now;
  WatchPort();
  Log(kError, "line %s: port lost%s; next try in %s", lineFile_->name.c_str(),
      reason == "port lost" ? "" : (" (" + reason + ")").c_str(), RetryText().c_str());
  state_.SetPort(false, reason, "port lost");
  state_.Publish();
  // The node may be back already (a link pointed at a new adapter, or an
  // adapter's reset): the first try is at once, and quiet while it is gone.
  retryAt_ = now;
}

void LineWorker::Run() {
  if (!state_.PortOpen()) OpenPort();
  for (Scheduled& s : packets_) s.due = Clock::now();
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    LineAlive(lineFile_->name);
    if (!writes_.empty()) {
      const PendingWrite write = writes_.front();
      writes_.pop_front();
      state_.SetWritesQueued(writes_.size());
      writing_ = true;
      lock.unlock();
      DoWrite(write);
      lock.lock();
      writing_ = false;
      wake_.notify_all();
      continue;
    }
    if (!state_.PortOpen()) {
      if (portAppeared_ || Clock::now() >= retryAt_) {
        portAppeared_ = false;
        lock.unlock();
        OpenPort();
        lock.lock();
        failedInRow_ = 0;
      } else {
        wake_.wait_until(lock, retryAt_);
      }
      continue;
    }
    // A line whose port is there but answers nothing at all (an adapter
    // replaced under the same name) is opened again, less often the longer
    // it stays silent.
    const bool silent = !packets_.empty() && failedInRow_ >= packets_.size();
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
    if (next == nullptr || Clock::now() < next->due) {
      wake_.wait_until(lock, std::min(next != nullptr ? next->due : Clock::now() + std::chrono::seconds(1),
                                      Clock::now() + kLongestLineWait));
      continue;
    }
    lock.unlock();
    std::string held;
    if (backoff_->MaySend(next->packet->device(), static_cast<size_t>(next - packets_.data()), &held))
      PollPacket(*next);
    else
      HoldPacket(*next, held);
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
  if (diagnostics_->GetCounters(&counters) != 1) return;
  state_.SetDriverCounters(counters.exchanges, counters.bytesSent, counters.bytesReceived);
  const std::string late = hostlib::LateAnswerText(counters, lineFile_->config.port.timeoutMs);
  if (late != lateAnswer_ && !late.empty()) Log(kWarning, "line %s: %s", lineFile_->name.c_str(), late.c_str());
  lateAnswer_ = late;
}

int32_t LineWorker::LastOutcome() { return diagnostics_ != nullptr ? diagnostics_->GetLastOutcome() : -1; }

bool LineWorker::PollPacket(Scheduled& scheduled) {
  hostlib::HostPacket& packet = *scheduled.packet;
  const Clock::time_point started = Clock::now();
  const hostlib::PacketOutcome outcome = hostlib::RunPacket(*driver_, packet);
  const Clock::duration took = Clock::now() - started;
  const bool ok = outcome.result == 1;
  const int32_t code = ok ? velk::kOutcomeOk : LastOutcome();
  const std::string reason = ok ? std::string() : hostlib::OutcomeReason(code);
  CopyDriverCounters();
  // The port, not the module: every tag of the line stops being good.
  if (code == velk::kOutcomePortLost || code == velk::kOutcomeNoPort) {
    PortLost(reason);
    return false;
  }
  state_.CountPacket(packet.device(), ok, reason, took);
  RecordBackoff(packet.device(), static_cast<size_t>(&scheduled - packets_.data()), outcome);
  for (size_t i = 0; i < packet.tags().size(); ++i) {
    const size_t tag = packet.tags()[i];
    const hostlib::TagReading reading =
        hostlib::ReadItem(packet, i, outcome, lineFile_->config.tags[tag].dataType, library_);
    std::string tagReason = reason;
    if (reading.state == hostlib::TagReading::kRefused) tagReason = "refused";
    if (reading.state == hostlib::TagReading::kNotStored) tagReason = "not stored";
    state_.SetTag(tag, reading.ok, reading.ok ? ModuleValue(reading.value, lineFile_->tags[tag].dataType) : Value(),
                  reading.quality, tagReason, reading.fileTime);
  }
  failedInRow_ = ok ? 0 : failedInRow_ + 1;
  if (ok) reopenDelayMs_ = 1000;
  DeviceAnswered(packet.device(), outcome, reason);
  if (ok || code == velk::kOutcomeRefused)
    NoteRefusal(packet.device(), static_cast<size_t>(&scheduled - packets_.data()), !ok);
  state_.Publish();
  return true;
}

void LineWorker::HoldPacket(const Scheduled& scheduled, const std::string& why) {
  const uint64_t now = hostlib::FileTimeNowHost();
  for (size_t tag : scheduled.packet->tags()) state_.SetTag(tag, false, Value(), 0, why, now);
  state_.Publish();
}

void LineWorker::RecordBackoff(size_t device, size_t packet, const hostlib::PacketOutcome& outcome) {
  const hostlib::BackoffChange change = backoff_->Record(device, packet, outcome);
  if ((change != hostlib::BackoffChange::kPacketBusy && change != hostlib::BackoffChange::kPacketFree) ||
      packet >= packets_.size())
    return;
  // Device changes are logged with the device's state; a busy packet is
  // one read of a module that answers otherwise.
  const hostlib::DeviceEntry& entry = lineFile_->config.devices[device];
  std::string tags;
  for (size_t tag : packets_[packet].packet->tags())
    tags += (tags.empty() ? "" : ", ") + lineFile_->config.tags[tag].name;
  if (change == hostlib::BackoffChange::kPacketBusy)
    Log(kWarning, "line %s: device %s (%s at %s) stays busy reading %s; asked again in 1 s, then less often",
        lineFile_->name.c_str(), entry.name.c_str(), entry.type.c_str(), entry.address.c_str(), tags.c_str());
  else
    Log(kNotice, "line %s: device %s (%s at %s) answers %s again", lineFile_->name.c_str(), entry.name.c_str(),
        entry.type.c_str(), entry.address.c_str(), tags.c_str());
}

void LineWorker::NoteRefusal(size_t device, size_t packet, bool refused) {
  const auto ofDevice = [&] {
    for (size_t p : refusedPackets_)
      if (packets_[p].packet->device() == device) return true;
    return false;
  };
  const bool before = ofDevice();
  if (refused)
    refusedPackets_.insert(packet);
  else
    refusedPackets_.erase(packet);
  if (before == ofDevice()) return;
  const hostlib::DeviceEntry& entry = lineFile_->config.devices[device];
  std::string tags;
  for (size_t tag : packets_[packet].packet->tags())
    tags += (tags.empty() ? "" : ", ") + lineFile_->config.tags[tag].name;
  if (refused)
    Log(kWarning,
        "line %s: device %s (%s at %s) refuses reading %s: the module answers \"?\"; those tags are not good until it "
        "reads them",
        lineFile_->name.c_str(), entry.name.c_str(), entry.type.c_str(), entry.address.c_str(), tags.c_str());
  else
    Log(kNotice, "line %s: device %s (%s at %s) reads again what it refused", lineFile_->name.c_str(),
        entry.name.c_str(), entry.type.c_str(), entry.address.c_str());
}

void LineWorker::DeviceAnswered(size_t device, const hostlib::PacketOutcome& outcome, const std::string& reason) {
  const hostlib::ModuleAnswer answer = hostlib::ModuleAnswerOf(outcome);
  // Nothing was asked (the command not built): nothing is known.
  if (answer == hostlib::ModuleAnswer::kUnknown) return;
  const bool ok = outcome.result == 1;
  const bool answered = answer != hostlib::ModuleAnswer::kSilent;
  DeviceState before;
  state_.Device(device, &before);
  if (ok)
    state_.SetDevice(device, true, std::string());
  else if (answered)
    state_.SetAnswered(device);
  else
    state_.SetDevice(device, false, reason);
  const hostlib::DeviceEntry& entry = lineFile_->config.devices[device];
  // A device that was offline only for want of a port says nothing: the
  // line's own "port back" covers it.
  const bool lineWide = before.known && !before.online && before.portDown;
  if (answered && !before.online && !lineWide)
    Log(kNotice, "line %s: device %s (%s at %s) %s", lineFile_->name.c_str(), entry.name.c_str(), entry.type.c_str(),
        entry.address.c_str(), before.known ? "back" : "online");
  else if (!answered && (before.online || !before.known || lineWide))
    Log(kWarning, "line %s: device %s (%s at %s) offline: %s", lineFile_->name.c_str(), entry.name.c_str(),
        entry.type.c_str(), entry.address.c_str(), reason.c_str());
}

bool LineWorker::QueueWrites(const std::vector<TagWrite>& writes, const WritesDone& done, size_t* ahead,
                             std::string* reason) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!acceptWrites_) {
      *reason = "stopped";
      return false;
    }
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
    state_.Publish();
  }
  wake_.notify_all();
  return true;
}

void LineWorker::Answer(const PendingWrite& write, const WriteOutcome& outcome) {
  if (write.done) write.done(outcome);
}

void LineWorker::DoWrite(const PendingWrite& write) {
  std::unique_ptr<hostlib::HostPacket> packet =
      hostlib::SingleTagPacket(lineFile_->config, checked_, write.tag, 1, hostlib::ItemLayout::kTagItem2);
  packet->value(0) = write.slot;
  // A display that refuses the command sets quality 0 and still reports
  // success; other writes leave the quality as it was.
  packet->set_quality(0, hostlib::kQualityUntouched);
  const hostlib::PacketOutcome outcome = hostlib::RunPacket(*driver_, *packet);
  CopyDriverCounters();
  const bool ok = outcome.result == 1 && packet->quality(0) != 0;
  const int32_t code = outcome.result == 1 ? velk::kOutcomeOk : LastOutcome();
  const std::string reason =
      outcome.result != 1 ? std::string(hostlib::OutcomeReason(code)) : (ok ? std::string() : "refused");
  const hostlib::TagEntry& tag = lineFile_->config.tags[write.tag];
  if (code != velk::kOutcomePortLost && code != velk::kOutcomeNoPort)
    RecordBackoff(tag.deviceIndex, hostlib::LineBackoff::kNoPacket, outcome);
  if (ok)
    Log(kInfo, "line %s: wrote %s to %s/%s", lineFile_->name.c_str(), write.text.c_str(), tag.device.c_str(),
        tag.name.c_str());
  else
    Log(kWarning, "line %s: writing %s to %s/%s failed: %s", lineFile_->name.c_str(), write.text.c_str(),
        tag.device.c_str(), tag.name.c_str(), reason.c_str());
  if (code == velk::kOutcomePortLost || code == velk::kOutcomeNoPort) {
    if (state_.PortOpen()) PortLost(reason);
  } else if (ok) {
    ReadBack(write.tag);
  }
  state_.Publish();
  Answer(write, {ok, outcome.result == 1 || reason == "refused", reason});
}

void LineWorker::ReadBack(size_t tag) {
  // Before the answer: the next read on any face then shows what the module
  // holds now (which may be the value clamped or rounded), in the written
  // tag and in every other that reads the same outputs ("DO" after "DO3").
  const size_t device = lineFile_->tags[tag].deviceIndex;
  const std::string stem = RegisterStem(checked_.tags[tag].registerName);
  for (Scheduled& s : packets_) {
    if (s.packet->device() != device) continue;
    bool reads = false;
    for (size_t t : s.packet->tags()) reads = reads || t == tag || RegisterStem(checked_.tags[t].registerName) == stem;
    if (!reads) continue;
    if (!PollPacket(s)) return;  // the port is gone
    s.due = Clock::now() + std::chrono::milliseconds(s.intervalMs);
  }
}

}  // namespace velkd
