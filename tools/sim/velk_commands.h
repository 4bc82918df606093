// The command tables of the "Velk" families, as the module side sees them:
// one row per command a module of the family takes, with the shape of its
// answer and what it does to the registers.
#ifndef VELK_SIM_VELK_COMMANDS_H
#define VELK_SIM_VELK_COMMANDS_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "sim/command_pattern.h"
#include "sim/velk_module.h"

namespace sim {

struct VelkCommandContext {
  VelkRegisters& registers;
  const std::string& typeName;
  uint32_t nowMs;
};

enum class AnswerShape {
  kBangAddress,  // "!" AA + data
  kGreater,      // ">" + data
  kBang,         // "!" + data
};

enum VelkCommandFlags : uint8_t {
  kChecksumAlways = 0x1,    // carries a checksum whatever the module's setting
  kChecksumOptional = 0x2,  // taken without one by a module that uses them
};

// Stores the data that follows the answer's lead (and address) into `data`;
// false refuses the command ("?" AA), e.g. for a channel out of range.
typedef bool (*VelkHandler)(VelkCommandContext& context, const CommandArgs& args, std::string* data);

struct VelkCommandRow {
  char lead;
  const char* pattern;  // what follows the address, see command_pattern.h
  AnswerShape shape;
  uint8_t flags;
  VelkHandler handler;
};

struct VelkCommandTable {
  const VelkCommandRow* rows;
  size_t count;
};

// The family's own rows; then the rows every family shares.
VelkCommandTable FamilyCommands(VelkFamily family);
VelkCommandTable CommonCommands();

}  // namespace sim

#endif
