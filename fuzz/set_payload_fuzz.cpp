// What arrives on a tag's MQTT "set" topic, for every type a tag can have
// and the fixed fields the write commands carry. A payload taken must give
// a value the driver can encode for that type, and one outside a fixed
// field (or starting with a byte-order mark) is never taken.
#include <stdint.h>

#include <string>

#include "fuzz/fuzz_input.h"
#include "mqtt/write_request.h"
#include "value_format.h"
#include "velk4000/velk4000.h"
#include "write_field.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int16_t kTypes[] = {velk::kTypeBit,  velk::kTypeByte,  velk::kTypeShort,  velk::kTypeWord,
                                   velk::kTypeLong, velk::kTypeFloat, velk::kTypeString, 0x0040};
  static const char* const kFields[][2] = {
      {"Velk4021", "AO"}, {"Velk4024", "SC"}, {"Velk4017", "AHI"}, {"Velk4018", "CJCOFF"}, {"Velk4050", "DO"}};
  fuzz::FuzzInput in(data, size);
  const int16_t type = in.Pick(kTypes);
  const uint8_t which = in.Byte();
  const hostlib::WriteField* field =
      which < 5 * 40 ? hostlib::WriteFieldOf(kFields[which % 5][0], kFields[which % 5][1]) : nullptr;
  const std::string payload = in.Rest();
  velk::ValueSlot slot;
  std::string text;
  std::string reason;
  if (!velkd::ParseWritePayload(payload, type, field, &slot, &text, &reason)) {
    if (reason.empty()) __builtin_trap();
    return 0;
  }
  if (text.empty() || payload.compare(0, 3, "\xEF\xBB\xBF") == 0) __builtin_trap();
  velk::ValueSlot again;
  std::string error;
  if (!hostlib::EncodeValue(text, type, &again, &error)) __builtin_trap();
  if (field != nullptr && !hostlib::FitsWriteField(*field, strtod(text.c_str(), nullptr), &error)) __builtin_trap();
  return 0;
}
