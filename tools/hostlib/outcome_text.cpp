#include "outcome_text.h"

#include "velk4000/velk4000.h"

namespace hostlib {
namespace {

struct OutcomeWords {
  const char* reason;
  const char* hint;
};

// Indexed by PacketOutcome. The reasons are part of the JSON output: they
// change only when a new outcome is added.
const OutcomeWords kOutcomes[] = {
    {"ok", ""},
    {"refused",
     "the module answered \"?\": it does not take this command (wrong module type at this address, or a "
     "register it does not have)"},
    {"checksum mismatch",
     "a module answered, but its checksum did not match: it may use the other checksum setting "
     "(\"N\" uses checksums, \"N.1\" does not), or the line garbles bytes"},
    {"no answer",
     "nothing came back before the time-out: check the address, the baud rate and the wiring (A/B, "
     "termination, power)"},
    {"no carriage return", "bytes came back but the answer never ended: check the baud rate, parity and data bits"},
    {"answer too long", "more than 512 characters came back: noise on the line or a wrong baud rate"},
    {"not built",
     "no command was sent: the value does not fit its field, or the register cannot be used this way "
     "(see `velkhost tables TYPE`)"},
    {"no port", "the driver holds no open port"},
    {"port lost", "the port went away (adapter unplugged or peer closed)"},
    {"busy bound", "the Data7810 stayed busy for the whole answer time-out"},
    {"bad answer", "an answer of the wrong form or length: check the module type and its address"},
    {"bus collision: the echo differs from the command",
     "the adapter's echo of the command came back changed: another master on the bus, a module driving it "
     "out of turn, or a wrong termination"},
};
static_assert(sizeof kOutcomes / sizeof kOutcomes[0] == velk::kOutcomeCount, "one entry per outcome");

const OutcomeWords kPortErrors[] = {
    {"", ""},
    {"missing", "no such device: check the port name and that the adapter is plugged in"},
    {"busy", "another program holds the port (it is opened exclusively)"},
    {"permission denied", "this user may not open it (on Linux, join the 'dialout' group)"},
    {"not a serial device", "the name is not a serial port"},
    {"settings refused", "the device refused the line settings (baud rate, data bits, parity, stop bits)"},
    {"other", "the system refused the opening"},
};

}  // namespace

const char* OutcomeReason(int32_t outcome) {
  if (outcome < 0 || outcome >= velk::kOutcomeCount) return "unknown";
  return kOutcomes[outcome].reason;
}

const char* OutcomeHint(int32_t outcome) {
  if (outcome < 0 || outcome >= velk::kOutcomeCount)
    return "no module answered in time, a command was refused or its answer was spoilt";
  return kOutcomes[outcome].hint;
}

const char* PortErrorReason(int32_t portError) {
  if (portError < 0 || portError > velk::kPortOpenOther) return "other";
  return kPortErrors[portError].reason;
}

const char* PortErrorHint(int32_t portError) {
  if (portError < 0 || portError > velk::kPortOpenOther) return kPortErrors[velk::kPortOpenOther].hint;
  return kPortErrors[portError].hint;
}

std::string LateAnswerText(const velk::LineCounters& counters, int32_t timeoutMs) {
  // A library from before the record grew leaves these fields as given.
  if (counters.size < sizeof counters || counters.lateModule < 0 || counters.lateAnswerMs == 0) return std::string();
  const std::string module = "module " + std::to_string(counters.lateModule);
  if (timeoutMs > 0 && counters.lateAnswerMs > 2u * static_cast<uint32_t>(timeoutMs)) {
    // Cut to tens, never rounded up: the time is only a lower bound.
    const std::string atLeast = std::to_string(counters.lateAnswerMs / 10 * 10);
    return module + " answers " + atLeast +
           " ms or more after the command, too late to tell its answers apart: its packets fail until it answers "
           "within the time-out; raise timeout_ms above " +
           atLeast;
  }
  // Rounded to tens: the time is taken when the answer's first bytes came.
  const std::string about = std::to_string((counters.lateAnswerMs + 5) / 10 * 10);
  return module + " answers about " + about + " ms after the command; raise timeout_ms above " + about;
}

std::string JoinClauses(const std::string& cause, const std::string& then) {
  std::string text = cause;
  while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
  return text + "; " + then;
}

}  // namespace hostlib
