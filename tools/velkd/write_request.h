// What arrives on a tag's "set" topic, turned into the value text the
// tag's type is checked against, and the JSON of the write's outcome.
#ifndef VELKD_WRITE_REQUEST_H
#define VELKD_WRITE_REQUEST_H

#include <string>

namespace velkd {

// A payload is a number ("12.5"), a text ("OPEN" or "\"OPEN\""), true or
// false (1 or 0), or {"value": ...} holding one of these. Returns false
// with a reason for anything else (an empty or over-long payload, another
// JSON shape).
bool WriteValueText(const std::string& payload, std::string* text, std::string* reason);

// {"ok": true|false, "value": "12.5", "reason": null|"...", "ts": "..."}
std::string WriteResultJson(bool ok, const std::string& value, const std::string& reason, const std::string& ts);

}  // namespace velkd

#endif
