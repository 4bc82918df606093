// One line of the gateway: its own driver object and thread, its packets
// (built with CanMerge, one set per poll interval) each polled on its own
// schedule, and a queue of writes served at the next free slot between
// packets. A line whose port or modules fail keeps trying on its own and
// never holds up another line.
#ifndef VELKD_LINE_WORKER_H
#define VELKD_LINE_WORKER_H

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "driver_library.h"
#include "gateway_config.h"
#include "line_check.h"
#include "line_state.h"
#include "outbox.h"
#include "packet_plan.h"
#include "write_field.h"

namespace velkd {

class LineWorker {
 public:
  typedef std::chrono::steady_clock Clock;

  LineWorker(const LineSpec& lineSpec, const std::string& port, velkhost::DriverLibrary& library,
             const std::string& prefix, Outbox& outbox);
  ~LineWorker();
  LineWorker(const LineWorker&) = delete;
  LineWorker& operator=(const LineWorker&) = delete;

  // Creates the driver object, checks every device and tag through it and
  // builds the packets. False with the driver's findings in `error`.
  bool Prepare(std::string* error);

  // Opens the port and polls on the line's own thread.
  void Start();

  // Ends the thread, publishes every device offline with `reason` and
  // closes the port.
  void Stop(const std::string& reason);

  // From the network thread: a payload for DEVICE/TAG/set. Refused at once
  // (false, `reason`) when the tag is unknown or not writable or the value
  // does not fit its type; else queued, and the outcome published later.
  bool QueueWrite(const std::string& device, const std::string& tag, const std::string& payload,
                  std::string* value, std::string* reason);

  // A write another face has checked and encoded, and what became of it:
  // `answered` tells a module that refused from one that said nothing.
  struct TagWrite {
    size_t tag = 0;
    velk::ValueSlot slot;
    std::string text;
  };
  struct WriteOutcome {
    bool ok = false;
    bool answered = false;
    std::string reason;
  };
  typedef std::function<void(size_t index, const WriteOutcome& outcome)> WritesDone;

  // Queues `writes` all or none, each to be done in turn; `done` hears of
  // each (by its index in `writes`) from the line's thread, or from Stop for
  // those never done. `ahead` receives how many writes wait before them.
  // False with `reason` when the queue has no room for all of them.
  bool QueueWrites(const std::vector<TagWrite>& writes, const WritesDone& done, size_t* ahead, std::string* reason);

  const std::string& name() const { return spec_.name; }
  const LineSpec& lineSpec() const { return spec_; }
  // What the line knows now, for the faces that serve it.
  const LineState& state() const { return state_; }
  bool running() const { return thread_.joinable(); }
  // True when `other` serves the same file text on the same port under the
  // same prefix: a reload keeps this line running instead.
  bool SameAs(const LineWorker& other) const;
  // The fixed field a write of tag `tag` travels in; null when none.
  const velkhost::WriteField* WriteFieldOf(size_t tag) const;
  std::string DeviceTopic(size_t device) const;
  std::string TagTopic(size_t tag) const;

 private:
  struct Scheduled {
    std::unique_ptr<velkhost::HostPacket> packet;
    uint32_t intervalMs = 0;
    Clock::time_point due;
  };
  struct PendingWrite {
    size_t tag = 0;
    velk::ValueSlot slot;
    std::string text;
    std::function<void(const WriteOutcome&)> done;  // empty: the outcome goes to MQTT
  };
  struct Published {
    bool published = false;
    bool online = false;
    std::string reason;
    bool everGood = false;
    Clock::time_point lastGood;
    uint64_t lastGoodFileTime = 0;
  };

  void Run();
  bool OpenPort();
  void PollPacket(Scheduled& scheduled);
  void DoWrite(const PendingWrite& write);
  void PublishTag(size_t tag, bool ok, uint16_t quality, const nlohmann::ordered_json& value,
                  const std::string& reason, uint64_t fileTime);
  void PublishDevice(size_t device, bool online, const std::string& reason);
  // The driver's exchange and byte counters into the line's state.
  void CopyDriverCounters();
  // The short reason of the last failed packet.
  std::string FailureReason();

  const LineSpec spec_;
  const std::string port_;
  velkhost::DriverLibrary& library_;
  const std::string prefix_;
  Outbox& outbox_;

  std::unique_ptr<velkhost::DriverObject> driver_;
  velk::IDriverDiagnostics* diagnostics_ = nullptr;
  std::string lateAnswer_;  // the driver's late-answer notice, logged once per change
  velkhost::CheckedLine checked_;
  std::vector<std::unique_ptr<velkhost::LineConfig>> groupConfigs_;
  std::vector<Scheduled> packets_;
  std::vector<nlohmann::ordered_json> lastValues_;
  std::vector<Published> devices_;
  LineState state_;

  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<PendingWrite> writes_;
  bool stop_ = false;

  bool portOpen_ = false;
  std::string portError_;
  size_t failedInRow_ = 0;
  uint32_t reopenDelayMs_ = 1000;
  Clock::time_point lastOpen_;
};

}  // namespace velkd

#endif
