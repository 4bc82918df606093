// The gateway as a whole: the driver library, one LineWorker per line, the
// faces attached to it and the one write path they share.
//
// Threads, and who owns what:
//
//   line thread (one per LineWorker)        port watch thread (while lost)
//     owns: driver object, port, packets,     inotify on the node's folder;
//           write queue, schedule, back-off   only wakes its line thread
//     writes --------------+
//                          v
//                  LineState (one per line, its own short lock)
//                  the only record of the line: typed tag readings
//                  (engineering value made once), device health, port
//                  state, counters; "last good" on one clock. A lost port
//                  or an offline device takes all its tags out of "good"
//                  in one step. After each packet it publishes an
//                  immutable LineSnapshot (a shared_ptr swapped under a
//                  lock held for the copy of a pointer) and tells the faces.
//                          | each face reads the latest snapshot, alone
//        +-----------------+---------------------+------------------+
//        v                 v                     v                  v
//   MQTT face:         Modbus TCP face:      HTTP face:          (Home Assistant
//   its client and     client threads turn   worker threads      reads MQTT)
//   publisher thread   snapshots into        build /api/state,
//   diff snapshots     registers             /metrics, the page
//   into its topics
//        |                 |
//        +--------+--------+  writes: Lines::Write (the one write path)
//                 v
//   LineWorker::QueueWrites -> the line thread writes, reads back every
//   tag that reads what it changed, publishes, then answers by the
//   callback (MQTT: the outcome topic, after the new state; Modbus: the
//   client's answer).
//
//   The Sparkplug face reads snapshots as the others do, on its own thread;
//   the StoreFace keeps what a face could not deliver while its broker is
//   away, on its writer thread, and hands it back oldest first.
//
//   Lines are found in the Plant, an immutable list with a map by name
//   that a reload replaces whole; a face holds the one it read for as long
//   as it needs, so no face waits on another or on a reload.
//   main thread: signals; Start, Reload (lines whose modules are unchanged
//   keep their port and state), StopWrites, Stop.
#ifndef VELKD_GATEWAY_H
#define VELKD_GATEWAY_H

#include <stddef.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/face.h"
#include "core/gateway_config.h"
#include "core/line_worker.h"
#include "core/tag_write.h"
#include "driver_library.h"

namespace velkd {

// The lines served now, as one reload left them; never changed after.
struct Plant {
  std::vector<std::shared_ptr<LineWorker>> lines;
  std::map<std::string, size_t> byName;

  // The line at `index` while it is still named `name` (a reload may have
  // replaced it), else null.
  LineWorker* At(size_t index, const std::string& name) const;
  LineWorker* Find(const std::string& name) const;
};

class Gateway : public Lines {
 public:
  explicit Gateway(hostlib::DriverLibrary& library) : library_(library), plant_(std::make_shared<Plant>()) {}
  ~Gateway() override;
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  // Before Start: `face` is told of every snapshot and reload.
  void Attach(Face& face) { faces_.push_back(&face); }
  // Before Start: the store every face finds by store(), attached too.
  void AttachStore(StoreFace& store);

  // Prepares every line and starts polling. False with the reason logged
  // when a line is refused.
  bool Start(const GatewayConfig& config, const std::string& port);

  // Replaces the lines by those of `config`. On a line the driver refuses,
  // the old lines go on and false is returned.
  bool Reload(const GatewayConfig& config, const std::string& port);

  // Takes no more writes on any line: those waiting are answered as
  // "stopped", those on a line now are carried out and answered first.
  void StopWrites();

  // Sets every device offline ("stopped") and closes every port; the faces
  // see it in the lines' last snapshots.
  void Stop();

  std::shared_ptr<const Plant> plant() const override;
  // On the line's LineWorker::QueueWrites.
  bool Write(const std::string& line, const std::vector<TagWrite>& writes, const WritesDone& done, size_t* ahead,
             std::string* reason) override;
  StoreFace* store() const override { return store_; }

 private:
  bool PrepareLines(const GatewayConfig& config, const std::string& port,
                    std::vector<std::shared_ptr<LineWorker>>* lines);
  // The faces hear of the line's snapshots from now on.
  void Follow(LineWorker& line);
  void SetPlant(std::vector<std::shared_ptr<LineWorker>> lines);

  hostlib::DriverLibrary& library_;
  std::vector<Face*> faces_;
  StoreFace* store_ = nullptr;
  mutable std::mutex plantMutex_;  // held for the copy of a pointer
  std::shared_ptr<const Plant> plant_;
  bool stopped_ = true;
};

}  // namespace velkd

#endif
