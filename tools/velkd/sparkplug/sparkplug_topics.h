// The Sparkplug B topic tree of one edge node:
//   spBv1.0/GROUP/NBIRTH|NDATA|NDEATH|NCMD/NODE
//   spBv1.0/GROUP/DBIRTH|DDATA|DDEATH|DCMD/NODE/DEVICE
//   spBv1.0/STATE/HOST            the primary host application's state
#ifndef VELKD_SPARKPLUG_TOPICS_H
#define VELKD_SPARKPLUG_TOPICS_H

#include <string>

namespace velkd::sparkplug {

enum class NodeMessage { kBirth, kData, kDeath, kCommand };
enum class DeviceMessage { kBirth, kData, kDeath, kCommand };

struct NodeName {
  std::string group;
  std::string node;
};

std::string NodeTopic(const NodeName& name, NodeMessage message);
std::string DeviceTopic(const NodeName& name, DeviceMessage message, const std::string& device);
std::string HostStateTopic(const std::string& hostId);

// A device's Sparkplug id: its line and its name, "bus1_thermo" (the
// device's place on the line, "bus1_3", when it has no name).
std::string DeviceId(const std::string& line, const std::string& deviceName, size_t deviceIndex);

// What a topic of this node's command subscriptions addresses: the node
// itself (device empty) or one of its devices. False for any other topic.
bool ParseCommandTopic(const NodeName& name, const std::string& topic, bool* toNode, std::string* device);

}  // namespace velkd::sparkplug

#endif
