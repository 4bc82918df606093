// The serial device classes: an abstract communication device and its serial
// port implementation. The driver owns one CCOMDevice; the Data7210 path talks
// only through it.
#ifndef VELK_SERIAL_COMM_DEVICE_H
#define VELK_SERIAL_COMM_DEVICE_H

#include <stdint.h>

#include <string>

#include "platform/clock.h"
#include "platform/serial_api.h"
#include "velk4000/velk4000.h"

namespace serial {

// The run-time class record of a device class (name, schema, base).
struct RuntimeClass {
  const char* className;
  uint32_t schema;
  const RuntimeClass* base;
};

// Told when a device closes or opens a port by itself, so that another holder
// of the same port (the driver's line) stays in step with it: a holder that
// shares the closed handle forgets it, a holder without a port may take the
// opened one. Neither call may close anything.
class PortObserver {
 public:
  virtual void OnDeviceClosedPort(platform::Handle closed) = 0;
  virtual void OnDeviceOpenedPort(platform::Handle opened) = 0;

 protected:
  ~PortObserver() = default;
};

class CCommDevice {
 public:
  static const RuntimeClass kRuntimeClass;

  CCommDevice() = default;
  CCommDevice(const CCommDevice&) = delete;
  CCommDevice& operator=(const CCommDevice&) = delete;

  virtual const RuntimeClass* GetRuntimeClass() const;
  virtual ~CCommDevice() = default;
  virtual void Serialize() {}

  virtual int32_t Configure(const velk::PortSettings* settings);
  virtual int32_t Open(uintptr_t reserved);
  virtual int32_t Close();
  virtual int32_t Write(uintptr_t reserved, uint32_t count, const void* bytes, uint32_t* written);
  virtual int32_t Read(uintptr_t reserved, uint32_t maxCount, void* bytes, uint32_t* read);
  virtual int32_t Attach(platform::Handle handle);
  virtual platform::Handle GetHandle();
  virtual int32_t Purge();
  virtual int32_t ParseNumber(std::string text, int32_t* number);
  virtual int32_t IsOpen(uintptr_t reserved);

  int32_t m_nTimeout = 3000;
};

class CCOMDevice : public CCommDevice {
 public:
  static const RuntimeClass kRuntimeClass;

  // The clock is not needed since reads wait on the port; the parameter
  // stays so that every holder builds the device alike.
  CCOMDevice(platform::SerialApi& api, platform::Clock& clock);
  ~CCOMDevice() override;

  const RuntimeClass* GetRuntimeClass() const override;
  int32_t Configure(const velk::PortSettings* settings) override;
  int32_t Open(uintptr_t reserved) override;
  int32_t Close() override;
  int32_t Write(uintptr_t reserved, uint32_t count, const void* bytes, uint32_t* written) override;
  int32_t Read(uintptr_t reserved, uint32_t maxCount, void* bytes, uint32_t* read) override;
  int32_t Attach(platform::Handle handle) override;
  platform::Handle GetHandle() override;
  int32_t Purge() override;
  int32_t ParseNumber(std::string text, int32_t* number) override;
  int32_t IsOpen(uintptr_t reserved) override;

  // At most one observer; it must clear itself before it goes away.
  void SetObserver(PortObserver* observer) { observer_ = observer; }

  // The open port. While it equals the driver line's handle the port is the
  // line's (the line closes it, this object only forgets it); a different
  // port is this object's own, closed by Close, Open, Attach or destruction.
  platform::Handle m_hPort = platform::kNoHandle;
  int32_t m_bSettingsGiven = 0;
  velk::PortSettings m_settings{};

 private:
  platform::SerialApi& api_;
  PortObserver* observer_ = nullptr;
};

}  // namespace serial

#endif
