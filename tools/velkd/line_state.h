// What one line of the gateway knows now: every tag's latest reading, every
// device's health with its counters, and the line's own figures. The line's
// thread writes it after each packet; the faces that serve it (MQTT topics,
// Modbus registers, the HTTP page and metrics) read copies, so no reader
// ever waits on the serial line and no stale value can pass for a fresh one.
#ifndef VELKD_LINE_STATE_H
#define VELKD_LINE_STATE_H

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace velkd {

// Upper bounds of the packet-time buckets, in seconds (1 ms to 10 s).
const std::array<double, 13> kPacketSecondsBuckets = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                                                      0.25,  0.5,    1.0,   2.5,  5.0,   10.0};

struct TagState {
  bool read = false;  // a reading has arrived, good or bad
  bool good = false;  // the latest reading was good: `value` is what the module holds
  // The latest good value (null before the first); after a failed reading
  // it is the last one known, which no face may serve as good.
  nlohmann::ordered_json value;
  uint16_t quality = 0;         // the host quality of the latest reading
  std::string reason;           // why the latest reading was bad; empty when good
  uint64_t fileTime = 0;        // the driver's time stamp of the latest reading
  std::chrono::system_clock::time_point readAt;  // when the latest reading arrived
  bool everGood = false;
  std::chrono::system_clock::time_point lastGood;  // when the latest good reading arrived
};

struct DeviceState {
  bool known = false;   // a packet or a port opening has said something
  bool online = false;  // its latest packet was good
  std::string reason;   // why it is offline
  bool everGood = false;
  std::chrono::system_clock::time_point lastGood;
  uint64_t packets = 0;
  std::map<std::string, uint64_t> packetsByReason;  // "ok" and the outcome words
  // Packet times: counts per bucket of kPacketSecondsBuckets (not
  // cumulative), the rest beyond the last, and their sum in seconds.
  std::array<uint64_t, kPacketSecondsBuckets.size() + 1> packetSeconds{};
  double packetSecondsSum = 0.0;
};

struct LineSnapshot {
  std::string name;  // the line's name in topics
  std::string path;  // its file
  bool portOpen = false;
  std::string portError;
  uint64_t exchanges = 0;  // from the driver's counters
  uint64_t bytesSent = 0;
  uint64_t bytesReceived = 0;
  size_t writesQueued = 0;
  std::vector<TagState> tags;        // per tag of the line file
  std::vector<DeviceState> devices;  // per device of the line file
};

class LineState {
 public:
  LineState(const std::string& name, const std::string& path, size_t tags, size_t devices);

  void SetTag(size_t tag, bool good, const nlohmann::ordered_json& value, uint16_t quality,
              const std::string& reason, uint64_t fileTime);
  // One packet of `device` ended; `reason` is "ok" or the outcome's word.
  void CountPacket(size_t device, bool ok, const std::string& reason, std::chrono::steady_clock::duration took);
  void SetDevice(size_t device, bool online, const std::string& reason);
  void SetPort(bool open, const std::string& error);
  void SetDriverCounters(uint64_t exchanges, uint64_t bytesSent, uint64_t bytesReceived);
  void SetWritesQueued(size_t count);

  LineSnapshot Snapshot() const;
  // One tag and its device, without copying the whole line.
  bool Tag(size_t tag, TagState* state) const;
  bool Device(size_t device, DeviceState* state) const;

 private:
  mutable std::mutex mutex_;
  LineSnapshot now_;
};

}  // namespace velkd

#endif
