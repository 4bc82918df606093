// The short reason a device or tag carries in its published state, from the
// driver's diagnostics outcome of the last packet.
#ifndef VELKD_OUTCOME_REASON_H
#define VELKD_OUTCOME_REASON_H

#include <stdint.h>

namespace velkd {

// "no answer" for kOutcomeNoAnswer, ...; "failed" for a value the driver
// does not name (and for a driver without diagnostics, which reports -1).
const char* OutcomeReason(int32_t outcome);

}  // namespace velkd

#endif
