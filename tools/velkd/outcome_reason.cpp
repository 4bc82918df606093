#include "outcome_reason.h"

#include "velk4000/velk4000.h"

namespace velkd {

const char* OutcomeReason(int32_t outcome) {
  switch (outcome) {
    case velk::kOutcomeOk: return "ok";
    case velk::kOutcomeRefused: return "refused";
    case velk::kOutcomeChecksumMismatch: return "checksum mismatch";
    case velk::kOutcomeNoAnswer: return "no answer";
    case velk::kOutcomeNoCarriageReturn: return "no carriage return";
    case velk::kOutcomeAnswerTooLong: return "answer too long";
    case velk::kOutcomeNotBuilt: return "not built";
    case velk::kOutcomeNoPort: return "no port";
    case velk::kOutcomePortLost: return "port lost";
    case velk::kOutcomeBusyBound: return "busy";
    case velk::kOutcomeBadAnswer: return "bad answer";
    default: return "failed";
  }
}

}  // namespace velkd
