// The three tag address grammars: the "Velk" grammar shared by every "Velk"
// module type, and the grammars of the Data7810 and Data7210 modules. Each
// checks a tag's address text and data type against its module type's
// register rows and fills the host's TagDef.
//
// TagConfig texts come from the host's fixed arrays and may lack their NUL:
// they are never read past their arrays.
#ifndef VELK_PROTOCOL_TAG_PARSING_H
#define VELK_PROTOCOL_TAG_PARSING_H

#include <stdint.h>

#include "velk4000/velk4000.h"

namespace protocol {

// Error codes of tag parsing, as the host receives them in errorCode.
constexpr int16_t kTagAddressRejected = 12;  // empty, no register matches, unknown type, text after a name
constexpr int16_t kDataTypeRejected = 13;    // the data type shares no bit with the register's type mask
constexpr int16_t kChannelRejected = 14;     // channel or option not a number or out of range

// Each grammar returns 0 or one of the codes above. Fields of `def` are
// written as parsing goes: a failure may leave some already written, and the
// host must not use a TagDef whose parse failed.
int16_t ParseVelkTag(const velk::TagConfig& config, velk::TagDef& def);
int16_t ParseData7810Tag(const velk::TagConfig& config, velk::TagDef& def);
int16_t ParseData7210Tag(const velk::TagConfig& config, velk::TagDef& def);

// What ParseTag hands the host, chosen by the module's family (Velk, Data7810 or Data7210).
struct TagParseResult {
  // 0 on success; on failure the error code (a Data7810 tag's failures
  // have always answered 1).
  int16_t result;
  // 0 on success, else the error code to leave pending.
  int16_t errorCode;
};

}  // namespace protocol

#endif
