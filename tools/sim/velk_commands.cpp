#include "sim/velk_commands.h"

#include <math.h>
#include <stdio.h>

#include "protocol/encoding.h"

namespace sim {
namespace {

typedef VelkCommandContext Ctx;
typedef CommandArgs Args;

// --- answer fields -------------------------------------------------------

std::string Signed(double value) {  // "+05.123", "-12.500"
  char text[48];
  snprintf(text, sizeof text, "%+07.3f", value);
  return text;
}

std::string Unsigned(double value) {  // "05.500"
  char text[48];
  snprintf(text, sizeof text, "%06.3f", value < 0 ? 0.0 : value);
  return text;
}

std::string Hex2(uint32_t value) {
  char text[3] = {0, 0, 0};
  protocol::ByteToHex(text, static_cast<uint8_t>(value));
  return text;
}

std::string Hex4(uint32_t value) {
  char text[5] = {0, 0, 0, 0, 0};
  protocol::WordToHex(text, static_cast<uint16_t>(value));
  return text;
}

std::string Hex8(uint32_t value) {
  char text[9] = {0};
  protocol::DwordToHex(text, value);
  return text;
}

std::string Decimal(int value, const char* format) {
  char text[24];
  snprintf(text, sizeof text, format, value);
  return text;
}

double AnalogIn(Ctx& c, int channel) { return c.registers.analogIn[channel].At(c.nowMs); }

bool Calibrated(Ctx& c, const std::string& what) {
  c.registers.calibrations.push_back(what);
  return true;
}

// First field of a command as a channel below `limit`.
bool Channel(const Args& a, uint32_t limit, int* channel) {
  if (a.field[0].number >= limit) return false;
  *channel = static_cast<int>(a.field[0].number);
  return true;
}

// --- handlers shared by several families ------------------------------------

bool SpanCal(Ctx& c, const Args&, std::string*) { return Calibrated(c, "SPANCAL"); }
bool ZeroCal(Ctx& c, const Args&, std::string*) { return Calibrated(c, "ZEROCAL"); }
bool ReadColdJunction(Ctx& c, const Args&, std::string* d) {
  *d = Signed(c.registers.coldJunction.At(c.nowMs));
  return true;
}
bool WriteColdJunctionOffset(Ctx& c, const Args& a, std::string*) {
  c.registers.cjcOffset = a.field[0].integer;
  return true;
}
bool WriteOutputs(Ctx& c, const Args& a, std::string*) {
  c.registers.digitalOut = a.field[0].number;
  return true;
}

// --- every family -----------------------------------------------------------

const VelkCommandRow kCommonRows[] = {
    {'$', "M", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args&, std::string* d) {
       *d = c.registers.name;
       return true;
     }},
    {'$', "F", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args&, std::string* d) {
       *d = c.registers.version;
       return true;
     }},
    {'$', "2", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args&, std::string* d) {
       *d = Hex2(c.registers.typeCode) + Hex2(c.registers.baudCode) + Hex2(c.registers.formatCode);
       return true;
     }},
};

// --- Velk4011 family: one analog input with alarm, outputs, event counter ---

bool AlarmStatus(Ctx& c, const Args&, std::string* d) {
  *d = std::string(1, c.registers.alarmMode) + Hex2(c.registers.digitalOut) + "00";
  return true;
}

const VelkCommandRow k4011Rows[] = {
    {'#', "", AnswerShape::kGreater, 0,
     +[](Ctx& c, const Args&, std::string* d) {
       *d = Signed(AnalogIn(c, 0));
       return true;
     }},
    {'$', "0", AnswerShape::kBangAddress, 0, SpanCal},
    {'$', "1", AnswerShape::kBangAddress, 0, ZeroCal},
    {'@', "DI", AnswerShape::kBangAddress, 0, AlarmStatus},
    {'@', "DO{xx}", AnswerShape::kBangAddress, 0, WriteOutputs},
    {'@', "RH", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args&, std::string* d) {
       *d = Signed(c.registers.alarmHigh);
       return true;
     }},
    {'@', "HI{f7}", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args& a, std::string*) {
       c.registers.alarmHigh = a.field[0].real;
       return true;
     }},
    {'@', "RL", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args&, std::string* d) {
       *d = Signed(c.registers.alarmLow);
       return true;
     }},
    {'@', "LO{f7}", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args& a, std::string*) {
       c.registers.alarmLow = a.field[0].real;
       return true;
     }},
    {'@', "EAM", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args&, std::string*) {
       c.registers.alarmMode = 'M';
       return true;
     }},
    {'@', "EAL", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args&, std::string*) {
       c.registers.alarmMode = 'L';
       return true;
     }},
    {'@', "DA", AnswerShape::kBangAddress, kChecksumOptional,
     +[](Ctx& c, const Args&, std::string*) {
       c.registers.alarmMode = '0';
       return true;
     }},
    {'@', "RE", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args&, std::string* d) {
       *d = Decimal(static_cast<int>(c.registers.eventCounter & 0xFFFF), "%05d");
       return true;
     }},
    {'@', "CE", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args&, std::string*) {
       c.registers.eventCounter = 0;
       return true;
     }},
    {'$', "3", AnswerShape::kBangAddress, 0, ReadColdJunction},
    {'$', "9{i5}", AnswerShape::kBangAddress, 0, WriteColdJunctionOffset},
};

// --- Velk4017 family: eight analog inputs -----------------------------------

const VelkCommandRow k4017Rows[] = {
    {'#', "", AnswerShape::kGreater, 0,
     +[](Ctx& c, const Args&, std::string* d) {
       d->clear();
       for (int ch = 0; ch < 8; ++ch) *d += Signed(AnalogIn(c, ch));
       return true;
     }},
    {'#', "{x}", AnswerShape::kGreater, 0,
     +[](Ctx& c, const Args& a, std::string* d) {
       int ch = 0;
       if (!Channel(a, 8, &ch)) return false;
       *d = Signed(AnalogIn(c, ch));
       return true;
     }},
    {'$', "0", AnswerShape::kBangAddress, 0, SpanCal},
    {'$', "1", AnswerShape::kBangAddress, 0, ZeroCal},
    {'$', "6", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args&, std::string* d) {
       *d = Hex2(c.registers.multiplexer);
       return true;
     }},
    {'$', "5{xx}", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args& a, std::string*) {
       c.registers.multiplexer = static_cast<uint8_t>(a.field[0].number);
       return true;
     }},
    {'$', "3", AnswerShape::kBangAddress, 0, ReadColdJunction},
    {'$', "9{i5}", AnswerShape::kBangAddress, 0, WriteColdJunctionOffset},
};

// --- Velk4021: one analog output ------------------------------------------

const VelkCommandRow k4021Rows[] = {
    {'$', "6", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args&, std::string* d) {
       *d = Unsigned(c.registers.analogOut[0]);
       return true;
     }},
    {'#', "{f6}", AnswerShape::kGreater, 0,
     +[](Ctx& c, const Args& a, std::string*) {
       c.registers.analogOut[0] = a.field[0].real;
       return true;
     }},
    {'$', "0", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args&, std::string*) { return Calibrated(c, "CURCALF"); }},
    {'$', "1", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args&, std::string*) { return Calibrated(c, "CURCALT"); }},
    {'$', "3{xx}", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args& a, std::string*) {
       c.registers.trim = static_cast<uint8_t>(a.field[0].number);
       return Calibrated(c, "TRIMCAL " + Hex2(a.field[0].number));
     }},
};

// --- Velk4024: four analog outputs, four digital inputs ---------------------

// Channel field first, then a value field: the output arrays of the module.
bool ReadOutput(const Args& a, const std::array<double, 4>& outputs, std::string* d) {
  int ch = 0;
  if (!Channel(a, 4, &ch)) return false;
  *d = Signed(outputs[ch]);
  return true;
}

bool WriteOutput(const Args& a, std::array<double, 4>& outputs) {
  int ch = 0;
  if (!Channel(a, 4, &ch)) return false;
  outputs[ch] = a.field[1].real;
  return true;
}

const VelkCommandRow k4024Rows[] = {
    {'$', "6C{d}", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args& a, std::string* d) { return ReadOutput(a, c.registers.analogOut, d); }},
    {'#', "C{d}{f7}", AnswerShape::kGreater, 0,
     +[](Ctx& c, const Args& a, std::string*) { return WriteOutput(a, c.registers.analogOut); }},
    {'$', "I", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args&, std::string* d) {
       *d = Decimal(static_cast<int>(c.registers.digitalIn & 0x0F), "%02d");
       return true;
     }},
    {'$', "NC{d}", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args& a, std::string* d) {
       int ch = 0;
       if (!Channel(a, 4, &ch)) return false;
       *d = Hex2(c.registers.nc[ch]);
       return true;
     }},
    {'$', "OC{d}", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args& a, std::string* d) {
       int ch = 0;
       if (!Channel(a, 4, &ch)) return false;
       *d = Hex2(c.registers.oc[ch]);
       return true;
     }},
    {'$', "0", AnswerShape::kBangAddress, 0, +[](Ctx& c, const Args&, std::string*) { return Calibrated(c, "NC"); }},
    {'$', "1", AnswerShape::kBangAddress, 0, +[](Ctx& c, const Args&, std::string*) { return Calibrated(c, "OC"); }},
    {'$', "DC{d}", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args& a, std::string* d) { return ReadOutput(a, c.registers.startupOut, d); }},
    {'#', "SC{d}{f7}", AnswerShape::kGreater, 0,
     +[](Ctx& c, const Args& a, std::string*) { return WriteOutput(a, c.registers.startupOut); }},
    {'$', "EC{d}", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args& a, std::string* d) { return ReadOutput(a, c.registers.emergencyOut, d); }},
    {'#', "EC{d}{f7}", AnswerShape::kGreater, 0,
     +[](Ctx& c, const Args& a, std::string*) { return WriteOutput(a, c.registers.emergencyOut); }},
    {'$', "3{xx}", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args& a, std::string*) {
       c.registers.trim = static_cast<uint8_t>(a.field[0].number);
       return Calibrated(c, "TRCAL " + Hex2(a.field[0].number));
     }},
};

// --- Velk4051 family: sixteen digital inputs ----------------------------------

const VelkCommandRow k4051Rows[] = {
    {'$', "6", AnswerShape::kBang, 0,
     +[](Ctx& c, const Args&, std::string* d) {
       *d = Hex4(c.registers.digitalIn) + "00";
       return true;
     }},
};

// --- Velk4050 family: eight digital inputs and/or eight outputs ---------------

bool InputsOnly(const std::string& typeName) { return typeName.size() == 8 && (typeName.compare(4, 4, "4052") == 0); }

const VelkCommandRow k4050Rows[] = {
    {'$', "6", AnswerShape::kBang, 0,
     +[](Ctx& c, const Args&, std::string* d) {
       const uint32_t in = c.registers.digitalIn & 0xFF;
       *d = InputsOnly(c.typeName) ? Hex2(in) + "0000" : Hex2(c.registers.digitalOut) + Hex2(in) + "00";
       return true;
     }},
    {'#', "1{d}0{d}", AnswerShape::kGreater, kChecksumAlways,
     +[](Ctx& c, const Args& a, std::string*) {
       int ch = 0;
       if (!Channel(a, 8, &ch) || a.field[1].number > 1) return false;
       if (a.field[1].number == 1)
         c.registers.digitalOut |= 1u << ch;
       else
         c.registers.digitalOut &= ~(1u << ch);
       return true;
     }},
    {'#', "00{xx}", AnswerShape::kGreater, 0, WriteOutputs},
};

// --- Velk4080 family: two counter/frequency channels --------------------------

std::string Digit(int value) { return std::string(1, static_cast<char>('0' + value)); }

bool HexOfChannel(const Args& a, const std::array<uint32_t, 2>& values, std::string* d) {
  int ch = 0;
  if (!Channel(a, 2, &ch)) return false;
  *d = Hex8(values[ch]);
  return true;
}

bool SetOfChannel(const Args& a, std::array<uint32_t, 2>& values) {
  int ch = 0;
  if (!Channel(a, 2, &ch)) return false;
  values[ch] = a.field[1].number;
  return true;
}

bool SetAlarmEnable(Ctx& c, const Args& a, bool on) {
  int ch = 0;
  if (!Channel(a, 2, &ch)) return false;
  if (on)
    c.registers.alarmEnable = static_cast<uint8_t>(c.registers.alarmEnable | (1u << ch));
  else
    c.registers.alarmEnable = static_cast<uint8_t>(c.registers.alarmEnable & ~(1u << ch));
  return true;
}

const VelkCommandRow k4080Rows[] = {
    {'$', "B", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args&, std::string* d) {
       *d = std::string(1, c.registers.inputMode);
       return true;
     }},
    {'$', "B{d}", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args& a, std::string*) {
       if (a.field[0].number > 1) return false;
       c.registers.inputMode = static_cast<char>('0' + a.field[0].number);
       return true;
     }},
    {'#', "{d}", AnswerShape::kGreater, 0,
     +[](Ctx& c, const Args& a, std::string* d) { return HexOfChannel(a, c.registers.counter, d); }},
    {'$', "A", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args&, std::string* d) {
       *d = std::string(1, c.registers.gateMode);
       return true;
     }},
    {'$', "A{d}", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args& a, std::string*) {
       if (a.field[0].number > 2) return false;
       c.registers.gateMode = static_cast<char>('0' + a.field[0].number);
       return true;
     }},
    {'$', "3{d}", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args& a, std::string* d) { return HexOfChannel(a, c.registers.maxCounter, d); }},
    {'$', "3{d}{x8}", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args& a, std::string*) { return SetOfChannel(a, c.registers.maxCounter); }},
    {'$', "5{d}", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args& a, std::string* d) {
       int ch = 0;
       if (!Channel(a, 2, &ch)) return false;
       *d = Digit(c.registers.counting[ch] ? 1 : 0);
       return true;
     }},
    {'$', "5{d}{d}", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args& a, std::string*) {
       int ch = 0;
       if (!Channel(a, 2, &ch) || a.field[1].number > 1) return false;
       c.registers.counting[ch] = a.field[1].number == 1;
       return true;
     }},
    {'$', "6{d}", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args& a, std::string*) {
       int ch = 0;
       if (!Channel(a, 2, &ch)) return false;
       c.registers.counter[ch] = c.registers.initialCounter[ch];
       return true;
     }},
    {'@', "G{d}", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args& a, std::string* d) { return HexOfChannel(a, c.registers.initialCounter, d); }},
    {'@', "P{d}{x8}", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args& a, std::string*) { return SetOfChannel(a, c.registers.initialCounter); }},
    {'@', "DI", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args&, std::string* d) {
       *d = Digit(c.registers.alarmEnable & 3) + Hex2(c.registers.digitalOut) + "00";
       return true;
     }},
    {'$', "EA{d}", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args& a, std::string*) { return SetAlarmEnable(c, a, true); }},
    {'$', "DA{d}", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args& a, std::string*) { return SetAlarmEnable(c, a, false); }},
    {'@', "RP", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args&, std::string* d) {
       *d = Hex8(c.registers.alarmLimit[0]);
       return true;
     }},
    {'@', "RA", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args&, std::string* d) {
       *d = Hex8(c.registers.alarmLimit[1]);
       return true;
     }},
    {'@', "PA{x8}", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args& a, std::string*) {
       c.registers.alarmLimit[0] = a.field[0].number;
       return true;
     }},
    {'@', "SA{x8}", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args& a, std::string*) {
       c.registers.alarmLimit[1] = a.field[0].number;
       return true;
     }},
    {'@', "DO{xx}", AnswerShape::kBangAddress, 0, WriteOutputs},
};

// --- Velk4015: six-channel measuring module with synchronous sampling -------

const VelkCommandRow k4015Rows[] = {
    {'#', "", AnswerShape::kGreater, 0,
     +[](Ctx& c, const Args&, std::string* d) {
       *d = Decimal(c.registers.rawInput, "%+06d");
       return true;
     }},
    {'#', "{d}", AnswerShape::kGreater, 0,
     +[](Ctx& c, const Args& a, std::string* d) {
       int ch = 0;
       if (!Channel(a, 6, &ch)) return false;
       *d = Signed(AnalogIn(c, ch));
       return true;
     }},
    {'$', "6", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args&, std::string* d) {
       *d = Hex2(c.registers.multiplier);
       return true;
     }},
    {'$', "5{xx}", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args& a, std::string*) {
       c.registers.multiplier = static_cast<uint8_t>(a.field[0].number);
       return true;
     }},
    {'$', "4", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args&, std::string* d) {
       *d = (c.registers.syncFresh ? "1" : "0") + Decimal(c.registers.syncData, "%+06d");
       c.registers.syncFresh = false;
       return true;
     }},
    {'$', "B", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args&, std::string* d) {
       *d = Hex2(c.registers.diagnostic);
       return true;
     }},
    {'$', "0C{d}", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args& a, std::string*) {
       int ch = 0;
       if (!Channel(a, 6, &ch)) return false;
       return Calibrated(c, "SPCALI " + Digit(ch + 1));
     }},
    {'$', "1C{d}", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args& a, std::string*) {
       int ch = 0;
       if (!Channel(a, 6, &ch)) return false;
       return Calibrated(c, "OFCALI " + Digit(ch + 1));
     }},
    {'$', "S0", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args&, std::string*) { return Calibrated(c, "INCALI"); }},
    {'$', "S1", AnswerShape::kBangAddress, 0,
     +[](Ctx& c, const Args&, std::string*) { return Calibrated(c, "DEFCALI"); }},
};

template <size_t N>
VelkCommandTable TableOf(const VelkCommandRow (&rows)[N]) {
  return VelkCommandTable{rows, N};
}

}  // namespace

VelkCommandTable FamilyCommands(VelkFamily family) {
  switch (family) {
    case VelkFamily::k4011: return TableOf(k4011Rows);
    case VelkFamily::k4017: return TableOf(k4017Rows);
    case VelkFamily::k4021: return TableOf(k4021Rows);
    case VelkFamily::k4024: return TableOf(k4024Rows);
    case VelkFamily::k4051: return TableOf(k4051Rows);
    case VelkFamily::k4050: return TableOf(k4050Rows);
    case VelkFamily::k4080: return TableOf(k4080Rows);
    case VelkFamily::k4015: return TableOf(k4015Rows);
  }
  return VelkCommandTable{nullptr, 0};
}

VelkCommandTable CommonCommands() { return TableOf(kCommonRows); }

}  // namespace sim
