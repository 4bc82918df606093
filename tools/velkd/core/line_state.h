// What one line of the gateway knows now, and the only record of it: every
// tag's latest reading, every device's health with its counters, and the
// port's state with the line's own figures. The line's thread writes it and,
// after each packet, publishes an immutable snapshot; every face reads the
// latest snapshot, never the record itself, so no face waits on the line or
// on another face. A device that goes offline, or a port that is lost,
// takes every tag it carries out of "good" here, in the same step, so no
// snapshot can show one of them as good afterwards.
#ifndef VELKD_LINE_STATE_H
#define VELKD_LINE_STATE_H

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/gateway_config.h"
#include "core/reading.h"

namespace velkd {

// Upper bounds of the packet-time buckets, in seconds (1 ms to 10 s).
const std::array<double, 13> kPacketSecondsBuckets = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                                                      0.25,  0.5,    1.0,   2.5,  5.0,   10.0};

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
  // The line's file: lineFile->tags[t] is the row of tags[t], lineFile->config the
  // devices of devices[d].
  std::shared_ptr<const LineFile> lineFile;
  uint64_t sequence = 0;  // counts the line's snapshots, from 1
  std::string name;       // the line's name in topics
  std::string path;       // its file
  bool portOpen = false;
  std::string portError;
  uint64_t exchanges = 0;  // from the driver's counters
  uint64_t bytesSent = 0;
  uint64_t bytesReceived = 0;
  size_t writesQueued = 0;
  std::vector<Reading> tags;         // per tag of the line file
  std::vector<DeviceState> devices;  // per device of the line file
};

class LineState {
 public:
  typedef std::function<void(const std::shared_ptr<const LineSnapshot>&)> Listener;

  explicit LineState(std::shared_ptr<const LineFile> lineFile);

  // Hears of every snapshot, on the thread that published it, after the
  // snapshot is the latest; it must not wait. Set before the line starts.
  void OnPublish(Listener listener);

  // The changes below are seen by faces at the next Publish.
  // A reading of `tag`: its engineering value is made here, once.
  void SetTag(size_t tag, bool good, const Value& module, uint16_t quality, const std::string& reason,
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
  // A reloaded line that kept its port: the port, devices and counters of
  // `old`, and each tag's reading from `old`'s tag `tagFrom[t]` (none: -1).
  void Adopt(const LineSnapshot& old, const std::vector<int>& tagFrom);

  // Makes what changed since the last call the latest snapshot and tells
  // the listener; nothing when nothing changed.
  void Publish();

  // The latest snapshot; never null. Taken under a lock held only for the
  // copy of a pointer.
  std::shared_ptr<const LineSnapshot> Latest() const;

  // The line's own view, not waiting for a Publish: whether the port is
  // open (`error`: why not), and one device.
  bool PortOpen(std::string* error = nullptr) const;
  bool Device(size_t device, DeviceState* state) const;

 private:
  // With the lock held: the tag is bad from now on, its last value kept.
  void MarkBad(Reading& tag, const std::string& reason, uint64_t fileTime);

  const std::shared_ptr<const LineFile> lineFile_;
  mutable std::mutex mutex_;
  LineSnapshot now_;
  bool dirty_ = true;
  Listener listener_;
  mutable std::mutex latestMutex_;
  std::shared_ptr<const LineSnapshot> latest_;
};

}  // namespace velkd

#endif
