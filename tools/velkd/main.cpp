// velkd: polls serial lines through the driver library and publishes their
// values to an MQTT broker ("set" topics write back) and serves them as
// Modbus TCP units.
#include <mosquitto.h>
#include <signal.h>
#include <stdio.h>

#include <CLI/CLI.hpp>

#include "core/gateway.h"
#include "core/gateway_config.h"
#include "core/journal_log.h"
#include "core/service_notify.h"
#include "core/store_face.h"
#include "driver_library.h"
#include "gateway_check.h"
#include "exit_codes.h"
#include "http/http_server.h"
#include "http/http_settings.h"
#include "line_check.h"
#include "line_setup.h"
#include "modbus/modbus_face.h"
#include "modbus/modbus_settings.h"
#include "mqtt/mqtt_face.h"
#include "mqtt/mqtt_settings.h"
#include "sparkplug/sparkplug_face.h"
#include "sparkplug/sparkplug_sections.h"
#include "stop_signal.h"
#include "version_text.h"

namespace {

const char kDescription[] =
    "velkd polls the serial lines described in line files (the files velkhost reads) through the driver library\n"
    "and publishes every tag to an MQTT broker as PREFIX/LINE/DEVICE/TAG, retained, with device states under\n"
    "PREFIX/LINE/DEVICE/$state and its own under PREFIX/$state. Payloads sent to PREFIX/LINE/DEVICE/TAG/set\n"
    "write tags listed in [gateway] writable; the outcome goes to .../set/result.\n"
    "With --modbus or [modbus] listen, every device is also a Modbus TCP unit (see --modbus-map).\n"
    "A file without [mqtt], run without --broker, runs without MQTT.\n"
    "With --http or [http] listen, /metrics serves Prometheus and / a live page of every line.\n"
    "With [sparkplug], velkd is also a Sparkplug B edge node (spBv1.0/GROUP/.../NODE), one device per module.\n"
    "While the broker is away every change is kept on disk ([store]) and sent after the reconnect.\n"
    "SIGHUP reads the files again (lines whose file did not change run on); SIGTERM publishes everything\n"
    "offline and ends. Log lines go to standard error with their priority (<4>velkd: ...), after a time stamp\n"
    "when standard error is not the journal.\n";

const char kFooter[] =
    "\nExamples:\n"
    "  velkd " VELK_CONFIG_DIR
    "/gateway.toml\n"
    "  velkd --check " VELK_CONFIG_DIR
    "/gateway.toml other-line.toml\n"
    "  velkd " VELK_CONFIG_DIR
    "/gateway.toml --port /dev/pts/7 --broker mqtt://127.0.0.1:1883\n"
    "  mosquitto_sub -v -t 'velk/#'\n"
    "  velkd --modbus-map " VELK_CONFIG_DIR
    "/gateway.toml\n"
    "  velkd " VELK_CONFIG_DIR
    "/gateway.toml --port /dev/pts/7 --modbus 127.0.0.1:1502\n"
    "  mbpoll -m tcp -p 1502 -a 2 -t 3:float -B -r 1 -c 2 127.0.0.1   # -B: high word first\n"
    "  velkd " VELK_CONFIG_DIR
    "/gateway.toml --http 127.0.0.1:9464   # then http://127.0.0.1:9464/\n"
    "\nExit status: 0 stopped as asked (SIGTERM, Ctrl-C) or --check found nothing wrong, 2 a file, the library\n"
    "or the command line is wrong. A line that fails keeps being retried, never an exit; as a service's, a\n"
    "requested stop is a success.\n";

using hostlib::kExitConfig;
using hostlib::kExitOk;

struct Options {
  std::vector<std::string> files;
  bool check = false;
  std::string broker;
  std::string http;
  std::string port;
  std::string library;
  std::string modbus;
  bool modbusMap = false;
};

bool LoadLibrary(const Options& options, hostlib::DriverLibrary* library) {
  const bool loaded = options.library.empty() ? library->LoadDefault() : library->LoadPath(options.library);
  if (!loaded) velkd::Log(velkd::kError, "%s", library->error().c_str());
  return loaded;
}

// Everything the files say: the lines, and each face's own tables.
struct Files {
  velkd::GatewayConfig lines;
  velkd::MqttSettings mqtt;
  velkd::HttpSettings http;
  std::vector<velkd::ModbusLineSettings> modbus;  // per line
  velkd::sparkplug::SparkplugSettings sparkplug;
};

// Reads the files with the command line's overrides; logs every problem.
bool ReadConfig(const Options& options, Files* config) {
  std::vector<velkd::FileProblem> problems;
  velkd::MqttSections mqtt(&config->mqtt);
  velkd::HttpSections http(&config->http);
  velkd::ModbusSections modbus(&config->modbus);
  velkd::SparkplugSections sparkplug(&config->sparkplug);
  const bool ok =
      velkd::LoadGatewayConfig(options.files, {&mqtt, &http, &modbus, &sparkplug}, &config->lines, &problems);
  for (const velkd::FileProblem& p : problems) {
    if (p.line > 0)
      velkd::Log(velkd::kError, "%s:%d: %s", p.path.c_str(), p.line, p.message.c_str());
    else
      velkd::Log(velkd::kError, "%s: %s", p.path.c_str(), p.message.c_str());
  }
  if (!ok) return false;
  if (!options.broker.empty()) {
    std::string error;
    if (!velkd::ParseBrokerUrl(options.broker, &config->mqtt, &error)) {
      velkd::Log(velkd::kError, "--broker: %s", error.c_str());
      return false;
    }
    config->mqtt.on = true;
  }
  if (config->sparkplug.on && !config->sparkplug.ownBroker) {
    if (!config->mqtt.on) {
      velkd::Log(velkd::kError, "[sparkplug] names no broker, and there is no [mqtt] or --broker to use instead");
      return false;
    }
    velkd::BorrowBroker(config->mqtt, &config->sparkplug.broker);
  }
  if (!options.http.empty()) {
    std::string error;
    if (!velkd::ParseListen(options.http, &config->http, &error)) {
      velkd::Log(velkd::kError, "--http: %s", error.c_str());
      return false;
    }
  }
  const std::string httpProblem = velkd::HttpSettingsProblem(config->http);
  if (!httpProblem.empty()) {
    velkd::Log(velkd::kError, "%s", httpProblem.c_str());
    return false;
  }
  return true;
}

int Check(const Options& options) {
  hostlib::DriverLibrary library;
  const bool loaded = options.library.empty() ? library.LoadDefault() : library.LoadPath(options.library);
  return velkd::CheckGateway({options.files, options.broker, options.http, options.port, options.modbus}, library,
                             loaded);
}

// For `systemctl status`.
std::string ServiceStatus(const Files& config) {
  const size_t lines = config.lines.lines.size();
  return "polling " + std::to_string(lines) + (lines == 1 ? " line" : " lines");
}

// SIGHUP: the files again. Lines whose file did not change run on; the
// faces' own settings, but for Modbus's map, wait for a restart.
std::string Reload(const Options& options, const Files& config, velkd::Gateway& gateway, velkd::ModbusFace& modbus,
                   const std::string& serviceStatus) {
  velkd::Log(velkd::kNotice, "SIGHUP: reading the files again");
  velkd::NotifyReloading();
  Files fresh;
  std::vector<velkd::ModbusMap> maps;
  if (!ReadConfig(options, &fresh) ||
      !velkd::ModbusFace::ReadMaps(fresh.lines, fresh.modbus, options.modbus, false, &maps) ||
      !gateway.Reload(fresh.lines, options.port)) {
    velkd::Log(velkd::kError, "reload refused; the lines run on as they were");
    velkd::NotifyReloaded(serviceStatus + "; the last reload was refused");
    return serviceStatus;
  }
  modbus.Reload(maps);
  if (!(fresh.mqtt == config.mqtt))
    velkd::Log(velkd::kWarning, "[mqtt] changed; the broker settings take effect when velkd is restarted");
  if (!(fresh.http == config.http))
    velkd::Log(velkd::kWarning, "[http] changed; it takes effect when velkd is restarted");
  if (!(fresh.sparkplug == config.sparkplug))
    velkd::Log(velkd::kWarning, "[sparkplug] changed; it takes effect when velkd is restarted");
  const std::string status = ServiceStatus(fresh);
  velkd::NotifyReloaded(status);
  return status;
}

int Serve(const Options& options) {
  // velkd's readers (its log, /api/state) have velksim at hand, not velkhost.
  hostlib::SetMissingPortHint(
      "`velksim SIMULATOR_FILE` plays modules on a pseudo-terminal; name the path it prints with --port.");
  // The signals are taken by this thread alone, never in the middle of a
  // line's driver call or the network thread's work.
  hostlib::InstallStopHandler("velkd", true);
  hostlib::KeepStopSignalsFromNewThreads();
  signal(SIGPIPE, SIG_IGN);

  Files config;
  std::vector<velkd::ModbusMap> maps;
  if (!ReadConfig(options, &config) ||
      !velkd::ModbusFace::ReadMaps(config.lines, config.modbus, options.modbus, false, &maps))
    return kExitConfig;
  hostlib::DriverLibrary library;
  if (!LoadLibrary(options, &library)) return kExitConfig;
  velkd::Log(velkd::kInfo, "driver library %s", library.path().c_str());
  if (!config.mqtt.on && maps.empty() && !config.http.on() && !config.sparkplug.on)
    velkd::Log(velkd::kWarning, "neither [mqtt], --broker, [sparkplug] nor Modbus: the lines are polled for no one");
  std::string token, error;
  if (!velkd::ReadHttpToken(config.http, &token, &error)) {
    velkd::Log(velkd::kError, "%s", error.c_str());
    return kExitConfig;
  }
  mosquitto_lib_init();
  int status = kExitOk;
  {
    velkd::Gateway gateway(library);
    // Before the faces that deliver, which name their streams to it.
    velkd::StoreFace store(gateway, config.lines.store);
    gateway.AttachStore(store);
    velkd::MqttFace mqtt(gateway, config.mqtt);
    velkd::ModbusFace modbus(gateway, maps);
    velkd::HttpServer http(gateway, config.http, token);
    velkd::SparkplugFace sparkplug(gateway, config.sparkplug);
    http.SetMqttState([&mqtt] { return mqtt.WhyNotConnected(); });
    if (!maps.empty()) http.SetModbusClients([&modbus] { return modbus.clients(); });
    gateway.Attach(mqtt);
    gateway.Attach(modbus);
    gateway.Attach(http);
    if (config.sparkplug.on) gateway.Attach(sparkplug);
    if (!gateway.Start(config.lines, options.port) || !store.Start() || !mqtt.Start() || !modbus.Start() ||
        (config.http.on() && !http.Start()) || !sparkplug.Start()) {
      status = kExitConfig;
    } else {
      hostlib::AcceptStopSignalsHere();
      std::string serviceStatus = ServiceStatus(config);
      velkd::NotifyReady(serviceStatus);
      while (!hostlib::StopRequested()) {
        velkd::FeedWatchdog();
        hostlib::WaitForSignal(1000);
        if (hostlib::TakeReloadRequest()) serviceStatus = Reload(options, config, gateway, modbus, serviceStatus);
      }
      velkd::NotifyStopping();
      velkd::Log(velkd::kNotice, "%s: stopping", hostlib::StopSignalName());
    }
    // Every write a client is waiting for is answered before its face goes;
    // Sparkplug ends its session with the NDEATH; MQTT goes last, with every
    // device's last state.
    gateway.StopWrites();
    http.Stop();
    modbus.Stop();
    gateway.Stop();
    sparkplug.Stop();
    mqtt.Stop();
    // Last: what the lines said while the broker was away is on disk.
    store.Stop();
  }
  mosquitto_lib_cleanup();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(kDescription, "velkd");
  app.set_version_flag("--version", [] { return hostlib::VersionText("velkd"); });
  app.footer(kFooter);
  app.get_formatter()->column_width(30);
  Options options;
  app.add_option("files", options.files, "Line files, one per line; each may hold [mqtt] and [gateway]")
      ->required()
      ->check(CLI::ExistingFile);
  app.add_flag("--check", options.check, "Check the files and the driver's verdict on them; open no port or broker");
  app.add_option("--broker", options.broker,
                 "Broker instead of the file's [mqtt] broker, mqtt://HOST:PORT or mqtts://");
  app.add_option("--http", options.http,
                 "Serve /metrics, /api/state and a live page on HOST:PORT (PORT alone: 127.0.0.1)");
  app.add_option("--port", options.port, "Serial port of the (single) line instead of its [port] name");
  app.add_option("--library", options.library, "Driver library file (default: beside velkd, else the build's)");
  app.add_option("--modbus", options.modbus,
                 "Serve Modbus TCP on HOST:PORT (a bare PORT: loopback) for the files without [modbus] listen");
  app.add_flag("--modbus-map", options.modbusMap, "Print every tag's Modbus place as CSV and end");
  std::string logLevel = "info";
  app.add_option("--log-level", logLevel,
                 "Leave out log lines less urgent than this: error, warning, notice, info (default), debug")
      ->check(CLI::IsMember({"error", "warning", "notice", "info", "debug"}));
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help and --version end well; every other parse error is a usage error.
    return app.exit(e) == 0 ? kExitOk : kExitConfig;
  }
  velkd::Priority level = velkd::kInfo;
  velkd::PriorityFromName(logLevel, &level);
  velkd::SetLogLevel(level);
  if (!options.port.empty() && options.files.size() != 1) {
    velkd::Log(velkd::kError, "--port applies to a single line file; name the ports in each file's [port] instead");
    return kExitConfig;
  }
  if (options.modbusMap) {
    Files config;
    std::vector<velkd::ModbusMap> maps;
    if (!ReadConfig(options, &config) ||
        !velkd::ModbusFace::ReadMaps(config.lines, config.modbus, options.modbus, true, &maps))
      return kExitConfig;
    fputs(velkd::ModbusMapCsv(config.lines, maps).c_str(), stdout);
    return kExitOk;
  }
  return options.check ? Check(options) : Serve(options);
}
