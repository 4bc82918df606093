#include "protocol/register_tables.h"

#include <stddef.h>

namespace protocol {
namespace {

using velk::RegisterDef;

// Channels: {min, max}; {0, 0} is a register without channels.
// Type masks: 0x01 bit, 0x02 byte, 0x04 short, 0x08 word, 0x20 long,
// 0x80 float, 0x100 string.

const RegisterDef kData7810Rows[] = {
    //  name       min max  mask    code
    {"Addr", 0, 0, 0x0002, 3}, {"Baud", 0, 0, 0x0008, 3}, {"Version", 0, 0, 0x0100, 1}, {"Name", 0, 0, 0x0100, 1},
    {"DI", 0, 1, 0x0001, 1},   {"DO", 0, 1, 0x0001, 2},   {"Temp", 0, 7, 0x0080, 1},
};

const RegisterDef kData7210Rows[] = {
    {"CfgStaT", 0, 255, 0x0100, 0},
    {"MdVerF", 0, 255, 0x0100, 1},
    {"MdNameM", 0, 255, 0x0100, 2},
    {"SetDat", 0, 255, 0x008C, 3},
};

const RegisterDef kVelk4011Rows[] = {
    {"AI", 0, 0, 0x0080, 0},     {"SPANCAL", 0, 0, 0x0001, 1}, {"ZEROCAL", 0, 0, 0x0001, 2}, {"DO", 0, 0, 0x0002, 3},
    {"AHI", 0, 0, 0x0080, 4},    {"ALO", 0, 0, 0x0080, 5},     {"AEA", 0, 0, 0x0001, 6},     {"EC", 0, 0, 0x0008, 7},
    {"CJCVAL", 0, 0, 0x0080, 8}, {"CJCOFF", 0, 0, 0x0004, 9},
};

const RegisterDef kVelk4017Rows[] = {
    {"AI", 0, 7, 0x0080, 0},      {"SPANCAL", 0, 0, 0x0001, 1}, {"ZEROCAL", 0, 0, 0x0001, 2}, {"MP", 0, 0, 0x0002, 3},
    {"DISPLAY", 0, 0, 0x0008, 4}, {"CJCVAL", 0, 0, 0x0080, 5},  {"CJCOFF", 0, 0, 0x0004, 6},
};

const RegisterDef kVelk4021Rows[] = {
    {"AO", 0, 0, 0x0080, 0},      {"CURCALF", 0, 0, 0x0001, 1}, {"CURCALT", 0, 0, 0x0001, 2},
    {"TRIMCAL", 0, 0, 0x0002, 3}, {"DISPLAY", 0, 0, 0x0008, 4},
};

const RegisterDef kVelk4051Rows[] = {
    {"DI", 0, 15, 0x000B, 0},
    {"DISPLAY", 0, 0, 0x0008, 2},
};

const RegisterDef kVelk4050Rows[] = {
    {"DI", 0, 7, 0x0003, 0},
    {"DO", 0, 7, 0x0003, 1},
    {"DISPLAY", 0, 0, 0x0008, 2},
};

const RegisterDef kVelk4080Rows[] = {
    {"ISM", 0, 0, 0x0001, 0}, {"PCVH", 0, 1, 0x0008, 1}, {"PCVL", 0, 1, 0x0008, 2}, {"GM", 0, 0, 0x0002, 3},
    {"MCV", 0, 1, 0x0020, 4}, {"CS", 0, 1, 0x0001, 5},   {"CLSC", 0, 1, 0x0001, 6}, {"ICV", 0, 1, 0x0020, 7},
    {"AEA", 0, 1, 0x0001, 8}, {"ALV", 0, 1, 0x0020, 9},  {"DO", 0, 0, 0x0002, 10},  {"DISPLAY", 0, 0, 0x0008, 11},
};

const RegisterDef kVelk4015Rows[] = {
    {"VERSION", 0, 0, 0x0004, 1},  {"MODULE", 0, 0, 0x0004, 2},  {"ADATAIN", 0, 0, 0x0004, 3},
    {"NVALUE", 1, 6, 0x0084, 4},   {"MULTIP", 0, 0, 0x0002, 5},  {"SYNSAM", 0, 0, 0x0001, 6},
    {"SYNDATA", 0, 0, 0x0004, 7},  {"CDIAGNO", 0, 0, 0x0002, 8}, {"SPCALI", 1, 6, 0x0001, 9},
    {"OFCALI", 1, 6, 0x0001, 10},  {"INCALI", 0, 0, 0x0001, 13}, {"DEFCALI", 0, 0, 0x0001, 14},
    {"DISPLAY", 0, 0, 0x0008, 15},
};

const RegisterDef kVelk4024Rows[] = {
    {"AO", 0, 3, 0x0080, 0}, {"DI", 0, 0, 0x0002, 1}, {"NC", 0, 3, 0x0004, 2},    {"OC", 0, 3, 0x0004, 3},
    {"DC", 0, 3, 0x0080, 4}, {"EC", 0, 3, 0x0080, 5}, {"TRCAL", 0, 0, 0x0002, 6}, {"DISPLAY", 0, 0, 0x0008, 7},
};

const RegisterDef kData7210ProbeRows[] = {
    {"0", 1, 50000, 0x0001, 0}, {"1", 1, 9999, 0x0001, 0},  {"3", 1, 65535, 0x000C, 0}, {"4", 1, 65535, 0x000C, 0},
    {"8", 1, 65534, 0x00AC, 0}, {"9", 1, 65534, 0x00AC, 0}, {"SWAP", 0, 0, 0x0008, 0},
};

template <size_t N>
constexpr RegisterTable Table(const RegisterDef (&rows)[N]) {
  return RegisterTable{rows, static_cast<int32_t>(N)};
}

}  // namespace

const RegisterTable kData7810Registers = Table(kData7810Rows);
const RegisterTable kData7210Registers = Table(kData7210Rows);
const RegisterTable kVelk4011Registers = Table(kVelk4011Rows);
const RegisterTable kVelk4017Registers = Table(kVelk4017Rows);
const RegisterTable kVelk4021Registers = Table(kVelk4021Rows);
const RegisterTable kVelk4051Registers = Table(kVelk4051Rows);
const RegisterTable kVelk4050Registers = Table(kVelk4050Rows);
const RegisterTable kVelk4080Registers = Table(kVelk4080Rows);
const RegisterTable kVelk4015Registers = Table(kVelk4015Rows);
const RegisterTable kVelk4024Registers = Table(kVelk4024Rows);
const RegisterTable kData7210ProbeRegisters = Table(kData7210ProbeRows);

}  // namespace protocol
