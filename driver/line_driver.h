// The driver object: one per serial line, created by the class factory and
// reached by the host through IDriver and IDriver2 (and, when it asks, the
// optional IDriverDiagnostics), which share one reference count and one
// identity.
#ifndef VELK_DRIVER_LINE_DRIVER_H
#define VELK_DRIVER_LINE_DRIVER_H

#include <stdint.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "families/data7810.h"
#include "families/family.h"
#include "platform/clock.h"
#include "platform/serial_api.h"
#include "serial/serial_line.h"
#include "velk4000/velk4000.h"

namespace driver {

// The operating-system services a driver object runs on; tests hand in a
// virtual clock and an in-memory line.
struct DriverServices {
  platform::SerialApi* serial;
  platform::Clock* clock;
};
DriverServices SystemServices();

class LineDriver {
 public:
  explicit LineDriver(const DriverServices& services = SystemServices());
  ~LineDriver();
  LineDriver(const LineDriver&) = delete;
  LineDriver& operator=(const LineDriver&) = delete;

  // Identity and lifetime, shared by every interface of the object.
  velk::HResult QueryInterface(const velk::Guid& iid, void** out);
  uint32_t AddRef();
  uint32_t Release();

  velk::IDriver* driverInterface() { return &driver_; }
  velk::IDriver2* driver2Interface() { return &driver2_; }
  velk::IDriverDiagnostics* diagnosticsInterface() { return &diagnostics_; }

  // IDriver
  int32_t GetRegisterTable(const char* moduleType, const velk::RegisterDef** firstRow, int32_t* rowCount);
  int32_t ProbeDevice(const char* moduleType, int32_t address, velk::DeviceRecord* device);
  int16_t ParseTag(const velk::TagConfig* config, velk::TagDef* def);
  int32_t Reserved(uintptr_t, uintptr_t, uintptr_t) { return 1; }
  int32_t OpenPort(uintptr_t reserved, const velk::PortSettings* settings);
  int32_t ClosePort();
  int32_t DisableDeviceAlarm(const char* moduleType, int32_t address, uintptr_t reserved);
  int32_t CanMerge(const velk::TagDef* tag, int32_t direction, velk::Packet* packet);
  int32_t ProcessPacket(velk::Packet* packet);
  int32_t ParseDeviceAddress(const char* text, velk::DeviceRecord* device);
  const char* GetErrorText();

  // IDriver2
  int32_t ProcessPacket2(velk::Packet* packet);
  int32_t SetPortHandle(const velk::PortHandle* handle);
  int32_t Reserved2a(uintptr_t, uintptr_t, uintptr_t) { return 1; }
  int32_t Reserved2b(uintptr_t) { return 1; }

  // IDriverDiagnostics
  int32_t GetLastOutcome();
  int32_t GetLastPortError();
  int32_t GetCounters(velk::LineCounters* counters);
  int32_t ResetCounters();
  int32_t SetTraceHook(velk::TraceHook hook, void* context);

  // State visible to the operations' own files and to tests.
  int32_t errorCode = -1;
  serial::SerialLine& line() { return *line_; }
  families::Bus& bus() { return bus_; }
  platform::Clock& clock() { return *services_.clock; }

 private:
  class DriverImpl;
  class Driver2Impl;
  class DiagnosticsImpl;

  // ProcessPacket and ProcessPacket2: the family's own path, between the
  // start and the end of the packet's diagnostics.
  int32_t RunPacket(velk::Packet* packet, families::PacketPath families::Family::*path);

  // Runs one interface operation under the object's own lock: a host that
  // calls one object from two threads gets its calls one after the other,
  // never interleaved on the line. No lock is shared between objects. A
  // trace hook that calls back into the object on the packet's own thread
  // finds the lock its own, not a deadlock.
  template <typename Result, typename Operation>
  Result Serialised(Result failure, Operation&& operation) noexcept;

  DriverServices services_;
  std::atomic<uint32_t> refCount_{0};
  std::recursive_mutex lock_;
  std::unique_ptr<serial::SerialLine> line_;
  families::Data7810State data7810_;
  families::Bus bus_{*line_, data7810_};

  class DriverImpl final : public velk::IDriver {
   public:
    explicit DriverImpl(LineDriver& owner) : owner_(owner) {}
    velk::HResult VELK_CALL QueryInterface(const velk::Guid& iid, void** out) override;
    uint32_t VELK_CALL AddRef() override;
    uint32_t VELK_CALL Release() override;
    int32_t VELK_CALL GetRegisterTable(const char* moduleType, const velk::RegisterDef** firstRow,
                                       int32_t* rowCount) override;
    int32_t VELK_CALL ProbeDevice(const char* moduleType, int32_t address, velk::DeviceRecord* device) override;
    int16_t VELK_CALL ParseTag(const velk::TagConfig* config, velk::TagDef* def) override;
    int32_t VELK_CALL Reserved(uintptr_t a, uintptr_t b, uintptr_t c) override;
    int32_t VELK_CALL OpenPort(uintptr_t reserved, const velk::PortSettings* settings) override;
    int32_t VELK_CALL ClosePort() override;
    int32_t VELK_CALL DisableDeviceAlarm(const char* moduleType, int32_t address, uintptr_t reserved) override;
    int32_t VELK_CALL CanMerge(const velk::TagDef* tag, int32_t direction, velk::Packet* packet) override;
    int32_t VELK_CALL ProcessPacket(velk::Packet* packet) override;
    int32_t VELK_CALL ParseDeviceAddress(const char* text, velk::DeviceRecord* device) override;
    const char* VELK_CALL GetErrorText() override;

   private:
    LineDriver& owner_;
  };

  class Driver2Impl final : public velk::IDriver2 {
   public:
    explicit Driver2Impl(LineDriver& owner) : owner_(owner) {}
    velk::HResult VELK_CALL QueryInterface(const velk::Guid& iid, void** out) override;
    uint32_t VELK_CALL AddRef() override;
    uint32_t VELK_CALL Release() override;
    int32_t VELK_CALL ProcessPacket2(velk::Packet* packet) override;
    int32_t VELK_CALL SetPortHandle(const velk::PortHandle* handle) override;
    int32_t VELK_CALL Reserved2a(uintptr_t a, uintptr_t b, uintptr_t c) override;
    int32_t VELK_CALL Reserved2b(uintptr_t a) override;

   private:
    LineDriver& owner_;
  };

  class DiagnosticsImpl final : public velk::IDriverDiagnostics {
   public:
    explicit DiagnosticsImpl(LineDriver& owner) : owner_(owner) {}
    velk::HResult VELK_CALL QueryInterface(const velk::Guid& iid, void** out) override;
    uint32_t VELK_CALL AddRef() override;
    uint32_t VELK_CALL Release() override;
    int32_t VELK_CALL GetLastOutcome() override;
    int32_t VELK_CALL GetLastPortError() override;
    int32_t VELK_CALL GetCounters(velk::LineCounters* counters) override;
    int32_t VELK_CALL ResetCounters() override;
    int32_t VELK_CALL SetTraceHook(velk::TraceHook hook, void* context) override;

   private:
    LineDriver& owner_;
  };

  // The dispatch interface, with an empty dispatch map: it has no methods
  // and no properties, so every lookup fails cleanly.
  class DispatchImpl final : public velk::IUnknownV {
   public:
    explicit DispatchImpl(LineDriver& owner) : owner_(owner) {}
    velk::HResult VELK_CALL QueryInterface(const velk::Guid& iid, void** out) override;
    uint32_t VELK_CALL AddRef() override;
    uint32_t VELK_CALL Release() override;
    virtual velk::HResult VELK_CALL GetTypeInfoCount(uint32_t* count);
    virtual velk::HResult VELK_CALL GetTypeInfo(uint32_t index, uint32_t locale, void** info);
    virtual velk::HResult VELK_CALL GetIDsOfNames(const velk::Guid& iid, void* names, uint32_t count, uint32_t locale,
                                                  int32_t* ids);
    virtual velk::HResult VELK_CALL Invoke(int32_t id, const velk::Guid& iid, uint32_t locale, uint16_t flags,
                                           void* params, void* result, void* exception, uint32_t* argError);

   private:
    LineDriver& owner_;
  };

  DispatchImpl dispatch_{*this};
  DriverImpl driver_{*this};
  Driver2Impl driver2_{*this};
  DiagnosticsImpl diagnostics_{*this};
};

}  // namespace driver

#endif
