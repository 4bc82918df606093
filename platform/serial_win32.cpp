// Placeholder until the serial line is built.
#include "platform/serial_api.h"
namespace platform {
namespace {
class Win32SerialApi final : public SerialApi {
 public:
  Handle Open(const char*) override { return kNoHandle; }
  bool Close(Handle) override { return false; }
  bool SetupQueues(Handle, uint32_t, uint32_t) override { return false; }
  bool GetState(Handle, CommState*) override { return false; }
  bool SetState(Handle, const CommState&) override { return false; }
  bool SetEventMask(Handle, uint32_t) override { return false; }
  bool SetTimeouts(Handle, const CommTimeouts&) override { return false; }
  bool SetRts(Handle, bool) override { return false; }
  bool Purge(Handle, uint32_t) override { return false; }
  bool Status(Handle, CommStatus*) override { return false; }
  bool Read(Handle, void*, uint32_t, uint32_t*) override { return false; }
  bool Write(Handle, const void*, uint32_t, uint32_t*) override { return false; }
  void WaitForInput(Handle, uint32_t) override {}
  bool DeviceNamesNeedColon() override { return false; }
};
}  // namespace
SerialApi& SystemSerialApi() {
  static Win32SerialApi api;
  return api;
}
}  // namespace platform
