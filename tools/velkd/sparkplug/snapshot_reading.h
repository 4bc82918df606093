// A tag's reading from a line's snapshot, as the edge node takes it.
#ifndef VELKD_SPARKPLUG_SNAPSHOT_READING_H
#define VELKD_SPARKPLUG_SNAPSHOT_READING_H

#include <stdint.h>

#include "core/reading.h"
#include "sparkplug/sparkplug_metric.h"

namespace velkd {

// Good only while its device answers on an open port (`online`) and the
// reading itself is good with an engineering value: the last value of a
// reading gone bad is never handed on. The time is the reading's own
// (`nowMs` when it has none).
sparkplug::MetricReading SnapshotReading(const Reading& reading, bool online, uint64_t nowMs);

}  // namespace velkd

#endif
