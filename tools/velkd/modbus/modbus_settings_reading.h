// Reading the Modbus settings of one line file (see modbus_settings.h).
#ifndef VELKD_MODBUS_SETTINGS_READING_H
#define VELKD_MODBUS_SETTINGS_READING_H

#include <toml++/toml.h>

#include <string>
#include <vector>

#include "core/gateway_config.h"

namespace velkd {

// Reads [modbus], each [[device]]'s modbus_unit and each [[tag]]'s modbus
// from `root`, the file at `path` whose devices and tags `config` holds in
// the file's order. Every problem is appended.
void ReadModbusSettings(const std::string& path, const toml::table& root, const hostlib::LineConfig& config,
                        ModbusLineSettings* settings, std::vector<FileProblem>* problems);

}  // namespace velkd

#endif
