#include <stdio.h>
#include <string.h>

#include "commands.h"
#include "data_types.h"
#include "module_names.h"

namespace velkhost {
namespace {

std::string ChannelText(const velk::RegisterDef& row) {
  if (row.minChannel >= row.maxChannel) return "-";
  return std::to_string(row.minChannel) + ".." + std::to_string(row.maxChannel);
}

// Whether the driver builds a command for a `direction` (0 read, 1 write)
// of `row`, asked of an object without a port: a command it cannot build
// fails as "not built" before the line is needed. "?" when it cannot tell
// (a library without diagnostics).
const char* Builds(DriverObject& driver, const std::string& type, const velk::RegisterDef& row, int direction) {
  if (driver.diag == nullptr) return "?";
  velk::DeviceRecord device;
  memset(&device, 0, sizeof device);
  if (driver.d->ParseDeviceAddress("1", &device) != 1) return "?";
  int16_t dataType = velk::kTypeWord;
  for (int16_t bit = 1; bit != 0 && bit <= 0x100; bit = static_cast<int16_t>(bit << 1))
    if ((row.typeMask & bit) != 0) {
      dataType = bit;
      break;
    }
  velk::Packet packet;
  memset(&packet, 0, sizeof packet);
  velk::TagItem2 item;
  memset(&item, 0, sizeof item);
  velk::PtrListNode node = {nullptr, nullptr, nullptr};
  packet.address = static_cast<int16_t>(device.address);
  packet.device = &device;
  packet.moduleType = type.c_str();
  packet.registerName = row.name;
  packet.registerCode = static_cast<int16_t>(row.code);
  packet.channelLow = packet.channelHigh = row.minChannel;
  packet.direction = static_cast<int16_t>(direction);
  item.channel = static_cast<int16_t>(row.minChannel);
  item.dataType = dataType;
  item.registerCode = row.code;
  node.item = &item;
  packet.items.head = packet.items.tail = &node;
  packet.items.count = 1;
  if (driver.d2->ProcessPacket2(&packet) == 1) return "yes";
  const int32_t outcome = driver.LastOutcome();
  if (outcome == velk::kOutcomeNotBuilt) return "no";
  return outcome == velk::kOutcomeNoPort ? "yes" : "?";
}

void PrintTable(DriverObject& driver, const std::string& type, const velk::RegisterDef* rows, int32_t count) {
  printf("%s: %d register%s\n", type.c_str(), count, count == 1 ? "" : "s");
  printf("  %-4s %-8s %-12s %-28s %-5s %-5s %s\n", "ROW", "NAME", "CHANNELS", "TYPES", "READ", "WRITE", "CODE");
  for (int32_t i = 0; i < count; ++i) {
    const velk::RegisterDef& row = rows[i];
    // The table is the driver's memory: read the name within its field.
    const std::string name(row.name, strnlen(row.name, sizeof row.name));
    printf("  %-4d %-8s %-12s %-28s %-5s %-5s %d\n", i, name.c_str(), ChannelText(row).c_str(),
           TypeMaskNames(row.typeMask).c_str(), Builds(driver, type, row, 0), Builds(driver, type, row, 1), row.code);
  }
}

}  // namespace

int RunTables(const LibraryOptions& libraryOptions, const std::string& moduleType) {
  DriverLibrary library;
  std::unique_ptr<DriverObject> driver;
  if (!LoadDriver(libraryOptions, &library, &driver)) return kExitConfig;
  if (!moduleType.empty()) {
    const velk::RegisterDef* rows = nullptr;
    int32_t count = 0;
    if (driver->d->GetRegisterTable(moduleType.c_str(), &rows, &count) != 1 || rows == nullptr || count < 0) {
      std::string known;
      for (const std::string& name : ModuleTypeNames()) known += (known.empty() ? "" : ", ") + name;
      fprintf(stderr, "velkhost: module type '%s' is not known to the driver.\nKnown types: %s\n",
              moduleType.c_str(), known.c_str());
      return kExitConfig;
    }
    PrintTable(*driver, moduleType, rows, count);
    return kExitOk;
  }
  int status = kExitOk;
  bool first = true;
  for (const std::string& name : ModuleTypeNames()) {
    if (!first) printf("\n");
    first = false;
    const velk::RegisterDef* rows = nullptr;
    int32_t count = 0;
    if (driver->d->GetRegisterTable(name.c_str(), &rows, &count) != 1 || rows == nullptr || count < 0) {
      printf("%s: not known to this driver\n", name.c_str());
      status = kExitFailure;
      continue;
    }
    PrintTable(*driver, name, rows, count);
  }
  return status;
}

}  // namespace velkhost
