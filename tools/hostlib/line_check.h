// Checks a line file the way the host checks what a person configured: every
// module type through GetRegisterTable, every device address through
// ParseDeviceAddress and every tag through ParseTag, with the driver's own
// error texts.
#ifndef VELK_HOSTLIB_LINE_CHECK_H
#define VELK_HOSTLIB_LINE_CHECK_H

#include <string>
#include <vector>

#include "driver_library.h"
#include "line_config.h"
#include "module_names.h"
#include "velk4000/velk4000.h"

namespace hostlib {

// The host's records of a checked line, index for index with the file's
// devices and tags.
struct CheckedLine {
  std::vector<velk::DeviceRecord> devices;
  std::vector<velk::TagDef> tags;
};

// The driver's text for the error it has pending, or a note that it gave none.
std::string PendingErrorText(velk::IDriver* driver);

// "unknown module type 'X': ...", with the type meant
// when one is close.
std::string UnknownTypeText(const std::string& type);
// ParseTag's codes for a channel out of range and a data type the register
// does not take.
const int16_t kErrorChannel = 14;
const int16_t kErrorDataType = 13;

// What ParseTag's `code` for `address` as `dataType` means for this
// register: " (did you mean 'AI3'?)" when the register is not one of the
// type's and an address that exists is close; " (NVALUE has channels 1 to
// 6: ...)" for a channel out of range; " (EC takes word)" for a data type
// it does not take; "" otherwise.
std::string RegisterHint(velk::IDriver* driver, const std::string& moduleType, const std::string& address,
                         int16_t dataType, int16_t code);

// Fills the host's TagConfig from texts, cut to the record's fields as the
// host cuts them.
velk::TagConfig MakeTagConfig(const std::string& moduleType, const std::string& address, int16_t dataType);

// Checks every device and tag. Problems (rejections with their error code
// and text) and warnings (accepted but likely not meant) are appended; the
// result is false when anything was rejected.
bool CheckLine(velk::IDriver* driver, const LineConfig& config, CheckedLine* checked,
               std::vector<ConfigProblem>* problems, std::vector<ConfigProblem>* warnings);

}  // namespace hostlib

#endif
