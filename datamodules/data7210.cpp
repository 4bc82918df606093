// Placeholder until the Data7210 path is built.
#include "datamodules/data7210.h"
namespace datamodules {
Data7210::Data7210(serial::CCOMDevice& device, platform::Clock& clock) : device_(device), clock_(clock) {}
int32_t Data7210::ProcessData7210Packet(velk::Packet&) { return 0; }
int32_t Data7210::ProcessData7210Packet2(velk::Packet&) { return 0; }
int32_t Data7210::ProbeData7210(const char*, int32_t, velk::DeviceRecord*) { return 0; }
int32_t Data7210::CanMergeData7210(const velk::TagDef&, int32_t, velk::Packet&) { return 0; }
int32_t Data7210::BuildData7210Command(const velk::Packet&, Exchange&) { return 0; }
int32_t Data7210::RunExchange(const velk::Packet&, Exchange&) { return 0; }
int32_t Data7210::DecodeData7210Answer(velk::Packet&, const Exchange&) { return 1; }
float Data7210::HexTextToNumber(const std::string&) { return 0; }
}  // namespace datamodules
