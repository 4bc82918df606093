// A tag's reading as the line worker stores it: the value the module gave,
// typed, and the engineering value made from it once, here, with the tag's
// scale and offset. Faces take whichever they serve and build their own
// form (JSON, registers, samples) from it; nothing is parsed back.
#ifndef VELKD_READING_H
#define VELKD_READING_H

#include <stdint.h>

#include <chrono>
#include <string>

#include "core/tag_units.h"
#include "value_format.h"

namespace velkd {

struct Value {
  // kNone: no value known, or a number that is not finite.
  enum Kind : uint8_t { kNone, kBit, kInteger, kReal, kText };
  Kind kind = kNone;
  int64_t integer = 0;  // kBit (0 or 1) and kInteger
  double real = 0.0;    // kReal
  std::string text;     // kText

  bool number() const { return kind == kBit || kind == kInteger || kind == kReal; }
  double AsDouble() const { return kind == kReal ? real : static_cast<double>(integer); }
  bool operator==(const Value& o) const {
    return kind == o.kind && integer == o.integer && (real == o.real || (real != real && o.real != o.real)) &&
           text == o.text;
  }
};

// The module's value of a tag of `dataType`; a float is the double its
// shortest text reads back as, so that 21.1 stays 21.1 in every face.
Value ModuleValue(const hostlib::TagValue& value, int16_t dataType);

// value * scale + offset, to the 15 digits a double holds for certain;
// anything not a number, and any tag without scaling, unchanged. A result
// that is not finite is kNone, which no face serves as a value.
Value EngineeringValue(const TagUnits& units, const Value& module);

struct Reading {
  bool read = false;  // a reading has arrived, good or bad
  bool good = false;  // the latest reading was good: the values are what the module holds
  // The latest good values (kNone before the first); after a failed reading
  // they are the last ones known, which no face may serve as good.
  Value module;
  Value engineering;
  uint16_t quality = 0;                          // the host quality of the latest reading
  std::string reason;                            // why the latest reading was bad; empty when good
  uint64_t fileTime = 0;                         // the driver's time stamp of the latest reading
  std::chrono::system_clock::time_point readAt;  // when the latest reading arrived
  bool everGood = false;
  std::chrono::system_clock::time_point lastGood;  // when the latest good reading arrived
};

}  // namespace velkd

#endif
