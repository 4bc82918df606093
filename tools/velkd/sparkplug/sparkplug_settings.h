// The [sparkplug] table of a line file: velkd as a Sparkplug B edge node.
//
//   [sparkplug]
//   group_id = "plant1"
//   edge_node_id = "velkd-hall2"
//   primary_host_id = "scada1"          # optional: births wait for it
//   bdseq_file = "/var/lib/velkd/sparkplug-bdseq"   # optional
//   # The broker of [mqtt], unless these name another:
//   broker = "mqtts://broker.example:8883"
//   ca_file = "/etc/ssl/certs/ca-certificates.crt"
//   user = "edge"
//   password_file = "/etc/velkd/sparkplug-password"  # or password_env
#ifndef VELKD_SPARKPLUG_SETTINGS_H
#define VELKD_SPARKPLUG_SETTINGS_H

#include <string>
#include <utility>
#include <vector>

#include <toml++/toml.h>

namespace velkd::sparkplug {

struct BrokerSettings {
  std::string url;  // as written
  bool tls = false;
  std::string host;
  int port = 0;
  std::string caFile;
  std::string user;
  std::string passwordFile;
  std::string passwordEnv;

  bool operator==(const BrokerSettings& other) const;
};

struct SparkplugSettings {
  bool on = false;  // the file has [sparkplug]
  std::string groupId;
  std::string edgeNodeId;
  std::string primaryHostId;  // empty: none
  std::string bdSeqFile = "/var/lib/velkd/sparkplug-bdseq";
  // Its own broker; when false, the one [mqtt] names.
  bool ownBroker = false;
  BrokerSettings broker;

  bool operator==(const SparkplugSettings& other) const;
};

// Reads a [sparkplug] table; each problem is appended as (file line,
// message). Ids must stand as one topic level and hold none of + # /.
void ReadSparkplugTable(const toml::table& table, SparkplugSettings* settings,
                        std::vector<std::pair<int, std::string>>* problems);

}  // namespace velkd::sparkplug

#endif
