// Reading a person's TOML file: every finding names the line of the value
// (or of its table when the value is missing), unknown keys list the known
// ones, and numbers are checked against their range. The line files and the
// gateway's own tables are read with it.
#ifndef VELK_HOSTLIB_TOML_READER_H
#define VELK_HOSTLIB_TOML_READER_H

#include <stdint.h>

#include <initializer_list>
#include <string>
#include <toml++/toml.h>
#include <vector>

namespace hostlib {

// One finding about a file, at a line of it (0: the file as a whole).
struct ConfigProblem {
  int line = 0;
  std::string message;
};

int LineOf(const toml::node& node);

class TomlReader {
 public:
  explicit TomlReader(std::vector<ConfigProblem>* problems) : problems_(problems) {}

  void Problem(int line, const std::string& message) { problems_->push_back({line, message}); }

  // A problem for every key of `table` not in `allowed`; `where` such as "[port]".
  void CheckKeys(const toml::table& table, std::initializer_list<const char*> allowed, const std::string& where);

  // The text under `key`; false when it is missing (a problem when
  // `required`) or not a text (a problem).
  bool String(const toml::table& table, const char* key, const std::string& where, std::string* out,
              bool required = false);

  // A whole number from `low` to `high`; false with a problem otherwise.
  // `what` names the value in the message, e.g. "baud of [port]".
  bool Integer(const toml::node& node, const std::string& what, int64_t low, int64_t high, int64_t* out);
  // The same for `key` of `table`; false without a problem when it is missing.
  bool Integer(const toml::table& table, const char* key, const std::string& where, int64_t low, int64_t high,
               int64_t* out);

  // true or false under `key`; false without a problem when it is missing.
  bool Boolean(const toml::table& table, const char* key, const std::string& what, bool* out);

 private:
  std::vector<ConfigProblem>* problems_;
};

}  // namespace hostlib

#endif
