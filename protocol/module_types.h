// The module types: one row per type name with everything the driver knows
// of it, the model group it belongs to among them. Names are compared in
// full, ignoring case.
#ifndef VELK_PROTOCOL_MODULE_TYPES_H
#define VELK_PROTOCOL_MODULE_TYPES_H

#include <stddef.h>
#include <stdint.h>

#include "velk4000/velk4000.h"

namespace protocol {

// The model groups: the types that share one command set, one answer form
// and one register table. Each type belongs to exactly one; the two "Data"
// types are groups of their own.
enum class ModelGroup : uint8_t {
  kNone,
  kData7810,
  kData7210,
  kVelk4011,
  kVelk4017,
  kVelk4021,
  kVelk4051,
  kVelk4050,
  kVelk4080,
  kVelk4015,
  kVelk4024,
};

// Everything the driver knows of one module type, in one row: a new type is
// one more row in module_types.cpp (and, for a new model group, its rows in
// the group's tables). The driver looks the row up once per call and hands
// it to the family; nothing else compares a type's name.
struct ModuleType {
  const char* name;  // as the host names it, compared in full and ignoring case
  ModelGroup group;
  // It offers the first so many rows of its model group's register table;
  // kAllRegisterRows: all of them.
  int32_t registerRows;
  bool hasAlarm;  // the host may switch its alarm off
  // How many channels one read packet may span; 0: every tag travels in a
  // packet of its own.
  int32_t mergeSpan;
  bool inputsSecond;     // its "DI" answer gives the outputs first, then the inputs
  bool outputsReadBack;  // an output write is read back, outputs and inputs
};
const int32_t kAllRegisterRows = -1;

// The row of an unknown type (or a null name): model group kNone, the "Velk"
// family's general rules, no registers.
extern const ModuleType kUnknownModuleType;

// The row of a module type name; kUnknownModuleType for an unknown name or a
// null pointer. `name` is read at most up to `maxLength` characters (for
// names held in fixed arrays that may lack their NUL).
const ModuleType& ModuleTypeOf(const char* name, size_t maxLength = 64);

// The model group of a module type name: ModuleTypeOf(name).group.
inline ModelGroup ModelGroupOf(const char* name, size_t maxLength = 64) { return ModuleTypeOf(name, maxLength).group; }

// The register rows a module type offers. Returns false (and writes
// nothing) for an unknown type.
struct RegisterTableView {
  const velk::RegisterDef* rows;
  int32_t rowCount;
};
bool SelectRegisterTable(const char* name, RegisterTableView* out, size_t maxLength = 64);

}  // namespace protocol

#endif
