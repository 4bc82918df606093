// The serial services the driver is given: a network port name opens a
// network line, every other name a device of the system. The kind is chosen
// once, at opening; the port object then answers every call itself.
#include "platform/net_line.h"
#include "platform/serial_api.h"

namespace platform {
namespace {

thread_local bool lastOpenWasNetwork = false;

class SerialRouter final : public SerialApi {
 public:
  SerialRouter(SerialApi& devices, NetLineApi& network) : devices_(devices), network_(network) {}

  std::unique_ptr<Port> Open(const char* path) override {
    lastOpenWasNetwork = IsNetPortName(path);
    return lastOpenWasNetwork ? network_.Open(path) : devices_.Open(path);
  }
  // A host hands over handles of the system's devices.
  std::unique_ptr<Port> Adopt(Handle handle) override { return devices_.Adopt(handle); }
  OpenError LastOpenError() override {
    return lastOpenWasNetwork ? network_.LastOpenError() : devices_.LastOpenError();
  }
  bool DeviceNamesNeedColon() override { return devices_.DeviceNamesNeedColon(); }

 private:
  SerialApi& devices_;
  NetLineApi& network_;
};

}  // namespace

SerialApi& SystemSerialApi() {
  static SerialRouter router(DeviceSerialApi(), NetworkSerialApi());
  return router;
}

}  // namespace platform
