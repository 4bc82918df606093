// The "Velk" family's table.
#include "families/velk.h"

namespace families {
namespace {

protocol::TagParseResult ParseVelkTag(const velk::TagConfig& config, velk::TagDef& def) {
  const int16_t code = protocol::ParseVelkTag(config, def);
  return protocol::TagParseResult{code, code};
}

}  // namespace

const Family kVelk = {
    serial::kVelkAnswer, ProcessVelkPacket, ProcessVelkPacket2, ProbeVelkModule,
    DisableVelkAlarm,    CanMergeVelk,      ParseVelkTag,
};

}  // namespace families
