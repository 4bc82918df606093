// What one line of the gateway knows now, and the only record of it: every
// tag's latest reading, every device's health with its counters, and the
// port's state with the line's own figures. The line's thread writes it
// after each packet; every face (MQTT, Modbus, HTTP and its page and
// metrics) reads copies of it, so no reader ever waits on the serial line.
// A device that goes offline, or a port that is lost, takes every tag it
// carries out of "good" here, in the same step, so no face can serve one of
// them as good afterwards.
#ifndef VELKD_LINE_STATE_H
#define VELKD_LINE_STATE_H

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <chrono>
#include <functional>
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
  uint16_t quality = 0;                          // the host quality of the latest reading
  std::string reason;                            // why the latest reading was bad; empty when good
  uint64_t fileTime = 0;                         // the driver's time stamp of the latest reading
  std::chrono::system_clock::time_point readAt;  // when the latest reading arrived
  bool everGood = false;
  std::chrono::system_clock::time_point lastGood;  // when the latest good reading arrived
};

struct DeviceState {
  bool known = false;     // a packet or a port opening has said something
  bool online = false;    // it answers
  std::string reason;     // why it is offline
  bool portDown = false;  // offline because the line's port is closed
  bool everGood = false;
  // The one clock of "last good" for every face.
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
  // `tagDevices`: the device of every tag, by index.
  LineState(const std::string& name, const std::string& path, const std::vector<size_t>& tagDevices, size_t devices);
  // Tags that belong to device 0.
  LineState(const std::string& name, const std::string& path, size_t tags, size_t devices);

  // Called, without the state's lock, after every change; for the one
  // reader that waits for changes rather than asking (the MQTT publisher).
  void OnChange(std::function<void()> changed);

  void SetTag(size_t tag, bool good, const nlohmann::ordered_json& value, uint16_t quality, const std::string& reason,
              uint64_t fileTime);
  // One packet of `device` ended; `reason` is "ok" or the outcome's word.
  void CountPacket(size_t device, bool ok, const std::string& reason, std::chrono::steady_clock::duration took);
  // Online with a good packet (its time is "last good"); offline takes
  // every tag of the device out of "good" with `reason`.
  void SetDevice(size_t device, bool online, const std::string& reason);
  // Online, without a good packet: the module answered, though not with
  // what was asked ("?", a spoilt answer, busy).
  void SetAnswered(size_t device);
  // A closed port takes every device offline and every tag out of "good",
  // with `reason`; `error` says what the opening met.
  void SetPort(bool open, const std::string& error, const std::string& reason = "no port");
  void SetDriverCounters(uint64_t exchanges, uint64_t bytesSent, uint64_t bytesReceived);
  void SetWritesQueued(size_t count);

  // Whether the port is open; `error` gets why not.
  bool PortOpen(std::string* error = nullptr) const;
  // A reloaded line that kept its port: the port, devices and counters of
  // `old`, and each tag's state from `old`'s tag `tagFrom[t]` (none: -1).
  void Adopt(const LineSnapshot& old, const std::vector<int>& tagFrom);

  LineSnapshot Snapshot() const;
  // The snapshot, when a tag, a device or the port changed since the last
  // call; for one
  // reader only (the MQTT publisher), which publishes what differs.
  bool TakeChanged(LineSnapshot* snapshot);
  // One tag and its device, without copying the whole line.
  bool Tag(size_t tag, TagState* state) const;
  bool Device(size_t device, DeviceState* state) const;

 private:
  // With the lock held: the tag is bad from now on, its last value kept.
  void MarkBad(TagState& tag, const std::string& reason, uint64_t fileTime);
  void Changed();

  mutable std::mutex mutex_;
  LineSnapshot now_;
  std::vector<size_t> tagDevices_;
  bool changed_ = true;
  std::function<void()> onChange_;
};

}  // namespace velkd

#endif
