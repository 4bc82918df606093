// The MQTT face of a line's state: the retained topic of every tag that has
// been read and the $state of every device that is known, made from the
// line's latest snapshot as the other faces make theirs. The store sends only the
// topics whose value, quality, goodness or reason changed.
#ifndef VELKD_STATE_TOPICS_H
#define VELKD_STATE_TOPICS_H

#include <string>

#include "core/line_state.h"
#include "mqtt/topic_store.h"

namespace velkd {

// PREFIX/LINE/DEVICE and PREFIX/LINE/DEVICE/TAG.
std::string DeviceTopic(const std::string& prefix, const LineFile& line, size_t device);
std::string TagTopic(const std::string& prefix, const LineFile& line, size_t tag);

// Brings `store` up to date with the snapshot `line`. `before`, when given,
// is the snapshot of the same line retained last: its tags that have not
// been read since are left as they are in the store.
void RetainLineState(const LineSnapshot& line, const LineSnapshot* before, const std::string& prefix,
                     TopicStore& store);

}  // namespace velkd

#endif
