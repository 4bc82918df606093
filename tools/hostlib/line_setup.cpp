#include "line_setup.h"

#include "outcome_text.h"

#include <string.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "platform/net_line.h"
#include "platform/net_socket.h"

namespace hostlib {
namespace {

// Where the platform layer looks for a port name: a bare name is taken
// from /dev.
std::string DevicePath(std::string name) {
  if (!name.empty() && name[0] != '/') name = "/dev/" + name;
  return name;
}

// Why a device server's port did not open. The driver says only that it
// failed; one connection of our own, closed at once, tells the cause.
std::string NetCause(const platform::NetPortName& parsed, const velk::PortSettings& settings) {
  const std::string host(parsed.host, strnlen(parsed.host, sizeof parsed.host));
  const std::string server = "the device server " + host + " port " + std::to_string(parsed.port);
  platform::net::Socket socket = platform::net::kNoSocket;
  const platform::net::ConnectResult result =
      platform::net::Connect(host.c_str(), parsed.port, platform::kDefaultConnectTimeoutMs, &socket);
  if (socket != platform::net::kNoSocket) platform::net::CloseSocket(socket);
  switch (result) {
    case platform::net::ConnectResult::kRefused: return "connection refused: nothing listens at " + server + ".";
    case platform::net::ConnectResult::kUnknownHost:
      return "unknown host '" + host +
             "': the name does not resolve (check it, or give it a line in the "
             "hosts file).";
    case platform::net::ConnectResult::kTimedOut:
      return server + " did not answer within " + std::to_string(platform::kDefaultConnectTimeoutMs) +
             " ms (timed out).";
    case platform::net::ConnectResult::kConnected:
      return parsed.rfc2217 ? server +
                                  " takes connections, but the driver's did not get through the COM Port "
                                  "Control negotiation: the connection was lost, or the server refused the "
                                  "line settings (" +
                                  DescribeSettings(settings) + ")."
                            : server +
                                  " takes connections now; the driver's connection failed (the server may "
                                  "take one client at a time).";
    default: return "cannot connect to " + server + ".";
  }
}

int32_t Process(velk::IDriver* driver, velk::IDriver2* driver2, velk::Packet* packet, ItemLayout layout) {
  return layout == ItemLayout::kTagItem ? driver->ProcessPacket(packet) : driver2->ProcessPacket2(packet);
}

std::string& MissingPortHint() {
  static std::string hint = "`velkhost poll FILE --simulate` runs against the built-in simulator instead.";
  return hint;
}

}  // namespace

void SetMissingPortHint(const std::string& hint) { MissingPortHint() = hint; }

velk::PortSettings MakePortSettings(const PortConfig& port, const std::string& portName, int16_t timeoutMs) {
  velk::PortSettings settings;
  memset(&settings, 0, sizeof settings);
  memcpy(settings.portName, portName.data(), std::min(portName.size(), sizeof settings.portName - 1));
  settings.baudRate = port.baud;
  settings.dataBits = port.dataBits;
  settings.stopBits = port.stopBits;
  settings.parity = port.parity;
  settings.timeoutMs = timeoutMs;
  return settings;
}

std::string DescribeSettings(const velk::PortSettings& s) {
  return std::to_string(s.baudRate) + " baud, " + std::to_string(s.dataBits) + " data bits, parity " +
         ParityName(s.parity) + ", " + std::to_string(s.stopBits) + (s.stopBits == 2 ? " stop bits" : " stop bit") +
         ", answer time-out " + std::to_string(s.timeoutMs) + " ms";
}

bool OpenLine(velk::IDriver* driver, const velk::PortSettings& settings, std::string* error) {
  if (driver->OpenPort(0, &settings) == 1) return true;
  const std::string name(settings.portName, strnlen(settings.portName, sizeof settings.portName));
  if (platform::IsNetPortName(name.c_str())) {
    platform::NetPortName parsed;
    if (!platform::ParseNetPortName(name.c_str(), &parsed)) {
      *error = "port name '" + name +
               "' is not a device server port: write tcp:HOST:PORT (raw TCP) or rfc2217:HOST:PORT (Telnet with COM "
               "Port Control), for example tcp:192.168.1.50:4001.";
      return false;
    }
    *error = "cannot open '" + name + "': " + NetCause(parsed, settings);
    return false;
  }
  const std::string path = DevicePath(name);
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    *error = "cannot open serial port '" + name + "': " + path +
             " does not exist. Check the port name (for example ttyUSB0 or /dev/ttyS1) and that the adapter is "
             "plugged in; " +
             MissingPortHint();
    return false;
  }
  *error = "cannot open serial port '" + name + "' (" + path +
           "). Likely reasons: another program holds it (the port is opened exclusively); you may not read and "
           "write it (on Linux, membership of the 'dialout' group); or it refused the settings (" +
           DescribeSettings(settings) + ").";
  return false;
}

bool OpenLine(DriverObject& driver, const velk::PortSettings& settings, std::string* error) {
  if (OpenLine(driver.d, settings, error)) return true;
  const int32_t cause = driver.LastPortError();
  // A missing device is already named with its path; without a cause from
  // the library, the likely reasons stay listed.
  if (cause == velk::kPortOpenOk || cause == velk::kPortOpenMissing) return false;
  const std::string name(settings.portName, strnlen(settings.portName, sizeof settings.portName));
  // A device server's cause was found by connecting; it has no device path.
  if (platform::IsNetPortName(name.c_str())) return false;
  *error = "cannot open serial port '" + name + "' (" + DevicePath(name) + "): " + PortErrorReason(cause) + ": " +
           PortErrorHint(cause) + ".";
  if (cause == velk::kPortOpenSettingsRefused) *error += " Asked for " + DescribeSettings(settings) + ".";
  return false;
}

bool WritePollDelay(velk::IDriver* driver, velk::IDriver2* driver2, const LineConfig& config,
                    const CheckedLine& checked, uint16_t delayMs, ItemLayout layout, std::string* error) {
  for (size_t d = 0; d < config.devices.size(); ++d) {
    const DeviceEntry& device = config.devices[d];
    if (IsDataModule(device.type)) continue;
    const velk::TagConfig tagConfig = MakeTagConfig(device.type, "DISPLAY", velk::kTypeWord);
    velk::TagDef def;
    memset(&def, 0, sizeof def);
    def.address = static_cast<int16_t>(checked.devices[d].address);
    if (driver->ParseTag(&tagConfig, &def) != 0) {
      driver->GetErrorText();  // clear the one-shot code: this was only a question
      continue;
    }
    velk::Packet packet;
    memset(&packet, 0, sizeof packet);
    velk::TagItem item;
    velk::TagItem2 item2;
    memset(&item, 0, sizeof item);
    memset(&item2, 0, sizeof item2);
    velk::PtrListNode node = {nullptr, nullptr, nullptr};
    packet.address = def.address;
    packet.device = const_cast<velk::DeviceRecord*>(&checked.devices[d]);
    packet.moduleType = device.type.c_str();
    packet.registerName = def.registerName;
    packet.registerCode = def.registerCode;
    packet.channelLow = packet.channelHigh = def.channel;
    packet.direction = 1;
    for (int i = 0; i < 2; ++i) {
      item.value.raw[i] = static_cast<uint8_t>(delayMs >> (8 * i));
      item2.value.raw[i] = item.value.raw[i];
    }
    item.channel = item2.channel = def.channel;
    item.dataType = item2.dataType = velk::kTypeWord;
    item.registerCode = def.registerCode;
    item2.registerCode = def.registerCode;
    node.item = layout == ItemLayout::kTagItem ? static_cast<void*>(&item) : static_cast<void*>(&item2);
    packet.items.head = packet.items.tail = &node;
    packet.items.count = 1;
    if (Process(driver, driver2, &packet, layout) == 1) return true;
    *error = "the driver refused the poll delay write through DISPLAY of device '" + device.name + "'";
    return false;
  }
  *error = "no device of the line has a DISPLAY register, through which the poll delay is written";
  return false;
}

bool ShortPortName(const std::string& name, std::string* shortName, std::string* note, std::string* error) {
  const size_t kLongest = sizeof(velk::PortSettings::portName) - 1;
  *shortName = name;
  if (name.size() <= kLongest) return true;
  if (platform::IsNetPortName(name.c_str())) {
    *error = "port name '" + name + "' is longer than the host's " + std::to_string(kLongest) +
             " characters: give the device server a short name in /etc/hosts (the hosts file on Windows) and "
             "use that, e.g. rfc2217:ds1:4001";
    return false;
  }
  std::error_code ec;
  const std::filesystem::path device = std::filesystem::canonical(name, ec);
  if (ec) {
    *error = "port name '" + name + "' is longer than the host's " + std::to_string(kLongest) +
             " characters and cannot be followed to a device: " + ec.message();
    return false;
  }
  if (device.string().size() > kLongest) {
    *error = "port name '" + name + "' leads to '" + device.string() + "', still longer than the host's " +
             std::to_string(kLongest) + " characters";
    return false;
  }
  *shortName = device.string();
  *note =
      "port " + name + " is " + *shortName + " (the host takes at most " + std::to_string(kLongest) + " characters)";
  return true;
}

}  // namespace hostlib
