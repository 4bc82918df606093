// What velkd serves, read from the line files velkhost reads: each file's
// line (port, devices, tags) plus the [gateway] table, which names the line
// in topics, its poll intervals and the tags that may be written. Each face
// reads its own tables of the same files through FileSections ([mqtt]:
// mqtt_settings.h, [modbus]: modbus_settings.h, [http]: http_settings.h).
// [store], where the core keeps readings a face could not deliver, is the
// core's own: store_settings.h.
//
//   [gateway]
//   line = "bus1"                       # the line's topic level (default: file name)
//   interval_ms = 1000                  # every tag's poll interval ...
//   device_interval_ms = { thermo = 5000 }   # ... unless its device ...
//   tag_interval_ms = { pressure = 250 }     # ... or the tag names another
//   writable = ["relay3", "valve_position"]
#ifndef VELKD_GATEWAY_CONFIG_H
#define VELKD_GATEWAY_CONFIG_H

#include <stddef.h>

#include <string>
#include <vector>

#include <toml++/toml.h>

#include "core/tag_row.h"
#include "line_config.h"
#include "store/store_settings.h"

namespace velkd {

struct LineFile {
  hostlib::LineConfig config;  // as the driver takes it
  std::string name;            // the line's topic level
  std::string text;            // the file as read: a reload keeps an unchanged line
  std::vector<TagRow> tags;    // one per tag of config.tags, in the file's order
};

struct GatewayConfig {
  std::vector<LineFile> lines;
  StoreSettings store;  // [store]: readings kept while a face's far side is away
};

// A finding in one of the files (line 0: the file as a whole).
struct FileProblem {
  std::string path;
  int line = 0;
  std::string message;
};

// A face's own tables of the line files. Read is called for every file in
// turn, once its line is read; `line` counts the lines read so far.
class FileSections {
 public:
  virtual ~FileSections() = default;
  virtual void Read(size_t line, const LineFile& lineFile, const toml::table& root,
                    std::vector<FileProblem>* problems) = 0;
};

// Reads every file, and hands each to every one of `sections`. Returns false
// when anything is wrong; every problem found is appended.
bool LoadGatewayConfig(const std::vector<std::string>& paths, const std::vector<FileSections*>& sections,
                       GatewayConfig* config, std::vector<FileProblem>* problems);

// True when `name` can stand as one topic level: UTF-8, not empty, no '/',
// '+', '#' or control characters, not starting with '$'. Line, device and
// tag names keep to it whatever faces are on, so that turning MQTT on never
// finds a name it cannot publish.
bool TopicLevelOk(const std::string& name);

}  // namespace velkd

#endif
