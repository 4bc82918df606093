// Sends one face's stored records after the far side is back: oldest first,
// at a bounded rate, a bounded number unacknowledged at a time, and each
// deleted from the store only once its QoS 1 message was acknowledged.
// Live readings are not its business: the face sends those at once and
// asks for history between them, so history never holds live data up.
//
// Threads: Acknowledged() may be called from any thread (libmosquitto's
// on_publish, on its network thread). Everything else belongs to the one
// thread that publishes the face's messages. Acknowledgements are queued
// and matched on that thread, after Sent() recorded the message id, so an
// acknowledgement that overtakes Sent() is still matched, and ids of live
// messages (unknown here) are dropped.
#ifndef VELKD_FORWARDER_H
#define VELKD_FORWARDER_H

#include <stdint.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "store/reading_store.h"

namespace velkd {

struct ForwardPacing {
  uint32_t perSecond = 20000;  // records of history a second, at most
  uint32_t batch = 500;        // records per NextBatch, at most
  uint32_t window = 2000;      // records sent and not yet acknowledged, at most
  // A message still unacknowledged this long after it was sent, or after
  // the connection it was sent on came back, is given up and its records
  // are sent again.
  uint32_t ackTimeoutMs = 10000;
};

class Forwarder {
 public:
  // A monotonic clock in milliseconds.
  using Clock = std::function<uint64_t()>;
  static uint64_t SteadyMs();

  // `store` outlives the forwarder; `stream` names the face's records.
  Forwarder(ReadingStore* store, std::string stream, ForwardPacing pacing = ForwardPacing(),
            Clock clock = &Forwarder::SteadyMs);

  // The far side is back (a CONNACK that accepted) or gone. Messages in
  // flight are kept: the client library sends them again, with their ids,
  // after it reconnects.
  void Connected();
  void Disconnected();

  // The next records to send, in order, when connected and the pacing
  // allows; false (and `out` empty) otherwise. Every record handed out is
  // then either Sent() or NotSent().
  bool NextBatch(std::vector<StoredRecord>* out);
  // The records `ids` went out as the QoS 1 message `mid`.
  void Sent(int mid, const std::vector<int64_t>& ids);
  // The publish of `firstId` was refused: it and the records handed out
  // after it go again on a later NextBatch.
  void NotSent(int64_t firstId);

  // The broker acknowledged message `mid` (PUBACK). Any thread.
  void Acknowledged(int mid);
  // Deletes what was acknowledged since the last call, in one transaction
  // (NextBatch does this too); for a stop that waits for the last
  // acknowledgements.
  void Poll();

  size_t inFlight() const { return inFlightRecords_; }
  // Given up after the acknowledgement timeout and sent again.
  uint64_t resent() const { return resent_; }

 private:
  void MatchAcknowledgements();

  struct Message {
    std::vector<int64_t> ids;
    uint64_t sentMs = 0;
  };

  ReadingStore* store_;
  std::string stream_;
  ForwardPacing pacing_;
  Clock clock_;
  bool connected_ = false;
  double credit_ = 0;
  uint64_t creditMs_ = 0;
  std::map<int, Message> inFlight_;
  size_t inFlightRecords_ = 0;
  uint64_t resent_ = 0;
  std::vector<int64_t> acknowledgedIds_;  // matched, not yet deleted

  std::mutex ackMutex_;
  std::vector<int> acks_;  // guarded by ackMutex_
  std::vector<int> draining_;
};

}  // namespace velkd

#endif
