// What every face of the gateway is to the core, and what the core is to a
// face: MQTT, Modbus TCP and HTTP alike. A face reads the lines' snapshots
// (Lines::plant(), then a line's state().Latest()), is told of each new
// snapshot and of reloads, and writes through the one write path,
// Lines::Write, whose outcome comes back by its callback. A face owns its connections, its threads and its
// own form of the data (topics, registers, pages); it never reaches into
// another face.
//
// The faces to come plug in the same way, without touching these:
//   - A Sparkplug B face keeps its own MQTT connection. Start sends the
//     births from every line's Latest(); Changed gives it each line's new
//     snapshot (with its sequence) to send data by exception; its commands
//     go to Lines::Write and the outcomes come back by the callback;
//     LinesChanged sends deaths and births for the lines a reload changed.
//   - The store and forward lives in the core as a Face of its own
//     (StoreFace, found through Lines::store()): a face that cannot deliver
//     (its broker is away) says so, the store keeps every change from then
//     on, and the face's Forwarder hands them back, oldest first, once it
//     delivers again. Readings are never lost, and no other face waits
//     while one is away.
#ifndef VELKD_FACE_H
#define VELKD_FACE_H

#include <stddef.h>

#include <memory>
#include <string>
#include <vector>

#include "core/line_state.h"
#include "core/tag_write.h"

namespace velkd {

class LineWorker;
struct Plant;
class StoreFace;

// The gateway as its faces see it (Gateway is the one in service).
class Lines {
 public:
  virtual ~Lines() = default;
  // The lines now; a face keeps it for as long as it needs it.
  virtual std::shared_ptr<const Plant> plant() const = 0;
  // The one write path: `writes` to line `line`, all or none, each answered
  // by `done`. False with `reason` when not queued: "no such line",
  // "stopped", "write queue full".
  virtual bool Write(const std::string& line, const std::vector<TagWrite>& writes, const WritesDone& done,
                     size_t* ahead, std::string* reason) = 0;
  // The store of what a face could not deliver (store_face.h); null when
  // velkd keeps none.
  virtual StoreFace* store() const { return nullptr; }
};

class Face {
 public:
  virtual ~Face() = default;

  // Serves from now on, the lines already running. False (logged) when it
  // cannot, and velkd does not start.
  virtual bool Start() = 0;

  // Stops serving. Every write the face waits for has been answered first
  // (Gateway::StopWrites).
  virtual void Stop() = 0;

  // A line published `snapshot`. Called on the line's thread: a face takes
  // note (a wake-up, a queue of its own) and must not wait.
  virtual void Changed(const std::shared_ptr<const LineSnapshot>& snapshot) { (void)snapshot; }

  // A reload replaced the lines by `now`; `gone` are the lines no longer
  // served, stopped already, with their last snapshots.
  virtual void LinesChanged(const Plant& now, const std::vector<std::shared_ptr<const LineSnapshot>>& gone) {
    (void)now;
    (void)gone;
  }
};

}  // namespace velkd

#endif
