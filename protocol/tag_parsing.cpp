#include "protocol/tag_parsing.h"

#include <stddef.h>
#include <string.h>

#include "protocol/module_types.h"
#include "protocol/register_tables.h"
#include "protocol/text_to_number.h"

namespace protocol {
namespace {

using velk::RegisterDef;
using velk::TagConfig;
using velk::TagDef;

// The "Velk" grammar works on 32 characters: an address text of at most 31.
constexpr size_t kVelkWorkingArea = 32;
// Leading blanks are looked for in no more than this many positions.
constexpr size_t kLeadingBlankWindow = 32;
// The Data7810 grammar keeps the text after the register name in 10
// characters: at most 9.
constexpr size_t kData7810RestArea = 10;
// Any channel text longer than this is far outside every register's range;
// converting stops growing there instead of overflowing.
constexpr int64_t kChannelCeiling = int64_t{1} << 32;

// A piece of a host text: not NUL-terminated, never read past `size`.
struct TextView {
  const char* data;
  size_t size;

  bool empty() const { return size == 0; }
  TextView from(size_t offset) const {
    return offset < size ? TextView{data + offset, size - offset} : TextView{data + size, 0};
  }
  TextView first(size_t count) const { return TextView{data, count < size ? count : size}; }
};

size_t BoundedLength(const char* text, size_t limit) {
  size_t length = 0;
  while (length < limit && text[length] != '\0') ++length;
  return length;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsWhiteSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool AllDigits(TextView text) {
  for (size_t i = 0; i < text.size; ++i)
    if (!IsDigit(text.data[i])) return false;
  return true;
}

// Blanks are the space character alone; leading ones are skipped within the
// first kLeadingBlankWindow positions of the text.
TextView TrimBlanks(TextView text) {
  size_t begin = 0;
  while (begin < text.size && begin < kLeadingBlankWindow && text.data[begin] == ' ') ++begin;
  size_t end = text.size;
  while (end > begin && text.data[end - 1] == ' ') --end;
  return TextView{text.data + begin, end - begin};
}

TextView TrimLeadingWhiteSpace(TextView text) {
  size_t begin = 0;
  while (begin < text.size && IsWhiteSpace(text.data[begin])) ++begin;
  return text.from(begin);
}

TextView TrimWhiteSpace(TextView text) {
  text = TrimLeadingWhiteSpace(text);
  while (text.size > 0 && IsWhiteSpace(text.data[text.size - 1])) --text.size;
  return text;
}

// Decimal value of a text of digits only, stopping at kChannelCeiling.
int64_t DecimalValue(TextView digits) {
  int64_t value = 0;
  for (size_t i = 0; i < digits.size; ++i) {
    value = value * 10 + (digits.data[i] - '0');
    if (value > kChannelCeiling) value = kChannelCeiling;
  }
  return value;
}

// The channel as the "%i" conversion of formatted input reads a text of
// digits: a leading "0" makes it octal, and reading stops at the first digit
// that octal has not ("08" is 0).
int64_t FormattedInputIntegerValue(TextView digits) {
  if (digits.size < 2 || digits.data[0] != '0') return DecimalValue(digits);
  int64_t value = 0;
  for (size_t i = 1; i < digits.size && digits.data[i] >= '0' && digits.data[i] <= '7'; ++i) {
    value = value * 8 + (digits.data[i] - '0');
    if (value > kChannelCeiling) value = kChannelCeiling;
  }
  return value;
}

TextView NameOf(const RegisterDef& row) { return TextView{row.name, BoundedLength(row.name, sizeof row.name)}; }

bool BeginsWith(TextView text, TextView prefix) {
  return text.size >= prefix.size && memcmp(text.data, prefix.data, prefix.size) == 0;
}

bool SameText(TextView a, TextView b) { return a.size == b.size && memcmp(a.data, b.data, a.size) == 0; }

bool HasChannels(const RegisterDef& row) { return row.minChannel < row.maxChannel; }

bool InChannels(const RegisterDef& row, int64_t channel) {
  return channel >= row.minChannel && channel <= row.maxChannel;
}

bool TypeAccepted(const RegisterDef& row, int16_t dataType) {
  return (static_cast<uint16_t>(dataType) & static_cast<uint32_t>(row.typeMask) & 0xFFFFu) != 0;
}

// The first row whose name begins `text`, or -1. `skipTwoLetterNames` passes
// over two-character names so that a longer name such as "DISPLAY" is not
// taken for "DI".
int32_t FirstRowNamedAtStart(const RegisterDef* rows, int32_t rowCount, TextView text, bool skipTwoLetterNames) {
  for (int32_t i = 0; i < rowCount; ++i) {
    const TextView name = NameOf(rows[i]);
    if (skipTwoLetterNames && name.size == 2) continue;
    if (BeginsWith(text, name)) return i;
  }
  return -1;
}

TextView AddressTextOf(const TagConfig& config) {
  return TextView{config.addressText, BoundedLength(config.addressText, sizeof config.addressText)};
}

// Stores a number that passed TextToNumber into a 16-bit sub-field, keeping
// its low half as the host's record has always received it.
int16_t LowHalf(int32_t value) { return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(value))); }

}  // namespace

int16_t ParseVelkTag(const TagConfig& config, TagDef& def) {
  const TextView original = AddressTextOf(config);
  if (original.size >= kVelkWorkingArea) return kTagAddressRejected;
  char work[kVelkWorkingArea];
  for (size_t i = 0; i < original.size; ++i) work[i] = Upper(original.data[i]);
  const TextView text = TrimBlanks(TextView{work, original.size});
  if (text.empty()) return kTagAddressRejected;

  RegisterTableView group{nullptr, 0};
  if (!SelectRegisterTable(config.moduleType, &group, sizeof config.moduleType)) return kTagAddressRejected;

  // A two-letter register and its channel never take seven characters, but
  // longer names such as "DISPLAY" begin with a two-letter one ("DI").
  const bool skipTwoLetterNames = text.size >= 7;
  const int32_t index = FirstRowNamedAtStart(group.rows, group.rowCount, text, skipTwoLetterNames);
  if (index < 0) return kTagAddressRejected;
  const RegisterDef& row = group.rows[index];
  def.registerName = row.name;
  def.registerCode = static_cast<int16_t>(index);
  def.channel = 0;

  const TextView name = NameOf(row);
  if (HasChannels(row)) {
    const TextView channelText = text.from(name.size);
    if (channelText.empty() || !AllDigits(channelText)) return kChannelRejected;
    const int64_t channel = FormattedInputIntegerValue(channelText);
    if (!InChannels(row, channel)) return kChannelRejected;
    def.channel = static_cast<int16_t>(channel);
  } else {
    if (!SameText(text, name)) return kTagAddressRejected;
    def.channel = -1;
  }
  return TypeAccepted(row, config.dataType) ? 0 : kDataTypeRejected;
}

int16_t ParseData7810Tag(const TagConfig& config, TagDef& def) {
  const TextView text = TrimBlanks(AddressTextOf(config));
  if (text.empty()) return kTagAddressRejected;

  const RegisterTable& group = kData7810Registers;
  const int32_t index = FirstRowNamedAtStart(group.rows, group.size, text, false);
  if (index < 0) return kTagAddressRejected;
  const RegisterDef& row = group.rows[index];
  def.channel = 0;

  const TextView rest = text.from(NameOf(row).size);
  if (rest.size >= kData7810RestArea) return kTagAddressRejected;
  if (!AllDigits(rest)) return kChannelRejected;
  const int64_t number = DecimalValue(rest);  // an empty rest is 0
  if (HasChannels(row)) {
    if (!InChannels(row, number)) return kChannelRejected;
  } else if (number > 0) {
    return kChannelRejected;
  }
  def.channel = static_cast<int16_t>(number);
  def.subField3 = static_cast<int16_t>(number);

  def.registerName = row.name;
  def.registerCode = static_cast<int16_t>(index);
  def.subField2 = static_cast<int16_t>(index);
  def.subField1 = 0;
  if (!TypeAccepted(row, config.dataType)) return kDataTypeRejected;
  def.subField4 = config.dataType;
  return 0;
}

int16_t ParseData7210Tag(const TagConfig& config, TagDef& def) {
  // The register part and up to three options, split at commas; anything
  // after a fourth comma is ignored.
  constexpr size_t kParts = 4;
  TextView parts[kParts] = {};
  const TextView whole = AddressTextOf(config);
  size_t count = 0;
  size_t start = 0;
  for (size_t i = 0; i <= whole.size && count < kParts; ++i) {
    if (i == whole.size || whole.data[i] == ',') {
      parts[count++] = TrimWhiteSpace(TextView{whole.data + start, i - start});
      start = i + 1;
    }
  }
  const TextView registerPart = parts[0];
  if (registerPart.empty()) return kTagAddressRejected;

  const RegisterTable& group = kData7210Registers;
  const int32_t index = FirstRowNamedAtStart(group.rows, group.size, registerPart, false);
  if (index < 0) return kTagAddressRejected;
  const RegisterDef& row = group.rows[index];
  def.registerCode = static_cast<int16_t>(index);
  def.subField1 = -1;
  def.subField2 = -1;
  def.subField3 = -1;
  def.registerName = row.name;
  def.channel = 0;

  const TextView name = NameOf(row);
  if (HasChannels(row)) {
    TextView channelText = registerPart.from(name.size);
    const void* point = memchr(channelText.data, '.', channelText.size);
    if (point != nullptr) {
      // "SetDat2.15": the digit before the point is the number of decimals
      // the display shows.
      const size_t pointAt = static_cast<size_t>(static_cast<const char*>(point) - channelText.data);
      const TextView precision = TrimWhiteSpace(channelText.first(pointAt));
      if (precision.empty() || !AllDigits(precision)) return kChannelRejected;
      const int64_t decimals = DecimalValue(precision);
      if (decimals < 1 || decimals > 3) return kChannelRejected;
      def.subField1 = static_cast<int16_t>(decimals);
      channelText = channelText.from(pointAt + 1);
    }
    channelText = TrimLeadingWhiteSpace(channelText);
    int32_t channel = 0;
    if (!TextToNumber(channelText.data, &channel, channelText.size)) return kChannelRejected;
    if (!InChannels(row, channel)) return kChannelRejected;
    def.channel = static_cast<int16_t>(channel);
  } else {
    if (!SameText(registerPart, name)) return kTagAddressRejected;
    def.channel = -1;
  }
  if (!TypeAccepted(row, config.dataType)) return kDataTypeRejected;

  struct Option {
    int16_t TagDef::*field;
    int16_t rejectedWith;
  };
  // Option 1 replaces a precision digit given before the point.
  const Option options[kParts - 1] = {
      {&TagDef::subField1, kTagAddressRejected},
      {&TagDef::subField2, kChannelRejected},
      {&TagDef::subField3, kChannelRejected},
  };
  for (size_t i = 0; i < kParts - 1; ++i) {
    const TextView text = parts[i + 1];
    if (text.empty()) continue;
    int32_t value = 0;
    if (!TextToNumber(text.data, &value, text.size)) return options[i].rejectedWith;
    def.*options[i].field = LowHalf(value);
  }
  return 0;
}

}  // namespace protocol
