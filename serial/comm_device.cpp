// Placeholder until the serial line is built.
#include "serial/comm_device.h"

namespace serial {
const RuntimeClass CCommDevice::kRuntimeClass = {"CCommDevice", 0xFFFF, nullptr};
const RuntimeClass CCOMDevice::kRuntimeClass = {"CCOMDevice", 0xFFFF, &CCommDevice::kRuntimeClass};
const RuntimeClass* CCommDevice::GetRuntimeClass() const { return &kRuntimeClass; }
int32_t CCommDevice::Configure(const velk::PortSettings*) { return 0; }
int32_t CCommDevice::Open(uintptr_t) { return 0; }
int32_t CCommDevice::Close() { return 0; }
int32_t CCommDevice::Write(uintptr_t, uint32_t, const void*, uint32_t*) { return 0; }
int32_t CCommDevice::Read(uintptr_t, uint32_t, void*, uint32_t*) { return 0; }
int32_t CCommDevice::Attach(platform::Handle) { return 0; }
platform::Handle CCommDevice::GetHandle() { return platform::kNoHandle; }
int32_t CCommDevice::Purge() { return 0; }
int32_t CCommDevice::ParseNumber(std::string, int32_t*) { return 0; }
int32_t CCommDevice::IsOpen(uintptr_t) { return 0; }
CCOMDevice::CCOMDevice(platform::SerialApi& api, platform::Clock& clock) : api_(api), clock_(clock) {}
CCOMDevice::~CCOMDevice() {}
const RuntimeClass* CCOMDevice::GetRuntimeClass() const { return &kRuntimeClass; }
int32_t CCOMDevice::Configure(const velk::PortSettings*) { return 0; }
int32_t CCOMDevice::Open(uintptr_t) { return 0; }
int32_t CCOMDevice::Close() { return 1; }
int32_t CCOMDevice::Write(uintptr_t, uint32_t, const void*, uint32_t*) { return 0; }
int32_t CCOMDevice::Read(uintptr_t, uint32_t, void*, uint32_t*) { return 0; }
int32_t CCOMDevice::Attach(platform::Handle) { return 0; }
platform::Handle CCOMDevice::GetHandle() { return m_hPort; }
int32_t CCOMDevice::Purge() { return 0; }
int32_t CCOMDevice::ParseNumber(std::string, int32_t*) { return 0; }
int32_t CCOMDevice::IsOpen(uintptr_t) { return 0; }
}  // namespace serial
