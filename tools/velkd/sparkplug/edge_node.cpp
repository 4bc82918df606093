#include "sparkplug/edge_node.h"

#include <nlohmann/json.hpp>

#include "sparkplug_b.pb.h"

namespace velkd::sparkplug {
namespace {

using Payload = org::eclipse::tahu::protobuf::Payload;

const char kBdSeq[] = "bdSeq";
const char kRebirth[] = "Node Control/Rebirth";
const char kVersion[] = "Node Info/Version";
const char kLines[] = "Node Info/Lines";
const char kPortsOpen[] = "Node Info/Ports Open";
// Aliases are unique across the node: its own metrics first, then every
// device's tags in the order of the line files.
const uint64_t kRebirthAlias = 1;
const uint64_t kPortsOpenAlias = 4;
const uint64_t kFirstDeviceAlias = 5;
// The quality a Sparkplug host shows for a metric.
const int32_t kQualityGood = 192;
const int32_t kQualityBad = 0;
// Distinct command problems said before the rest go unsaid.
const size_t kMaxNotes = 256;

void AddQuality(bool good, Metric* metric) {
  Payload::PropertySet* properties = metric->mutable_properties();
  properties->add_keys("Quality");
  Payload::PropertyValue* value = properties->add_values();
  value->set_type(kInt32);
  value->set_int_value(static_cast<uint32_t>(good ? kQualityGood : kQualityBad));
}

void AddUnit(const std::string& unit, Metric* metric) {
  if (unit.empty()) return;
  Payload::PropertySet* properties = metric->mutable_properties();
  properties->add_keys("engUnit");
  Payload::PropertyValue* value = properties->add_values();
  value->set_type(kString);
  value->set_string_value(unit);
}

// A reading's value, or null when it is not good.
void SetReading(DataType type, const MetricReading& reading, Metric* metric) {
  metric->set_timestamp(reading.timeMs);
  if (reading.good)
    SetMetricValue(type, reading.value, metric);
  else
    metric->set_is_null(true);
}

Metric* AddNodeMetric(Payload* payload, const char* name, uint64_t alias, DataType type, uint64_t nowMs) {
  Metric* metric = payload->add_metrics();
  metric->set_name(name);
  if (alias != 0) metric->set_alias(alias);
  metric->set_timestamp(nowMs);
  metric->set_datatype(type);
  return metric;
}

bool SameReading(const MetricReading& a, const MetricReading& b) {
  return a.good == b.good && (!a.good || a.value == b.value);
}

}  // namespace

std::string DuplicateDeviceId(const std::vector<DeviceFacts>& devices) {
  std::set<std::string> seen;
  for (const DeviceFacts& device : devices)
    if (!seen.insert(device.id).second) return device.id;
  return std::string();
}

EdgeNode::EdgeNode(NodeName name, std::string primaryHost, NodeFacts node, std::vector<DeviceFacts> devices)
    : name_(std::move(name)), primaryHost_(std::move(primaryHost)), node_(std::move(node)) {
  SetDevices(std::move(devices));
}

void EdgeNode::SetDevices(std::vector<DeviceFacts> devices) {
  devices_.clear();
  uint64_t alias = kFirstDeviceAlias;
  for (DeviceFacts& facts : devices) {
    Device device;
    device.firstAlias = alias;
    alias += facts.metrics.size();
    device.current.resize(facts.metrics.size());
    device.facts = std::move(facts);
    devices_.push_back(std::move(device));
  }
}

std::vector<Outgoing> EdgeNode::Reload(NodeFacts node, std::vector<DeviceFacts> devices, uint64_t nowMs) {
  node_ = std::move(node);
  SetDevices(std::move(devices));
  return state_ == State::kBorn ? Births(nowMs) : std::vector<Outgoing>{};
}

std::vector<std::string> EdgeNode::Subscriptions() const {
  std::vector<std::string> topics = {NodeTopic(name_, NodeMessage::kCommand),
                                     DeviceTopic(name_, DeviceMessage::kCommand, "+")};
  if (!primaryHost_.empty()) topics.push_back(HostStateTopic(primaryHost_));
  return topics;
}

std::string EdgeNode::DeathPayload(uint64_t bdSeq, uint64_t nowMs) const {
  Payload payload;
  payload.set_timestamp(nowMs);
  AddNodeMetric(&payload, kBdSeq, 0, kInt64, nowMs)->set_long_value(bdSeq);
  return payload.SerializeAsString();
}

uint64_t EdgeNode::NextSeq() {
  const uint64_t seq = seq_;
  seq_ = (seq_ + 1) % 256;
  return seq;
}

std::vector<Outgoing> EdgeNode::Connected(uint64_t bdSeq, uint64_t nowMs) {
  bdSeq_ = bdSeq;
  for (Device& device : devices_) device.born = false;
  // A host's state is learnt again from its retained STATE on every
  // connection: what it said on the last one may no longer hold.
  hostOnline_ = false;
  if (!primaryHost_.empty()) {
    state_ = State::kWaitingForHost;
    return {};
  }
  return Births(nowMs);
}

void EdgeNode::Disconnected() {
  state_ = State::kOffline;
  for (Device& device : devices_) device.born = false;
}

std::vector<Outgoing> EdgeNode::Births(uint64_t nowMs) {
  state_ = State::kBorn;
  seq_ = 0;
  Payload payload;
  payload.set_timestamp(nowMs);
  payload.set_seq(NextSeq());
  AddNodeMetric(&payload, kBdSeq, 0, kInt64, nowMs)->set_long_value(bdSeq_);
  AddNodeMetric(&payload, kRebirth, kRebirthAlias, kBoolean, nowMs)->set_boolean_value(false);
  AddNodeMetric(&payload, kVersion, 2, kString, nowMs)->set_string_value(node_.version);
  // Counts as Int32: hosts disagree on the field of a UInt32, none on this.
  AddNodeMetric(&payload, kLines, 3, kInt32, nowMs)->set_int_value(node_.lines);
  AddNodeMetric(&payload, kPortsOpen, kPortsOpenAlias, kInt32, nowMs)->set_int_value(node_.portsOpen);
  std::vector<Outgoing> out = {{NodeTopic(name_, NodeMessage::kBirth), payload.SerializeAsString()}};
  for (Device& device : devices_) {
    device.born = false;
    if (device.online) out.push_back(DeviceBirth(device, nowMs));
  }
  return out;
}

Outgoing EdgeNode::DeviceBirth(Device& device, uint64_t nowMs) {
  Payload payload;
  payload.set_timestamp(nowMs);
  payload.set_seq(NextSeq());
  for (size_t m = 0; m < device.facts.metrics.size(); ++m) {
    const MetricFact& fact = device.facts.metrics[m];
    const MetricReading& reading = device.current[m];
    Metric* metric = payload.add_metrics();
    metric->set_name(fact.name);
    metric->set_alias(device.firstAlias + m);
    metric->set_datatype(MetricDataType(fact));
    SetReading(MetricDataType(fact), reading, metric);
    if (reading.timeMs == 0) metric->set_timestamp(nowMs);  // never read yet
    AddUnit(fact.unit, metric);
    AddQuality(reading.good, metric);
  }
  device.born = true;
  device.sent = device.current;
  return {DeviceTopic(name_, DeviceMessage::kBirth, device.facts.id), payload.SerializeAsString()};
}

Outgoing EdgeNode::DeviceDeath(Device& device, uint64_t nowMs) {
  Payload payload;
  payload.set_timestamp(nowMs);
  payload.set_seq(NextSeq());
  device.born = false;
  return {DeviceTopic(name_, DeviceMessage::kDeath, device.facts.id), payload.SerializeAsString()};
}

std::vector<Outgoing> EdgeNode::Observe(size_t index, bool online, const std::vector<MetricReading>& readings,
                                        uint64_t nowMs) {
  if (index >= devices_.size()) return {};
  Device& device = devices_[index];
  device.online = online;
  for (size_t m = 0; m < device.current.size() && m < readings.size(); ++m) device.current[m] = readings[m];
  if (state_ != State::kBorn) return {};
  if (!online) return device.born ? std::vector<Outgoing>{DeviceDeath(device, nowMs)} : std::vector<Outgoing>{};
  if (!device.born) return {DeviceBirth(device, nowMs)};
  Payload payload;
  for (size_t m = 0; m < device.current.size(); ++m) {
    const MetricReading& now = device.current[m];
    MetricReading& sent = device.sent[m];
    if (SameReading(now, sent)) continue;
    Metric* metric = payload.add_metrics();
    metric->set_alias(device.firstAlias + m);
    // The datatype again, though the birth gave it: hosts built on the
    // reference payload library read no value without it.
    metric->set_datatype(MetricDataType(device.facts.metrics[m]));
    SetReading(MetricDataType(device.facts.metrics[m]), now, metric);
    if (now.good != sent.good) AddQuality(now.good, metric);
    sent = now;
  }
  if (payload.metrics_size() == 0) return {};
  payload.set_timestamp(nowMs);
  payload.set_seq(NextSeq());
  return {{DeviceTopic(name_, DeviceMessage::kData, device.facts.id), payload.SerializeAsString()}};
}

std::vector<Outgoing> EdgeNode::ObservePortsOpen(uint32_t portsOpen, uint64_t nowMs) {
  if (portsOpen == node_.portsOpen) return {};
  node_.portsOpen = portsOpen;
  if (state_ != State::kBorn) return {};
  Payload payload;
  payload.set_timestamp(nowMs);
  payload.set_seq(NextSeq());
  Metric* metric = payload.add_metrics();
  metric->set_alias(kPortsOpenAlias);
  metric->set_timestamp(nowMs);
  metric->set_datatype(kInt32);
  metric->set_int_value(portsOpen);
  return {{NodeTopic(name_, NodeMessage::kData), payload.SerializeAsString()}};
}

void EdgeNode::Note(const std::string& key, const std::string& text, Received* out) {
  if (noted_.size() >= kMaxNotes || !noted_.insert(key).second) return;
  out->notes.push_back(text);
}

Received EdgeNode::Receive(const std::string& topic, const std::string& payload, bool retained, uint64_t nowMs) {
  Received out;
  if (!primaryHost_.empty() && topic == HostStateTopic(primaryHost_)) {
    // The host keeps its state retained: that is how a node learns it.
    ReceiveHostState(payload, nowMs, &out);
    return out;
  }
  bool toNode = false;
  std::string deviceId;
  if (!ParseCommandTopic(name_, topic, &toNode, &deviceId)) return out;
  // A command kept by the broker was meant for a session long gone.
  if (retained) {
    Note("retained " + topic, "ignored a retained command on " + topic + ": commands must not be retained", &out);
    return out;
  }
  if (toNode) {
    ReceiveNodeCommand(topic, payload, nowMs, &out);
    return out;
  }
  for (size_t d = 0; d < devices_.size(); ++d)
    if (devices_[d].facts.id == deviceId) {
      ReceiveDeviceCommand(topic, d, payload, &out);
      return out;
    }
  Note("device " + topic, "ignored a command on " + topic + ": this node has no device '" + deviceId + "'", &out);
  return out;
}

void EdgeNode::ReceiveHostState(const std::string& text, uint64_t nowMs, Received* out) {
  const nlohmann::json state = nlohmann::json::parse(text, nullptr, false);
  const auto online = state.is_object() ? state.find("online") : state.end();
  const auto timestamp = state.is_object() ? state.find("timestamp") : state.end();
  if (!state.is_object() || online == state.end() || !online->is_boolean() || timestamp == state.end() ||
      !timestamp->is_number_unsigned()) {
    Note("state",
         "ignored the primary host's state on " + HostStateTopic(primaryHost_) +
             ": not {\"online\": true|false, \"timestamp\": MS}",
         out);
    return;
  }
  // A state older than one already seen is a stale retained message.
  const uint64_t at = timestamp->get<uint64_t>();
  if (at < hostTimestamp_) return;
  hostTimestamp_ = at;
  const bool wasOnline = hostOnline_;
  hostOnline_ = online->get<bool>();
  if (hostOnline_ && !wasOnline && state_ == State::kWaitingForHost) {
    out->publish = Births(nowMs);
  } else if (!hostOnline_ && state_ == State::kBorn) {
    // The host that went away stops trusting this session: the node dies
    // for it now, and is born in a new session (a new bdSeq) once the
    // host is back.
    out->publish.push_back({NodeTopic(name_, NodeMessage::kDeath), DeathPayload(bdSeq_, nowMs)});
    out->reconnect = true;
    state_ = State::kWaitingForHost;
    for (Device& device : devices_) device.born = false;
  }
}

void EdgeNode::ReceiveNodeCommand(const std::string& topic, const std::string& text, uint64_t nowMs, Received* out) {
  Payload payload;
  if (!payload.ParseFromString(text)) {
    Note("malformed " + topic, "ignored a command on " + topic + ": not a Sparkplug B payload", out);
    return;
  }
  for (const Metric& metric : payload.metrics()) {
    const bool rebirth = metric.name() == kRebirth || (!metric.has_name() && metric.alias() == kRebirthAlias);
    if (!rebirth) {
      Note("node metric " + topic + metric.name(),
           "ignored a command on " + topic + ": no node metric '" + metric.name() + "' takes commands", out);
    } else if (metric.value_case() != Metric::kBooleanValue) {
      Note("rebirth type " + topic, "ignored a rebirth command on " + topic + ": it takes a Boolean", out);
    } else if (metric.boolean_value() && state_ == State::kBorn) {
      out->publish = Births(nowMs);
    }
  }
}

void EdgeNode::ReceiveDeviceCommand(const std::string& topic, size_t index, const std::string& text, Received* out) {
  Payload payload;
  if (!payload.ParseFromString(text)) {
    Note("malformed " + topic, "ignored a command on " + topic + ": not a Sparkplug B payload", out);
    return;
  }
  const Device& device = devices_[index];
  for (const Metric& metric : payload.metrics()) {
    size_t m = 0;
    while (m < device.facts.metrics.size() &&
           !(metric.has_name() ? metric.name() == device.facts.metrics[m].name
                               : metric.has_alias() && metric.alias() == device.firstAlias + m))
      ++m;
    const std::string called = metric.has_name() ? metric.name() : "alias " + std::to_string(metric.alias());
    if (m == device.facts.metrics.size()) {
      Note("unknown " + topic + called, "refused a write on " + topic + ": no metric '" + called + "'", out);
      continue;
    }
    const MetricFact& fact = device.facts.metrics[m];
    MetricValue value;
    std::string reason;
    if (!fact.writable) {
      Note("read-only " + topic + called, "refused a write on " + topic + ": '" + fact.name + "' is not writable", out);
    } else if (!WrittenValue(fact, metric, &value, &reason)) {
      Note("refused " + topic + called + reason, "refused a write on " + topic + ": " + reason, out);
    } else {
      out->writes.push_back({index, m, value});
    }
  }
}

}  // namespace velkd::sparkplug
