// A "Velk" module: the register state of one module of a named type and the
// answers to every command its family knows. Answers are shaped the way the
// modules answer, so that a reader of fixed positions finds each value:
//
//   "#" commands that read data answer ">" + data; every other known command
//   answers "!" AA (+ data). A command the family does not know, or whose
//   data field is malformed or out of range, gets "?" AA. A module that uses
//   checksums drops a command whose checksum is wrong without answering,
//   and appends the checksum of its answer before the carriage return.
//   Exceptions on the command side: the Velk4050-family single-bit output
//   write always carries a checksum, and the alarm disable "@" AA "DA" is
//   taken with or without one.
//
// Answer shapes by family (AA the address, positions count from 0):
//   every family  "$AAM" -> "!AA" + name     "$AAF" -> "!AA" + version
//                 "$AA2" -> "!AA" + type code, baud code, format (2 hex each)
//   Velk4011      "#AA" -> ">+dd.ddd" (analog input 0)
//                 "@AADI" -> "!AA" S OO "00": S alarm mode ("0" off, "M"
//                 momentary, "L" latched), OO outputs (2 hex)
//                 "@AARH"/"@AARL" -> "!AA+dd.ddd"   "@AARE" -> "!AA" + 5 digits
//                 "$AA3" -> "!AA+dd.ddd" (cold junction)
//   Velk4017      "#AAn" -> ">+dd.ddd"; "#AA" -> ">" + eight values
//                 "$AA6" -> "!AA" + MP (2 hex)   "$AA3" -> cold junction
//   Velk4021      "$AA6" -> "!AAdd.ddd"
//   Velk4024      "$AA6Cn", "$AADCn", "$AAECn" -> "!AA" + sign + "dd.ddd"
//                 "$AAI" -> "!AA" + inputs as two decimal digits
//                 "$AANCn"/"$AAOCn" -> "!AA" + 2 hex
//   Velk4051      "$AA6" -> "!" + inputs (4 hex) + "00"
//   Velk4050      "$AA6" -> "!" + outputs (2 hex) + inputs (2 hex) + "00";
//                 the Velk4052 (inputs only) -> "!" + inputs + "0000"
//   Velk4080      "#AAk" -> ">" + counter k (8 hex); "$AA3k", "@AAGk",
//                 "@AARP", "@AARA" -> "!AA" + 8 hex; "$AAB", "$AAA",
//                 "$AA5k" -> "!AA" + one digit; "@AADI" -> "!AA" + alarm
//                 enable digit (bit 0 channel 0, bit 1 channel 1) + OO "00"
//   Velk4015      "$AAF", "$AAM" -> "!AA" + decimal; "#AA" -> ">+ddddd" raw;
//                 "#AAn" -> ">+dd.ddd" (channel n+1); "$AA6", "$AAB" ->
//                 "!AA" + 2 hex; "$AA4" -> "!AA" + flag + "+ddddd" (flag "1"
//                 once after each "#**" sample, then "0")
#ifndef VELK_SIM_VELK_MODULE_H
#define VELK_SIM_VELK_MODULE_H

#include <stdint.h>

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/module.h"
#include "sim/value_source.h"

namespace sim {

// The command families: the types of one family share one command table.
enum class VelkFamily { k4011, k4017, k4021, k4024, k4051, k4050, k4080, k4015 };

// The registers of a "Velk" module. Every family has every field; each uses
// the ones its commands reach.
struct VelkRegisters {
  std::string name;     // "$AAM" answer after "!AA"; defaults to the model, e.g. "4017"
  std::string version;  // "$AAF" answer after "!AA"
  uint8_t typeCode = 0;
  uint8_t baudCode = 6;
  uint8_t formatCode = 0;

  // Analog inputs: Velk4011 channel 0, Velk4017 family 0-7, Velk4015
  // NVALUE channels 1-6 in 0-5.
  std::array<ValueSource, 8> analogIn;
  ValueSource coldJunction;  // "CJCVAL"
  int cjcOffset = 0;         // last "CJCOFF" written

  // Analog outputs: Velk4021 channel 0, Velk4024 channels 0-3 ("AO"),
  // Velk4024 start-up ("DC") and emergency ("EC") values.
  std::array<double, 4> analogOut{};
  std::array<double, 4> startupOut{};
  std::array<double, 4> emergencyOut{};
  std::array<uint8_t, 4> nc{};  // Velk4024 "NC" per channel
  std::array<uint8_t, 4> oc{};  // Velk4024 "OC" per channel

  uint32_t digitalIn = 0;   // Velk4051 16 bits, Velk4050 8, Velk4024 4
  uint32_t digitalOut = 0;  // 8 bits

  // Velk4011 family alarm.
  char alarmMode = '0';  // '0' off, 'M' momentary, 'L' latched
  double alarmHigh = 0.0;
  double alarmLow = 0.0;
  uint32_t eventCounter = 0;

  uint8_t multiplexer = 0xFF;  // Velk4017 "MP"
  uint8_t trim = 0;            // last trim value ("TRIMCAL", "TRCAL")

  // Velk4080 counter/frequency module, per channel 0-1.
  std::array<uint32_t, 2> counter{};
  std::array<double, 2> countRate{};  // counts per second while counting
  std::array<bool, 2> counting{};     // "CS"
  std::array<uint32_t, 2> maxCounter{{0xFFFFFFFFu, 0xFFFFFFFFu}};
  std::array<uint32_t, 2> initialCounter{};
  std::array<uint32_t, 2> alarmLimit{};
  uint8_t alarmEnable = 0;  // bit k: alarm of channel k enabled
  char inputMode = '0';     // "ISM"
  char gateMode = '0';      // "GM": '0', '1' or '2'

  // Velk4015.
  int rawInput = 0;  // "ADATAIN", -32768..32767
  uint8_t multiplier = 1;
  uint8_t diagnostic = 0;
  bool syncFresh = false;  // a "#**" sample not yet read through "$AA4"
  int syncData = 0;

  // Every calibration or trim command taken, in order, e.g. "SPANCAL",
  // "ZEROCAL", "CURCALF", "TRIMCAL 5A", "SPCALI 3", "INCALI".
  std::vector<std::string> calibrations;
};

class VelkModule final : public Module {
 public:
  // Null with a message for a type name that is not a "Velk" type.
  static std::unique_ptr<VelkModule> Create(const std::string& typeName, uint8_t address, bool checksum,
                                            std::string* error);

  VelkFamily family() const { return family_; }

  // A copy of the registers; counters stand as of the last command.
  VelkRegisters registers() const;
  // Changes the registers under the module's lock.
  void Update(const std::function<void(VelkRegisters&)>& change);

  void Answer(const std::string& line, const LineContext& context, std::string* answer, std::string* note) override;
  void Broadcast(const std::string& line, const LineContext& context) override;
  std::string Summary(uint32_t nowMs) const override;

 private:
  VelkModule(const std::string& typeName, VelkFamily family, uint8_t address, bool checksum);
  void AdvanceCounters(uint32_t nowMs);
  uint32_t ProjectedCounter(int channel, uint32_t nowMs) const;

  const VelkFamily family_;
  VelkRegisters registers_;
  uint32_t countersAtMs_ = 0;
  std::array<double, 2> countFraction_{};
};

// The family of a "Velk" type name (case ignored); false when it is none.
bool VelkFamilyOf(const std::string& typeName, VelkFamily* family);

}  // namespace sim

#endif
