#include "sim/velk_module.h"

#include <stdio.h>

#include "protocol/encoding.h"
#include "sim/velk_commands.h"
#include "sim/velk_types.h"

namespace sim {

const VelkTypeRow kVelkTypes[] = {
    {"Velk4011", VelkFamily::k4011},  {"Velk4011D", VelkFamily::k4011}, {"Velk4012", VelkFamily::k4011},
    {"Velk4013", VelkFamily::k4011},  {"Velk4014D", VelkFamily::k4011}, {"Velk4016", VelkFamily::k4011},
    {"Velk4017", VelkFamily::k4017},  {"Velk4017+", VelkFamily::k4017}, {"Velk4018", VelkFamily::k4017},
    {"Velk4018+", VelkFamily::k4017}, {"Velk4018M", VelkFamily::k4017}, {"Velk4019", VelkFamily::k4017},
    {"Velk4021", VelkFamily::k4021},  {"Velk4024", VelkFamily::k4024},  {"Velk4051", VelkFamily::k4051},
    {"Velk4053", VelkFamily::k4051},  {"Velk4050", VelkFamily::k4050},  {"Velk4052", VelkFamily::k4050},
    {"Velk4055", VelkFamily::k4050},  {"Velk4060", VelkFamily::k4050},  {"Velk4068", VelkFamily::k4050},
    {"Velk4080", VelkFamily::k4080},  {"Velk4080D", VelkFamily::k4080}, {"Velk4015", VelkFamily::k4015},
};
const size_t kVelkTypeCount = sizeof kVelkTypes / sizeof kVelkTypes[0];

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

const VelkTypeRow* FindVelkType(const std::string& typeName) {
  for (size_t i = 0; i < kVelkTypeCount; ++i)
    if (SameName(typeName, kVelkTypes[i].name)) return &kVelkTypes[i];
  return nullptr;
}

bool VelkFamilyOf(const std::string& typeName, VelkFamily* family) {
  const VelkTypeRow* row = FindVelkType(typeName);
  if (row == nullptr) return false;
  if (family != nullptr) *family = row->family;
  return true;
}

namespace {

bool IsUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// True when the line's last two characters are the checksum of the rest.
bool ChecksumValid(const std::string& line) {
  if (line.size() < 5) return false;
  const size_t n = line.size() - 2;
  if (!IsUpperHex(line[n]) || !IsUpperHex(line[n + 1])) return false;
  return protocol::ChecksumOf(line.data(), n) == protocol::HexToByte(line.data() + n);
}

std::string WithChecksum(std::string text, bool checksum) {
  if (checksum) {
    char pair[3] = {0, 0, 0};
    protocol::ByteToHex(pair, protocol::ChecksumOf(text.data(), text.size()));
    text.append(pair, 2);
  }
  text += '\r';
  return text;
}

// The row of `table` that `line` is, and its fields. `withChecksum` says
// whether the module expects one; `checksumValid` whether the line has one.
const VelkCommandRow* FindRow(const VelkCommandTable& table, const std::string& line, bool withChecksum,
                              bool checksumValid, CommandArgs* args) {
  const char* data = line.data() + 3;
  const size_t all = line.size() - 3;
  for (size_t i = 0; i < table.count; ++i) {
    const VelkCommandRow& row = table.rows[i];
    if (row.lead != line[0]) continue;
    if (withChecksum || (row.flags & kChecksumAlways) != 0) {
      if (checksumValid && all >= 2 && MatchCommand(row.pattern, data, all - 2, args)) return &row;
      if ((row.flags & kChecksumOptional) != 0 && MatchCommand(row.pattern, data, all, args)) return &row;
    } else if (MatchCommand(row.pattern, data, all, args)) {
      return &row;
    }
  }
  return nullptr;
}

}  // namespace

VelkModule::VelkModule(const std::string& typeName, VelkFamily family, uint8_t address, bool checksum)
    : Module(ModuleKind::kVelk, typeName, address, checksum), family_(family) {
  // The model without the "Velk" prefix, as the modules name themselves;
  // the Velk4015 reports its model and version as decimal numbers.
  registers_.name = typeName.substr(4);
  registers_.version = family == VelkFamily::k4015 ? "100" : "A1.00";
}

std::unique_ptr<VelkModule> VelkModule::Create(const std::string& typeName, uint8_t address, bool checksum,
                                               std::string* error) {
  const VelkTypeRow* row = FindVelkType(typeName);
  if (row == nullptr) {
    if (error != nullptr) *error = "\"" + typeName + "\" is not a Velk module type";
    return nullptr;
  }
  return std::unique_ptr<VelkModule>(new VelkModule(row->name, row->family, address, checksum));
}

VelkRegisters VelkModule::registers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return registers_;
}

void VelkModule::Update(const std::function<void(VelkRegisters&)>& change) {
  std::lock_guard<std::mutex> lock(mutex_);
  change(registers_);
}

void VelkModule::AdvanceCounters(uint32_t nowMs) {
  const double seconds = static_cast<uint32_t>(nowMs - countersAtMs_) / 1000.0;
  countersAtMs_ = nowMs;
  for (int ch = 0; ch < 2; ++ch) {
    if (!registers_.counting[ch] || !(registers_.countRate[ch] > 0.0)) continue;
    countFraction_[ch] += registers_.countRate[ch] * seconds;
    while (countFraction_[ch] >= 1.0) {
      const uint32_t step = countFraction_[ch] > 1e9 ? 1000000000u : static_cast<uint32_t>(countFraction_[ch]);
      countFraction_[ch] -= step;
      uint32_t& counter = registers_.counter[ch];
      const uint32_t room = registers_.maxCounter[ch] >= counter ? registers_.maxCounter[ch] - counter : 0;
      // Past the maximum the counter starts again from its initial value.
      counter = step <= room ? counter + step : registers_.initialCounter[ch] + (step - room - 1);
    }
  }
}

uint32_t VelkModule::ProjectedCounter(int channel, uint32_t nowMs) const {
  const uint32_t counter = registers_.counter[channel];
  if (!registers_.counting[channel] || !(registers_.countRate[channel] > 0.0)) return counter;
  const double counts =
      countFraction_[channel] + registers_.countRate[channel] * static_cast<uint32_t>(nowMs - countersAtMs_) / 1000.0;
  const double room = static_cast<double>(registers_.maxCounter[channel]) - counter;
  return counts <= room ? counter + static_cast<uint32_t>(counts) : registers_.maxCounter[channel];
}

void VelkModule::Answer(const std::string& line, const LineContext& context, std::string* answer, std::string* note) {
  answer->clear();
  std::lock_guard<std::mutex> lock(mutex_);
  if (line.size() < 3) return;
  AdvanceCounters(context.nowMs);
  const bool checksumValid = ChecksumValid(line);
  CommandArgs args;
  const VelkCommandRow* row = FindRow(FamilyCommands(family_), line, checksum(), checksumValid, &args);
  if (row == nullptr) row = FindRow(CommonCommands(), line, checksum(), checksumValid, &args);
  const std::string address = line.substr(1, 2);
  if (row == nullptr && checksum() && !checksumValid) {
    // A module that checks sums stays silent on a damaged line.
    *note = "bad checksum";
    return;
  }
  std::string data;
  VelkCommandContext commandContext{registers_, typeName(), context.nowMs};
  if (row == nullptr || !row->handler(commandContext, args, &data)) {
    *note = row == nullptr ? "unknown command" : "refused";
    *answer = WithChecksum("?" + address, checksum());
    return;
  }
  std::string text;
  switch (row->shape) {
    case AnswerShape::kBangAddress: text = "!" + address + data; break;
    case AnswerShape::kGreater: text = ">" + data; break;
    case AnswerShape::kBang: text = "!" + data; break;
  }
  *answer = WithChecksum(text, checksum());
}

void VelkModule::Broadcast(const std::string& line, const LineContext& context) {
  if (family_ != VelkFamily::k4015) return;
  // Every Velk4015 samples at once; one that uses checksums takes "#**"
  // only with its checksum, as any other command.
  const bool taken = checksum() ? line.size() == 5 && ChecksumValid(line) : line == "#**";
  if (!taken) return;
  std::lock_guard<std::mutex> lock(mutex_);
  (void)context;
  registers_.syncData = registers_.rawInput;
  registers_.syncFresh = true;
}

std::string VelkModule::Summary(uint32_t nowMs) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const VelkRegisters& r = registers_;
  char text[256];
  switch (family_) {
    case VelkFamily::k4011:
      snprintf(text, sizeof text, "AI %+.3f  DO %02X  alarm %c [%.3f..%.3f]  EC %u", r.analogIn[0].At(nowMs),
               r.digitalOut & 0xFF, r.alarmMode, r.alarmLow, r.alarmHigh, r.eventCounter);
      break;
    case VelkFamily::k4017: {
      std::string values;
      for (int ch = 0; ch < 8; ++ch) {
        char one[24];
        snprintf(one, sizeof one, " %+.2f", r.analogIn[ch].At(nowMs));
        values += one;
      }
      snprintf(text, sizeof text, "AI%s", values.c_str());
      break;
    }
    case VelkFamily::k4021: snprintf(text, sizeof text, "AO %.3f", r.analogOut[0]); break;
    case VelkFamily::k4024:
      snprintf(text, sizeof text, "AO %+.3f %+.3f %+.3f %+.3f  DI %X", r.analogOut[0], r.analogOut[1], r.analogOut[2],
               r.analogOut[3], r.digitalIn & 0x0F);
      break;
    case VelkFamily::k4051: snprintf(text, sizeof text, "DI %04X", r.digitalIn & 0xFFFF); break;
    case VelkFamily::k4050:
      snprintf(text, sizeof text, "DI %02X  DO %02X", r.digitalIn & 0xFF, r.digitalOut & 0xFF);
      break;
    case VelkFamily::k4080:
      // The view shows the counters as they run, also between polls.
      snprintf(text, sizeof text, "counter %u%s %u%s  DO %02X", ProjectedCounter(0, nowMs),
               r.counting[0] ? "" : " (stopped)", ProjectedCounter(1, nowMs), r.counting[1] ? "" : " (stopped)",
               r.digitalOut & 0xFF);
      break;
    case VelkFamily::k4015:
      snprintf(text, sizeof text, "raw %d  N1 %+.3f  N2 %+.3f  sync %d%s", r.rawInput, r.analogIn[0].At(nowMs),
               r.analogIn[1].At(nowMs), r.syncData, r.syncFresh ? " (fresh)" : "");
      break;
  }
  return text;
}

}  // namespace sim
