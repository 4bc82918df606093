// One reading or write outcome kept on disk while the far side of a face
// (the broker, the Sparkplug primary host) is away, as the face will send it.
#ifndef VELKD_STORED_RECORD_H
#define VELKD_STORED_RECORD_H

#include <stdint.h>

#include <string>
#include <variant>

namespace velkd {

// What the record carries: a reading of a tag, or the outcome of a write
// (sent to the write's result, never marked as history).
enum class RecordKind : int { kReading = 0, kWriteOutcome = 1 };

// The value as the face will send it. SQLite keeps each alternative in its
// own storage class; a bit keeps its type through a column of its own.
using StoredValue = std::variant<std::monostate, bool, int64_t, double, std::string>;

struct StoredRecord {
  int64_t id = 0;      // given by the store; ascending in the order appended
  std::string stream;  // whose record: "mqtt", "sparkplug"; each face forwards its own
  std::string key;     // the topic, or the tag's key on faces without topics
  RecordKind kind = RecordKind::kReading;
  StoredValue value;
  int quality = 0;
  std::string reason;  // empty when none
  int64_t timeMs = 0;  // the reading's own time, milliseconds since 1970 (UTC)
};

}  // namespace velkd

#endif
