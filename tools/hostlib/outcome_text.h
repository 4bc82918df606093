// The words a person reads for the driver's diagnostics: a short, stable
// reason per packet outcome (also the "reason" of JSON output, which
// programs match on), a hint for what to check, and the cause of a failed
// port opening.
#ifndef VELK_HOSTLIB_OUTCOME_TEXT_H
#define VELK_HOSTLIB_OUTCOME_TEXT_H

#include <stdint.h>

#include <string>

#include "velk4000/velk4000.h"

namespace hostlib {

// "ok", "refused", "checksum mismatch", "no answer", "no carriage return",
// "answer too long", "not built", "no port", "port lost", "busy bound",
// "bad answer"; "unknown" for a value this program does not know (or a
// library without diagnostics).
const char* OutcomeReason(int32_t outcome);

// What to check after a packet failed with `outcome`, one sentence.
const char* OutcomeHint(int32_t outcome);

// "missing", "busy", "permission denied", "not a serial device",
// "settings refused", "other"; "" for kPortOpenOk.
const char* PortErrorReason(int32_t portError);

// What to do about a failed port opening, one sentence.
const char* PortErrorHint(int32_t portError);

// "module 12 answers about 300 ms after the command; raise timeout_ms above
// 300" for the latest answer the driver saw after the time-out `timeoutMs`;
// "" when it saw none (or the library does not say). An answer more than
// twice the time-out late is one the driver cannot pair with its command:
// the driver knows only that it came so long after the command or longer,
// and fails the module's packets until it answers in time again.
std::string LateAnswerText(const velk::LineCounters& counters, int32_t timeoutMs);

// "cause; then" as one sentence: a cause that ends as a sentence of its own
// ("... (it is opened exclusively).", "The connection was lost.") gives up
// its full stop, so that a log line never reads ".; next try in 1 s".
std::string JoinClauses(const std::string& cause, const std::string& then);

}  // namespace hostlib

#endif
