// The [http] table of a line file and --http: where velkd serves its
// metrics and live page, and what guards them.
//
//   [http]
//   listen = "127.0.0.1:9464"          # HOST:PORT, or PORT alone for loopback
//   token_file = "/etc/velkd/http-token"   # or token_env = "VELKD_HTTP_TOKEN"
//   cert_file = "/etc/velkd/http.crt"      # HTTPS with both of these
//   key_file = "/etc/velkd/http.key"
//
// Bound to 127.0.0.1, ::1 or localhost the face needs nothing more. Bound
// to any other address, other 127.x.y.z ones included, every request needs
// "Authorization: Bearer TOKEN", and velkd does not start without a token.
#ifndef VELKD_HTTP_SETTINGS_H
#define VELKD_HTTP_SETTINGS_H

#include <string>
#include <utility>
#include <vector>

#include <toml++/toml.h>

#include "core/gateway_config.h"

namespace velkd {

struct HttpSettings {
  std::string listen;  // as written; empty: no HTTP face
  std::string host = "127.0.0.1";
  int port = 0;
  std::string tokenFile;
  std::string tokenEnv;
  std::string certFile;
  std::string keyFile;

  bool on() const { return !listen.empty(); }
  bool tls() const { return !certFile.empty(); }
  // "127.0.0.1:9464", "[::1]:9464"
  std::string where() const {
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
  }
  bool operator==(const HttpSettings& other) const;
};

// Only these count as loopback; every other address needs a token.
bool IsLoopbackHost(const std::string& host);

// "PORT", "HOST:PORT" or "[IPV6]:PORT" into `settings`.
bool ParseListen(const std::string& text, HttpSettings* settings, std::string* error);

// Reads an [http] table; each problem is appended as (file line, message).
void ReadHttpTable(const toml::table& table, HttpSettings* settings,
                   std::vector<std::pair<int, std::string>>* problems);

// The first file with an [http] table sets the face; a later one that says
// otherwise is a problem.
class HttpSections : public FileSections {
 public:
  explicit HttpSections(HttpSettings* settings) : settings_(settings) {}
  void Read(size_t line, const LineFile& lineFile, const toml::table& root,
            std::vector<FileProblem>* problems) override;

 private:
  HttpSettings* settings_;
  std::string from_;  // the file that set it
};

// What must hold before the face may start: a token source when bound
// beyond loopback, a key with a certificate. Empty when all is well.
std::string HttpSettingsProblem(const HttpSettings& settings);

// The bearer token from the file or variable the settings name (empty when
// they name none). False with a reason when the source is missing or holds
// no usable token.
bool ReadHttpToken(const HttpSettings& settings, std::string* token, std::string* error);

}  // namespace velkd

#endif
