#include "core/gateway.h"

#include <unistd.h>

#include "mqtt/discovery.h"
#include "core/journal_log.h"
#include "mqtt/state_topics.h"
#include "mqtt/write_request.h"

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

}  // namespace

Gateway::~Gateway() { Stop(); }

bool Gateway::PrepareLines(const GatewayConfig& config, const std::string& port,
                           std::vector<std::unique_ptr<LineWorker>>* lines) {
  for (const LineSpec& lineSpec : config.lines) {
    auto line = std::make_unique<LineWorker>(lineSpec, port, library_, config.mqtt.prefix, *this);
    std::string error;
    if (!line->Prepare(&error)) {
      Log(kError, "line %s: %s", lineSpec.name.c_str(), error.c_str());
      return false;
    }
    lines->push_back(std::move(line));
  }
  return true;
}

void Gateway::Announce(const std::vector<std::unique_ptr<LineWorker>>& lines, const GatewayConfig& config) {
  if (!config.mqtt.homeAssistant) return;
  for (size_t l = 0; l < lines.size(); ++l) {
    const hostlib::LineConfig& line = config.lines[l].config;
    for (size_t t = 0; t < line.tags.size(); ++t) {
      const hostlib::TagEntry& tag = line.tags[t];
      DiscoveredTag discovered;
      discovered.prefix = config.mqtt.prefix;
      discovered.line = lines[l]->name();
      discovered.device = tag.device;
      discovered.deviceType = line.devices[tag.deviceIndex].type;
      discovered.tag = tag.name;
      discovered.dataType = tag.dataType;
      discovered.writable = config.lines[l].writable[t];
      discovered.polled = tag.poll;
      discovered.field = lines[l]->WriteFieldOf(t);
      discovered.units = config.lines[l].units[t];
      if (DiscoveryComponent(discovered).empty()) continue;
      const std::string payload = DiscoveryPayload(discovered);
      store_->Set(DiscoveryTopic(discovered), payload, payload);
    }
  }
}

bool Gateway::Start(const GatewayConfig& config, const std::string& port) {
  mqtt_ = config.mqtt;
  store_ = std::make_unique<TopicStore>(std::chrono::seconds(mqtt_.maxIntervalS));
  std::vector<std::unique_ptr<LineWorker>> lines;
  if (!PrepareLines(config, port, &lines)) return false;
  useMqtt_ = config.useMqtt;
  std::string password, error;
  if (useMqtt_ && !ReadPassword(mqtt_, &password, &error)) {
    Log(kError, "%s", error.c_str());
    return false;
  }
  MqttClient::Handlers handlers;
  handlers.connected = [this] { Connected(); };
  handlers.message = [this](const std::string& topic, const std::string& payload, bool retained) {
    OnSetMessage(topic, payload, retained);
  };
  if (useMqtt_ && !client_.Start(mqtt_, password, ClientId(), mqtt_.prefix + "/$state", "offline", handlers, &error)) {
    Log(kError, "%s", error.c_str());
    return false;
  }
  stopped_ = false;
  Announce(lines, config);
  {
    std::lock_guard<std::mutex> lock(linesMutex_);
    lines_ = std::move(lines);
    for (auto& line : lines_) {
      Follow(*line);
      line->Start();
    }
  }
  if (!useMqtt_) {
    Log(kInfo, "polling %zu line%s, without MQTT", lines_.size(), lines_.size() == 1 ? "" : "s");
    return true;
  }
  publisher_ = std::thread([this] { PublishLoop(); });
  Log(kInfo, "polling %zu line%s, publishing under %s/ to %s", lines_.size(), lines_.size() == 1 ? "" : "s",
      mqtt_.prefix.c_str(), mqtt_.broker.c_str());
  return true;
}

bool Gateway::Reload(const GatewayConfig& config, const std::string& port) {
  if (!(config.mqtt == mqtt_)) Log(kWarning, "[mqtt] changed; the broker settings take effect when velkd is restarted");
  std::vector<std::unique_ptr<LineWorker>> lines;
  if (!PrepareLines(config, port, &lines)) {
    Log(kError, "reload refused; the lines run on as they were");
    return false;
  }
  std::vector<std::unique_ptr<LineWorker>> old;
  size_t kept = 0, adopted = 0;
  {
    // Under the lock throughout, so that the faces never find a line that
    // goes on missing. A take-over waits for the packet on its line.
    std::lock_guard<std::mutex> lock(linesMutex_);
    old.swap(lines_);
    for (auto& line : lines) {
      for (auto& running : old) {
        if (running == nullptr) continue;
        // A line whose file and port are as they were runs on, its devices
        // online throughout; the one prepared in its place is dropped.
        if (running->SameAs(*line)) {
          line = std::move(running);
          ++kept;
          break;
        }
        // New intervals, tags, faces or back-off on the same modules: the
        // new line takes over the port, the devices' health and the tags'
        // readings, so nothing goes offline and nothing waits to be read.
        if (line->SameModules(*running)) {
          line->TakeOver(*running);
          running.reset();
          Follow(*line);
          line->Start();
          ++adopted;
          break;
        }
      }
    }
    for (auto& line : lines) lines_.push_back(std::move(line));
  }
  // The other old lines close their ports before the new ones open them.
  for (auto& line : old)
    if (line != nullptr) line->Stop("reloading");
  // Their last states go out before they are forgotten; a line that keeps
  // its name is online again with its first answers.
  for (auto& line : old) {
    if (line == nullptr) continue;
    RetainLineState(*line, *store_);
    for (const Message& m : store_->Forget(mqtt_.prefix + "/" + line->name() + "/"))
      client_.Publish(m.topic, m.payload, true);
  }
  old.clear();
  std::lock_guard<std::mutex> lock(linesMutex_);
  Announce(lines_, config);
  for (auto& line : lines_) {
    if (line->running()) continue;
    Follow(*line);
    line->Start();
  }
  Log(kInfo, "reloaded: %zu line%s, %zu of them unchanged%s", lines_.size(), lines_.size() == 1 ? "" : "s", kept,
      adopted == 0 ? "" : (", " + std::to_string(adopted) + " with new settings on the same port").c_str());
  return true;
}

void Gateway::StopWrites() {
  std::lock_guard<std::mutex> lock(linesMutex_);
  for (auto& line : lines_) line->StopWrites("stopped");
}

void Gateway::Stop() {
  if (stopped_) return;
  stopped_ = true;
  StopWrites();
  {
    std::lock_guard<std::mutex> lock(linesMutex_);
    for (auto& line : lines_) line->Stop("stopped");
  }
  stopping_ = true;
  store_->Wake();
  if (publisher_.joinable()) publisher_.join();
  // What the lines said last, the outcomes of writes answered on the way,
  // then the gateway's own end; the will is kept for a gateway that dies
  // without this.
  if (client_.connected()) {
    const std::vector<Message> events = store_->TakeEvents();
    SyncLines();
    for (const Message& m : store_->TakeDue(std::chrono::milliseconds(0))) client_.Publish(m.topic, m.payload, true);
    for (const Message& m : events) client_.Publish(m.topic, m.payload, false);
    client_.Publish(mqtt_.prefix + "/$state", "offline", true);
    if (!client_.Flush(std::chrono::seconds(3))) Log(kWarning, "the broker did not confirm the last messages");
  }
  client_.Stop();
  std::lock_guard<std::mutex> lock(linesMutex_);
  lines_.clear();
  Log(kInfo, "stopped");
}

void Gateway::Send(const std::string& topic, const std::string& payload) {
  if (!useMqtt_) return;
  if (!client_.connected()) {
    Log(kWarning, "not sent (no broker): %s", topic.c_str());
    return;
  }
  // Through the publisher, which sends the line's state first: a client
  // that reads the tag after its write's outcome reads the written value.
  if (!store_->Event(topic, payload)) Log(kWarning, "too many write outcomes waiting; the oldest was dropped");
}

void Gateway::Connected() {
  client_.Publish(mqtt_.prefix + "/$state", "online", true);
  client_.Subscribe(mqtt_.prefix + "/+/+/+/set");
  store_->MarkAllDue();
}

void Gateway::Follow(LineWorker& line) {
  if (!useMqtt_) return;
  TopicStore* store = store_.get();
  line.state().OnChange([store] { store->Wake(); });
}

void Gateway::SyncLines() {
  std::lock_guard<std::mutex> lock(linesMutex_);
  for (auto& line : lines_) RetainLineState(*line, *store_);
}

void Gateway::OnSetMessage(const std::string& topic, const std::string& payload, bool retained) {
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
  std::string value, reason;
  if (retained) {
    // A retained command would be carried out again at every connection.
    reason = "retained writes are not carried out; publish without the retain flag";
    Log(kWarning, "ignored retained write on %s", topic.c_str());
    client_.Publish(result, WriteResultJson(false, PayloadEcho(payload), reason, ""), false);
    return;
  }
  bool queued = false;
  bool found = false;
  {
    std::lock_guard<std::mutex> lock(linesMutex_);
    for (auto& line : lines_) {
      if (line->name() != levels[0]) continue;
      found = true;
      queued = line->QueueWrite(levels[1], levels[2], payload, &value, &reason);
    }
  }
  if (!found) reason = "no such line";
  if (!queued) {
    Log(kWarning, "refused write on %s: %s", topic.c_str(), reason.c_str());
    client_.Publish(result, WriteResultJson(false, value.empty() ? PayloadEcho(payload) : value, reason, ""), false);
  }
}

void Gateway::PublishLoop() {
  while (!stopping_) {
    if (!client_.connected()) {
      client_.WaitConnected(std::chrono::milliseconds(500));
      continue;
    }
    // The outcomes taken before the lines' state is read: each goes out
    // after the state its line had when it answered.
    const std::vector<Message> events = store_->TakeEvents();
    SyncLines();
    bool held = false;
    for (const Message& m : store_->TakeDue(events.empty() ? std::chrono::seconds(1) : std::chrono::seconds(0))) {
      if (client_.Publish(m.topic, m.payload, true)) continue;
      store_->MarkDue(m.topic);
      held = true;
    }
    for (const Message& m : events)
      if (!client_.Publish(m.topic, m.payload, false)) Log(kWarning, "not sent (no broker): %s", m.topic.c_str());
    // Too much unacknowledged: let the broker catch up before trying again.
    if (held) client_.Flush(std::chrono::milliseconds(200));
  }
}

void Gateway::ForEachLine(const std::function<void(LineWorker&)>& visit) {
  std::lock_guard<std::mutex> lock(linesMutex_);
  for (auto& line : lines_) visit(*line);
}

}  // namespace velkd
