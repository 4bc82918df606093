// ProcessPacket and ProcessPacket2: one host request, one command exchange
// (three for a Velk4050 output), the answer checked and decoded into the
// packet's items. Everything lives on the stack of the call.
#include <string.h>

#include "driver/answer_decoding.h"
#include "driver/velk4000_pro.h"
#include "platform/file_time.h"
#include "protocol/answer_form.h"
#include "protocol/command_builder.h"
#include "protocol/module_types.h"
#include "protocol/packet_items.h"
#include "protocol/encoding.h"

namespace driver {
namespace {

const int32_t kAnswerBufferSize = 1024;
const int32_t kReadBackBufferSize = serial::kMaxAnswer;
// Register index of "DO" in the Velk4050 group.
const int16_t kVelk4050Outputs = 1;

// The one place where the two item layouts differ: which builder reads the
// first item, and whether items carry quality and time.
template <typename Item>
struct ItemLayout;

template <>
struct ItemLayout<velk::TagItem> {
  static int32_t Build(const velk::Packet& packet, char* buffer, int32_t* length) {
    return protocol::BuildCommand(packet, buffer, length);
  }
  static void Stamp(velk::TagItem&) {}
  static void NoReading(velk::TagItem&) {}
};

template <>
struct ItemLayout<velk::TagItem2> {
  static int32_t Build(const velk::Packet& packet, char* buffer, int32_t* length) {
    return protocol::BuildCommand2(packet, buffer, length);
  }
  static void Stamp(velk::TagItem2& item) { protocol::StampItem(item, platform::FileTimeNow()); }
  // An old value is not presented as read now.
  static void NoReading(velk::TagItem2& item) { item.quality = protocol::kQualityBad; }
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
bool ReadBackVelk4050Outputs(serial::SerialLine& line, velk::Packet& packet) {
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
    char buffer[kReadBackBufferSize] = {};
    int32_t length = 0;
    if (!ItemLayout<Item>::Build(packet, buffer, &length)) return false;
    const protocol::AnswerStart start =
        protocol::AnswerStartOf(protocol::FamilyOf(packet.moduleType), buffer, length);
    if (!line.Transact(buffer, &length)) return false;
    const bool usable = length > 0 && buffer[0] != '?' &&
                        (!withChecksum || protocol::AnswerChecksumOk(buffer, length)) &&
                        protocol::AnswerStartOk(start, buffer, length, static_cast<uint8_t>(packet.address));
    if (!usable) line.MarkAnswerBad();
  }
  return true;
}

// An answer the packet could not use may have been another command's: the
// line waits for quiet before its next command.
void NoteUnusableAnswer(serial::SerialLine& line, int32_t result) {
  const int32_t why = line.diagnostics.outcome;
  if (result == 0 && (why == velk::kOutcomeBadAnswer || why == velk::kOutcomeChecksumMismatch)) line.MarkAnswerBad();
}

}  // namespace

template <>
int32_t CVelk4000Pro::DispatchPacket<velk::TagItem>(velk::Packet* packet) {
  if (packet == nullptr || packet->moduleType == nullptr) return NotBuilt();
  if (protocol::SameTypeName(packet->moduleType, "Data7810")) return data7810().ProcessData7810Packet(*packet);
  if (protocol::SameTypeName(packet->moduleType, "Data7210")) return data7210().ProcessData7210Packet(*packet);
  return ProcessVelkPacket<velk::TagItem>(*packet);
}

template <>
int32_t CVelk4000Pro::DispatchPacket<velk::TagItem2>(velk::Packet* packet) {
  if (packet == nullptr || packet->moduleType == nullptr) return NotBuilt();
  if (protocol::SameTypeName(packet->moduleType, "Data7810")) return data7810().ProcessData7810Packet2(*packet);
  if (protocol::SameTypeName(packet->moduleType, "Data7210")) return data7210().ProcessData7210Packet2(*packet);
  return ProcessVelkPacket<velk::TagItem2>(*packet);
}

int32_t CVelk4000Pro::ProcessPacket(velk::Packet* packet) {
  serial::LineDiagnostics& diagnostics = line().diagnostics;
  diagnostics.BeginPacket();
  line().StartPacket();
  const int32_t result = DispatchPacket<velk::TagItem>(packet);
  NoteUnusableAnswer(line(), result);
  diagnostics.EndPacket(result);
  return result;
}

int32_t CVelk4000Pro::ProcessPacket2(velk::Packet* packet) {
  serial::LineDiagnostics& diagnostics = line().diagnostics;
  diagnostics.BeginPacket();
  line().StartPacket();
  const int32_t result = DispatchPacket<velk::TagItem2>(packet);
  NoteUnusableAnswer(line(), result);
  diagnostics.EndPacket(result);
  return result;
}

int32_t CVelk4000Pro::NotBuilt() {
  line().diagnostics.Fail(velk::kOutcomeNotBuilt);
  return 0;
}

int32_t CVelk4000Pro::BadAnswer() {
  line().NoteBadAnswer();
  return 0;
}

int32_t CVelk4000Pro::ExchangeFailed() {
  // The line names the cause when it knows it; without a port it may not
  // have looked.
  serial::SerialLine& serialLine = line();
  if (!serialLine.hasPort()) serialLine.diagnostics.Fail(velk::kOutcomeNoPort);
  return 0;
}

template <typename Item>
int32_t CVelk4000Pro::ProcessVelkPacket(velk::Packet& packet) {
  using Layout = ItemLayout<Item>;
  // The command and the "DISPLAY" register take their operands from the
  // first item; a packet without one is refused before anything is read.
  Item* first = protocol::FirstItem<Item>(packet);
  if (first == nullptr || packet.registerName == nullptr || packet.device == nullptr) return NotBuilt();
  serial::SerialLine& serialLine = line();

  if (IsDisplayRegister(packet.registerName)) {
    if (packet.direction == 0)
      protocol::StoreLong(first->value, serialLine.pollDelayMs);
    else
      serialLine.pollDelayMs = static_cast<uint16_t>(protocol::SlotI16(first->value));
    Layout::Stamp(*first);
    return 1;
  }

  // Holds the command, then the answer over it; what the answer does not
  // cover stays as the command left it or zero.
  if (packet.direction == 0) {
    bool fit = true;
    protocol::ForEachItem<Item>(packet, [&](Item& item) { fit = fit && ItemFitsItsRule(packet, item.dataType); });
    if (!fit) return NotBuilt();
  }
  char buffer[kAnswerBufferSize] = {};
  int32_t length = 0;
  if (!Layout::Build(packet, buffer, &length)) return NotBuilt();
  const int32_t commandLength = length;
  const protocol::AnswerStart start =
      protocol::AnswerStartOf(protocol::FamilyOf(packet.moduleType), buffer, commandLength);
  if (!serialLine.Transact(buffer, &length)) return ExchangeFailed();
  if (length <= 0 || length > serial::kMaxAnswer) return BadAnswer();

  if (packet.registerCode == kVelk4050Outputs && protocol::SameTypeName(packet.moduleType, "Velk4050") &&
      !ReadBackVelk4050Outputs<Item>(serialLine, packet))
    return ExchangeFailed();

  if (buffer[0] == '?') {  // the module refused the command
    serialLine.diagnostics.Fail(velk::kOutcomeRefused);
    return 0;
  }
  const bool withChecksum = packet.device->noChecksum == 0;
  if (withChecksum && !protocol::AnswerChecksumOk(buffer, length)) {
    serialLine.diagnostics.Fail(velk::kOutcomeChecksumMismatch);
    return 0;
  }
  // Noise that holds a lead character, or another module's answer, passes
  // the checks above on a line without checksums.
  if (!protocol::AnswerStartOk(start, buffer, length, static_cast<uint8_t>(packet.address))) return BadAnswer();
  if (packet.direction != 0) return 1;

  // Every item is decoded into a copy first: an answer is taken whole or
  // not at all, so a field that fails its form leaves every item untouched.
  const AnswerText answer{buffer, length > commandLength ? length : commandLength, length, withChecksum};
  {
    AnswerDecoder trial(answer, packet);
    protocol::ForEachItem<Item>(packet, [&](Item& item) {
      Item copy = item;
      trial.Decode(copy);
    });
    if (!trial.formOk()) return BadAnswer();
  }
  AnswerDecoder decoder(answer, packet);
  protocol::ForEachItem<Item>(packet, [&](Item& item) {
    if (decoder.Decode(item))
      Layout::Stamp(item);
    else
      Layout::NoReading(item);
  });
  return 1;
}

}  // namespace driver
