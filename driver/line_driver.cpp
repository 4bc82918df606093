#include "driver/line_driver.h"

#include <string.h>

#include "platform/inproc_server.h"
#include "protocol/module_types.h"

namespace driver {

DriverServices SystemServices() { return DriverServices{&platform::SystemSerialApi(), &platform::SystemClock()}; }

LineDriver::LineDriver(const DriverServices& services)
    : services_(services), line_(new serial::SerialLine(*services.serial, *services.clock)) {
  platform::ModuleLock();
}

LineDriver::~LineDriver() {
  // The port first (as ClosePort closes it), then the library's lock.
  line_.reset();
  platform::ModuleUnlock();
}

velk::HResult LineDriver::QueryInterface(const velk::Guid& iid, void** out) {
  if (out == nullptr) return velk::kPointer;
  void* found = nullptr;
  if (iid == velk::kIidIUnknown || iid == velk::kIidDriverDispatch || iid == velk::kIidIDispatch)
    found = static_cast<velk::IUnknownV*>(&dispatch_);
  else if (iid == velk::kIidIDriver)
    found = static_cast<velk::IDriver*>(&driver_);
  else if (iid == velk::kIidIDriver2)
    found = static_cast<velk::IDriver2*>(&driver2_);
  else if (iid == velk::kIidIDriverDiagnostics)
    found = static_cast<velk::IDriverDiagnostics*>(&diagnostics_);
  *out = found;
  if (found == nullptr) return velk::kNoInterface;
  AddRef();
  return velk::kOk;
}

uint32_t LineDriver::AddRef() { return ++refCount_; }

uint32_t LineDriver::Release() {
  const uint32_t left = --refCount_;
  if (left == 0) delete this;
  return left;
}

int32_t LineDriver::GetRegisterTable(const char* moduleType, const velk::RegisterDef** firstRow, int32_t* rowCount) {
  protocol::RegisterTableView view;
  if (!protocol::SelectRegisterTable(moduleType, &view)) return 0;
  if (firstRow != nullptr) *firstRow = view.rows;
  if (rowCount != nullptr) *rowCount = view.rowCount;
  return 1;
}

int32_t LineDriver::OpenPort(uintptr_t, const velk::PortSettings* settings) { return line_->OpenPort(settings); }
int32_t LineDriver::ClosePort() { return line_->ClosePort(); }
int32_t LineDriver::SetPortHandle(const velk::PortHandle* handle) { return line_->SetPortHandle(handle); }

int32_t LineDriver::GetLastOutcome() { return line_->diagnostics.outcome; }
int32_t LineDriver::GetLastPortError() { return line_->diagnostics.lastPortError; }

int32_t LineDriver::GetCounters(velk::LineCounters* counters) {
  if (counters == nullptr || counters->size < sizeof counters->size) return 0;
  // A caller built against a shorter record gets its own part of ours; a
  // longer one keeps what it has beyond ours.
  const velk::LineCounters& kept = line_->diagnostics.counters;
  const uint32_t asked = counters->size;
  memcpy(counters, &kept, asked < sizeof kept ? asked : sizeof kept);
  counters->size = asked < sizeof kept ? asked : static_cast<uint32_t>(sizeof kept);
  return 1;
}

int32_t LineDriver::ResetCounters() {
  line_->diagnostics.ResetCounters();
  return 1;
}

int32_t LineDriver::SetTraceHook(velk::TraceHook hook, void* context) {
  line_->diagnostics.hook = hook;
  line_->diagnostics.hookContext = hook != nullptr ? context : nullptr;
  return 1;
}

// The embedded interfaces forward to the object: one count, one identity.
// No exception may cross into the host, which is not written in this
// language's terms; an operation that runs out of memory fails instead.
template <typename Result, typename Operation>
Result LineDriver::Serialised(Result failure, Operation&& operation) noexcept {
  try {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    return operation();
  } catch (...) { return failure; }
}

velk::HResult LineDriver::DispatchImpl::QueryInterface(const velk::Guid& iid, void** out) {
  return owner_.QueryInterface(iid, out);
}
uint32_t LineDriver::DispatchImpl::AddRef() { return owner_.AddRef(); }
uint32_t LineDriver::DispatchImpl::Release() { return owner_.Release(); }
velk::HResult LineDriver::DispatchImpl::GetTypeInfoCount(uint32_t* count) {
  if (count == nullptr) return velk::kPointer;
  *count = 0;
  return velk::kOk;
}
velk::HResult LineDriver::DispatchImpl::GetTypeInfo(uint32_t, uint32_t, void** info) {
  if (info != nullptr) *info = nullptr;
  return static_cast<velk::HResult>(0x8002000Bu);  // DISP_E_BADINDEX
}
velk::HResult LineDriver::DispatchImpl::GetIDsOfNames(const velk::Guid&, void*, uint32_t count, uint32_t,
                                                      int32_t* ids) {
  for (uint32_t i = 0; ids != nullptr && i < count; ++i) ids[i] = -1;  // DISPID_UNKNOWN
  return static_cast<velk::HResult>(0x80020006u);                      // DISP_E_UNKNOWNNAME
}
velk::HResult LineDriver::DispatchImpl::Invoke(int32_t, const velk::Guid&, uint32_t, uint16_t, void*, void*, void*,
                                               uint32_t*) {
  return static_cast<velk::HResult>(0x80020003u);  // DISP_E_MEMBERNOTFOUND
}

velk::HResult LineDriver::DriverImpl::QueryInterface(const velk::Guid& iid, void** out) {
  return owner_.QueryInterface(iid, out);
}
uint32_t LineDriver::DriverImpl::AddRef() { return owner_.AddRef(); }
uint32_t LineDriver::DriverImpl::Release() { return owner_.Release(); }
int32_t LineDriver::DriverImpl::GetRegisterTable(const char* moduleType, const velk::RegisterDef** firstRow,
                                                 int32_t* rowCount) {
  return owner_.Serialised(0, [&] { return owner_.GetRegisterTable(moduleType, firstRow, rowCount); });
}
int32_t LineDriver::DriverImpl::ProbeDevice(const char* moduleType, int32_t address, velk::DeviceRecord* device) {
  return owner_.Serialised(0, [&] { return owner_.ProbeDevice(moduleType, address, device); });
}
int16_t LineDriver::DriverImpl::ParseTag(const velk::TagConfig* config, velk::TagDef* def) {
  return owner_.Serialised(static_cast<int16_t>(12), [&] { return owner_.ParseTag(config, def); });
}
int32_t LineDriver::DriverImpl::Reserved(uintptr_t a, uintptr_t b, uintptr_t c) {
  return owner_.Serialised(0, [&] { return owner_.Reserved(a, b, c); });
}
int32_t LineDriver::DriverImpl::OpenPort(uintptr_t reserved, const velk::PortSettings* settings) {
  return owner_.Serialised(0, [&] { return owner_.OpenPort(reserved, settings); });
}
int32_t LineDriver::DriverImpl::ClosePort() {
  return owner_.Serialised(0, [&] { return owner_.ClosePort(); });
}
int32_t LineDriver::DriverImpl::DisableDeviceAlarm(const char* moduleType, int32_t address, uintptr_t reserved) {
  return owner_.Serialised(0, [&] { return owner_.DisableDeviceAlarm(moduleType, address, reserved); });
}
int32_t LineDriver::DriverImpl::CanMerge(const velk::TagDef* tag, int32_t direction, velk::Packet* packet) {
  return owner_.Serialised(0, [&] { return owner_.CanMerge(tag, direction, packet); });
}
int32_t LineDriver::DriverImpl::ProcessPacket(velk::Packet* packet) {
  return owner_.Serialised(0, [&] { return owner_.ProcessPacket(packet); });
}
int32_t LineDriver::DriverImpl::ParseDeviceAddress(const char* text, velk::DeviceRecord* device) {
  return owner_.Serialised(0, [&] { return owner_.ParseDeviceAddress(text, device); });
}
const char* LineDriver::DriverImpl::GetErrorText() {
  return owner_.Serialised(static_cast<const char*>(nullptr), [&] { return owner_.GetErrorText(); });
}

velk::HResult LineDriver::Driver2Impl::QueryInterface(const velk::Guid& iid, void** out) {
  return owner_.QueryInterface(iid, out);
}
uint32_t LineDriver::Driver2Impl::AddRef() { return owner_.AddRef(); }
uint32_t LineDriver::Driver2Impl::Release() { return owner_.Release(); }
int32_t LineDriver::Driver2Impl::ProcessPacket2(velk::Packet* packet) {
  return owner_.Serialised(0, [&] { return owner_.ProcessPacket2(packet); });
}
int32_t LineDriver::Driver2Impl::SetPortHandle(const velk::PortHandle* handle) {
  return owner_.Serialised(0, [&] { return owner_.SetPortHandle(handle); });
}
int32_t LineDriver::Driver2Impl::Reserved2a(uintptr_t a, uintptr_t b, uintptr_t c) {
  return owner_.Serialised(0, [&] { return owner_.Reserved2a(a, b, c); });
}
int32_t LineDriver::Driver2Impl::Reserved2b(uintptr_t a) {
  return owner_.Serialised(0, [&] { return owner_.Reserved2b(a); });
}

velk::HResult LineDriver::DiagnosticsImpl::QueryInterface(const velk::Guid& iid, void** out) {
  return owner_.QueryInterface(iid, out);
}
uint32_t LineDriver::DiagnosticsImpl::AddRef() { return owner_.AddRef(); }
uint32_t LineDriver::DiagnosticsImpl::Release() { return owner_.Release(); }
int32_t LineDriver::DiagnosticsImpl::GetLastOutcome() {
  return owner_.Serialised(static_cast<int32_t>(velk::kOutcomeOk), [&] { return owner_.GetLastOutcome(); });
}
int32_t LineDriver::DiagnosticsImpl::GetLastPortError() {
  return owner_.Serialised(static_cast<int32_t>(velk::kPortOpenOk), [&] { return owner_.GetLastPortError(); });
}
int32_t LineDriver::DiagnosticsImpl::GetCounters(velk::LineCounters* counters) {
  return owner_.Serialised(0, [&] { return owner_.GetCounters(counters); });
}
int32_t LineDriver::DiagnosticsImpl::ResetCounters() {
  return owner_.Serialised(0, [&] { return owner_.ResetCounters(); });
}
int32_t LineDriver::DiagnosticsImpl::SetTraceHook(velk::TraceHook hook, void* context) {
  return owner_.Serialised(0, [&] { return owner_.SetTraceHook(hook, context); });
}

}  // namespace driver
