// The "Velk" packet path: one host request, one command exchange (three for
// a Velk4050 output), the answer checked and decoded into the packet's
// items. Everything lives on the stack of the call.
#include <string.h>

#include "families/answer_check.h"
#include "families/item_layout.h"
#include "families/velk.h"
#include "families/velk_answer_decoding.h"
#include "protocol/answer_form.h"
#include "protocol/command_builder.h"
#include "protocol/module_types.h"
#include "protocol/packet_items.h"
#include "protocol/encoding.h"

namespace families {
namespace {

// The exchange stores no more than this over the command.
const int32_t kAnswerBufferSize = serial::kMaxAnswer;
// Register index of "DO" in the Velk4050 group.
const int16_t kVelk4050Outputs = 1;

// Which command builder reads the first item of each item layout.
template <typename Item>
struct CommandBuilder;

template <>
struct CommandBuilder<velk::TagItem> {
  static int32_t Build(const velk::Packet& packet, protocol::ModelGroup group, char* buffer, int32_t* length) {
    return protocol::BuildCommand(packet, group, buffer, length);
  }
};

template <>
struct CommandBuilder<velk::TagItem2> {
  static int32_t Build(const velk::Packet& packet, protocol::ModelGroup group, char* buffer, int32_t* length) {
    return protocol::BuildCommand2(packet, group, buffer, length);
  }
};

// The driver's own register: compared with case, and bounded by the eight
// bytes of a register row's name.
bool IsDisplayRegister(const char* registerName) { return strncmp(registerName, "DISPLAY", 8) == 0; }

// Every exchange with the outputs of a Velk4050 is followed by two reads of
// the module; the packet's register and direction are the caller's again
// afterwards, whatever happened. Read commands take nothing from an item's
// value, so the packet's own item layout builds them. A read that goes
// unanswered fails the packet. An answer that is not the module's own
// (refused, wrong lead, address or checksum) fails nothing, since the
// module confirmed its write before, but the line waits for quiet before
// its next command, as after any unusable answer.
template <typename Item>
bool ReadBackVelk4050Outputs(serial::SerialLine& line, velk::Packet& packet, protocol::ModelGroup group) {
  struct Restore {
    velk::Packet& packet;
    const int16_t registerCode;
    const int16_t direction;
    ~Restore() {
      packet.registerCode = registerCode;
      packet.direction = direction;
    }
  } restore{packet, packet.registerCode, packet.direction};

  packet.registerCode = 0;
  packet.direction = 0;
  const bool withChecksum = packet.device->noChecksum == 0;
  for (int i = 0; i < 2; ++i) {
    char buffer[kAnswerBufferSize] = {};
    int32_t length = 0;
    if (!CommandBuilder<Item>::Build(packet, group, buffer, &length)) return false;
    const protocol::AnswerStart start = protocol::AnswerStartOf(group, buffer, length);
    if (!line.Exchange(buffer, &length, kVelk.answerPolicy)) return false;
    const bool usable = length > 0 && buffer[0] != '?' &&
                        (!withChecksum || protocol::AnswerChecksumOk(buffer, length)) &&
                        protocol::AnswerStartOk(start, buffer, length, static_cast<uint8_t>(packet.address));
    if (!usable) line.DistrustAnswers();
  }
  return true;
}

// Failures of the packet path that the line cannot name; each returns 0.
int32_t NotBuilt(serial::SerialLine& line) {
  line.diagnostics.Fail(velk::kOutcomeNotBuilt);
  return 0;
}

int32_t ExchangeFailed(serial::SerialLine& line) {
  // The line names the cause when it knows it; without a port it may not
  // have looked.
  if (!line.hasPort()) line.diagnostics.Fail(velk::kOutcomeNoPort);
  return 0;
}

int32_t BadAnswer(serial::SerialLine& line) {
  line.RejectAnswer(velk::kOutcomeBadAnswer);
  return 0;
}

template <typename Item>
int32_t ProcessPacket(serial::SerialLine& serialLine, velk::Packet& packet, const protocol::ModuleType& type) {
  using Layout = ItemLayout<Item>;
  const protocol::ModelGroup group = type.group;
  // The command and the "DISPLAY" register take their operands from the
  // first item; a packet without one is refused before anything is read.
  Item* first = protocol::FirstItem<Item>(packet);
  if (first == nullptr || packet.registerName == nullptr || packet.device == nullptr) return NotBuilt(serialLine);

  if (IsDisplayRegister(packet.registerName)) {
    if (packet.direction == 0)
      protocol::StoreLong(first->value, serialLine.pollDelayMs);
    else
      serialLine.pollDelayMs = static_cast<uint16_t>(protocol::SlotI16(first->value));
    Layout::Stamp(*first, Layout::Now());
    return 1;
  }

  if (packet.direction == 0) {
    bool fit = true;
    protocol::ForEachItem<Item>(packet, [&](Item& item) { fit = fit && ItemFitsItsRule(packet, type, item.dataType); });
    if (!fit) return NotBuilt(serialLine);
  }
  // Holds the command, then the answer over it; what the answer does not
  // cover stays as the command left it or zero.
  char buffer[kAnswerBufferSize] = {};
  int32_t length = 0;
  if (!CommandBuilder<Item>::Build(packet, group, buffer, &length)) return NotBuilt(serialLine);
  const int32_t commandLength = length;
  const protocol::AnswerStart start = protocol::AnswerStartOf(group, buffer, commandLength);
  if (!serialLine.Exchange(buffer, &length, kVelk.answerPolicy)) return ExchangeFailed(serialLine);
  if (length <= 0 || length > serial::kMaxAnswer) return BadAnswer(serialLine);

  if (type.outputsReadBack && packet.registerCode == kVelk4050Outputs &&
      !ReadBackVelk4050Outputs<Item>(serialLine, packet, group))
    return ExchangeFailed(serialLine);

  // Noise that holds a lead character, or another module's answer, passes
  // the checksum on a line without checksums: the start is checked as well.
  const bool withChecksum = packet.device->noChecksum == 0;
  if (!AnswerUsable(serialLine, buffer, length, withChecksum, [&] {
        return protocol::AnswerStartOk(start, buffer, length, static_cast<uint8_t>(packet.address));
      }))
    return 0;
  if (packet.direction != 0) return 1;

  // Every item is decoded into a copy first: an answer is taken whole or
  // not at all, so a field that fails its form leaves every item untouched.
  const AnswerText answer{buffer, length > commandLength ? length : commandLength, length, withChecksum};
  {
    AnswerDecoder trial(answer, packet, type);
    protocol::ForEachItem<Item>(packet, [&](Item& item) {
      Item copy = item;
      trial.Decode(copy);
    });
    if (!trial.formOk()) return BadAnswer(serialLine);
  }
  AnswerDecoder decoder(answer, packet, type);
  protocol::ForEachItem<Item>(packet, [&](Item& item) {
    if (decoder.Decode(item))
      Layout::Stamp(item, Layout::Now());
    else
      Layout::NoReading(item);
  });
  return 1;
}

}  // namespace

int32_t ProcessVelkPacket(Bus& bus, velk::Packet& packet, const protocol::ModuleType& type) {
  return ProcessPacket<velk::TagItem>(bus.line, packet, type);
}
int32_t ProcessVelkPacket2(Bus& bus, velk::Packet& packet, const protocol::ModuleType& type) {
  return ProcessPacket<velk::TagItem2>(bus.line, packet, type);
}

}  // namespace families
