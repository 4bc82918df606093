#include <stdio.h>
#include <strings.h>

#include <algorithm>

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
  std::string type;
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

// Probes one address for `type`; true with what was learnt when a module answered.
bool ProbeAddress(LineSession& session, const LineOptions& line, const ScanArgs& args, const std::string& type,
                  int address, Found* module) {
  auto readName = [&](bool checksum) {
    return ReadModuleName(session.library, *session.driver, session.config.port, type, address,
                          DeviceAddressText(address, checksum), line.firstInterface);
  };
  *module = Found{type, address, std::string()};
  if (FamilyOfType(type) == ModuleFamily::kData7210) {
    // The display probe always asks display 2, so a name read is the only
    // way to ask a given address.
    const ModuleName name = readName(false);
    module->name = name.text;
    return name.answered;
  }
  velk::DeviceRecord record = {};
  record.address = static_cast<uint32_t>(address);
  record.noChecksum = args.checksum ? 0 : 1;
  if (session.driver->d->ProbeDevice(type.c_str(), address, &record) != 1) return false;
  ModuleName name = readName(args.checksum);
  if (name.answered) {
    module->checksum = args.checksum ? Found::kWith : Found::kWithout;
  } else if (name.reason == velk::kOutcomeChecksumMismatch && !IsDataModule(type)) {
    // It answered with a checksum that did not match: the other setting.
    module->checksum = args.checksum ? Found::kWithout : Found::kWith;
    const ModuleName other = readName(!args.checksum);
    if (other.answered) name = other;
  } else if (!IsDataModule(type)) {
    // The module answered, but not to the name read: it may use the
    // other checksum setting, which is worth telling the person.
    name = readName(!args.checksum);
    if (name.answered) module->checksum = args.checksum ? Found::kWithout : Found::kWith;
  }
  module->name = name.text;
  return true;
}

}  // namespace

int RunScan(const LibraryOptions& libraryOptions, const LineOptions& line, const ScanArgs& args) {
  if (args.from < 0 || args.to > 255 || args.from > args.to) {
    fprintf(stderr, "velkhost: the scan range %d..%d is not within 0..255\n", args.from, args.to);
    return kExitConfig;
  }
  LineSession session;
  int status = session.Load(libraryOptions, line);
  if (status != kExitOk) return status;
  bool display = false;
  for (const std::string& type : args.moduleTypes) {
    const velk::RegisterDef* rows = nullptr;
    int32_t count = 0;
    if (session.driver->d->GetRegisterTable(type.c_str(), &rows, &count) != 1) {
      fprintf(stderr, "velkhost: %s\n", UnknownTypeText(type).c_str());
      return kExitConfig;
    }
    display = display || FamilyOfType(type) == ModuleFamily::kData7210;
  }
  if (display)
    fprintf(stderr,
            "velkhost: displays are found by reading their names, and the driver waits its own 3 s for each "
            "address that stays silent; narrow the range with --from and --to\n");
  int timeoutMs = args.timeoutMs;
  if (!args.timeoutGiven) {
    // Time for a command and its answer (some 30 characters of 10 bits)
    // at the line's rate, and the module's own turn-around.
    const uint32_t baud = std::max<uint32_t>(session.config.port.baud, 50);
    timeoutMs = std::min<int>(32767, kScanTimeoutMs + static_cast<int>((30u * 10u * 1000u + baud - 1) / baud));
    fprintf(stderr,
            "velkhost: probing each address with a %d ms time-out (30 characters at %u baud and %d ms for the "
            "module), so that a silent address costs little; give --timeout-ms for a slower module\n",
            timeoutMs, baud, kScanTimeoutMs);
  }
  status = session.Connect(static_cast<int16_t>(timeoutMs));
  if (status != kExitOk) return status;

  InstallStopHandler("velkhost");
  const bool progress = StderrIsTerminal() && !args.json;
  const int addresses = args.to - args.from + 1;
  const int total = addresses * static_cast<int>(args.moduleTypes.size());
  std::vector<Found> found;
  std::vector<int> probed(args.moduleTypes.size(), 0);
  int done = 0;
  for (size_t t = 0; t < args.moduleTypes.size() && !StopRequested(); ++t) {
    const std::string& type = args.moduleTypes[t];
    for (int address = args.from; address <= args.to && !StopRequested(); ++address) {
      if (progress) ShowProgress(type, done, total, found.size());
      Found module;
      if (ProbeAddress(session, line, args, type, address, &module)) found.push_back(module);
      ++probed[t];
      ++done;
    }
  }
  if (progress) {
    ShowProgress(args.moduleTypes.back(), done, total, found.size());
    fprintf(stderr, "\n");
  }
  const bool complete = done == total;

  if (args.json) {
    nlohmann::ordered_json modules = nlohmann::ordered_json::array();
    for (const Found& f : found) {
      nlohmann::ordered_json module = {{"type", f.type}, {"address", f.address}, {"name", f.name}};
      module["checksum"] = f.checksum == Found::kUnknown ? nlohmann::ordered_json(nullptr)
                                                         : nlohmann::ordered_json(f.checksum == Found::kWith);
      modules.push_back(module);
    }
    const nlohmann::ordered_json out = {
        {"types", args.moduleTypes}, {"from", args.from},    {"to", args.to},  {"checksum", args.checksum},
        {"timeout_ms", timeoutMs},   {"complete", complete}, {"probed", done}, {"count", found.size()},
        {"found", modules}};
    puts(out.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
  } else {
    for (size_t t = 0; t < args.moduleTypes.size(); ++t) {
      const std::string& type = args.moduleTypes[t];
      if (probed[t] == 0) continue;
      const size_t count = static_cast<size_t>(
          std::count_if(found.begin(), found.end(), [&](const Found& f) { return f.type == type; }));
      printf("%s scan of addresses %d..%d%s: %zu module%s answered\n", type.c_str(), args.from,
             args.from + probed[t] - 1, probed[t] == addresses ? "" : " (stopped)", count, count == 1 ? "" : "s");
      for (const Found& f : found) {
        if (f.type != type) continue;
        std::string details = f.name.empty() ? "" : "name: " + f.name;
        if (f.checksum != Found::kUnknown)
          details += (details.empty() ? "" : ", ") + std::string(ChecksumText(f.checksum));
        printf("  address %3d (0x%02X)%s%s\n", f.address, f.address, details.empty() ? "" : "  ", details.c_str());
      }
    }
    if (!found.empty())
      printf("(a probe counts any answer at an address, so modules of other types answer it as well)\n");
  }
  if (found.empty()) {
    std::string types;
    for (const std::string& type : args.moduleTypes) types += (types.empty() ? "" : " or ") + type;
    fprintf(stderr,
            "velkhost: no %s answered between %d and %d. Check the baud rate (%u), the checksum setting (%s; "
            "--no-checksum probes without), the time-out (%d ms; --timeout-ms), and the wiring.\n",
            types.c_str(), args.from, args.to, session.config.port.baud,
            args.checksum ? "probing with checksums" : "probing without checksums", timeoutMs);
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace velkhost
