#include <stdio.h>
#include <string.h>

#include "commands.h"
#include "data_types.h"
#include "did_you_mean.h"
#include "module_names.h"
#include "register_use.h"

namespace velkhost {
using namespace hostlib;
namespace {

std::string ChannelText(const velk::RegisterDef& row) {
  if (row.minChannel >= row.maxChannel) return "-";
  return std::to_string(row.minChannel) + ".." + std::to_string(row.maxChannel);
}

void PrintTable(DriverObject& driver, const std::string& type, const velk::RegisterDef* rows, int32_t count) {
  printf("%s: %d register%s\n", type.c_str(), count, count == 1 ? "" : "s");
  printf("  %-4s %-8s %-12s %-28s %-5s %-5s %s\n", "ROW", "NAME", "CHANNELS", "TYPES", "READ", "WRITE", "CODE");
  for (int32_t i = 0; i < count; ++i) {
    const velk::RegisterDef& row = rows[i];
    // The table is the driver's memory: read the name within its field.
    const std::string name(row.name, strnlen(row.name, sizeof row.name));
    printf("  %-4d %-8s %-12s %-28s %-5s %-5s %d\n", i, name.c_str(), ChannelText(row).c_str(),
           TypeMaskNames(row.typeMask).c_str(), BuildsCommand(driver, type, row, 0),
           BuildsCommand(driver, type, row, 1), row.code);
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
      fprintf(stderr, "velkhost: module type '%s' is not known to the driver%s\nKnown types: %s\n", moduleType.c_str(),
              DidYouMean(moduleType, ModuleTypeNames()).c_str(), known.c_str());
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
