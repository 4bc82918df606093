// The register tables, constant data shared by every driver object. A row is
// identified by its index in its table; packets carry that index.
#ifndef VELK_PROTOCOL_REGISTER_TABLES_H
#define VELK_PROTOCOL_REGISTER_TABLES_H

#include <stdint.h>

#include "velk4000/velk4000.h"

namespace protocol {

struct RegisterTable {
  const velk::RegisterDef* rows;
  int32_t size;
};

extern const RegisterTable kData7810Registers;
extern const RegisterTable kData7210Registers;
extern const RegisterTable kVelk4011Registers;
extern const RegisterTable kVelk4017Registers;
extern const RegisterTable kVelk4021Registers;
extern const RegisterTable kVelk4051Registers;
extern const RegisterTable kVelk4050Registers;
extern const RegisterTable kVelk4080Registers;
extern const RegisterTable kVelk4015Registers;
extern const RegisterTable kVelk4024Registers;
// Stored with the tables but offered for no module type: the first row
// shapes the one-item request of a Data7210 probe.
extern const RegisterTable kData7210ProbeRegisters;

// Register indices used by name in the code.
namespace reg {
enum Data7810 : int16_t { kAddr = 0, kBaud = 1, kVersion = 2, kName = 3, kDI = 4, kDO = 5, kTemp = 6 };
enum Data7210 : int16_t { kCfgStaT = 0, kMdVerF = 1, kMdNameM = 2, kSetDat = 3 };
}  // namespace reg

}  // namespace protocol

#endif
