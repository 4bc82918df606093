#include "sparkplug/sparkplug_face.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>

#include "core/journal_log.h"
#include "sparkplug/sparkplug_sections.h"
#include "sparkplug/sparkplug_topics.h"
#include "sparkplug/snapshot_reading.h"
#include "value_format.h"

namespace velkd {
namespace {

using sparkplug::DeviceFacts;
using sparkplug::MetricFact;
using sparkplug::MetricReading;
using sparkplug::MetricValue;
using sparkplug::NodeFacts;
using sparkplug::NodeMessage;
using sparkplug::Outgoing;

// How long snapshots gather before the face looks at them: data by
// exception reaches the broker at most this much later.
const std::chrono::milliseconds kBatch(20);

uint64_t NowMs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
}

// Whether a host holding the births of `b` reads data of `a` right: the same
// devices with the same tags, types, units and write rights, in order.
bool SameDevices(const std::vector<DeviceFacts>& a, const std::vector<DeviceFacts>& b) {
  const auto sameMetric = [](const MetricFact& x, const MetricFact& y) {
    return x.name == y.name && x.velkType == y.velkType && x.scaled == y.scaled && x.unit == y.unit &&
           x.writable == y.writable && x.field == y.field;
  };
  if (a.size() != b.size()) return false;
  for (size_t d = 0; d < a.size(); ++d)
    if (a[d].id != b[d].id ||
        !std::equal(a[d].metrics.begin(), a[d].metrics.end(), b[d].metrics.begin(), b[d].metrics.end(), sameMetric))
      return false;
  return true;
}

// A written value as the driver's value text.
std::string WriteText(const MetricValue& value) {
  if (const bool* bit = std::get_if<bool>(&value)) return *bit ? "1" : "0";
  return sparkplug::ValueText(value);
}

}  // namespace

SparkplugFace::SparkplugFace(Lines& lines, const sparkplug::SparkplugSettings& settings)
    : lines_(lines), settings_(settings), bdSeq_(settings.bdSeqFile) {}

SparkplugFace::~SparkplugFace() { Stop(); }

void SparkplugFace::Describe(const Plant& plant, NodeFacts* node, std::vector<DeviceFacts>* devices) {
  places_.clear();
  devices->clear();
  node->version = VELK_VERSION;
  node->lines = static_cast<uint32_t>(plant.lines.size());
  node->portsOpen = 0;
  for (size_t l = 0; l < plant.lines.size(); ++l) {
    const LineWorker& line = *plant.lines[l];
    const LineFile& lineFile = line.lineFile();
    const size_t first = devices->size();
    for (size_t d = 0; d < lineFile.config.devices.size(); ++d) {
      devices->push_back({sparkplug::DeviceId(lineFile.name, lineFile.config.devices[d].name, d), {}});
      places_.push_back({l, lineFile.name, d, {}});
    }
    for (size_t t = 0; t < lineFile.tags.size(); ++t) {
      const TagRow& row = lineFile.tags[t];
      if (row.deviceIndex >= lineFile.config.devices.size()) continue;
      const size_t index = first + row.deviceIndex;
      (*devices)[index].metrics.push_back(
          {row.name, row.dataType, row.units.Scaled(), row.units.unit, row.writable, line.WriteFieldOf(t)});
      places_[index].tags.push_back(t);
    }
    if (line.state().Latest()->portOpen) ++node->portsOpen;
  }
  seen_.assign(plant.lines.size(), 0);
}

bool SparkplugFace::Start() {
  if (!settings_.on) return true;
  std::string password, error;
  if (!ReadBrokerPassword(settings_.broker, &password, &error)) {
    Log(kError, "[sparkplug]: %s", error.c_str());
    return false;
  }
  std::vector<std::string> subscriptions;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    plant_ = lines_.plant();
    NodeFacts node;
    Describe(*plant_, &node, &facts_);
    node_ = std::make_unique<sparkplug::EdgeNode>(sparkplug::NodeName{settings_.groupId, settings_.edgeNodeId},
                                                  settings_.primaryHostId, node, facts_);
    // Kept for the births; nothing is published before the connection.
    ObserveLines(true);
    subscriptions = node_->Subscriptions();
  }
  sparkplug::SparkplugLink::Handlers handlers;
  handlers.will = [this] {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string problem;
    willBdSeq_ = bdSeq_.Next(&problem);
    if (!problem.empty()) Log(kWarning, "Sparkplug: %s", problem.c_str());
    return node_->DeathPayload(willBdSeq_, NowMs());
  };
  handlers.connected = [this] {
    std::lock_guard<std::mutex> lock(mutex_);
    Log(kInfo, "Sparkplug: connected to %s, bdSeq %llu", settings_.broker.url.c_str(),
        static_cast<unsigned long long>(willBdSeq_));
    Publish(node_->Connected(willBdSeq_, NowMs()));
  };
  handlers.lost = [this] {
    std::lock_guard<std::mutex> lock(mutex_);
    node_->Disconnected();
  };
  handlers.message = [this](const std::string& topic, const std::string& payload, bool retained) {
    OnMessage(topic, payload, retained);
  };
  handlers.warn = [](const std::string& text) { Log(kWarning, "Sparkplug: %s", text.c_str()); };
  const sparkplug::NodeName name{settings_.groupId, settings_.edgeNodeId};
  if (!link_.Start(settings_.broker, password, "velkd-sparkplug-" + settings_.edgeNodeId,
                   sparkplug::NodeTopic(name, NodeMessage::kDeath), subscriptions, handlers, &error)) {
    Log(kError, "[sparkplug]: %s", error.c_str());
    return false;
  }
  started_ = true;
  thread_ = std::thread([this] { Run(); });
  Log(kInfo, "Sparkplug B edge node %s/%s on %s", settings_.groupId.c_str(), settings_.edgeNodeId.c_str(),
      settings_.broker.url.c_str());
  return true;
}

void SparkplugFace::Stop() {
  if (!started_) return;
  started_ = false;
  {
    std::lock_guard<std::mutex> lock(wakeMutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
  std::string farewell;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    farewell = node_->DeathPayload(willBdSeq_, NowMs());
  }
  link_.Stop(sparkplug::NodeTopic(node_->name(), NodeMessage::kDeath), farewell, std::chrono::seconds(2));
}

void SparkplugFace::Changed(const std::shared_ptr<const LineSnapshot>&) {
  if (!settings_.on) return;
  {
    std::lock_guard<std::mutex> lock(wakeMutex_);
    if (due_) return;  // the thread has yet to look: it sees this one too
    due_ = true;
  }
  wake_.notify_one();
}

void SparkplugFace::LinesChanged(const Plant&, const std::vector<std::shared_ptr<const LineSnapshot>>&) {
  // The thread finds the new plant itself.
  Changed(nullptr);
}

void SparkplugFace::Run() {
  pthread_setname_np(pthread_self(), "sparkplug");
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(wakeMutex_);
      // Bounded, so that a lost wake-up costs a second at most.
      wake_.wait_for(lock, std::chrono::seconds(1), [this] { return due_ || stopping_; });
      // The snapshots of the next moment are taken with this one: a plant's
      // lines publish after every packet, and one look at every line per
      // batch costs far less than one per snapshot.
      if (due_) wake_.wait_for(lock, kBatch, [this] { return stopping_; });
      if (stopping_) return;
      due_ = false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const std::shared_ptr<const Plant> plant = lines_.plant();
    if (plant != plant_) {
      // A reload. Devices and tags as they were keep their births and
      // aliases (the lines' new workers are read from now on); otherwise
      // the node is born again with the new ones.
      const size_t linesBefore = plant_->lines.size();
      plant_ = plant;
      NodeFacts node;
      std::vector<DeviceFacts> facts;
      Describe(*plant_, &node, &facts);
      const bool same = SameDevices(facts, facts_) && linesBefore == plant_->lines.size();
      facts_ = std::move(facts);
      if (!same) {
        Publish(node_->Reload(node, facts_, NowMs()));
        Log(kInfo, "Sparkplug: %zu devices after the reload, born again", facts_.size());
      }
      ObserveLines(true);
    } else {
      ObserveLines(false);
    }
  }
}

void SparkplugFace::ObserveLines(bool all) {
  const uint64_t now = NowMs();
  uint32_t portsOpen = 0;
  std::vector<std::shared_ptr<const LineSnapshot>> fresh(plant_->lines.size());
  for (size_t l = 0; l < plant_->lines.size(); ++l) {
    std::shared_ptr<const LineSnapshot> snapshot = plant_->lines[l]->state().Latest();
    if (snapshot->portOpen) ++portsOpen;
    if (!all && snapshot->sequence == seen_[l]) continue;
    seen_[l] = snapshot->sequence;
    fresh[l] = std::move(snapshot);
  }
  for (size_t d = 0; d < places_.size(); ++d) {
    const Place& place = places_[d];
    const LineSnapshot* snapshot = fresh[place.line].get();
    if (snapshot == nullptr || place.device >= snapshot->devices.size()) continue;
    const bool online = snapshot->portOpen && snapshot->devices[place.device].online;
    std::vector<MetricReading> readings;
    readings.reserve(place.tags.size());
    for (size_t t : place.tags)
      readings.push_back(t < snapshot->tags.size() ? SnapshotReading(snapshot->tags[t], online, now) : MetricReading());
    Publish(node_->Observe(d, online, readings, now));
  }
  Publish(node_->ObservePortsOpen(portsOpen, now));
}

void SparkplugFace::Publish(const std::vector<Outgoing>& messages) {
  for (const Outgoing& message : messages) link_.Publish(message.topic, message.payload);
}

void SparkplugFace::OnMessage(const std::string& topic, const std::string& payload, bool retained) {
  std::vector<Order> orders;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sparkplug::Received received = node_->Receive(topic, payload, retained, NowMs());
    Publish(received.publish);
    if (received.reconnect) link_.Reconnect();
    for (const std::string& note : received.notes) Log(kWarning, "Sparkplug: %s", note.c_str());
    for (const sparkplug::WriteOrder& write : received.writes) {
      if (write.device >= places_.size() || write.metric >= places_[write.device].tags.size()) continue;
      const Place& place = places_[write.device];
      Order order;
      order.line = place.lineName;
      order.device = facts_[write.device].id;
      order.metric = facts_[write.device].metrics[write.metric].name;
      order.write.tag = place.tags[write.metric];
      order.write.text = WriteText(write.value);
      std::string error;
      if (!hostlib::EncodeValue(order.write.text, facts_[write.device].metrics[write.metric].velkType,
                                &order.write.slot, &error)) {
        Log(kWarning, "Sparkplug: refused write of %s to %s/%s: %s", order.write.text.c_str(), order.device.c_str(),
            order.metric.c_str(), error.c_str());
        continue;
      }
      orders.push_back(std::move(order));
    }
  }
  Carry(orders);
}

void SparkplugFace::Carry(const std::vector<Order>& orders) {
  for (const Order& order : orders) {
    size_t ahead = 0;
    std::string reason;
    const std::string what = order.device + "/" + order.metric + " = " + order.write.text;
    const bool queued = lines_.Write(
        order.line, {order.write},
        [what](size_t, const WriteOutcome& outcome) {
          if (outcome.ok)
            Log(kInfo, "Sparkplug: wrote %s", what.c_str());
          else
            Log(kWarning, "Sparkplug: write %s failed: %s", what.c_str(), outcome.reason.c_str());
        },
        &ahead, &reason);
    if (!queued) Log(kWarning, "Sparkplug: write %s refused: %s", what.c_str(), reason.c_str());
  }
}

}  // namespace velkd
