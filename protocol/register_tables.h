// The register tables, constant data shared by every driver object. A row is
// identified by its index in its group; packets carry that index.
#ifndef VELK_PROTOCOL_REGISTER_TABLES_H
#define VELK_PROTOCOL_REGISTER_TABLES_H

#include <stdint.h>

#include "velk4000/velk4000.h"

namespace protocol {

struct RegisterGroup {
  const velk::RegisterDef* rows;
  int32_t size;
};

extern const RegisterGroup kData7810Group;
extern const RegisterGroup kData7210Group;
extern const RegisterGroup kVelk4011Group;
extern const RegisterGroup kVelk4017Group;
extern const RegisterGroup kVelk4021Group;
extern const RegisterGroup kVelk4051Group;
extern const RegisterGroup kVelk4050Group;
extern const RegisterGroup kVelk4080Group;
extern const RegisterGroup kVelk4015Group;
extern const RegisterGroup kVelk4024Group;
// Stored with the tables but offered for no module type: the first row
// shapes the one-item request of a Data7210 probe.
extern const RegisterGroup kData7210ProbeGroup;

// Register indices used by name in the code.
namespace reg {
enum Data7810 : int16_t { kAddr = 0, kBaud = 1, kVersion = 2, kName = 3, kDI = 4, kDO = 5, kTemp = 6 };
enum Data7210 : int16_t { kCfgStaT = 0, kMdVerF = 1, kMdNameM = 2, kSetDat = 3 };
}  // namespace reg

}  // namespace protocol

#endif
