// A Data7810 module: configuration, version, name, two digital inputs, two
// digital outputs and eight temperature channels. It never uses checksums.
//
// Commands and answers (AA the address, CR the carriage return):
//   "$AA2"  -> "!AA" TT CC FF        type code, baud code, data format
//   "$AAF"  -> "!AA" + version       five characters
//   "$AAM"  -> "!AA" + name          eight characters
//   "$AA6"  -> "!AA" + one character whose bits 0 and 1 are the inputs
//   "$AA0"  -> "!AA" + eight groups of four hex digits, or, while busy,
//              "!AA" + 32 times "N"
//   "%AANN00CCFF" -> "!NN": new address NN, baud code CC (03..08), data
//              format FF; "?AA" for another baud code or an address taken
//   "#AAD"  -> "!AA": outputs from the hex digit D (bits 0 and 1)
// A temperature group is channel (bits 15-13), sign (12), invalid (11) and
// the magnitude in sixteenths of a degree (10-0).
#ifndef VELK_SIM_DATA7810_MODULE_H
#define VELK_SIM_DATA7810_MODULE_H

#include <stdint.h>

#include <array>
#include <functional>
#include <memory>
#include <string>

#include "sim/module.h"
#include "sim/value_source.h"

namespace sim {

struct Data7810Registers {
  uint8_t typeCode = 0;
  uint8_t baudCode = 6;  // 9600
  uint8_t formatCode = 0;
  std::string version = "A1.00";
  std::string name = "Data7810";
  uint8_t digitalIn = 0;   // bits 0-1
  uint8_t digitalOut = 0;  // bits 0-1, as last written
  std::array<ValueSource, 8> temperature;
  std::array<bool, 8> temperatureValid{{true, true, true, true, true, true, true, true}};
  // The channel carried by each of the eight groups of the answer, in
  // answer order; a reader must search the groups, not count them.
  std::array<uint8_t, 8> groupOrder{{0, 1, 2, 3, 4, 5, 6, 7}};
  uint32_t busyReads = 0;  // so many temperature reads answer "N" first
  uint32_t outputWrites = 0;
};

class Data7810Module final : public Module {
 public:
  explicit Data7810Module(uint8_t address, const std::string& typeName = "Data7810");

  Data7810Registers registers() const;
  void Update(const std::function<void(Data7810Registers&)>& change);

  void Answer(const std::string& line, const LineContext& context, std::string* answer, std::string* note) override;
  std::string Summary(uint32_t nowMs) const override;

  // The four hex digits of one temperature group.
  static std::string TemperatureGroup(uint8_t channel, double celsius, bool valid);

 private:
  Data7810Registers registers_;
};

}  // namespace sim

#endif
