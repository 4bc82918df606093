// The gateway as a whole: the driver library, one LineWorker per line, the
// store of retained topics and the thread that hands them to the broker,
// and the routing of "set" messages to their line.
//
// Threads, and who owns what:
//
//   line thread (one per LineWorker)        port watch thread (while lost)
//     owns: driver object, port, packets,     inotify on the node's folder;
//           write queue, schedule, back-off   only wakes its line thread
//     writes --------------+
//                          v
//                  LineState (one per line, behind its own mutex)
//                  the only record of the line: tag readings, device
//                  health, port state, counters; "last good" on one clock.
//                  A lost port or an offline device takes all its tags
//                  out of "good" in one step.
//                          | copies, never holding the line up
//        +-----------------+---------------------+------------------+
//        v                 v                     v                  v
//   MQTT publisher    Modbus TCP client     HTTP server threads   (Home Assistant
//   thread: diffs     threads: registers    /api/state, metrics,   reads MQTT)
//   it into the       from Tag()/Device()   the live page
//   TopicStore, sends
//   due topics, then
//   write outcomes
//
//   mosquitto's network thread: "set" messages -> LineWorker::QueueWrite
//   Modbus client threads: writes -> LineWorker::QueueWrites, answered by
//   the line thread after the module confirmed and the tag was read back.
//   main thread: signals; Start, Reload (lines whose modules are unchanged
//   keep their port and state), StopWrites, Stop.
#ifndef VELKD_GATEWAY_H
#define VELKD_GATEWAY_H

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver_library.h"
#include "core/gateway_config.h"
#include "core/line_worker.h"
#include "mqtt/mqtt_client.h"
#include "core/outbox.h"
#include "mqtt/topic_store.h"

namespace velkd {

class Gateway : public Outbox {
 public:
  explicit Gateway(hostlib::DriverLibrary& library) : library_(library) {}
  ~Gateway() override;

  // Prepares every line, connects to the broker (in the background) and
  // starts polling. False with the reason logged when a line is refused.
  bool Start(const GatewayConfig& config, const std::string& port);

  // Replaces the lines by those of `config`; the broker connection stays.
  // On a line the driver refuses, the old lines go on and false is returned.
  bool Reload(const GatewayConfig& config, const std::string& port);

  // Takes no more writes on any line: those waiting are answered as
  // "stopped", those on a line now are carried out and answered first.
  void StopWrites();

  // Publishes every device and the gateway offline, waits (bounded) for the
  // broker to take them, disconnects and closes every port.
  void Stop();

  // Calls `visit` with every line, while no reload can replace them. The
  // faces that serve the lines' state read it here; `visit` must not wait.
  void ForEachLine(const std::function<void(LineWorker&)>& visit);

  bool MqttConnected() const { return client_.connected(); }
  // Why it is not connected; empty when it is.
  std::string MqttNotConnectedReason() const {
    return !useMqtt_ ? "no [mqtt] in the files and no --broker" : client_.WhyNotConnected();
  }

  void Send(const std::string& topic, const std::string& payload) override;

 private:
  bool PrepareLines(const GatewayConfig& config, const std::string& port,
                    std::vector<std::unique_ptr<LineWorker>>* lines);
  void Announce(const std::vector<std::unique_ptr<LineWorker>>& lines, const GatewayConfig& config);
  void Connected();
  void OnSetMessage(const std::string& topic, const std::string& payload, bool retained);
  void PublishLoop();
  // The publisher's side of every line's state: into the store.
  void Follow(LineWorker& line);
  void SyncLines();

  hostlib::DriverLibrary& library_;
  MqttSettings mqtt_;
  std::unique_ptr<TopicStore> store_;
  MqttClient client_;
  std::mutex linesMutex_;
  std::vector<std::unique_ptr<LineWorker>> lines_;
  std::thread publisher_;
  std::atomic<bool> stopping_{false};
  bool stopped_ = true;
  bool useMqtt_ = true;  // false: the values go to the other faces only
};

}  // namespace velkd

#endif
