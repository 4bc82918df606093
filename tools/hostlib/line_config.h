// The line file: one serial line with its settings, its devices and their
// tags, as a person writes it in TOML. Reading it checks only its own shape
// (names, kinds, ranges); what the driver accepts is checked by line_check.
#ifndef VELK_HOSTLIB_LINE_CONFIG_H
#define VELK_HOSTLIB_LINE_CONFIG_H

#include <stdint.h>

#include <string>
#include <vector>

#include "toml_reader.h"

namespace hostlib {

struct PortConfig {
  std::string name;  // empty: given on the command line or by --simulate
  uint32_t baud = 9600;
  uint8_t dataBits = 8;
  uint8_t parity = 0;  // 0 none, 1 odd, 2 even, 3 mark, 4 space
  int16_t stopBits = 1;
  int16_t timeoutMs = 1000;
  bool hasPollDelay = false;
  uint16_t pollDelayMs = 0;
};

// How the host programs hold back a module that does not answer ([line] of
// the file). The driver itself knows nothing of it.
struct BackoffSettings {
  // Packets in a row without any answer before a device is offline; 0: never.
  uint32_t offlineAfter = 3;
  // The longest wait between two tries of an offline device.
  uint32_t retryMaxMs = 30000;
};

struct DeviceEntry {
  std::string name;
  std::string type;     // module type name, e.g. "Velk4017"
  std::string address;  // device address text, e.g. "1" or "3.1"
  int line = 0;
};

struct TagEntry {
  std::string name;
  std::string device;
  size_t deviceIndex = 0;
  std::string address;  // tag address text, e.g. "AI3"
  int16_t dataType = 0;
  bool poll = true;  // false: a tag that is only written
  int line = 0;
};

struct LineConfig {
  std::string path;
  PortConfig port;
  BackoffSettings backoff;
  std::vector<DeviceEntry> devices;
  std::vector<TagEntry> tags;
  bool hasSimulation = false;
  int simulationLine = 0;
  bool parsed = false;  // the file was read as TOML: its entries may be checked further

  // Index of the device or tag of that name, or -1.
  int FindDevice(const std::string& name) const;
  int FindTag(const std::string& name) const;
};

// Reads and checks the file at `path`. Returns false when the file cannot
// be read or has problems; every problem found is appended.
bool LoadLineConfig(const std::string& path, LineConfig* config, std::vector<ConfigProblem>* problems);

// "none", "odd", "even", "mark", "space" for the parity codes 0..4 of
// PortSettings, the one spelling every tool reads and writes.
const char* ParityName(uint8_t parity);
// The code of a parity name, in any case; false for anything else.
bool ParityFromName(const std::string& name, uint8_t* parity);
std::vector<std::string> ParityNames();
// "none, odd, even, mark, space": for messages.
extern const char kParityChoices[];

}  // namespace hostlib

#endif
