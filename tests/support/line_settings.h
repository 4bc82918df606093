// Line settings and checksummed answers as tests need them.
#ifndef VELK_TESTS_SUPPORT_LINE_SETTINGS_H
#define VELK_TESTS_SUPPORT_LINE_SETTINGS_H

#include <stdio.h>
#include <string.h>

#include <string>

#include "velk4000/velk4000.h"

namespace testsupport {

// 8 data bits, no parity, one stop bit; the name is cut to the host's field.
inline velk::PortSettings MakeSettings(const char* name = "COM1", uint32_t baud = 9600, int16_t timeoutMs = 100) {
  velk::PortSettings s;
  memset(&s, 0, sizeof s);
  memcpy(s.portName, name, strnlen(name, sizeof s.portName - 1));
  s.baudRate = baud;
  s.dataBits = 8;
  s.stopBits = 1;
  s.timeoutMs = timeoutMs;
  return s;
}

// `text` followed by its checksum characters and the carriage return, as a
// module that uses checksums sends it.
inline std::string WithChecksum(const std::string& text) {
  unsigned sum = 0;
  for (unsigned char c : text) sum += c;
  char hex[3];
  snprintf(hex, sizeof hex, "%02X", sum & 0xFF);
  return text + hex + "\r";
}

}  // namespace testsupport

#endif
