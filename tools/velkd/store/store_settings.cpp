#include "store/store_settings.h"

#include <stdlib.h>

namespace velkd {
namespace {

int LineOf(const toml::node& node) { return static_cast<int>(node.source().begin.line); }

std::string Environment(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

void ReadStoreTable(const toml::table& table, StoreSettings* settings,
                    std::vector<std::pair<int, std::string>>* problems) {
  for (auto&& [key, node] : table)
    if (key.str() != "path" && key.str() != "size_limit_mib")
      problems->push_back(
          {LineOf(node), "unknown key '" + std::string(key.str()) + "' in [store] (known: path, size_limit_mib)"});
  if (const toml::node* node = table.get("path")) {
    if (!node->is_string() || node->as_string()->get().empty())
      problems->push_back({LineOf(*node), "path of [store] must be a folder in quotes"});
    else if (node->as_string()->get()[0] != '/')
      problems->push_back({LineOf(*node), "path of [store] must be an absolute folder ('" + node->as_string()->get() +
                                              "' depends on where velkd starts)"});
    else
      settings->path = node->as_string()->get();
  }
  if (const toml::node* node = table.get("size_limit_mib")) {
    const std::optional<int64_t> value = node->value_exact<int64_t>();
    if (!value || *value < 1 || *value > 65536)
      problems->push_back({LineOf(*node), "size_limit_mib of [store] must be a whole number from 1 to 65536"});
    else
      settings->sizeLimitMib = static_cast<uint32_t>(*value);
  }
}

std::string StoreFile(const StoreSettings& settings) {
  std::string folder = settings.path;
  if (folder.empty()) {
    // systemd names one folder per StateDirectory= entry, separated by ':'.
    const std::string state = Environment("STATE_DIRECTORY");
    const std::string xdg = Environment("XDG_STATE_HOME");
    const std::string home = Environment("HOME");
    if (!state.empty())
      folder = state.substr(0, state.find(':'));
    else if (!xdg.empty() && xdg[0] == '/')
      folder = xdg + "/velkd";
    else if (!home.empty())
      folder = home + "/.local/state/velkd";
  }
  if (folder.empty()) return "";
  if (folder.back() == '/') folder.pop_back();
  return folder + "/readings.sqlite";
}

}  // namespace velkd
