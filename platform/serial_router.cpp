// The serial services the driver is given: network port names go to the
// network lines, every other name to the system's devices, and each later
// call to whichever gave out the handle.
#include "platform/net_line.h"
#include "platform/serial_api.h"

namespace platform {
namespace {

thread_local bool lastOpenWasNetwork = false;

class SerialRouter final : public SerialApi {
 public:
  SerialRouter(SerialApi& devices, NetLineApi& network) : devices_(devices), network_(network) {}

  Handle Open(const char* path) override {
    lastOpenWasNetwork = IsNetPortName(path);
    return lastOpenWasNetwork ? network_.Open(path) : devices_.Open(path);
  }
  OpenError LastOpenError() override {
    return lastOpenWasNetwork ? network_.LastOpenError() : devices_.LastOpenError();
  }
  bool Close(Handle h) override { return For(h).Close(h); }
  bool SetupQueues(Handle h, uint32_t in, uint32_t out) override { return For(h).SetupQueues(h, in, out); }
  bool GetState(Handle h, CommState* state) override { return For(h).GetState(h, state); }
  bool SetState(Handle h, const CommState& state) override { return For(h).SetState(h, state); }
  bool SetEventMask(Handle h, uint32_t mask) override { return For(h).SetEventMask(h, mask); }
  bool SetTimeouts(Handle h, const CommTimeouts& t) override { return For(h).SetTimeouts(h, t); }
  bool SetRts(Handle h, bool raised) override { return For(h).SetRts(h, raised); }
  bool Purge(Handle h, uint32_t flags) override { return For(h).Purge(h, flags); }
  bool Status(Handle h, CommStatus* status) override { return For(h).Status(h, status); }
  bool Read(Handle h, void* bytes, uint32_t count, uint32_t* got) override {
    return For(h).Read(h, bytes, count, got);
  }
  bool Write(Handle h, const void* bytes, uint32_t count, uint32_t* written) override {
    return For(h).Write(h, bytes, count, written);
  }
  WaitResult WaitForInput(Handle h, uint32_t maxMs) override { return For(h).WaitForInput(h, maxMs); }
  bool DeviceNamesNeedColon() override { return devices_.DeviceNamesNeedColon(); }

 private:
  SerialApi& For(Handle h) { return network_.Owns(h) ? static_cast<SerialApi&>(network_) : devices_; }

  SerialApi& devices_;
  NetLineApi& network_;
};

}  // namespace

SerialApi& SystemSerialApi() {
  static SerialRouter router(DeviceSerialApi(), NetworkSerialApi());
  return router;
}

}  // namespace platform
