#include "mqtt/mqtt_face.h"

#include <unistd.h>

#include "core/journal_log.h"
#include "mqtt/discovery.h"
#include "mqtt/history_message.h"
#include "mqtt/state_topics.h"
#include "mqtt/write_request.h"
#include "value_format.h"

namespace velkd {
namespace {

std::string ClientId() {
  char host[64] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  return "velkd-" + std::string(host) + "-" + std::to_string(getpid());
}

// The start of a refused payload, for the sender to recognise; a NUL or
// another control byte shows as a question mark.
std::string PayloadEcho(const std::string& payload) {
  std::string echo = payload.substr(0, 64);
  for (char& c : echo)
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  return echo;
}

// History beside live data: a few dozen unacknowledged at a time (about
// what the broker takes in flight), so that a live message queued in the
// client waits behind a millisecond of history, not the backlog; a turn
// every millisecond while a backlog lasts keeps that window full. Measured
// (scripts/store-bench.py): 200 at a time put 3.6 times the idle delay on
// live messages, 20 forwarded under 10,000 a second.
ForwardPacing MqttPacing() {
  ForwardPacing pacing;
  pacing.batch = 30;
  pacing.window = 30;
  return pacing;
}
const std::chrono::milliseconds kHistoryTurn(1);
// Before the first connection is made or refused, the broker is not yet
// away; a connection that takes longer is.
const std::chrono::seconds kFirstConnection(1);

}  // namespace

MqttFace::MqttFace(Lines& lines, const MqttSettings& settings)
    : lines_(lines), mqtt_(settings), store_(std::chrono::seconds(settings.maxIntervalS)), storeFace_(lines.store()) {
  if (mqtt_.on && storeFace_ != nullptr) forwarder_ = storeFace_->AddStream(kMqttStream, MqttPacing());
}

MqttFace::~MqttFace() { Stop(); }

void MqttFace::Announce(const Plant& plant) {
  if (!mqtt_.homeAssistant) return;
  for (const auto& line : plant.lines) {
    const LineFile& lineFile = line->lineFile();
    for (size_t t = 0; t < lineFile.tags.size(); ++t) {
      const TagRow& row = lineFile.tags[t];
      DiscoveredTag discovered;
      discovered.prefix = mqtt_.prefix;
      discovered.line = lineFile.name;
      discovered.device = row.device;
      discovered.deviceType = row.deviceType;
      discovered.tag = row.name;
      discovered.dataType = row.dataType;
      discovered.writable = row.writable;
      discovered.polled = row.polled;
      discovered.field = line->WriteFieldOf(t);
      discovered.units = row.units;
      if (DiscoveryComponent(discovered).empty()) continue;
      const std::string payload = DiscoveryPayload(discovered);
      store_.Set(DiscoveryTopic(discovered), payload, payload);
    }
  }
}

bool MqttFace::Start() {
  if (!mqtt_.on) return true;
  std::string password, error;
  if (!ReadPassword(mqtt_, &password, &error)) {
    Log(kError, "%s", error.c_str());
    return false;
  }
  MqttClient::Handlers handlers;
  handlers.connected = [this] { Connected(); };
  handlers.message = [this](const std::string& topic, const std::string& payload, bool retained) {
    OnSetMessage(topic, payload, retained);
  };
  handlers.published = [this](int mid) {
    if (forwarding_) forwarder_->Acknowledged(mid);
  };
  if (!client_.Start(mqtt_, password, ClientId(), mqtt_.prefix + "/$state", "offline", handlers, &error)) {
    Log(kError, "%s", error.c_str());
    return false;
  }
  started_ = true;
  const std::shared_ptr<const Plant> plant = lines_.plant();
  Announce(*plant);
  for (const auto& line : plant->lines) Changed(line->state().Latest());
  publisher_ = std::thread([this] { PublishLoop(); });
  Log(kInfo, "publishing under %s/ to %s", mqtt_.prefix.c_str(), mqtt_.broker.c_str());
  return true;
}

void MqttFace::Stop() {
  if (!started_) return;
  started_ = false;
  stopping_ = true;
  store_.Wake();
  if (publisher_.joinable()) publisher_.join();
  // What the lines said last, the outcomes of writes answered on the way,
  // then the gateway's own end; the will is kept for a gateway that dies
  // without this.
  if (client_.connected()) {
    const std::vector<Message> events = store_.TakeEvents();
    SyncLines();
    for (const Message& m : store_.TakeDue(std::chrono::milliseconds(0))) client_.Publish(m.topic, m.payload, true);
    for (const Message& m : events) client_.Publish(m.topic, m.payload, false);
    client_.Publish(mqtt_.prefix + "/$state", "offline", true);
    if (!client_.Flush(std::chrono::seconds(3))) Log(kWarning, "the broker did not confirm the last messages");
  }
  // History the broker acknowledged leaves the store; the rest waits there
  // for the next start.
  if (forwarder_ != nullptr) forwarder_->Poll();
  client_.Stop();
}

void MqttFace::Changed(const std::shared_ptr<const LineSnapshot>& snapshot) {
  if (!mqtt_.on) return;
  {
    // The publisher visits only the lines that changed, not the plant.
    std::lock_guard<std::mutex> lock(pendingMutex_);
    pending_[snapshot->name] = snapshot;
  }
  store_.Wake();
}

void MqttFace::LinesChanged(const Plant& now, const std::vector<std::shared_ptr<const LineSnapshot>>& gone) {
  if (!mqtt_.on) return;
  // The last states of the lines that went go out before they are
  // forgotten; a line that keeps its name is online again with its first
  // answers.
  {
    std::lock_guard<std::mutex> lock(syncMutex_);
    for (const auto& line : gone) {
      const auto found = retained_.find(line->name);
      RetainLineState(*line, found == retained_.end() ? nullptr : found->second.get(), mqtt_.prefix, store_);
      retained_.erase(line->name);
      for (const Message& m : store_.Forget(mqtt_.prefix + "/" + line->name + "/"))
        client_.Publish(m.topic, m.payload, true);
    }
  }
  Announce(now);
  // Snapshots of the new lines may have come before the plant named them.
  for (const auto& line : now.lines) Changed(line->state().Latest());
}

void MqttFace::KeepOutcome(const std::string& topic, const std::string& payload) {
  if (forwarder_ != nullptr && storeFace_->open())
    storeFace_->AppendOutcome(kMqttStream, OutcomeRecord(mqtt_.prefix, topic, payload));
  else
    Log(kWarning, "not sent (no broker): %s", topic.c_str());
}

void MqttFace::SendResult(const std::string& topic, const std::string& payload) {
  if (!client_.connected()) {
    KeepOutcome(topic, payload);
    return;
  }
  // Through the publisher, which sends the line's state first: a client
  // that reads the tag after its write's outcome reads the written value.
  if (!store_.Event(topic, payload)) Log(kWarning, "too many write outcomes waiting; the oldest was dropped");
}

void MqttFace::Connected() {
  client_.Publish(mqtt_.prefix + "/$state", "online", true);
  client_.Subscribe(mqtt_.prefix + "/+/+/+/set");
  store_.MarkAllDue();
}

void MqttFace::SyncLines() {
  std::map<std::string, std::shared_ptr<const LineSnapshot>> changed;
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    changed.swap(pending_);
  }
  if (changed.empty()) return;
  const std::shared_ptr<const Plant> plant = lines_.plant();
  std::lock_guard<std::mutex> lock(syncMutex_);
  for (const auto& [name, now] : changed) {
    // A line a reload took away says its last in LinesChanged, never here.
    const LineWorker* line = plant->Find(name);
    if (line == nullptr || &line->lineFile() != now->lineFile.get()) continue;
    std::shared_ptr<const LineSnapshot>& before = retained_[name];
    if (before == now) continue;
    RetainLineState(*now, before.get(), mqtt_.prefix, store_);
    before = now;
    if (forwarder_ != nullptr) justSynced_.push_back(now);
  }
}

void MqttFace::GoAway() {
  if (away_ || forwarder_ == nullptr) return;
  away_ = true;
  std::vector<std::shared_ptr<const LineSnapshot>> delivered;
  for (const auto& entry : delivered_) delivered.push_back(entry.second);
  storeFace_->SetAway(kMqttStream, true, delivered);
}

bool MqttFace::ForwardHistory() {
  if (forwarder_ == nullptr) return false;
  // Nothing stored: neither the file nor the forwarder is touched.
  if (!forwarding_ && storeFace_->held() == 0) return false;
  forwarding_ = true;
  std::vector<StoredRecord> batch;
  if (forwarder_->NextBatch(&batch)) {
    const std::shared_ptr<const Plant> plant = lines_.plant();
    for (const StoredRecord& record : batch) {
      const Message m = HistoryMessage(record, mqtt_.prefix, *plant);
      int mid = 0;
      if (!client_.Publish(m.topic, m.payload, false, &mid)) {
        forwarder_->NotSent(record.id);
        break;
      }
      forwarder_->Sent(mid, {record.id});
    }
  }
  if (forwarder_->inFlight() == 0 && storeFace_->held() == 0) forwarding_ = false;
  // Quick turns only while this stream sends: records of another stream
  // (Sparkplug's, its host away) are looked for at the ordinary turns.
  return !batch.empty() || forwarder_->inFlight() > 0;
}

void MqttFace::OnSetMessage(const std::string& topic, const std::string& payload, bool retained) {
  // PREFIX/LINE/DEVICE/TAG/set
  const std::string head = mqtt_.prefix + "/";
  if (topic.compare(0, head.size(), head) != 0) return;
  std::vector<std::string> levels;
  size_t start = head.size();
  for (size_t slash; (slash = topic.find('/', start)) != std::string::npos; start = slash + 1)
    levels.push_back(topic.substr(start, slash - start));
  levels.push_back(topic.substr(start));
  if (levels.size() != 4 || levels[3] != "set") return;
  const std::string result = topic + "/result";
  std::string reason;
  if (retained) {
    // A retained command would be carried out again at every connection.
    reason = "retained writes are not carried out; publish without the retain flag";
    Log(kWarning, "ignored retained write on %s", topic.c_str());
    client_.Publish(result, WriteResultJson(false, PayloadEcho(payload), reason, ""), false);
    return;
  }
  TagWrite write;
  bool queued = false;
  const std::shared_ptr<const Plant> plant = lines_.plant();
  const LineWorker* line = plant->Find(levels[0]);
  const int index = line == nullptr ? -1 : line->lineFile().config.FindTag(levels[2]);
  if (line == nullptr) {
    reason = "no such line";
  } else if (index < 0 || line->lineFile().tags[static_cast<size_t>(index)].device != levels[1]) {
    reason = "no such tag";
  } else if (!line->lineFile().tags[static_cast<size_t>(index)].writable) {
    reason = "not writable: the line file does not list this tag in [gateway] writable";
  } else {
    write.tag = static_cast<size_t>(index);
    const TagRow& row = line->lineFile().tags[write.tag];
    size_t ahead = 0;
    queued =
        ParseWritePayload(payload, row.dataType, line->WriteFieldOf(write.tag), &write.slot, &write.text, &reason) &&
        lines_.Write(
            levels[0], {write},
            [this, result, text = write.text](size_t, const WriteOutcome& outcome) {
              SendResult(result, WriteResultJson(outcome.ok, text, outcome.reason,
                                                 hostlib::FileTimeIso(hostlib::FileTimeNowHost())));
            },
            &ahead, &reason);
  }
  if (!queued) {
    Log(kWarning, "refused write on %s: %s", topic.c_str(), reason.c_str());
    client_.Publish(result, WriteResultJson(false, write.text.empty() ? PayloadEcho(payload) : write.text, reason, ""),
                    false);
  }
}

void MqttFace::PublishLoop() {
  const auto begun = std::chrono::steady_clock::now();
  uint64_t connection = 0;
  bool backlog = forwarder_ != nullptr;
  while (!stopping_) {
    if (!client_.connected()) {
      if (client_.failedOnce() || std::chrono::steady_clock::now() - begun > kFirstConnection) GoAway();
      client_.WaitConnected(std::chrono::milliseconds(away_ ? 500 : 100));
      continue;
    }
    const uint64_t now = client_.connections();
    const bool reconnected = now != connection;
    connection = now;
    if (reconnected && forwarder_ != nullptr) forwarder_->Disconnected();  // the one before is gone
    // The outcomes taken before the lines' state is read: each goes out
    // after the state its line had when it answered.
    const std::vector<Message> events = store_.TakeEvents();
    SyncLines();
    bool held = false;
    const std::chrono::milliseconds wait = !events.empty() ? std::chrono::milliseconds(0)
                                           : backlog       ? kHistoryTurn
                                                           : std::chrono::milliseconds(1000);
    for (const Message& m : store_.TakeDue(wait)) {
      if (client_.Publish(m.topic, m.payload, true)) continue;
      store_.MarkDue(m.topic);
      held = true;
    }
    for (const Message& m : events)
      if (!client_.Publish(m.topic, m.payload, false)) KeepOutcome(m.topic, m.payload);
    if (held) {
      // What changed since the last turn sent whole goes to the store.
      GoAway();
    } else {
      {
        std::lock_guard<std::mutex> lock(syncMutex_);
        for (auto& synced : justSynced_) delivered_[synced->name] = std::move(synced);
        justSynced_.clear();
      }
      // Back after a turn sent whole: live data from now on, and the
      // store's backlog after it.
      if (away_) {
        away_ = false;
        storeFace_->SetAway(kMqttStream, false);
      }
    }
    if (reconnected && forwarder_ != nullptr) forwarder_->Connected();
    if (!held) backlog = ForwardHistory();
    // Too much unacknowledged: let the broker catch up before trying again.
    if (held) client_.Flush(std::chrono::milliseconds(200));
  }
}

}  // namespace velkd
