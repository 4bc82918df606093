// The MQTT face of a line's state: the retained topic of every tag that has
// been read and the $state of every device that is known, made from the
// line's LineState as the other faces make theirs. The store sends only the
// topics whose value, quality, goodness or reason changed.
#ifndef VELKD_STATE_TOPICS_H
#define VELKD_STATE_TOPICS_H

#include "core/line_worker.h"
#include "mqtt/topic_store.h"

namespace velkd {

// Brings `store` up to date with `line`'s state; nothing when it has not
// changed since the last call.
void RetainLineState(LineWorker& line, TopicStore& store);

}  // namespace velkd

#endif
