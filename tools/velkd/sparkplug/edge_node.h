// velkd as one Sparkplug B edge node: the births, the data by exception, the
// deaths and the commands of one MQTT session, as plain messages to publish.
// It owns no connection and no thread; whoever owns the connection calls it
// under one lock and publishes what it returns in the order returned, so
// that `seq` reaches the broker as it was counted.
//
// Each module of a line is one Sparkplug device. A device is born when the
// node is born and the device answers; it dies when it goes offline or its
// port is lost, and is born again on its first good answer. A reading that
// is not good is sent as null with quality 0, never as its old value.
#ifndef VELKD_SPARKPLUG_EDGE_NODE_H
#define VELKD_SPARKPLUG_EDGE_NODE_H

#include <stdint.h>

#include <set>
#include <string>
#include <vector>

#include "sparkplug/sparkplug_metric.h"
#include "sparkplug/sparkplug_topics.h"

namespace velkd::sparkplug {

// The node's own metrics.
struct NodeFacts {
  std::string version;
  uint32_t lines = 0;
  uint32_t portsOpen = 0;
};

struct DeviceFacts {
  std::string id;  // DeviceId()
  std::vector<MetricFact> metrics;
};

// A message to publish: QoS 0, not retained, as Sparkplug has births and
// data (the will, the NDEATH, is QoS 1 and is the connection's business).
struct Outgoing {
  std::string topic;
  std::string payload;
};

// A DCMD metric that passed every check: the value to write to the tag.
struct WriteOrder {
  size_t device = 0;
  size_t metric = 0;  // index into DeviceFacts::metrics, the tag's place on its device
  MetricValue value;
};

// What a received message asks for, besides the messages to publish.
struct Received {
  std::vector<Outgoing> publish;
  std::vector<WriteOrder> writes;
  // Commands refused or ignored, each said once (a sender that repeats a
  // bad command fills no log); say them as warnings.
  std::vector<std::string> notes;
  // End this connection once `publish` is sent, and connect again: the
  // primary host went offline, and the next session needs a new bdSeq.
  bool reconnect = false;
};

// The id two devices share (a line "bus1" with device "a_b" and a line
// "bus1_a" with device "b"), which a host could not tell apart; empty when
// every id is distinct.
std::string DuplicateDeviceId(const std::vector<DeviceFacts>& devices);

class EdgeNode {
 public:
  // `primaryHost` empty: births do not wait for a host application.
  EdgeNode(NodeName name, std::string primaryHost, NodeFacts node, std::vector<DeviceFacts> devices);

  const NodeName& name() const { return name_; }
  // Topics to subscribe to on every connection, before Connected().
  std::vector<std::string> Subscriptions() const;

  // The NDEATH for a connection with `bdSeq`: its will, and what a stop
  // sends before it disconnects.
  std::string DeathPayload(uint64_t bdSeq, uint64_t nowMs) const;

  // The files were read again: the devices and tags now served, with new
  // aliases. A born node is born again at once (NBIRTH); each device is
  // born on the next Observe() that finds it answering, so call Observe()
  // for every device right after.
  std::vector<Outgoing> Reload(NodeFacts node, std::vector<DeviceFacts> devices, uint64_t nowMs);

  // A new connection, whose will carries `bdSeq`: the births, unless a
  // primary host must say online first.
  std::vector<Outgoing> Connected(uint64_t bdSeq, uint64_t nowMs);
  // The connection is gone: nothing is born until the next one.
  void Disconnected();

  // The state of device `device` now: whether it answers, and every tag's
  // reading in the order of DeviceFacts::metrics. Kept for the next birth;
  // on a born node it gives a DBIRTH, a DDEATH or a DDATA of what changed.
  std::vector<Outgoing> Observe(size_t device, bool online, const std::vector<MetricReading>& readings, uint64_t nowMs);
  // The count of open ports: an NDATA when it changed.
  std::vector<Outgoing> ObservePortsOpen(uint32_t portsOpen, uint64_t nowMs);

  // A message on one of Subscriptions(): a command or the host's state.
  Received Receive(const std::string& topic, const std::string& payload, bool retained, uint64_t nowMs);

  bool born() const { return state_ == State::kBorn; }
  bool deviceBorn(size_t device) const { return devices_[device].born; }

 private:
  enum class State { kOffline, kWaitingForHost, kBorn };
  struct Device {
    DeviceFacts facts;
    uint64_t firstAlias = 0;
    bool online = false;
    std::vector<MetricReading> current;
    bool born = false;
    std::vector<MetricReading> sent;  // as the host last saw each metric
  };

  void SetDevices(std::vector<DeviceFacts> devices);
  uint64_t NextSeq();
  std::vector<Outgoing> Births(uint64_t nowMs);
  Outgoing DeviceBirth(Device& device, uint64_t nowMs);
  Outgoing DeviceDeath(Device& device, uint64_t nowMs);
  void ReceiveHostState(const std::string& payload, uint64_t nowMs, Received* out);
  void ReceiveNodeCommand(const std::string& topic, const std::string& payload, uint64_t nowMs, Received* out);
  void ReceiveDeviceCommand(const std::string& topic, size_t device, const std::string& payload, Received* out);
  void Note(const std::string& key, const std::string& text, Received* out);

  NodeName name_;
  std::string primaryHost_;
  NodeFacts node_;
  std::vector<Device> devices_;
  State state_ = State::kOffline;
  uint64_t bdSeq_ = 0;
  unsigned seq_ = 0;
  bool hostOnline_ = false;
  uint64_t hostTimestamp_ = 0;
  std::set<std::string> noted_;
};

}  // namespace velkd::sparkplug

#endif
