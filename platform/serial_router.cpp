// The serial services the driver is given: a network port name opens a
// network line, every other name a device of the system. The kind is chosen
// once, at opening; the port object then answers every call itself.
#include "platform/net_line.h"
#include "platform/serial_api.h"

namespace platform {
namespace {

class SerialRouter final : public SerialApi {
 public:
  explicit SerialRouter(SerialApi& devices) : devices_(devices) {}

  Opened Open(const char* name) override { return IsNetPortName(name) ? OpenNetPort(name) : devices_.Open(name); }
  // A host hands over handles of the system's devices.
  std::unique_ptr<Port> Adopt(Handle handle) override { return devices_.Adopt(handle); }

 private:
  SerialApi& devices_;
};

}  // namespace

SerialApi& SystemSerialApi() {
  static SerialRouter router(DeviceSerialApi());
  return router;
}

}  // namespace platform
