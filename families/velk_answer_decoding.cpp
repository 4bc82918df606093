#include "families/velk_answer_decoding.h"

#include <math.h>
#include <string.h>

#include <charconv>
#include <system_error>

#include "protocol/answer_form.h"
#include "protocol/module_types.h"
#include "protocol/packet_items.h"
#include "protocol/encoding.h"

namespace families {

using protocol::ModelGroup;

// What a rule reads at its position and how wide it stores.
enum class Rule : uint8_t {
  kFloatReal,           // float real(p)
  kByteHex2,            // byte hex2(p)
  kLongZeroCharIsOff,   // long: 0 when c(p) is "0", otherwise 1
  kLongIntLow16,        // long: int(p) AND 0xFFFF
  kByteIntLow,          // byte: low byte of int(p)
  kHalfTwoDigits,       // half: 16 x d16(c(p)) + d16(c(p+1))
  kLongOneCharIsOn,     // long: 1 when c(p) is "1", otherwise 0
  kLongHex8High,        // long: upper 16 bits of hex8(p)
  kLongHex8Low,         // long: lower 16 bits of hex8(p)
  kLongHex8,            // long: hex8(p)
  kLongAlarmEnabled,    // long: c(p) "3" both limits, "1" the low one (channel 0), "2" the high one
  kHalfInt,             // half int(p)
  kHalfIntAfterOne,     // half int(p+1) when c(p) is "1", otherwise nothing
  kChannelValue,        // float items: cut at 8, float real(p); others half int(p) (IDriver2: short only)
  kInputWord,           // W = hex4(p), by data type: bit of W, one of its bytes, or W
  kDigitalByTypeBits,   // b = hex2(p): bit when type bit 0, byte when type bit 1
  kDigitalBitOrByte,    // b = hex2(p): bit when type bit 0, otherwise byte
  kDigitalByExactType,  // b = hex2(p): bit for type bit, byte for type byte
};

// The width of every field a rule reads, as its module sends it. A field
// cut short, or run on into the characters after it (on a module without
// checksums, another module's checksum), is a bad answer, never a value.
enum class Width : uint8_t {
  kReading,        // "+05.123": a sign, five digits (six past 99.999), a point
  kOutputReading,  // "12.500": an output's read-back, its sign may be left out
  kSignedCount,    // "-01234": a sign and five digits
  kCounter,        // "00012": five digits
  kTwoDigits,      // "05"
  kNumberText,     // "4015": a name or version read as a number, as long as the module's own
  kHex2,
  kUpperHex2,  // read digit by digit, letters by their code
  kHex4,
  kHex8,
  kChar,
};

using protocol::FieldForm;
using protocol::FieldKind;
using protocol::FieldSign;
// clang-format off
const FieldForm kWidths[] = {  // in the order of Width
    {FieldKind::kDecimal, FieldSign::kRequired, 5, 6, true},   // kReading
    {FieldKind::kDecimal, FieldSign::kOptional, 5, 6, true},   // kOutputReading
    {FieldKind::kDecimal, FieldSign::kRequired, 5, 5, false},  // kSignedCount
    {FieldKind::kDecimal, FieldSign::kNone, 5, 5, false},      // kCounter
    {FieldKind::kDecimal, FieldSign::kNone, 2, 2, false},      // kTwoDigits
    {FieldKind::kDecimal, FieldSign::kOptional, 1, 5, true},   // kNumberText
    {FieldKind::kHex, FieldSign::kNone, 2, 2, false},          // kHex2
    {FieldKind::kUpperHex, FieldSign::kNone, 2, 2, false},     // kUpperHex2
    {FieldKind::kHex, FieldSign::kNone, 4, 4, false},          // kHex4
    {FieldKind::kHex, FieldSign::kNone, 8, 8, false},          // kHex8
    {FieldKind::kChar, FieldSign::kNone, 1, 1, false},         // kChar
};
// clang-format on
static_assert(sizeof kWidths / sizeof kWidths[0] == static_cast<size_t>(Width::kChar) + 1, "one form per width");

const FieldForm& FormOf(Width width) { return kWidths[static_cast<size_t>(width)]; }

struct DecodeRow {
  int16_t code;  // the packet's register index
  Rule rule;
  int8_t position;
  Width width;  // of the field at `position`
};

namespace {

// How a group prepares the answer before its rules read it.
enum class Preparation : uint8_t {
  kNone,
  kCutAtTenUnderDriver2,  // position 10 becomes NUL, IDriver2 only
  kCutCarriageReturn,     // the text loses its last character, the carriage return, once
};

// clang-format off
const DecodeRow kVelk4011Decoding[] = {             // Velk4011 model group
    {0, Rule::kFloatReal, 1, Width::kReading},          // AI
    {3, Rule::kByteHex2, 4, Width::kHex2},              // DO
    {4, Rule::kFloatReal, 3, Width::kReading},          // AHI
    {5, Rule::kFloatReal, 3, Width::kReading},          // ALO
    {6, Rule::kLongZeroCharIsOff, 3, Width::kChar},     // AEA
    {7, Rule::kLongIntLow16, 3, Width::kCounter},       // EC
    {8, Rule::kFloatReal, 3, Width::kReading},          // CJCVAL
};
const DecodeRow kVelk4017Decoding[] = {             // Velk4017 model group
    {0, Rule::kFloatReal, 1, Width::kReading},          // AI
    {3, Rule::kByteHex2, 3, Width::kHex2},              // MP
    {5, Rule::kFloatReal, 3, Width::kReading},          // CJCVAL
};
const DecodeRow kVelk4021Decoding[] = {             // Velk4021
    {0, Rule::kFloatReal, 3, Width::kOutputReading},    // AO
};
const DecodeRow kVelk4024Decoding[] = {             // Velk4024
    {0, Rule::kFloatReal, 3, Width::kReading},          // AO
    {1, Rule::kByteIntLow, 3, Width::kTwoDigits},       // DI
    {2, Rule::kHalfTwoDigits, 3, Width::kUpperHex2},    // NC
    {3, Rule::kHalfTwoDigits, 3, Width::kUpperHex2},    // OC
    {4, Rule::kFloatReal, 3, Width::kReading},          // DC
    {5, Rule::kFloatReal, 3, Width::kReading},          // EC
};
const DecodeRow kVelk4051Decoding[] = {             // Velk4051 model group
    {0, Rule::kInputWord, 1, Width::kHex4},             // DI
};
// Velk4050 and Velk4055 answer their inputs in the second byte.
const DecodeRow kVelk4050InputsSecondDecoding[] = {
    {0, Rule::kDigitalByTypeBits, 3, Width::kHex2},     // DI
    {1, Rule::kDigitalByExactType, 1, Width::kHex2},    // DO
};
const DecodeRow kVelk4050Decoding[] = {             // the rest of the Velk4050 model group
    {0, Rule::kDigitalBitOrByte, 1, Width::kHex2},      // DI
    {1, Rule::kDigitalByExactType, 1, Width::kHex2},    // DO
};
const DecodeRow kVelk4080Decoding[] = {             // Velk4080 model group
    {0, Rule::kLongOneCharIsOn, 3, Width::kChar},       // ISM
    {1, Rule::kLongHex8High, 1, Width::kHex8},          // PCVH
    {2, Rule::kLongHex8Low, 1, Width::kHex8},           // PCVL
    {3, Rule::kLongOneCharIsOn, 3, Width::kChar},       // GM
    {4, Rule::kLongHex8, 3, Width::kHex8},              // MCV
    {5, Rule::kLongOneCharIsOn, 3, Width::kChar},       // CS
    {7, Rule::kLongHex8, 3, Width::kHex8},              // ICV
    {8, Rule::kLongAlarmEnabled, 3, Width::kChar},      // AEA
    {9, Rule::kLongHex8, 3, Width::kHex8},              // ALV
    {10, Rule::kByteHex2, 4, Width::kHex2},             // DO
};
const DecodeRow kVelk4015Decoding[] = {             // Velk4015
    {0, Rule::kHalfInt, 3, Width::kNumberText},         // VERSION
    {1, Rule::kHalfInt, 3, Width::kNumberText},         // MODULE
    {2, Rule::kHalfInt, 1, Width::kSignedCount},        // ADATAIN
    {3, Rule::kChannelValue, 1, Width::kReading},       // NVALUE
    {4, Rule::kByteHex2, 3, Width::kHex2},              // MULTIP
    {6, Rule::kHalfIntAfterOne, 3, Width::kSignedCount},// SYNDATA
    {7, Rule::kByteHex2, 3, Width::kHex2},              // CDIAGNO
};
// clang-format on

struct ModelGroupDecoding {
  ModelGroup group;
  bool inputsSecondOnly;  // only for the types whose row says their inputs come second
  const DecodeRow* rows;
  int32_t count;
  Preparation preparation;
};

template <size_t N>
constexpr ModelGroupDecoding Decoding(ModelGroup group, const DecodeRow (&rows)[N],
                                      Preparation preparation = Preparation::kNone, bool inputsSecondOnly = false) {
  return ModelGroupDecoding{group, inputsSecondOnly, rows, static_cast<int32_t>(N), preparation};
}

// The first entry that takes the module type wins.
const ModelGroupDecoding kDecodingByModelGroup[] = {
    Decoding(ModelGroup::kVelk4011, kVelk4011Decoding),
    Decoding(ModelGroup::kVelk4017, kVelk4017Decoding),
    Decoding(ModelGroup::kVelk4021, kVelk4021Decoding),
    Decoding(ModelGroup::kVelk4024, kVelk4024Decoding, Preparation::kCutAtTenUnderDriver2),
    Decoding(ModelGroup::kVelk4051, kVelk4051Decoding),
    Decoding(ModelGroup::kVelk4050, kVelk4050InputsSecondDecoding, Preparation::kNone, true),
    Decoding(ModelGroup::kVelk4050, kVelk4050Decoding),
    Decoding(ModelGroup::kVelk4080, kVelk4080Decoding),
    Decoding(ModelGroup::kVelk4015, kVelk4015Decoding, Preparation::kCutCarriageReturn),
};

const DecodeRow* RowOf(const ModelGroupDecoding* group, int16_t registerCode) {
  if (group == nullptr) return nullptr;
  for (int32_t i = 0; i < group->count; ++i)
    if (group->rows[i].code == registerCode) return &group->rows[i];
  return nullptr;
}

const ModelGroupDecoding* DecodingOf(const protocol::ModuleType& type) {
  for (const ModelGroupDecoding& g : kDecodingByModelGroup)
    if (g.group == type.group && (!g.inputsSecondOnly || type.inputsSecond)) return &g;
  return nullptr;
}

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// d16: a digit's value, anything else read as a letter digit.
int D16(char c) {
  const int code = static_cast<uint8_t>(c);
  return IsDigit(c) ? code - 48 : code - 55;
}

// Bit `channel` of `word`; a channel outside the word reads 0.
uint32_t BitOf(uint32_t word, int16_t channel) {
  if (channel < 0 || channel > 31) return 0;
  return (word >> channel) & 1u;
}

// The conversion gives +/-HUGE_VAL for a number too large for a double and 0
// for one too small. Which it is follows from the power of ten of its
// leading non-zero digit.
double BeyondDoubleRange(const char* first, const char* last) {
  long power = 0;
  bool point = false;
  bool nonZero = false;
  const char* p = first;
  for (; p < last && *p != 'e' && *p != 'E'; ++p) {
    if (*p == '.') {
      point = true;
    } else if (nonZero) {
      if (!point) ++power;
    } else if (*p != '0') {
      nonZero = true;
      if (point) --power;
    } else if (point) {
      --power;
    }
  }
  if (p < last) {  // the exponent
    ++p;
    const bool negative = p < last && *p == '-';
    if (p < last && (*p == '-' || *p == '+')) ++p;
    long exponent = 0;
    for (; p < last && IsDigit(*p); ++p)
      if (exponent < 100000) exponent = exponent * 10 + (*p - '0');
    power += negative ? -exponent : exponent;
  }
  return nonZero && power > 0 ? HUGE_VAL : 0.0;
}

// A reading as modules send it, digits with one point and no exponent, in
// one division: an integer of at most 15 digits (below 2^53) and a power of
// ten up to 10^15 are both exact in a double, and a division rounds
// correctly, so the result is the one the general conversion gives, at a
// fraction of its cost. False for any other text, which takes the general
// path.
bool ExactDecimal(const char* first, const char* last, double* value) {
  static constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                            1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  const int kMostDigits = 15;
  uint64_t digits = 0;
  int count = 0;
  int fractionDigits = 0;
  bool point = false;
  const char* p = first;
  for (; p < last; ++p) {
    if (IsDigit(*p)) {
      if (++count > kMostDigits) return false;
      digits = digits * 10 + static_cast<uint64_t>(*p - '0');
      if (point) ++fractionDigits;
    } else if (*p == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (count == 0 || (p < last && (*p == 'e' || *p == 'E'))) return false;
  *value = static_cast<double>(digits) / kPowersOfTen[fractionDigits];
  return true;
}

}  // namespace

bool ItemFitsItsRule(const velk::Packet& packet, const protocol::ModuleType& type, int16_t dataType) {
  const DecodeRow* row = RowOf(DecodingOf(type), packet.registerCode);
  return row == nullptr || row->rule != Rule::kFloatReal || dataType != velk::kTypeBit;
}

AnswerDecoder::AnswerDecoder(const AnswerText& answer, const velk::Packet& packet, const protocol::ModuleType& type)
    : packet_(packet) {
  const ModelGroupDecoding* group = DecodingOf(type);
  if (group != nullptr) {
    rows_ = group->rows;
    rowCount_ = group->count;
    preparation_ = static_cast<int>(group->preparation);
  }
  int32_t size = answer.buffer == nullptr ? 0 : answer.size;
  if (size < 0) size = 0;
  if (size > kCapacity) size = kCapacity;
  if (size > 0) memcpy(text_, answer.buffer, static_cast<size_t>(size));
  size_ = size;
  const void* nul = memchr(text_, '\0', static_cast<size_t>(size_));
  textEnd_ = nul != nullptr ? static_cast<int32_t>(static_cast<const char*>(nul) - text_) : size_;
  decimalEnd_ = size_;
  if (answer.checksumVerified && answer.answerLength >= 3 && answer.answerLength - 3 < decimalEnd_)
    decimalEnd_ = answer.answerLength - 3;
  dataEnd_ = answer.answerLength - (answer.checksumVerified ? 3 : 1);
  if (dataEnd_ < 0) dataEnd_ = 0;
  if (dataEnd_ > size_) dataEnd_ = size_;
}

char AnswerDecoder::At(int32_t position) const { return position >= 0 && position < size_ ? text_[position] : '\0'; }

uint8_t AnswerDecoder::Hex2(int32_t position) const {
  const char two[2] = {At(position), At(position + 1)};
  return protocol::HexToByte(two);
}

uint16_t AnswerDecoder::Hex4(int32_t position) const {
  return static_cast<uint16_t>(Hex2(position) << 8 | Hex2(position + 2));
}

uint32_t AnswerDecoder::Hex8(int32_t position) const {
  return static_cast<uint32_t>(Hex4(position)) << 16 | Hex4(position + 4);
}

// strtol with base 10 and a 32-bit long, stopped at decimalEnd_.
int32_t AnswerDecoder::Int(int32_t position) const {
  int32_t i = position < 0 ? decimalEnd_ : position;
  while (i < decimalEnd_ && IsSpace(text_[i])) ++i;
  bool negative = false;
  if (i < decimalEnd_ && (text_[i] == '+' || text_[i] == '-')) negative = text_[i++] == '-';
  const int64_t limit = negative ? int64_t{1} << 31 : (int64_t{1} << 31) - 1;
  int64_t magnitude = 0;
  for (; i < decimalEnd_ && IsDigit(text_[i]); ++i) {
    magnitude = magnitude * 10 + (text_[i] - '0');
    if (magnitude > limit) magnitude = limit;  // the conversion saturates
  }
  return static_cast<int32_t>(negative ? -magnitude : magnitude);
}

// strtod stopped at decimalEnd_, rounded to single precision. The
// conversion itself ignores the locale: a module always sends a point.
float AnswerDecoder::Real(int32_t position) const {
  int32_t i = position < 0 ? decimalEnd_ : position;
  while (i < decimalEnd_ && IsSpace(text_[i])) ++i;
  bool negative = false;
  if (i < decimalEnd_ && (text_[i] == '+' || text_[i] == '-')) negative = text_[i++] == '-';
  if (i >= decimalEnd_ || text_[i] == '+' || text_[i] == '-') return 0.0f;
  double value = 0.0;
  if (ExactDecimal(text_ + i, text_ + decimalEnd_, &value)) return static_cast<float>(negative ? -value : value);
  const std::from_chars_result r = std::from_chars(text_ + i, text_ + decimalEnd_, value);
  if (r.ec == std::errc::invalid_argument) return 0.0f;
  if (r.ec == std::errc::result_out_of_range) value = BeyondDoubleRange(text_ + i, r.ptr);
  return static_cast<float>(negative ? -value : value);
}

void AnswerDecoder::CutAt(int32_t position) {
  if (position < 0 || position >= size_) return;  // already reads as NUL
  text_[position] = '\0';
  if (position < textEnd_) textEnd_ = position;
}

// The module ends its text with the carriage return.
void AnswerDecoder::CutLastCharacter() {
  if (textEnd_ > 0) CutAt(textEnd_ - 1);
}

bool AnswerDecoder::Decode(velk::TagItem& item) {
  return DecodeItem(Interface::kDriver, item.value, item.channel, item.dataType);
}

bool AnswerDecoder::Decode(velk::TagItem2& item) {
  return DecodeItem(Interface::kDriver2, item.value, item.channel, item.dataType);
}

bool AnswerDecoder::DecodeItem(Interface by, velk::ValueSlot& value, int16_t channel, int16_t dataType) {
  // Whether the item's rule stored anything: one that did not leaves an
  // old value, which must not be stamped as read now.
  bool stored = false;
  auto StoreByte = [&](velk::ValueSlot& slot, auto v) {
    protocol::StoreByte(slot, static_cast<uint8_t>(v));
    stored = true;
  };
  auto StoreHalf = [&](velk::ValueSlot& slot, auto v) {
    protocol::StoreHalf(slot, static_cast<uint16_t>(v));
    stored = true;
  };
  auto StoreLong = [&](velk::ValueSlot& slot, auto v) {
    protocol::StoreLong(slot, static_cast<uint32_t>(v));
    stored = true;
  };
  auto StoreFloat = [&](velk::ValueSlot& slot, float v) {
    protocol::StoreFloat(slot, v);
    stored = true;
  };

  const Preparation preparation = static_cast<Preparation>(preparation_);
  if (!prepared_) {
    prepared_ = true;
    if (preparation == Preparation::kCutAtTenUnderDriver2 && by == Interface::kDriver2) CutAt(10);
    // Once, not before every item: each further cut would take a digit off
    // the next item's number.
    if (preparation == Preparation::kCutCarriageReturn) CutLastCharacter();
  }

  const DecodeRow* row = nullptr;
  for (int32_t i = 0; i < rowCount_ && row == nullptr; ++i)
    if (rows_[i].code == packet_.registerCode) row = &rows_[i];
  if (row == nullptr) return false;

  const int32_t p = row->position;
  const int32_t end = End();
  // Each rule first checks that the characters it reads are there and of
  // their kind. The rule itself reads as it always has; the packet layer
  // runs a trial pass and stores nothing from an answer that fails.
  auto field = [&](int32_t at) { return Form(protocol::FieldOk(FormOf(row->width), text_, End(), at)); };
  switch (row->rule) {
    case Rule::kFloatReal:
      field(p);
      StoreFloat(value, Real(p));
      break;
    case Rule::kByteHex2:
      field(p);
      StoreByte(value, Hex2(p));
      break;
    case Rule::kLongZeroCharIsOff:
      field(p);
      StoreLong(value, At(p) == '0' ? 0 : 1);
      break;
    case Rule::kLongIntLow16:
      field(p);
      StoreLong(value, static_cast<uint32_t>(Int(p)) & 0xFFFFu);
      break;
    case Rule::kByteIntLow:
      field(p);
      StoreByte(value, static_cast<uint8_t>(Int(p)));
      break;
    case Rule::kHalfTwoDigits:
      field(p);
      StoreHalf(value, static_cast<uint16_t>(16 * D16(At(p)) + D16(At(p + 1))));
      break;
    case Rule::kLongOneCharIsOn:
      field(p);
      StoreLong(value, At(p) == '1' ? 1 : 0);
      break;
    case Rule::kLongHex8High:
      field(p);
      StoreLong(value, Hex8(p) >> 16);
      break;
    case Rule::kLongHex8Low:
      field(p);
      StoreLong(value, Hex8(p) & 0xFFFFu);
      break;
    case Rule::kLongHex8:
      field(p);
      StoreLong(value, Hex8(p));
      break;
    case Rule::kLongAlarmEnabled: {
      field(p);
      const char c = At(p);
      const bool on = c == '3' || (c == '1' && channel == 0) || (c == '2' && channel != 0);
      StoreLong(value, on ? 1 : 0);
      break;
    }
    case Rule::kHalfInt:
      field(p);
      StoreHalf(value, static_cast<uint16_t>(Int(p)));
      break;
    case Rule::kHalfIntAfterOne:
      if (Form(protocol::CharFieldOk(end, p)) && At(p) == '1' && field(p + 1))
        StoreHalf(value, static_cast<uint16_t>(Int(p + 1)));
      break;
    case Rule::kChannelValue:
      // A float item receives the float under either interface: half an
      // integer in its bits would read as a tiny denormal number.
      if (by == Interface::kDriver && dataType != velk::kTypeFloat) {
        field(p);
        StoreHalf(value, static_cast<uint16_t>(Int(p)));
        break;
      }
      CutAt(8);
      if (dataType == velk::kTypeShort) {
        field(p);
        StoreHalf(value, static_cast<uint16_t>(Int(p)));
      } else if (dataType == velk::kTypeFloat) {
        field(p);
        StoreFloat(value, Real(p));
      }
      break;
    case Rule::kInputWord: {
      field(p);
      const uint16_t w = Hex4(p);
      if (dataType == velk::kTypeBit)
        StoreLong(value, BitOf(w, channel));
      else if (dataType == velk::kTypeByte)
        StoreByte(value, channel == 0 ? static_cast<uint8_t>(w) : channel == 1 ? static_cast<uint8_t>(w >> 8) : 0);
      else if (dataType == velk::kTypeWord)
        StoreLong(value, channel == 0 ? w : 0);
      break;
    }
    case Rule::kDigitalByTypeBits: {
      field(p);
      const uint8_t b = Hex2(p);
      if (dataType & velk::kTypeBit)
        StoreLong(value, BitOf(b, channel));
      else if (dataType & velk::kTypeByte)
        StoreByte(value, b);
      break;
    }
    case Rule::kDigitalBitOrByte: {
      field(p);
      const uint8_t b = Hex2(p);
      if (dataType & velk::kTypeBit)
        StoreLong(value, BitOf(b, channel));
      else
        StoreByte(value, b);
      break;
    }
    case Rule::kDigitalByExactType: {
      field(p);
      const uint8_t b = Hex2(p);
      if (dataType == velk::kTypeBit)
        StoreLong(value, BitOf(b, channel));
      else if (dataType == velk::kTypeByte)
        StoreByte(value, b);
      break;
    }
  }
  return stored;
}

}  // namespace families
