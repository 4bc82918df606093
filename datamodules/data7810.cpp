// Placeholder until the Data7810 path is built.
#include "datamodules/data7810.h"
namespace datamodules {
Data7810::Data7810(serial::SerialLine& line) : line_(line) {}
int32_t Data7810::ProcessData7810Packet(velk::Packet&) { return 0; }
int32_t Data7810::ProcessData7810Packet2(velk::Packet&) { return 0; }
int32_t Data7810::ProbeData7810(const char*, int32_t, velk::DeviceRecord*) { return 0; }
int32_t Data7810::CanMergeData7810(const velk::TagDef&, int32_t, velk::Packet&) { return 0; }
int32_t Data7810::TransactCount(int32_t, int32_t) { return 0; }
}  // namespace datamodules
