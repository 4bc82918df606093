#include "mqtt/write_request.h"

#include <errno.h>
#include <math.h>
#include <stdlib.h>

#include <nlohmann/json.hpp>

#include "data_types.h"
#include "value_format.h"

namespace velkd {
namespace {

// More than any value of a tag's type needs.
const size_t kMaxPayload = 256;

// The one value a payload holds, with the text it was written as: a scalar,
// or {"value": scalar}. Anything else (arrays, other keys, nesting) is
// refused by returning false from the handler, which ends the parse.
struct Scalar {
  enum Kind { kNone, kBool, kInteger, kFloat, kText, kNull } kind = kNone;
  bool boolean = false;
  std::string raw;    // the number as written
  std::string shape;  // why the shape was refused
};

class ScalarHandler : public nlohmann::json_sax<nlohmann::json> {
 public:
  explicit ScalarHandler(Scalar* out) : out_(out) {}

  bool null() override { return Take(Scalar::kNull, ""); }
  bool boolean(bool value) override {
    out_->boolean = value;
    return Take(Scalar::kBool, value ? "true" : "false");
  }
  bool number_integer(number_integer_t value) override { return Take(Scalar::kInteger, std::to_string(value)); }
  bool number_unsigned(number_unsigned_t value) override { return Take(Scalar::kInteger, std::to_string(value)); }
  bool number_float(number_float_t, const string_t& raw) override { return Take(Scalar::kFloat, raw); }
  bool string(string_t& value) override { return Take(Scalar::kText, value); }
  bool binary(binary_t&) override { return Refuse("binary"); }
  bool start_object(std::size_t) override {
    if (depth_ != 0 || out_->kind != Scalar::kNone) return Refuse("an object inside another value");
    ++depth_;
    inObject_ = true;
    return true;
  }
  bool key(string_t& name) override {
    if (name != "value" || sawKey_) return Refuse("an object with keys other than \"value\"");
    sawKey_ = true;
    return true;
  }
  bool end_object() override {
    --depth_;
    if (out_->kind == Scalar::kNone) return Refuse("an object without \"value\"");
    return true;
  }
  bool start_array(std::size_t) override { return Refuse("a list"); }
  bool end_array() override { return false; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

 private:
  bool Take(Scalar::Kind kind, const std::string& raw) {
    if (out_->kind != Scalar::kNone || (inObject_ && depth_ == 0)) return Refuse("more than one value");
    out_->kind = kind;
    out_->raw = raw;
    return true;
  }
  bool Refuse(const char* shape) {
    out_->shape = shape;
    return false;
  }

  Scalar* out_;
  int depth_ = 0;
  bool inObject_ = false;
  bool sawKey_ = false;
};

// What a tag of `dataType` takes, for the reason of a refusal.
std::string Expected(int16_t dataType, const hostlib::WriteField* field) {
  std::string what;
  switch (dataType) {
    case velk::kTypeBit: what = "0, 1, true or false"; break;
    case velk::kTypeByte: what = "a whole number from 0 to 255"; break;
    case velk::kTypeShort: what = "a whole number from -32768 to 32767"; break;
    case velk::kTypeWord: what = "a whole number from 0 to 4294967295"; break;
    case velk::kTypeLong: what = "a whole number from -2147483648 to 2147483647"; break;
    case velk::kTypeFloat: what = "a finite number such as 12.5"; break;
    default: return "nothing: no module register takes a written value of this type";
  }
  if (field != nullptr) what += " (the command carries it in " + std::string(field->description) + ")";
  return "expected " + what + ", or {\"value\": ...} holding it";
}

}  // namespace

bool ParseWritePayload(const std::string& payload, int16_t dataType, const hostlib::WriteField* field,
                       velk::ValueSlot* slot, std::string* text, std::string* reason) {
  const std::string expected = Expected(dataType, field);
  if (payload.size() > kMaxPayload) {
    *reason = "payload longer than " + std::to_string(kMaxPayload) + " bytes; " + expected;
    return false;
  }
  if (payload.find_first_not_of(" \t\r\n") == std::string::npos) {
    *reason = "empty payload; " + expected;
    return false;
  }
  // The parser takes a NUL byte for the end of its input; a payload is
  // taken whole or not at all.
  if (payload.find('\0') != std::string::npos) {
    *reason = "the payload holds a NUL byte; " + expected;
    return false;
  }
  // The parser skips a byte-order mark; a value is sent as bare JSON, and
  // bytes before it mean something other than what was parsed was meant.
  if (payload.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    *reason = "the payload starts with a byte-order mark; " + expected;
    return false;
  }
  Scalar scalar;
  ScalarHandler handler(&scalar);
  const bool parsed = nlohmann::json::sax_parse(payload, &handler, nlohmann::json::input_format_t::json, true, false);
  if (!parsed) {
    *reason = (scalar.shape.empty() ? std::string("not JSON") : "not a value: " + scalar.shape) + "; " + expected;
    return false;
  }
  if (scalar.kind == Scalar::kText || scalar.kind == Scalar::kNull) {
    *reason = std::string(scalar.kind == Scalar::kText ? "a text" : "null") + "; " + expected;
    return false;
  }
  std::string value;
  if (dataType == velk::kTypeBit) {
    if (scalar.kind == Scalar::kBool)
      value = scalar.boolean ? "1" : "0";
    else if (scalar.kind == Scalar::kInteger && (scalar.raw == "0" || scalar.raw == "1"))
      value = scalar.raw;
    else {
      *reason = expected;
      return false;
    }
  } else if (scalar.kind == Scalar::kBool) {
    *reason = "true or false is for bits; " + expected;
    return false;
  } else if (dataType == velk::kTypeFloat) {
    errno = 0;
    const double number = strtod(scalar.raw.c_str(), nullptr);
    const float single = static_cast<float>(number);
    if (errno == ERANGE || !isfinite(number) || !isfinite(single) || (number != 0.0 && single == 0.0f) ||
        (number != 0.0 && fabs(number) < 1.17549435e-38)) {
      *reason = scalar.raw + " does not fit a float (overflow or underflow); " + expected;
      return false;
    }
    if (field != nullptr && !hostlib::FitsWriteField(*field, number, reason)) {
      *reason = scalar.raw + ": " + *reason;
      return false;
    }
    value = scalar.raw;
  } else {
    if (scalar.kind != Scalar::kInteger) {
      *reason = scalar.raw + " is not a whole number; " + expected;
      return false;
    }
    if (field != nullptr && !hostlib::FitsWriteField(*field, strtod(scalar.raw.c_str(), nullptr), reason)) {
      *reason = scalar.raw + ": " + *reason;
      return false;
    }
    value = scalar.raw;
  }
  std::string error;
  if (!hostlib::EncodeValue(value, dataType, slot, &error)) {
    *reason = value + " is out of range; " + expected;
    return false;
  }
  *text = value;
  return true;
}

std::string WriteResultJson(bool ok, const std::string& value, const std::string& reason, const std::string& ts) {
  nlohmann::ordered_json result;
  result["ok"] = ok;
  result["value"] = value;
  result["reason"] = ok ? nlohmann::ordered_json() : nlohmann::ordered_json(reason);
  result["ts"] = ts.empty() || ts == "-" ? hostlib::FileTimeIso(hostlib::FileTimeNowHost()) : ts;
  return result.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace velkd
