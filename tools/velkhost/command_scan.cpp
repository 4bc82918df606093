#include <stdio.h>
#include <strings.h>

#include <nlohmann/json.hpp>

#include "module_names.h"
#include "commands.h"
#include "line_check.h"
#include "module_identity.h"
#include "terminal.h"

namespace velkhost {
using namespace hostlib;
namespace {

struct Found {
  int address;
  std::string name;
  // Known only when the name was read: a packet's answer is checked against
  // its checksum, the probe's is not.
  enum Checksum { kUnknown, kWith, kWithout } checksum = kUnknown;
};

const char* ChecksumText(Found::Checksum checksum) {
  return checksum == Found::kWith ? "with checksum" : checksum == Found::kWithout ? "without checksum" : "";
}

void ShowProgress(const std::string& type, int done, int total, size_t found) {
  const int width = 30;
  const int filled = total > 0 ? done * width / total : width;
  fprintf(stderr, "\rscanning %s [%s%s] %d/%d, %zu found ", type.c_str(), std::string(filled, '#').c_str(),
          std::string(width - filled, '.').c_str(), done, total, found);
  fflush(stderr);
}

std::string DeviceAddressText(int address, bool checksum) { return std::to_string(address) + (checksum ? "" : ".1"); }

}  // namespace

int RunScan(const LibraryOptions& libraryOptions, const LineOptions& line, const ScanArgs& args) {
  if (args.from < 0 || args.to > 255 || args.from > args.to) {
    fprintf(stderr, "velkhost: the scan range %d..%d is not within 0..255\n", args.from, args.to);
    return kExitConfig;
  }
  LineSession session;
  int status = session.Load(libraryOptions, line);
  if (status != kExitOk) return status;
  const velk::RegisterDef* rows = nullptr;
  int32_t count = 0;
  if (session.driver->d->GetRegisterTable(args.moduleType.c_str(), &rows, &count) != 1) {
    fprintf(stderr, "velkhost: module type '%s' is not known to the driver (see `velkhost tables`)\n",
            args.moduleType.c_str());
    return kExitConfig;
  }
  const bool display = FamilyOfType(args.moduleType) == ModuleFamily::kData7210;
  if (display)
    fprintf(stderr,
            "velkhost: displays are found by reading their names, and the driver waits its own 3 s for each "
            "address that stays silent; narrow the range with --from and --to\n");
  status = session.Connect(static_cast<int16_t>(args.timeoutMs));
  if (status != kExitOk) return status;

  InstallStopHandler("velkhost");
  const bool progress = StderrIsTerminal() && !args.json;
  const int total = args.to - args.from + 1;
  std::vector<Found> found;
  int done = 0;
  for (int address = args.from; address <= args.to && !StopRequested(); ++address) {
    if (progress) ShowProgress(args.moduleType, done, total, found.size());
    auto readName = [&](bool checksum) {
      return ReadModuleName(session.library, *session.driver, session.config.port, args.moduleType, address,
                            DeviceAddressText(address, checksum), line.firstInterface);
    };
    if (display) {
      // The display probe always asks display 2, so a name read is the only
      // way to ask a given address.
      const ModuleName name = readName(false);
      if (name.answered) found.push_back({address, name.text});
    } else {
      velk::DeviceRecord record = {};
      record.address = static_cast<uint32_t>(address);
      record.noChecksum = args.checksum ? 0 : 1;
      if (session.driver->d->ProbeDevice(args.moduleType.c_str(), address, &record) == 1) {
        Found module{address, std::string()};
        ModuleName name = readName(args.checksum);
        if (name.answered) {
          module.checksum = args.checksum ? Found::kWith : Found::kWithout;
        } else if (name.reason == velk::kOutcomeChecksumMismatch && !IsDataModule(args.moduleType)) {
          // It answered with a checksum that did not match: the other setting.
          module.checksum = args.checksum ? Found::kWithout : Found::kWith;
          const ModuleName other = readName(!args.checksum);
          if (other.answered) name = other;
        } else if (!IsDataModule(args.moduleType)) {
          // The module answered, but not to the name read: it may use the
          // other checksum setting, which is worth telling the person.
          name = readName(!args.checksum);
          if (name.answered) module.checksum = args.checksum ? Found::kWithout : Found::kWith;
        }
        module.name = name.text;
        found.push_back(module);
      }
    }
    ++done;
  }
  if (progress) {
    ShowProgress(args.moduleType, done, total, found.size());
    fprintf(stderr, "\n");
  }
  const bool complete = done == total;

  if (args.json) {
    nlohmann::ordered_json modules = nlohmann::ordered_json::array();
    for (const Found& f : found) {
      nlohmann::ordered_json module = {{"address", f.address}, {"name", f.name}};
      module["checksum"] = f.checksum == Found::kUnknown ? nlohmann::ordered_json(nullptr)
                                                         : nlohmann::ordered_json(f.checksum == Found::kWith);
      modules.push_back(module);
    }
    const nlohmann::ordered_json out = {{"type", args.moduleType},   {"from", args.from},    {"to", args.to},
                                        {"checksum", args.checksum}, {"complete", complete}, {"found", modules}};
    puts(out.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
  } else {
    printf("%s scan of addresses %d..%d%s: %zu module%s answered\n", args.moduleType.c_str(), args.from,
           complete ? args.to : args.from + done - 1, complete ? "" : " (stopped)", found.size(),
           found.size() == 1 ? "" : "s");
    for (const Found& f : found) {
      std::string details = f.name.empty() ? "" : "name: " + f.name;
      if (f.checksum != Found::kUnknown)
        details += (details.empty() ? "" : ", ") + std::string(ChecksumText(f.checksum));
      printf("  address %3d (0x%02X)%s%s\n", f.address, f.address, details.empty() ? "" : "  ", details.c_str());
    }
    if (!found.empty())
      printf("(a probe counts any answer at an address, so modules of other types answer it as well)\n");
  }
  if (found.empty()) {
    fprintf(stderr,
            "velkhost: no %s answered between %d and %d. Check the baud rate (%u), the checksum setting (%s; "
            "--no-checksum probes without), and the wiring.\n",
            args.moduleType.c_str(), args.from, args.to, session.config.port.baud,
            args.checksum ? "probing with checksums" : "probing without checksums");
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace velkhost
