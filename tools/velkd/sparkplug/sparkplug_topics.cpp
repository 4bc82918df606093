#include "sparkplug/sparkplug_topics.h"

namespace velkd::sparkplug {
namespace {

const char kNamespace[] = "spBv1.0";

const char* NodeWord(NodeMessage message) {
  switch (message) {
    case NodeMessage::kBirth: return "NBIRTH";
    case NodeMessage::kData: return "NDATA";
    case NodeMessage::kDeath: return "NDEATH";
    case NodeMessage::kCommand: return "NCMD";
  }
  return "";
}

const char* DeviceWord(DeviceMessage message) {
  switch (message) {
    case DeviceMessage::kBirth: return "DBIRTH";
    case DeviceMessage::kData: return "DDATA";
    case DeviceMessage::kDeath: return "DDEATH";
    case DeviceMessage::kCommand: return "DCMD";
  }
  return "";
}

}  // namespace

std::string NodeTopic(const NodeName& name, NodeMessage message) {
  return std::string(kNamespace) + "/" + name.group + "/" + NodeWord(message) + "/" + name.node;
}

std::string DeviceTopic(const NodeName& name, DeviceMessage message, const std::string& device) {
  return std::string(kNamespace) + "/" + name.group + "/" + DeviceWord(message) + "/" + name.node + "/" + device;
}

std::string HostStateTopic(const std::string& hostId) { return std::string(kNamespace) + "/STATE/" + hostId; }

std::string DeviceId(const std::string& line, const std::string& deviceName, size_t deviceIndex) {
  return line + "_" + (deviceName.empty() ? std::to_string(deviceIndex) : deviceName);
}

bool ParseCommandTopic(const NodeName& name, const std::string& topic, bool* toNode, std::string* device) {
  const std::string node = NodeTopic(name, NodeMessage::kCommand);
  if (topic == node) {
    *toNode = true;
    device->clear();
    return true;
  }
  const std::string prefix = DeviceTopic(name, DeviceMessage::kCommand, "");
  if (topic.size() <= prefix.size() || topic.compare(0, prefix.size(), prefix) != 0) return false;
  *device = topic.substr(prefix.size());
  *toNode = false;
  return device->find('/') == std::string::npos;
}

}  // namespace velkd::sparkplug
