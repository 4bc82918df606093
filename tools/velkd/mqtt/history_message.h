// A record the store kept while the broker was away, as the message the
// JSON face sends for it after the reconnect: a reading to its tag's topic
// in the reading's shape with its own time stamp and "historical": true
// (sent without retain, so the retained message stays the live value); a
// write's outcome to its result topic as it would have gone at the time.
#ifndef VELKD_HISTORY_MESSAGE_H
#define VELKD_HISTORY_MESSAGE_H

#include <string>

#include "core/gateway.h"
#include "mqtt/topic_store.h"
#include "store/stored_record.h"

namespace velkd {

// The stream the JSON face keeps its records under.
extern const char kMqttStream[];

// The record of a write's outcome for `topic` (under `prefix`) with its
// payload as it would have been sent.
StoredRecord OutcomeRecord(const std::string& prefix, const std::string& topic, const std::string& payload);

// The message of `record`; the tag's unit from `plant` where the tag is
// still served.
Message HistoryMessage(const StoredRecord& record, const std::string& prefix, const Plant& plant);

}  // namespace velkd

#endif
