#include "data_types.h"

#include <stdio.h>
#include <stdlib.h>
#include <strings.h>

#include "velk4000/velk4000.h"

namespace hostlib {
namespace {

struct DataTypeRow {
  int16_t code;
  const char* name;
};

const DataTypeRow kDataTypes[] = {
    {velk::kTypeBit, "bit"},   {velk::kTypeByte, "byte"},   {velk::kTypeShort, "short"},   {velk::kTypeWord, "word"},
    {velk::kTypeLong, "long"}, {velk::kTypeFloat, "float"}, {velk::kTypeString, "string"},
};

std::string Hex(uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "0x%04X", value);
  return text;
}

}  // namespace

int16_t DataTypeFromName(const std::string& name) {
  for (const DataTypeRow& row : kDataTypes)
    if (strcasecmp(row.name, name.c_str()) == 0) return row.code;
  // A raw code lets a commissioning engineer try what the host would send.
  if (name.empty()) return 0;
  char* end = nullptr;
  const long value = strtol(name.c_str(), &end, 0);
  if (*end != '\0' || value <= 0 || value > 0x7FFF) return 0;
  return static_cast<int16_t>(value);
}

std::string DataTypeName(int16_t code) {
  for (const DataTypeRow& row : kDataTypes)
    if (row.code == code) return row.name;
  return Hex(static_cast<uint16_t>(code));
}

std::string TypeMaskNames(int32_t mask) {
  std::string text;
  uint32_t rest = static_cast<uint32_t>(mask) & 0xFFFFu;  // the host reads only the low half
  for (const DataTypeRow& row : kDataTypes) {
    if ((rest & static_cast<uint32_t>(row.code)) == 0) continue;
    if (!text.empty()) text += '|';
    text += row.name;
    rest &= ~static_cast<uint32_t>(row.code);
  }
  if (rest != 0) {
    if (!text.empty()) text += '|';
    text += Hex(rest);
  }
  return text.empty() ? "none" : text;
}

const char* DataTypeChoices() { return "bit, byte, short, word, long, float, string"; }

}  // namespace hostlib
