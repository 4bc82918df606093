#include "protocol/module_types.h"

#include "protocol/register_tables.h"

namespace protocol {
namespace {

struct TypeName {
  const char* name;
  ModelGroup group;
};

// In the order the groups are searched.
const TypeName kTypeNames[] = {
    {"Data7810", ModelGroup::kData7810},  {"Data7210", ModelGroup::kData7210}, {"Velk4011", ModelGroup::kVelk4011},
    {"Velk4011D", ModelGroup::kVelk4011}, {"Velk4012", ModelGroup::kVelk4011}, {"Velk4013", ModelGroup::kVelk4011},
    {"Velk4014D", ModelGroup::kVelk4011}, {"Velk4016", ModelGroup::kVelk4011}, {"Velk4017", ModelGroup::kVelk4017},
    {"Velk4017+", ModelGroup::kVelk4017}, {"Velk4018", ModelGroup::kVelk4017}, {"Velk4018+", ModelGroup::kVelk4017},
    {"Velk4018M", ModelGroup::kVelk4017}, {"Velk4019", ModelGroup::kVelk4017}, {"Velk4021", ModelGroup::kVelk4021},
    {"Velk4051", ModelGroup::kVelk4051},  {"Velk4053", ModelGroup::kVelk4051}, {"Velk4050", ModelGroup::kVelk4050},
    {"Velk4052", ModelGroup::kVelk4050},  {"Velk4055", ModelGroup::kVelk4050}, {"Velk4060", ModelGroup::kVelk4050},
    {"Velk4068", ModelGroup::kVelk4050},  {"Velk4080", ModelGroup::kVelk4080}, {"Velk4080D", ModelGroup::kVelk4080},
    {"Velk4015", ModelGroup::kVelk4015},  {"Velk4024", ModelGroup::kVelk4024},
};

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Rows offered by the Velk4011 and Velk4017 groups, chosen by the eighth
// character of the name as the host passed it (the model's last digit).
int32_t Velk4011RowCount(char eighth) {
  switch (eighth) {
    case '3': return 3;
    case '6': return 7;
    case '2':
    case '4': return 8;
    default: return 10;
  }
}
int32_t Velk4017RowCount(char eighth) { return eighth == '7' ? 5 : 7; }

}  // namespace

bool SameTypeName(const char* name, const char* literal, size_t maxLength) {
  if (name == nullptr) return false;
  size_t i = 0;
  for (; i < maxLength && literal[i] != '\0'; ++i) {
    if (name[i] == '\0' || Upper(name[i]) != Upper(literal[i])) return false;
  }
  // The whole name must have been consumed: "Velk4011 " is not "Velk4011".
  return i < maxLength ? name[i] == '\0' : literal[i] == '\0';
}

ModelGroup ModelGroupOf(const char* name, size_t maxLength) {
  if (name == nullptr) return ModelGroup::kNone;
  // Every known name has eight or nine characters, and most differ only in
  // the model's last digits: those are compared first, so that finding the
  // group of every packet does not compare all names in full.
  size_t length = 0;
  while (length < maxLength && length < 10 && name[length] != '\0') ++length;
  if (length < 8 || length > 9) return ModelGroup::kNone;
  for (const TypeName& t : kTypeNames) {
    if (Upper(name[7]) != Upper(t.name[7]) || Upper(name[6]) != Upper(t.name[6])) continue;
    if (SameTypeName(name, t.name, maxLength)) return t.group;
  }
  return ModelGroup::kNone;
}

bool SelectRegisterGroup(const char* name, RegisterGroupView* out, size_t maxLength) {
  const ModelGroup group = ModelGroupOf(name, maxLength);
  // Every known name has at least eight characters.
  const char eighth = group == ModelGroup::kNone ? '\0' : name[7];
  RegisterGroupView view{nullptr, 0};
  switch (group) {
    case ModelGroup::kNone: return false;
    case ModelGroup::kData7810: view = {kData7810Group.rows, kData7810Group.size}; break;
    case ModelGroup::kData7210: view = {kData7210Group.rows, kData7210Group.size}; break;
    case ModelGroup::kVelk4011: view = {kVelk4011Group.rows, Velk4011RowCount(eighth)}; break;
    case ModelGroup::kVelk4017: view = {kVelk4017Group.rows, Velk4017RowCount(eighth)}; break;
    case ModelGroup::kVelk4021: view = {kVelk4021Group.rows, kVelk4021Group.size}; break;
    case ModelGroup::kVelk4051: view = {kVelk4051Group.rows, kVelk4051Group.size}; break;
    case ModelGroup::kVelk4050: view = {kVelk4050Group.rows, kVelk4050Group.size}; break;
    case ModelGroup::kVelk4080: view = {kVelk4080Group.rows, kVelk4080Group.size}; break;
    case ModelGroup::kVelk4015: view = {kVelk4015Group.rows, kVelk4015Group.size}; break;
    case ModelGroup::kVelk4024: view = {kVelk4024Group.rows, kVelk4024Group.size}; break;
  }
  *out = view;
  return true;
}

}  // namespace protocol
