// A module family as one table, the way a field-bus master keeps one backend
// table per line type: how the family's answers are collected, how a packet
// of its items runs (command, exchange, answer checks, decoding), its probe
// and alarm switch, its merge rule and its tag grammar. The driver picks the
// table once per call and never asks for a family by name.
#ifndef VELK_FAMILIES_FAMILY_H
#define VELK_FAMILIES_FAMILY_H

#include <stddef.h>
#include <stdint.h>

#include "protocol/module_types.h"
#include "protocol/tag_parsing.h"
#include "serial/answer_policy.h"
#include "serial/serial_line.h"
#include "velk4000/velk4000.h"

namespace families {

struct Data7810State;  // families/data7810.h

// What every family works on: the driver's line, and the state a family
// keeps of its modules from one packet to the next, which is the family's
// own (its type and rules live with it); the bus only carries it.
struct Bus {
  Bus(serial::SerialLine& serialLine, Data7810State& data7810State) : line(serialLine), data7810(data7810State) {}
  serial::SerialLine& line;
  Data7810State& data7810;
};

// One host packet of the family's modules: command, exchange, answer checks
// and decoding into the items. `type` is the row of the packet's module
// type, found once by the caller. 1, or 0 with the cause in the line's
// diagnostics.
using PacketPath = int32_t (*)(Bus& bus, velk::Packet& packet, const protocol::ModuleType& type);

struct Family {
  const serial::AnswerPolicy& answerPolicy;
  PacketPath processPacket;   // items are TagItem
  PacketPath processPacket2;  // items are TagItem2
  // 1 when a module of `moduleType` answered at `address`. A missing device
  // record is a broken call for the families that need one: 0, nothing sent.
  int32_t (*probe)(Bus& bus, const char* moduleType, int32_t address, velk::DeviceRecord* device);
  // 1 unless the module had an alarm to switch off and did not.
  int32_t (*disableAlarm)(Bus& bus, const protocol::ModuleType& type, int32_t address);
  // 1 when `tag` may join the open `packet` of a module of `type` (which
  // may widen); 0 otherwise.
  int32_t (*canMerge)(const velk::TagDef& tag, int32_t direction, velk::Packet& packet,
                      const protocol::ModuleType& type);
  protocol::TagParseResult (*parseTag)(const velk::TagConfig& config, velk::TagDef& def);
};

extern const Family kVelk;
extern const Family kData7810;
extern const Family kData7210;

// The alarm switch of a family without alarms: nothing to send, nothing fails.
int32_t HasNoAlarm(Bus& bus, const protocol::ModuleType& type, int32_t address);

// The family of a model group: the two Data types have their own; every
// other group, kNone (an unknown name) included, is "Velk".
const Family& FamilyOf(protocol::ModelGroup group);
// The family of a module type, read at most `maxLength` characters; a null
// pointer is a "Velk" type.
const Family& FamilyFor(const char* moduleType, size_t maxLength = 64);

}  // namespace families

#endif
