// One line of the gateway: its own driver object and thread, its packets
// (built with CanMerge, one set per poll interval) each polled on its own
// schedule, and a queue of writes served at the next free slot between
// packets. A line whose port or modules fail keeps trying on its own and
// never holds up another line: a lost port is tried again every second, and
// at once where the system tells that its node came back.
//
// What the line reads goes into its LineState and nowhere else; the worker
// keeps no copy of a value, a device's health or the port's state. It knows
// nothing of the faces: they read the state's snapshots and write through
// QueueWrites.
#ifndef VELKD_LINE_WORKER_H
#define VELKD_LINE_WORKER_H

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "driver_library.h"
#include "core/gateway_config.h"
#include "line_backoff.h"
#include "line_check.h"
#include "core/line_state.h"
#include "core/tag_write.h"
#include "packet_plan.h"
#include "port_watch.h"
#include "write_field.h"

namespace velkd {

class LineWorker {
 public:
  typedef std::chrono::steady_clock Clock;

  LineWorker(std::shared_ptr<const LineFile> lineFile, const std::string& port, hostlib::DriverLibrary& library);
  ~LineWorker();
  LineWorker(const LineWorker&) = delete;
  LineWorker& operator=(const LineWorker&) = delete;

  // Creates the driver object, checks every device and tag through it and
  // builds the packets. False with the driver's findings in `error`.
  bool Prepare(std::string* error);

  // Opens the port and polls on the line's own thread.
  void Start();

  // Takes no more writes: those queued are answered with `reason` (not
  // carried out), and the one on the line now is carried out and answered
  // before this returns (bounded by its exchanges' time-outs).
  void StopWrites(const std::string& reason);

  // Ends the thread, answers what writes remain with `reason`, sets every
  // device offline with `reason` and closes the port.
  void Stop(const std::string& reason);

  // The one write path: queues `writes` all or none, each to be done in
  // turn; `done` hears of each (by its index in `writes`) from the line's
  // thread, or from Stop for those never done. `ahead` receives how many writes wait before them.
  // False with `reason` when the queue has no room for all of them.
  bool QueueWrites(const std::vector<TagWrite>& writes, const WritesDone& done, size_t* ahead, std::string* reason);

  const std::string& name() const { return lineFile_->name; }
  const LineFile& lineFile() const { return *lineFile_; }
  // What the line knows now, for the faces that serve it.
  const LineState& state() const { return state_; }
  LineState& state() { return state_; }
  bool running() const { return thread_.joinable(); }
  // True when `other` serves the same file text on the same port: a reload
  // keeps this line running instead.
  bool SameAs(const LineWorker& other) const;
  // True when `other` drives the same modules the same way: the same line
  // name, port and port settings, devices and addresses. Only
  // intervals, tags, faces or back-off may differ, and this line may take
  // over `other`'s port and state (TakeOver) rather than start afresh.
  bool SameModules(const LineWorker& other) const;
  // Before Start: ends `old`'s thread without closing its port or setting
  // its devices offline, and takes its driver object with the open port,
  // its devices' and tags' states (tags by name) and its queued writes.
  void TakeOver(LineWorker& old);
  // The fixed field a write of tag `tag` travels in; null when none.
  const hostlib::WriteField* WriteFieldOf(size_t tag) const;

 private:
  struct Scheduled {
    std::unique_ptr<hostlib::HostPacket> packet;
    uint32_t intervalMs = 0;
    Clock::time_point due;
  };
  struct PendingWrite {
    size_t tag = 0;
    velk::ValueSlot slot;
    std::string text;
    std::function<void(const WriteOutcome&)> done;
  };

  void Run();
  // Ends the thread and nothing else.
  void Halt();
  bool OpenPort();
  // A packet found the port gone: it is closed and tried again shortly.
  void PortLost(const std::string& reason);
  // While the port is closed: its node's return wakes the thread.
  void WatchPort();
  // "1 s", and how else a try may come sooner.
  std::string RetryText() const;
  // Polls the packet; false when it found the port gone.
  bool PollPacket(Scheduled& scheduled);
  // A packet the back-off holds back: its tags are not good, for `why`.
  void HoldPacket(const Scheduled& scheduled, const std::string& why);
  void DoWrite(const PendingWrite& write);
  // After a confirmed write of `tag`: every packet of its device that reads
  // what the write changed is polled again.
  void ReadBack(size_t tag);
  void Answer(const PendingWrite& write, const WriteOutcome& outcome);
  // The one place that decides a device's health from its packets: online
  // while it answers at all, offline at its first packet without an answer
  // (the back-off then decides how often it is asked).
  void DeviceAnswered(size_t device, const hostlib::PacketOutcome& outcome, const std::string& reason);
  // A module that answers "?": one log line at its first refused packet, one
  // when none of its packets is refused any more, as for offline.
  void NoteRefusal(size_t device, size_t packet, bool refused);
  // Tells the back-off; a log line for each change it reports.
  void RecordBackoff(size_t device, size_t packet, const hostlib::PacketOutcome& outcome);
  // The driver's exchange and byte counters into the line's state.
  void CopyDriverCounters();
  // The last packet's outcome (velk::kOutcome...), -1 when unknown.
  int32_t LastOutcome();

  const std::shared_ptr<const LineFile> lineFile_;
  const std::string port_;
  hostlib::DriverLibrary& library_;

  std::unique_ptr<hostlib::DriverObject> driver_;
  velk::IDriverDiagnostics* diagnostics_ = nullptr;
  std::string lateAnswer_;           // the driver's late-answer notice, logged once per change
  std::set<size_t> refusedPackets_;  // packets whose latest answer was a refusal
  hostlib::CheckedLine checked_;
  std::vector<std::unique_ptr<hostlib::LineConfig>> groupConfigs_;
  std::vector<Scheduled> packets_;
  // Which packets go on the line: offline devices and busy packets are
  // asked once per back-off period.
  std::unique_ptr<hostlib::LineBackoff> backoff_;
  LineState state_;

  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<PendingWrite> writes_;
  bool stop_ = false;
  bool acceptWrites_ = true;
  bool writing_ = false;       // a write is on the line now
  bool portAppeared_ = false;  // the port's directory changed since the last try

  // The port's schedule (its state is in state_).
  std::unique_ptr<hostlib::PortWatch> watch_;  // while the port is closed
  bool everOpen_ = false;
  Clock::time_point lostAt_;
  Clock::time_point retryAt_;
  // A line that answers nothing at all with its port open.
  size_t failedInRow_ = 0;
  uint32_t reopenDelayMs_ = 1000;
  Clock::time_point lastOpen_;
};

}  // namespace velkd

#endif
