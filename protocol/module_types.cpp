#include "protocol/module_types.h"

#include "protocol/register_tables.h"

namespace protocol {
namespace {

using G = ModelGroup;
const int32_t kAll = kAllRegisterRows;

// clang-format off
// In the order the names are searched. Fields in order: name, model group,
// register rows, alarm, merge span, inputs second, outputs read back.
const ModuleType kModuleTypes[] = {
    {"Data7810",  G::kData7810, kAll, false, 1,  false, false},
    {"Data7210",  G::kData7210, kAll, false, 1,  false, false},
    {"Velk4011",  G::kVelk4011, 10,   true,  1,  false, false},
    {"Velk4011D", G::kVelk4011, 10,   true,  1,  false, false},
    {"Velk4012",  G::kVelk4011, 8,    true,  1,  false, false},
    {"Velk4013",  G::kVelk4011, 3,    false, 1,  false, false},
    {"Velk4014D", G::kVelk4011, 8,    false, 1,  false, false},
    {"Velk4016",  G::kVelk4011, 7,    true,  1,  false, false},
    {"Velk4017",  G::kVelk4017, 5,    false, 1,  false, false},
    {"Velk4017+", G::kVelk4017, 5,    false, 1,  false, false},
    {"Velk4018",  G::kVelk4017, 7,    false, 1,  false, false},
    {"Velk4018+", G::kVelk4017, 7,    false, 1,  false, false},
    {"Velk4018M", G::kVelk4017, 7,    false, 1,  false, false},
    {"Velk4019",  G::kVelk4017, 7,    false, 1,  false, false},
    {"Velk4021",  G::kVelk4021, kAll, false, 1,  false, false},
    {"Velk4051",  G::kVelk4051, kAll, false, 1,  false, false},
    {"Velk4053",  G::kVelk4051, kAll, false, 1,  false, false},
    {"Velk4050",  G::kVelk4050, kAll, false, 1,  true,  true},
    {"Velk4052",  G::kVelk4050, kAll, false, 1,  false, false},
    {"Velk4055",  G::kVelk4050, kAll, false, 10, true,  false},
    {"Velk4060",  G::kVelk4050, kAll, false, 1,  false, false},
    {"Velk4068",  G::kVelk4050, kAll, false, 1,  false, false},
    {"Velk4080",  G::kVelk4080, kAll, false, 1,  false, false},
    {"Velk4080D", G::kVelk4080, kAll, false, 1,  false, false},
    {"Velk4015",  G::kVelk4015, kAll, false, 0,  false, false},
    {"Velk4024",  G::kVelk4024, kAll, false, 1,  false, false},
};
// clang-format on

// The register table of each model group, in the order of ModelGroup.
const RegisterTable* const kRegistersOfGroup[] = {
    nullptr,
    &kData7810Registers,
    &kData7210Registers,
    &kVelk4011Registers,
    &kVelk4017Registers,
    &kVelk4021Registers,
    &kVelk4051Registers,
    &kVelk4050Registers,
    &kVelk4080Registers,
    &kVelk4015Registers,
    &kVelk4024Registers,
};
static_assert(sizeof kRegistersOfGroup / sizeof kRegistersOfGroup[0] == static_cast<size_t>(G::kVelk4024) + 1,
              "one register table per model group");

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Case-insensitive comparison of a NUL-terminated name with a literal.
bool SameTypeName(const char* name, const char* literal, size_t maxLength) {
  size_t i = 0;
  for (; i < maxLength && literal[i] != '\0'; ++i) {
    if (name[i] == '\0' || Upper(name[i]) != Upper(literal[i])) return false;
  }
  // The whole name must have been consumed: "Velk4011 " is not "Velk4011".
  return i < maxLength ? name[i] == '\0' : literal[i] == '\0';
}

}  // namespace

const ModuleType kUnknownModuleType = {"", G::kNone, 0, false, 1, false, false};

const ModuleType& ModuleTypeOf(const char* name, size_t maxLength) {
  if (name == nullptr) return kUnknownModuleType;
  // Every known name has eight or nine characters, and most differ only in
  // the model's last digits: those are compared first, so that finding the
  // row of every packet does not compare all names in full.
  size_t length = 0;
  while (length < maxLength && length < 10 && name[length] != '\0') ++length;
  if (length < 8 || length > 9) return kUnknownModuleType;
  for (const ModuleType& t : kModuleTypes) {
    if (Upper(name[7]) != Upper(t.name[7]) || Upper(name[6]) != Upper(t.name[6])) continue;
    if (SameTypeName(name, t.name, maxLength)) return t;
  }
  return kUnknownModuleType;
}

bool SelectRegisterTable(const char* name, RegisterTableView* out, size_t maxLength) {
  const ModuleType& type = ModuleTypeOf(name, maxLength);
  const RegisterTable* table = kRegistersOfGroup[static_cast<size_t>(type.group)];
  if (table == nullptr) return false;
  *out = {table->rows, type.registerRows == kAllRegisterRows ? table->size : type.registerRows};
  return true;
}

}  // namespace protocol
