#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "module_names.h"
#include "commands.h"
#include "data_types.h"
#include "line_check.h"

namespace velkhost {
using namespace hostlib;

int RunCheck(const LibraryOptions& libraryOptions, const CheckArgs& args) {
  const int16_t dataType = DataTypeFromName(args.dataType);
  if (dataType == 0) {
    fprintf(stderr, "velkhost: data type '%s' is not one of %s\n", args.dataType.c_str(), DataTypeChoices());
    return kExitConfig;
  }
  DriverLibrary library;
  std::unique_ptr<DriverObject> driver;
  if (!LoadDriver(libraryOptions, &library, &driver)) return kExitConfig;
  velk::IDriver* d = driver->d;
  bool accepted = true;
  // The driver answers an unknown type as it answers an unknown register;
  // a person needs to hear which.
  const velk::RegisterDef* rows = nullptr;
  int32_t rowCount = 0;
  if (d->GetRegisterTable(args.moduleType.c_str(), &rows, &rowCount) != 1) {
    printf("%s\n", UnknownTypeText(args.moduleType).c_str());
    return kExitFailure;
  }

  velk::DeviceRecord device;
  memset(&device, 0, sizeof device);
  if (d->ParseDeviceAddress(args.deviceAddress.c_str(), &device) == 1) {
    printf("device address \"%s\": address %u, %s (flag byte %u)\n", args.deviceAddress.c_str(), device.address,
           device.noChecksum == 0 ? "with checksum" : "without checksum", device.noChecksum);
  } else {
    printf("device address \"%s\" rejected: error 11: %s\n", args.deviceAddress.c_str(), PendingErrorText(d).c_str());
    accepted = false;
  }

  const velk::TagConfig config = MakeTagConfig(args.moduleType, args.tagAddress, dataType);
  velk::TagDef def;
  memset(&def, 0, sizeof def);
  def.address = static_cast<int16_t>(device.address);
  const int16_t code = d->ParseTag(&config, &def);
  if (code != 0) {
    // The driver's text first: the table lookup of the hint may replace it.
    const std::string text = PendingErrorText(d);
    printf("tag \"%s\" of %s as %s rejected%s: error %d: %s\n", args.tagAddress.c_str(), args.moduleType.c_str(),
           DataTypeName(dataType).c_str(), RegisterHint(d, args.moduleType, args.tagAddress, dataType, code).c_str(),
           code, text.c_str());
    return kExitFailure;
  }
  if (def.registerName == nullptr) {
    printf("tag \"%s\": the driver reported success but named no register\n", args.tagAddress.c_str());
    return kExitFailure;
  }
  // registerName points at the start of the matched row of the driver's
  // table, so the row's other columns can be shown too.
  const auto* row = reinterpret_cast<const velk::RegisterDef*>(def.registerName);
  const std::string name(row->name, strnlen(row->name, sizeof row->name));
  printf("tag \"%s\" of %s as %s: register %s (row %d, code %d), channel %d\n", args.tagAddress.c_str(),
         args.moduleType.c_str(), DataTypeName(dataType).c_str(), name.c_str(), def.registerCode, row->code,
         def.channel);
  const ModuleFamily family = FamilyOfType(args.moduleType);
  if (family == ModuleFamily::kData7810)
    printf("  sub-fields: %d %d %d, data type %s\n", def.subField1, def.subField2, def.subField3,
           DataTypeName(def.subField4).c_str());
  else if (family == ModuleFamily::kData7210)
    printf("  options: %d %d %d (-1: not given; the first is the number of decimals)\n", def.subField1, def.subField2,
           def.subField3);
  return accepted ? kExitOk : kExitFailure;
}

}  // namespace velkhost
