#include "gateway_check.h"

#include <stdio.h>

#include <algorithm>

#include "core/gateway_config.h"
#include "core/journal_log.h"
#include "core/secret_file.h"
#include "exit_codes.h"
#include "http/http_settings.h"
#include "line_check.h"
#include "modbus/modbus_map.h"
#include "modbus/modbus_settings.h"
#include "mqtt/mqtt_settings.h"
#include "sparkplug/sparkplug_sections.h"

namespace velkd {
namespace {

struct Finding {
  size_t file = 0;  // index of its file; past the files: of none
  int line = 0;     // 0: of the whole file
  bool warning = false;
  std::string path;  // empty: of no file
  std::string message;
};

class Findings {
 public:
  explicit Findings(const std::vector<std::string>& files) : files_(files) {}

  void Add(const std::string& path, int line, const std::string& message, bool warning = false) {
    const size_t file = std::find(files_.begin(), files_.end(), path) - files_.begin();
    all_.push_back({file, line, warning, path, message});
  }
  void AddGeneral(const std::string& message) { all_.push_back({files_.size(), 0, false, std::string(), message}); }

  size_t problems() const {
    return static_cast<size_t>(std::count_if(all_.begin(), all_.end(), [](const Finding& f) { return !f.warning; }));
  }
  size_t warnings() const { return all_.size() - problems(); }

  // In file order, as an editor goes through them.
  void Print() {
    std::stable_sort(all_.begin(), all_.end(), [](const Finding& a, const Finding& b) {
      return a.file != b.file ? a.file < b.file : a.line < b.line;
    });
    for (const Finding& f : all_) {
      const Priority priority = f.warning ? kWarning : kError;
      const char* kind = f.warning ? "warning: " : "";
      if (f.path.empty())
        Log(priority, "%s%s", kind, f.message.c_str());
      else if (f.line > 0)
        Log(priority, "%s:%d: %s%s", f.path.c_str(), f.line, kind, f.message.c_str());
      else
        Log(priority, "%s: %s%s", f.path.c_str(), kind, f.message.c_str());
    }
  }

 private:
  const std::vector<std::string>& files_;
  std::vector<Finding> all_;
};

std::string Plural(size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

void BorrowBroker(const MqttSettings& mqtt, sparkplug::BrokerSettings* broker) {
  broker->url = mqtt.broker;
  broker->tls = mqtt.tls;
  broker->host = mqtt.host;
  broker->port = mqtt.port;
  broker->caFile = mqtt.caFile;
  broker->user = mqtt.user;
  broker->passwordFile = mqtt.passwordFile;
  broker->passwordEnv = mqtt.passwordEnv;
}

int CheckGateway(const CheckRequest& request, hostlib::DriverLibrary& library, bool libraryLoaded) {
  Findings findings(request.files);
  GatewayConfig config;
  MqttSettings mqtt;
  HttpSettings http;
  std::vector<ModbusLineSettings> modbus;  // per line
  MqttSections mqttSections(&mqtt);
  HttpSections httpSections(&http);
  ModbusSections modbusSections(&modbus);
  sparkplug::SparkplugSettings edge;
  SparkplugSections sparkplugSections(&edge);
  std::vector<FileProblem> fileProblems;
  LoadGatewayConfig(request.files, {&mqttSections, &httpSections, &modbusSections, &sparkplugSections}, &config,
                    &fileProblems);
  for (const FileProblem& p : fileProblems) findings.Add(p.path, p.line, p.message);
  std::string error;
  if (!request.broker.empty()) {
    if (ParseBrokerUrl(request.broker, &mqtt, &error))
      mqtt.on = true;
    else
      findings.AddGeneral("--broker: " + error);
  }
  if (!request.http.empty() && !ParseListen(request.http, &http, &error)) findings.AddGeneral("--http: " + error);
  if (edge.on && !edge.ownBroker) {
    if (mqtt.on)
      BorrowBroker(mqtt, &edge.broker);
    else
      findings.AddGeneral("[sparkplug] names no broker, and there is no [mqtt] or --broker to use instead");
  }
  const std::string httpProblem = HttpSettingsProblem(http);
  if (!httpProblem.empty()) findings.AddGeneral(httpProblem);

  // The driver judges what could be read even where a file has findings of
  // its own, so that one run names every problem.
  if (!libraryLoaded) findings.AddGeneral(library.error());
  std::vector<std::string> accepted;
  for (const LineFile& line : config.lines) {
    if (!libraryLoaded || !line.config.parsed) continue;
    std::unique_ptr<hostlib::DriverObject> driver = library.CreateDriver();
    if (driver == nullptr) {
      findings.AddGeneral(library.error());
      break;
    }
    hostlib::CheckedLine checked;
    std::vector<hostlib::ConfigProblem> problems, warnings;
    const bool lineOk = hostlib::CheckLine(driver->d, line.config, &checked, &problems, &warnings);
    for (const hostlib::ConfigProblem& w : warnings) findings.Add(line.config.path, w.line, w.message, true);
    for (const hostlib::ConfigProblem& p : problems) findings.Add(line.config.path, p.line, p.message);
    if (!lineOk) continue;
    size_t writable = 0;
    for (const TagRow& row : line.tags) writable += row.writable ? 1 : 0;
    const std::string port = !request.port.empty()           ? request.port
                             : line.config.port.name.empty() ? "(none: give --port)"
                                                             : line.config.port.name;
    accepted.push_back(line.config.path + ": line " + line.name + ", " + std::to_string(line.config.devices.size()) +
                       " devices, " + std::to_string(line.config.tags.size()) + " tags (" + std::to_string(writable) +
                       " writable), port " + port);
  }

  std::vector<ModbusMap> maps;
  std::vector<FileProblem> modbusProblems;
  BuildModbusMaps(config, modbus, request.modbus, true, &maps, &modbusProblems);
  for (const FileProblem& p : modbusProblems) findings.Add(p.path, p.line, p.message);
  // A file that cannot be read is named where it is set; its contents only
  // when it can.
  std::string password, token;
  if (mqtt.passwordFile.empty() && !ReadPassword(mqtt, &password, &error)) findings.AddGeneral(error);
  std::string unreadable;
  if ((http.tokenFile.empty() || NamedFileReadable("token_file", http.tokenFile, &unreadable)) &&
      !ReadHttpToken(http, &token, &error))
    findings.AddGeneral(error);

  if (edge.on && (edge.ownBroker || mqtt.on) && !ReadBrokerPassword(edge.broker, &password, &error))
    findings.AddGeneral("[sparkplug]: " + error);

  findings.Print();
  const size_t problems = findings.problems(), warnings = findings.warnings();
  const std::string files = Plural(request.files.size(), "file", "files");
  if (problems > 0) {
    Log(kError, "%s%s in %s; velkd would not start", Plural(problems, "problem", "problems").c_str(),
        warnings > 0 ? (", " + Plural(warnings, "warning", "warnings")).c_str() : "", files.c_str());
    return hostlib::kExitConfig;
  }
  for (const std::string& line : accepted) printf("%s\n", line.c_str());
  for (const ModbusMap& map : maps)
    if (map.served) printf("Modbus TCP on %s: %zu units\n", map.listen.c_str(), map.units.size());
  if (mqtt.on)
    printf("broker %s (%s:%d%s), topics under %s/\n", mqtt.broker.c_str(), mqtt.host.c_str(), mqtt.port,
           mqtt.tls ? ", TLS" : "", mqtt.prefix.c_str());
  if (http.on())
    printf("%s on %s%s\n", http.tls() ? "HTTPS" : "HTTP", http.where().c_str(), token.empty() ? "" : ", bearer token");
  if (edge.on)
    printf("Sparkplug B edge node %s/%s on %s\n", edge.groupId.c_str(), edge.edgeNodeId.c_str(),
           edge.broker.url.c_str());
  printf("no problems%s in %s\n", warnings > 0 ? (" (" + Plural(warnings, "warning", "warnings") + ")").c_str() : "",
         files.c_str());
  return hostlib::kExitOk;
}

}  // namespace velkd
