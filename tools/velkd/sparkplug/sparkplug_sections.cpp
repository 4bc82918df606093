#include "sparkplug/sparkplug_sections.h"

#include "core/secret_file.h"
#include "sparkplug/sparkplug_topics.h"

namespace velkd {

void SparkplugSections::Read(size_t, const LineFile& lineFile, const toml::table& root,
                             std::vector<FileProblem>* problems) {
  for (size_t d = 0; d < lineFile.config.devices.size(); ++d)
    ids_.push_back({sparkplug::DeviceId(lineFile.name, lineFile.config.devices[d].name, d), {}});
  if (const toml::node* node = root.get("sparkplug")) {
    const int at = static_cast<int>(node->source().begin.line);
    if (const toml::table* table = node->as_table()) {
      sparkplug::SparkplugSettings read;
      std::vector<std::pair<int, std::string>> found;
      sparkplug::ReadSparkplugTable(*table, &read, &found);
      for (const auto& [line, message] : found) problems->push_back({lineFile.config.path, line, message});
      if (from_.empty()) {
        *settings_ = read;
        from_ = lineFile.config.path;
      } else if (!(read == *settings_)) {
        problems->push_back({lineFile.config.path, at,
                             "[sparkplug] differs from the one in " + from_ + "; one velkd is one edge node"});
      }
    } else {
      problems->push_back({lineFile.config.path, at, "'sparkplug' must be a [sparkplug] section"});
    }
  }
  // Said once, in the file that made the ids meet (or that turned the face
  // on after they met).
  if (settings_->on && !duplicateSaid_) {
    const std::string shared = sparkplug::DuplicateDeviceId(ids_);
    if (!shared.empty()) {
      duplicateSaid_ = true;
      problems->push_back({lineFile.config.path, 0,
                           "two devices would both be Sparkplug device '" + shared +
                               "', which a host could not tell apart; rename a line or a device"});
    }
  }
}

bool ReadBrokerPassword(const sparkplug::BrokerSettings& broker, std::string* password, std::string* error) {
  return ReadPasswordFrom(broker.passwordEnv, broker.passwordFile, password, error);
}

}  // namespace velkd
