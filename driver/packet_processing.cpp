// Placeholder until packet processing is built.
#include "driver/velk4000_pro.h"
namespace driver {
int32_t CVelk4000Pro::ProcessPacket(velk::Packet*) { return 0; }
int32_t CVelk4000Pro::ProcessPacket2(velk::Packet*) { return 0; }
}  // namespace driver
