// Module type names, the model group each belongs to and the register group
// each selects. Names are compared in full, ignoring case.
#ifndef VELK_PROTOCOL_MODULE_TYPES_H
#define VELK_PROTOCOL_MODULE_TYPES_H

#include <stddef.h>
#include <stdint.h>

#include "velk4000/velk4000.h"

namespace protocol {

// The model groups: the types that share one command set, one answer form
// and one register group. Each type belongs to exactly one; the two "Data"
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

// The model group of a module type name; kNone for an unknown name or a null
// pointer. `name` is read at most up to `maxLength` characters (for names
// held in fixed arrays that may lack their NUL).
ModelGroup ModelGroupOf(const char* name, size_t maxLength = 64);

// Case-insensitive comparison of a NUL-terminated name with a literal.
bool SameTypeName(const char* name, const char* literal, size_t maxLength = 64);

// The register rows a module type offers: the first `rowCount` rows of its
// group. Returns false (and writes nothing) for an unknown type.
struct RegisterGroupView {
  const velk::RegisterDef* rows;
  int32_t rowCount;
};
bool SelectRegisterGroup(const char* name, RegisterGroupView* out, size_t maxLength = 64);

}  // namespace protocol

#endif
