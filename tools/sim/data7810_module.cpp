#include "sim/data7810_module.h"

#include <math.h>
#include <stdio.h>

#include "protocol/encoding.h"
#include "sim/command_pattern.h"

namespace sim {
namespace {

enum class Op { kConfiguration, kVersion, kName, kInputs, kTemperatures, kSetConfiguration, kSetOutputs };

struct Row {
  char lead;
  const char* pattern;
  Op op;
};

const Row kRows[] = {
    {'$', "2", Op::kConfiguration},
    {'$', "F", Op::kVersion},
    {'$', "M", Op::kName},
    {'$', "6", Op::kInputs},
    {'$', "0", Op::kTemperatures},
    // New address, type code, baud code, data format.
    {'%', "{xx}{xx}{xx}{xx}", Op::kSetConfiguration},
    {'#', "{x}", Op::kSetOutputs},
};

const uint8_t kLowestBaudCode = 3;   // 1200
const uint8_t kHighestBaudCode = 8;  // 38400

std::string Hex2(uint32_t value) {
  char text[3] = {0, 0, 0};
  protocol::ByteToHex(text, static_cast<uint8_t>(value));
  return text;
}

}  // namespace

Data7810Module::Data7810Module(uint8_t address, const std::string& typeName)
    : Module(ModuleKind::kData7810, typeName, address, false) {}

Data7810Registers Data7810Module::registers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return registers_;
}

void Data7810Module::Update(const std::function<void(Data7810Registers&)>& change) {
  std::lock_guard<std::mutex> lock(mutex_);
  change(registers_);
}

std::string Data7810Module::TemperatureGroup(uint8_t channel, double celsius, bool valid) {
  uint32_t group = static_cast<uint32_t>(channel & 7) << 13;
  if (!valid) {
    group |= 1u << 11;
  } else {
    double sixteenths = floor(fabs(celsius) * 16.0 + 0.5);
    if (sixteenths > 2047.0) sixteenths = 2047.0;
    const uint32_t magnitude = static_cast<uint32_t>(sixteenths);
    if (celsius < 0 && magnitude != 0) group |= 1u << 12;
    group |= magnitude;
  }
  char text[5] = {0, 0, 0, 0, 0};
  protocol::WordToHex(text, static_cast<uint16_t>(group));
  return text;
}

void Data7810Module::Answer(const std::string& line, const LineContext& context, std::string* answer,
                            std::string* note) {
  answer->clear();
  if (line.size() < 3) return;
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string address = line.substr(1, 2);
  const Row* row = nullptr;
  CommandArgs args;
  for (const Row& candidate : kRows) {
    if (candidate.lead == line[0] && MatchCommand(candidate.pattern, line.data() + 3, line.size() - 3, &args)) {
      row = &candidate;
      break;
    }
  }
  Data7810Registers& r = registers_;
  std::string text;
  if (row != nullptr) switch (row->op) {
      case Op::kConfiguration: text = "!" + address + Hex2(r.typeCode) + Hex2(r.baudCode) + Hex2(r.formatCode); break;
      case Op::kVersion: text = "!" + address + r.version; break;
      case Op::kName: text = "!" + address + r.name; break;
      case Op::kInputs: text = "!" + address + static_cast<char>(0x30 | (r.digitalIn & 3)); break;
      case Op::kTemperatures:
        if (faults().alwaysBusy || r.busyReads > 0) {
          if (r.busyReads > 0) --r.busyReads;
          *note = "busy";
          text = "!" + address + std::string(32, 'N');
          break;
        }
        text = "!" + address;
        for (uint8_t channel : r.groupOrder) {
          const uint8_t ch = channel & 7;
          text += TemperatureGroup(ch, r.temperature[ch].At(context.nowMs), r.temperatureValid[ch]);
        }
        break;
      case Op::kSetConfiguration: {
        const uint8_t newAddress = static_cast<uint8_t>(args.field[0].number);
        const uint8_t baud = static_cast<uint8_t>(args.field[2].number);
        if (baud < kLowestBaudCode || baud > kHighestBaudCode) {
          *note = "baud code out of range";
          row = nullptr;
          break;
        }
        if (newAddress != this->address() && context.addressTaken && context.addressTaken(newAddress)) {
          *note = "address taken";
          row = nullptr;
          break;
        }
        r.baudCode = baud;
        r.formatCode = static_cast<uint8_t>(args.field[3].number);
        SetAddress(newAddress);
        text = "!" + Hex2(newAddress);
        break;
      }
      case Op::kSetOutputs:
        if (args.field[0].number > 3) {
          row = nullptr;
          break;
        }
        r.digitalOut = static_cast<uint8_t>(args.field[0].number);
        ++r.outputWrites;
        text = "!" + address;
        break;
    }
  if (row == nullptr) {
    if (note->empty()) *note = "unknown command";
    text = "?" + address;
  }
  *answer = text + '\r';
}

std::string Data7810Module::Summary(uint32_t nowMs) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Data7810Registers& r = registers_;
  std::string temps;
  for (int ch = 0; ch < 8; ++ch) {
    char one[24];
    if (r.temperatureValid[ch])
      snprintf(one, sizeof one, " %.1f", r.temperature[ch].At(nowMs));
    else
      snprintf(one, sizeof one, " --");
    temps += one;
  }
  char text[256];
  snprintf(text, sizeof text, "DI %u%u  DO %u%u  temp%s", (r.digitalIn >> 1) & 1, r.digitalIn & 1,
           (r.digitalOut >> 1) & 1, r.digitalOut & 1, temps.c_str());
  return text;
}

}  // namespace sim
