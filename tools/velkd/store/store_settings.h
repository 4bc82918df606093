// The [store] table of a line file: where velkd keeps the readings a face
// could not deliver while its far side was away, and how much of them.
//
//   [store]
//   path = "/var/lib/velkd"     # a folder; the store is readings.sqlite in it
//   size_limit_mib = 64         # the file and its log together, 1 to 65536
//
// Without a path: $STATE_DIRECTORY (set by the service's StateDirectory=),
// else $XDG_STATE_HOME/velkd, else ~/.local/state/velkd.
#ifndef VELKD_STORE_SETTINGS_H
#define VELKD_STORE_SETTINGS_H

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include <toml++/toml.h>

namespace velkd {

struct StoreSettings {
  std::string path;  // as written; empty: the default folder
  uint32_t sizeLimitMib = 64;

  uint64_t limitBytes() const { return static_cast<uint64_t>(sizeLimitMib) << 20; }
  bool operator==(const StoreSettings& other) const { return path == other.path && sizeLimitMib == other.sizeLimitMib; }
};

// Reads a [store] table; each problem is appended as (file line, message).
void ReadStoreTable(const toml::table& table, StoreSettings* settings,
                    std::vector<std::pair<int, std::string>>* problems);

// The store's file: readings.sqlite in the folder the settings name or the
// default one. Empty when there is none (no state folder, no home): the
// store then lives in memory.
std::string StoreFile(const StoreSettings& settings);

}  // namespace velkd

#endif
