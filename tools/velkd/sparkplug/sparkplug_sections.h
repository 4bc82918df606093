// The [sparkplug] table as velkd reads it from its line files, beside the
// other faces' tables: the first file that has one sets it, a later one that
// says otherwise is a problem, and no two devices of the files may share a
// Sparkplug device id.
#ifndef VELKD_SPARKPLUG_SECTIONS_H
#define VELKD_SPARKPLUG_SECTIONS_H

#include <string>
#include <vector>

#include "core/gateway_config.h"
#include "sparkplug/edge_node.h"
#include "sparkplug/sparkplug_settings.h"

namespace velkd {

class SparkplugSections : public FileSections {
 public:
  explicit SparkplugSections(sparkplug::SparkplugSettings* settings) : settings_(settings) {}
  void Read(size_t line, const LineFile& lineFile, const toml::table& root,
            std::vector<FileProblem>* problems) override;

 private:
  sparkplug::SparkplugSettings* settings_;
  std::string from_;                         // the file that set it
  std::vector<sparkplug::DeviceFacts> ids_;  // every device so far, by id alone
  bool duplicateSaid_ = false;
};

// The broker password [sparkplug] (or the [mqtt] it borrows) names; empty
// when it names none. False with a reason when the named source is missing.
bool ReadBrokerPassword(const sparkplug::BrokerSettings& broker, std::string* password, std::string* error);

}  // namespace velkd

#endif
