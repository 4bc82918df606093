#include "toml_reader.h"

#include "did_you_mean.h"

namespace hostlib {

int LineOf(const toml::node& node) { return static_cast<int>(node.source().begin.line); }

void TomlReader::CheckKeys(const toml::table& table, std::initializer_list<const char*> allowed,
                           const std::string& where) {
  for (auto&& [key, node] : table) {
    bool known = false;
    for (const char* name : allowed) known = known || key.str() == name;
    if (known) continue;
    std::string choices;
    for (const char* name : allowed) choices += std::string(choices.empty() ? "" : ", ") + name;
    Problem(LineOf(node),
            "unknown key '" + std::string(key.str()) + "' in " + where + " (known: " + choices + ")" +
                DidYouMean(std::string(key.str()), std::vector<std::string>(allowed.begin(), allowed.end())));
  }
}

bool TomlReader::String(const toml::table& table, const char* key, const std::string& where, std::string* out,
                        bool required) {
  const toml::node* node = table.get(key);
  if (node == nullptr) {
    if (required) Problem(LineOf(table), where + " has no " + key);
    return false;
  }
  if (!node->is_string()) {
    Problem(LineOf(*node), std::string(key) + " of " + where + " must be a text in quotes");
    return false;
  }
  *out = node->as_string()->get();
  return true;
}

bool TomlReader::Integer(const toml::node& node, const std::string& what, int64_t low, int64_t high, int64_t* out) {
  if (!node.is_integer()) {
    Problem(LineOf(node), what + " must be a whole number");
    return false;
  }
  const int64_t value = node.as_integer()->get();
  if (value < low || value > high) {
    Problem(LineOf(node), what + " is " + std::to_string(value) + ", accepted " + std::to_string(low) + " to " +
                              std::to_string(high));
    return false;
  }
  *out = value;
  return true;
}

bool TomlReader::Integer(const toml::table& table, const char* key, const std::string& where, int64_t low, int64_t high,
                         int64_t* out) {
  const toml::node* node = table.get(key);
  return node != nullptr && Integer(*node, std::string(key) + " of " + where, low, high, out);
}

bool TomlReader::Boolean(const toml::table& table, const char* key, const std::string& what, bool* out) {
  const toml::node* node = table.get(key);
  if (node == nullptr) return false;
  if (!node->is_boolean()) {
    Problem(LineOf(*node), what + " must be true or false");
    return false;
  }
  *out = node->as_boolean()->get();
  return true;
}

}  // namespace hostlib
