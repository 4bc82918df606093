// velkd: polls serial lines through the driver library and publishes their
// values to an MQTT broker; "set" topics write back.
#include <mosquitto.h>
#include <signal.h>
#include <stdio.h>

#include <CLI/CLI.hpp>

#include "driver_library.h"
#include "gateway.h"
#include "gateway_config.h"
#include "http_server.h"
#include "journal_log.h"
#include "line_check.h"

namespace {

const char kDescription[] =
    "velkd polls the serial lines described in line files (the files velkhost reads) through the driver library\n"
    "and publishes every tag to an MQTT broker as PREFIX/LINE/DEVICE/TAG, retained, with device states under\n"
    "PREFIX/LINE/DEVICE/$state and its own under PREFIX/$state. Payloads sent to PREFIX/LINE/DEVICE/TAG/set\n"
    "write tags listed in [gateway] writable; the outcome goes to .../set/result.\n"
    "With --http or [http] listen, /metrics serves Prometheus and / a live page of every line.\n"
    "SIGHUP reads the files again; SIGTERM publishes everything offline and ends.\n";

const char kFooter[] =
    "\nExamples:\n"
    "  velkd " VELK_CONFIG_DIR "/gateway.toml\n"
    "  velkd --check " VELK_CONFIG_DIR "/gateway.toml other-line.toml\n"
    "  velkd " VELK_CONFIG_DIR "/gateway.toml --port /dev/pts/7 --broker mqtt://127.0.0.1:1883\n"
    "  mosquitto_sub -v -t 'velk/#'\n"
    "  velkd " VELK_CONFIG_DIR "/gateway.toml --http 127.0.0.1:9464   # then http://127.0.0.1:9464/\n";

enum ExitCode { kExitOk = 0, kExitFailure = 1, kExitConfig = 2 };

struct Options {
  std::vector<std::string> files;
  bool check = false;
  std::string broker;
  std::string http;
  std::string port;
  std::string library;
};

bool LoadLibrary(const Options& options, velkhost::DriverLibrary* library) {
  const bool loaded = options.library.empty() ? library->LoadDefault() : library->LoadPath(options.library);
  if (!loaded) velkd::Log(velkd::kError, "%s", library->error().c_str());
  return loaded;
}

// Reads the files with the command line's overrides; logs every problem.
bool ReadConfig(const Options& options, velkd::GatewayConfig* config) {
  std::vector<velkd::FileProblem> problems;
  const bool ok = velkd::LoadGatewayConfig(options.files, config, &problems);
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

// Everything that can be known without a port or a broker: the files, the
// driver's verdict on every device and tag, the password source.
int Check(const Options& options) {
  velkd::GatewayConfig config;
  if (!ReadConfig(options, &config)) return kExitConfig;
  velkhost::DriverLibrary library;
  if (!LoadLibrary(options, &library)) return kExitConfig;
  int status = kExitOk;
  for (const velkd::LineSpec& line : config.lines) {
    std::unique_ptr<velkhost::DriverObject> driver = library.CreateDriver();
    if (driver == nullptr) {
      velkd::Log(velkd::kError, "%s", library.error().c_str());
      return kExitConfig;
    }
    velkhost::CheckedLine checked;
    std::vector<velkhost::ConfigProblem> problems, warnings;
    const bool accepted = velkhost::CheckLine(driver->d, line.config, &checked, &problems, &warnings);
    for (const velkhost::ConfigProblem& w : warnings)
      velkd::Log(velkd::kWarning, "%s:%d: warning: %s", line.config.path.c_str(), w.line, w.message.c_str());
    for (const velkhost::ConfigProblem& p : problems)
      velkd::Log(velkd::kError, "%s:%d: %s", line.config.path.c_str(), p.line, p.message.c_str());
    if (!accepted) status = kExitConfig;
    if (accepted) {
      size_t writable = 0;
      for (bool w : line.writable) writable += w ? 1 : 0;
      printf("%s: line %s, %zu devices, %zu tags (%zu writable), port %s\n", line.config.path.c_str(),
             line.name.c_str(), line.config.devices.size(), line.config.tags.size(), writable,
             !options.port.empty() ? options.port.c_str()
                                   : line.config.port.name.empty() ? "(none: give --port)" : line.config.port.name.c_str());
    }
  }
  std::string password, token, error;
  if (!velkd::ReadPassword(config.mqtt, &password, &error)) {
    velkd::Log(velkd::kError, "%s", error.c_str());
    status = kExitConfig;
  }
  if (!velkd::ReadHttpToken(config.http, &token, &error)) {
    velkd::Log(velkd::kError, "%s", error.c_str());
    status = kExitConfig;
  }
  if (status == kExitOk)
    printf("broker %s (%s:%d%s), topics under %s/\n", config.mqtt.broker.c_str(), config.mqtt.host.c_str(),
           config.mqtt.port, config.mqtt.tls ? ", TLS" : "", config.mqtt.prefix.c_str());
  if (status == kExitOk && config.http.on())
    printf("%s on %s%s\n", config.http.tls() ? "HTTPS" : "HTTP", config.http.where().c_str(),
           token.empty() ? "" : ", bearer token");
  return status;
}

int Serve(const Options& options) {
  // The signals are taken by this thread alone, at a point of its choosing,
  // never in the middle of another thread's work.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  velkd::GatewayConfig config;
  if (!ReadConfig(options, &config)) return kExitConfig;
  velkhost::DriverLibrary library;
  if (!LoadLibrary(options, &library)) return kExitConfig;
  velkd::Log(velkd::kInfo, "driver library %s", library.path().c_str());
  std::string token, error;
  if (!velkd::ReadHttpToken(config.http, &token, &error)) {
    velkd::Log(velkd::kError, "%s", error.c_str());
    return kExitConfig;
  }
  mosquitto_lib_init();
  int status = kExitOk;
  {
    velkd::Gateway gateway(library);
    velkd::HttpServer http(gateway);
    if (!gateway.Start(config, options.port)) {
      status = kExitConfig;
    } else if (config.http.on() && !http.Start(config.http, token, &error)) {
      velkd::Log(velkd::kError, "%s", error.c_str());
      status = kExitConfig;
    } else {
      for (;;) {
        const timespec wait = {1, 0};
        const int received = sigtimedwait(&signals, nullptr, &wait);
        if (received == SIGHUP) {
          velkd::Log(velkd::kNotice, "SIGHUP: reading the files again");
          velkd::GatewayConfig fresh;
          if (ReadConfig(options, &fresh)) {
            if (!(fresh.http == config.http))
              velkd::Log(velkd::kWarning, "[http] changed; it takes effect when velkd is restarted");
            gateway.Reload(fresh, options.port);
          }
          else
            velkd::Log(velkd::kError, "reload refused; the lines run on as they were");
        } else if (received == SIGTERM || received == SIGINT) {
          velkd::Log(velkd::kNotice, "%s: stopping", received == SIGTERM ? "SIGTERM" : "SIGINT");
          break;
        }
      }
    }
    http.Stop();
    gateway.Stop();
  }
  mosquitto_lib_cleanup();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(kDescription, "velkd");
  app.footer(kFooter);
  app.get_formatter()->column_width(30);
  Options options;
  app.add_option("files", options.files, "Line files, one per line; each may hold [mqtt] and [gateway]")
      ->required()
      ->check(CLI::ExistingFile);
  app.add_flag("--check", options.check, "Check the files and the driver's verdict on them; open no port or broker");
  app.add_option("--broker", options.broker, "Broker instead of the file's [mqtt] broker, mqtt://HOST:PORT or mqtts://");
  app.add_option("--http", options.http,
                 "Serve /metrics, /api/state and a live page on HOST:PORT (PORT alone: 127.0.0.1)");
  app.add_option("--port", options.port, "Serial port of the (single) line instead of its [port] name");
  app.add_option("--library", options.library, "Driver library file (default: beside velkd, else the build's)");
  CLI11_PARSE(app, argc, argv);
  if (!options.port.empty() && options.files.size() != 1) {
    velkd::Log(velkd::kError, "--port applies to a single line file; name the ports in each file's [port] instead");
    return kExitConfig;
  }
  return options.check ? Check(options) : Serve(options);
}
