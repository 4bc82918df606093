#include "families/velk.h"
#include "protocol/answer_form.h"
#include "protocol/module_types.h"
#include "protocol/probe_commands.h"

namespace families {
namespace {

// Size of the buffer both commands are built in and answered into.
const int32_t kProbeBufferSize = 1024;

// The module asked, and no other, answered: "!" or "?" and its address.
// Noise ending in a carriage return, or another module's late answer, is
// not taken for it; the line then waits for quiet before its next command.
bool FromTheModule(serial::SerialLine& line, const char* answer, int32_t length, int32_t address) {
  if (length >= 3 && (answer[0] == '!' || answer[0] == '?')) {
    const char asAnswer[3] = {'!', answer[1], answer[2]};
    if (protocol::AnswerStartOk(protocol::AnswerStart::kBangAddress, asAnswer, 3, static_cast<uint8_t>(address)))
      return true;
  }
  line.RejectAnswer(velk::kOutcomeBadAnswer);
  return false;
}

}  // namespace

int32_t ProbeVelkModule(Bus& bus, const char*, int32_t address, velk::DeviceRecord* device) {
  if (device == nullptr) return 0;
  // A probe is how the host recovers a line: start again from the settings
  // even when the port looks open. A failed opening shows in the exchange.
  bus.line.Reopen();
  char buffer[kProbeBufferSize] = {};
  int32_t length = protocol::BuildProbeLine(buffer, address, device->noChecksum == 0);
  if (bus.line.Exchange(buffer, &length, kVelk.answerPolicy) == 0) return 0;
  // A refusal proves the module is there.
  return FromTheModule(bus.line, buffer, length, address) ? 1 : 0;
}

int32_t DisableVelkAlarm(Bus& bus, const protocol::ModuleType& type, int32_t address) {
  if (!type.hasAlarm) return 1;
  char buffer[kProbeBufferSize] = {};
  int32_t length = protocol::BuildAlarmDisableLine(buffer, address);
  if (bus.line.Exchange(buffer, &length, kVelk.answerPolicy) == 0) return 0;
  if (!FromTheModule(bus.line, buffer, length, address)) return 0;
  return buffer[0] == '?' ? 0 : 1;
}

}  // namespace families
