// A Sparkplug edge node over a made-up plant of two lines, driven line by
// line from standard input, for checking the face's payloads and session
// against another implementation's host before velkd serves real lines.
//
//   velkd_sparkplug_demo --port 1883 --group plant --node demo --bdseq-file F [--primary-host H]
//
// Standard input, one order a line:
//   value DEVICE TAG VALUE    a good reading      bad DEVICE TAG    a bad one
//   offline DEVICE            it stops answering  online DEVICE     it answers again
//   ports N                   the count of open ports
//   stop                      NDEATH, then disconnect (end of input: the same)
// Standard output: "connected BDSEQ", "write DEVICE TAG VALUE" for each
// write that passed (applied at once, as if the line confirmed it), and
// "note TEXT" for each command refused or ignored.
#include <stdio.h>

#include <chrono>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>

#include "sparkplug/birth_death_sequence.h"
#include "sparkplug/edge_node.h"
#include "sparkplug/sparkplug_link.h"
#include "velk4000/velk4000_c.h"

using namespace velkd::sparkplug;

namespace {

uint64_t NowMs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
}

struct Plant {
  std::vector<DeviceFacts> devices;
  std::vector<bool> online;
  std::vector<std::vector<MetricReading>> readings;
};

Plant MakePlant() {
  Plant plant;
  plant.devices = {
      {DeviceId("bus1", "thermo", 0),
       {{"temperature", VELK_TYPE_FLOAT, true, "°C", false, nullptr},
        {"status", VELK_TYPE_WORD, false, "", false, nullptr},
        {"offset", VELK_TYPE_SHORT, false, "K", true, nullptr}}},
      {DeviceId("bus1", "relays", 1),
       {{"relay1", VELK_TYPE_BIT, false, "", true, nullptr},
        {"counter", VELK_TYPE_LONG, false, "", false, nullptr},
        {"label", VELK_TYPE_STRING, false, "", true, nullptr},
        {"level", VELK_TYPE_BYTE, false, "%", true, nullptr},
        {"setpoint", VELK_TYPE_FLOAT, false, "bar", true, nullptr}}},
      {DeviceId("bus2", "", 0), {{"pressure", VELK_TYPE_FLOAT, false, "bar", false, nullptr}}},
  };
  const uint64_t now = NowMs();
  plant.online = {true, true, false};
  plant.readings = {
      {{true, 21.5, now}, {true, int64_t{3}, now}, {true, int64_t{-2}, now}},
      {{true, false, now},
       {true, int64_t{-100000}, now},
       {true, std::string("pump"), now},
       {false, {}, 0},
       {true, 1.5, now}},
      {{false, {}, 0}},
  };
  return plant;
}

int FindDevice(const Plant& plant, const std::string& id) {
  for (size_t d = 0; d < plant.devices.size(); ++d)
    if (plant.devices[d].id == id) return static_cast<int>(d);
  return -1;
}

int FindTag(const DeviceFacts& device, const std::string& name) {
  for (size_t m = 0; m < device.metrics.size(); ++m)
    if (device.metrics[m].name == name) return static_cast<int>(m);
  return -1;
}

// The text of an order as the tag's value.
MetricValue ParseValue(const MetricFact& fact, const std::string& text) {
  switch (fact.velkType) {
    case VELK_TYPE_BIT: return text == "true" || text == "1";
    case VELK_TYPE_STRING: return text;
    case VELK_TYPE_FLOAT: return std::stod(text);
    default: return static_cast<int64_t>(std::stoll(text));
  }
}

}  // namespace

int main(int argc, char** argv) {
  int port = 1883;
  std::string group = "plant", node = "demo", bdSeqFile = "sparkplug-bdseq", primaryHost;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i], value = argv[i + 1];
    if (key == "--port")
      port = std::stoi(value);
    else if (key == "--group")
      group = value;
    else if (key == "--node")
      node = value;
    else if (key == "--bdseq-file")
      bdSeqFile = value;
    else if (key == "--primary-host")
      primaryHost = value;
  }
  Plant plant = MakePlant();
  EdgeNode edge({group, node}, primaryHost, {"demo", 2, 2}, plant.devices);
  for (size_t d = 0; d < plant.devices.size(); ++d) edge.Observe(d, plant.online[d], plant.readings[d], NowMs());
  BirthDeathSequence bdSeq(bdSeqFile);
  std::mutex mutex;  // the edge node, its publishing order and standard output
  SparkplugLink link;
  uint64_t willBdSeq = 0;
  const auto publish = [&](const std::vector<Outgoing>& messages) {
    for (const Outgoing& message : messages) link.Publish(message.topic, message.payload);
  };
  SparkplugLink::Handlers handlers;
  handlers.will = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    std::string problem;
    willBdSeq = bdSeq.Next(&problem);
    if (!problem.empty()) fprintf(stderr, "%s\n", problem.c_str());
    return edge.DeathPayload(willBdSeq, NowMs());
  };
  handlers.connected = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    printf("connected %llu\n", static_cast<unsigned long long>(willBdSeq));
    fflush(stdout);
    publish(edge.Connected(willBdSeq, NowMs()));
  };
  handlers.lost = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    edge.Disconnected();
  };
  handlers.message = [&](const std::string& topic, const std::string& payload, bool retained) {
    std::lock_guard<std::mutex> lock(mutex);
    Received received = edge.Receive(topic, payload, retained, NowMs());
    publish(received.publish);
    if (received.reconnect) link.Reconnect();
    for (const std::string& note : received.notes) printf("note %s\n", note.c_str());
    for (const WriteOrder& write : received.writes) {
      const MetricFact& fact = plant.devices[write.device].metrics[write.metric];
      printf("write %s %s %s\n", plant.devices[write.device].id.c_str(), fact.name.c_str(),
             ValueText(write.value).c_str());
      plant.readings[write.device][write.metric] = {true, write.value, NowMs()};
      publish(edge.Observe(write.device, plant.online[write.device], plant.readings[write.device], NowMs()));
    }
    fflush(stdout);
  };
  handlers.warn = [](const std::string& text) { fprintf(stderr, "%s\n", text.c_str()); };
  BrokerSettings broker;
  broker.host = "127.0.0.1";
  broker.port = port;
  std::string error;
  if (!link.Start(broker, "", "velkd-sparkplug-demo-" + node, NodeTopic(edge.name(), NodeMessage::kDeath),
                  edge.Subscriptions(), handlers, &error)) {
    fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    std::string order, deviceId, tag, value;
    words >> order >> deviceId >> tag;
    std::getline(words >> std::ws, value);
    if (order == "stop") break;
    std::lock_guard<std::mutex> lock(mutex);
    if (order == "ports") {
      publish(edge.ObservePortsOpen(static_cast<uint32_t>(std::stoul(deviceId)), NowMs()));
      continue;
    }
    const int d = FindDevice(plant, deviceId);
    const int m = d < 0 ? -1 : FindTag(plant.devices[static_cast<size_t>(d)], tag);
    if (d < 0 || ((order == "value" || order == "bad") && m < 0)) {
      fprintf(stderr, "no such device or tag: %s\n", line.c_str());
      continue;
    }
    const size_t device = static_cast<size_t>(d);
    if (order == "value")
      plant.readings[device][static_cast<size_t>(m)] = {
          true, ParseValue(plant.devices[device].metrics[static_cast<size_t>(m)], value), NowMs()};
    else if (order == "bad")
      plant.readings[device][static_cast<size_t>(m)].good = false;
    else if (order == "offline" || order == "online")
      plant.online[device] = order == "online";
    publish(edge.Observe(device, plant.online[device], plant.readings[device], NowMs()));
  }
  std::string farewell;
  {
    std::lock_guard<std::mutex> lock(mutex);
    farewell = edge.DeathPayload(willBdSeq, NowMs());
  }
  link.Stop(NodeTopic(edge.name(), NodeMessage::kDeath), farewell, std::chrono::seconds(2));
  return 0;
}
