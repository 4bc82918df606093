// A Data7210 seven-segment display of six positions at its own address. It
// decodes the segment bytes it receives back into the text it shows, so a
// test and a person can see what the driver made of a number.
//
// Commands and answers (no checksum):
//   "$AA2" -> "!AA" TT CC FF    "$AAF" -> "!AA" + version    "$AAM" -> "!AA" + name
//   "#AA" + twelve characters -> "!AA": six segment bytes as hex pairs,
//   leftmost position first; anything else after "#AA" gets "?AA".
// A segment byte lights a segment on a 0 bit; bit 7 is the decimal point.
#ifndef VELK_SIM_DATA7210_DISPLAY_H
#define VELK_SIM_DATA7210_DISPLAY_H

#include <stdint.h>

#include <functional>
#include <string>

#include "sim/module.h"

namespace sim {

struct Data7210Registers {
  uint8_t typeCode = 0;
  uint8_t baudCode = 6;  // 9600
  uint8_t formatCode = 0;
  std::string version = "A1.00";
  std::string name = "Data7210";
  std::string segments;  // the twelve characters last received
  std::string shown;     // what the display shows, leading blanks dropped
  uint32_t writes = 0;
};

class Data7210Display final : public Module {
 public:
  explicit Data7210Display(uint8_t address, const std::string& typeName = "Data7210");

  Data7210Registers registers() const;
  void Update(const std::function<void(Data7210Registers&)>& change);
  // What the display shows now ("" before the first write).
  std::string Shown() const;

  void Answer(const std::string& line, const LineContext& context, std::string* answer, std::string* note) override;
  std::string Summary(uint32_t nowMs) const override;

 private:
  Data7210Registers registers_;
};

// The text six segment bytes (twelve characters, two hex digits per
// position) show: digits, "-", a lit point as "." after its digit, a dark
// position as a blank, an unknown pattern as "?". Leading blanks are
// dropped; a pair that is not hex shows "?".
std::string DecodeSegments(const std::string& twelve);

}  // namespace sim

#endif
