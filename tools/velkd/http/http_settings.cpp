#include "http/http_settings.h"

#include <ctype.h>
#include <stdlib.h>

#include "core/secret_file.h"

namespace velkd {
namespace {

int LineOf(const toml::node& node) { return static_cast<int>(node.source().begin.line); }

// RFC 6750's token68 characters: what a bearer token may hold.
bool TokenOk(const std::string& token) {
  if (token.empty()) return false;
  for (unsigned char c : token)
    if (!isalnum(c) && std::string("-._~+/=").find(static_cast<char>(c)) == std::string::npos) return false;
  return true;
}

}  // namespace

bool HttpSettings::operator==(const HttpSettings& o) const {
  return listen == o.listen && host == o.host && port == o.port && tokenFile == o.tokenFile && tokenEnv == o.tokenEnv &&
         certFile == o.certFile && keyFile == o.keyFile;
}

bool IsLoopbackHost(const std::string& host) { return host == "127.0.0.1" || host == "::1" || host == "localhost"; }

bool ParseListen(const std::string& text, HttpSettings* settings, std::string* error) {
  std::string host = "127.0.0.1";
  std::string digits = text;
  const size_t close = text.rfind(']');
  const size_t colon = text.rfind(':');
  if (colon != std::string::npos && (close == std::string::npos || colon > close)) {
    host = text.substr(0, colon);
    digits = text.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.empty() || host.find_first_of("/@ []") != std::string::npos) {
      *error = "listen '" + text + "' has no host (write HOST:PORT, [::1]:PORT or PORT)";
      return false;
    }
  }
  char* end = nullptr;
  const long port = digits.empty() ? 0 : strtol(digits.c_str(), &end, 10);
  if (digits.empty() || *end != '\0' || port < 1 || port > 65535) {
    *error = "listen '" + text + "': port '" + digits + "' is not a number from 1 to 65535";
    return false;
  }
  settings->listen = text;
  settings->host = host;
  settings->port = static_cast<int>(port);
  return true;
}

void ReadHttpTable(const toml::table& table, HttpSettings* settings,
                   std::vector<std::pair<int, std::string>>* problems) {
  const char* const known[] = {"listen", "token_file", "token_env", "cert_file", "key_file"};
  for (auto&& [key, node] : table) {
    bool ok = false;
    for (const char* name : known) ok = ok || key.str() == name;
    if (!ok)
      problems->push_back(
          {LineOf(node), "unknown key '" + std::string(key.str()) +
                             "' in [http] (known: listen, token_file, token_env, cert_file, key_file)"});
  }
  const auto text = [&](const char* key, std::string* out) {
    const toml::node* node = table.get(key);
    if (node == nullptr) return;
    if (node->is_string())
      *out = node->as_string()->get();
    else
      problems->push_back({LineOf(*node), std::string(key) + " of [http] must be a text in quotes"});
  };
  std::string listen;
  text("listen", &listen);
  std::string error;
  if (!listen.empty() && !ParseListen(listen, settings, &error))
    problems->push_back({LineOf(*table.get("listen")), error});
  text("token_file", &settings->tokenFile);
  text("token_env", &settings->tokenEnv);
  text("cert_file", &settings->certFile);
  text("key_file", &settings->keyFile);
  if (!settings->tokenFile.empty() && !settings->tokenEnv.empty())
    problems->push_back({LineOf(table), "[http] names both token_file and token_env; keep one"});
  for (const char* key : {"token_file", "cert_file", "key_file"}) {
    const toml::node* node = table.get(key);
    if (node != nullptr && node->is_string() && !NamedFileReadable(key, node->as_string()->get(), &error))
      problems->push_back({LineOf(*node), error});
  }
}

std::string HttpSettingsProblem(const HttpSettings& settings) {
  if (settings.certFile.empty() != settings.keyFile.empty())
    return "[http] needs both cert_file and key_file for HTTPS";
  if (settings.on() && !IsLoopbackHost(settings.host) && settings.tokenFile.empty() && settings.tokenEnv.empty())
    return "HTTP on " + settings.host +
           " is reachable beyond this machine: give [http] token_file or token_env, "
           "or listen on 127.0.0.1";
  return std::string();
}

bool ReadHttpToken(const HttpSettings& settings, std::string* token, std::string* error) {
  token->clear();
  std::string source;
  if (!settings.tokenEnv.empty()) {
    const char* value = getenv(settings.tokenEnv.c_str());
    if (value == nullptr) {
      *error = "the environment variable " + settings.tokenEnv + " named by token_env is not set";
      return false;
    }
    *token = value;
    source = "token_env " + settings.tokenEnv;
  } else if (!settings.tokenFile.empty()) {
    if (!ReadSecretFile("token_file", settings.tokenFile, token, error)) return false;
    while (!token->empty() && isspace(static_cast<unsigned char>(token->back()))) token->pop_back();
    source = "token_file " + settings.tokenFile;
  } else {
    return true;
  }
  if (!TokenOk(*token)) {
    *error = source + " holds no usable token (letters, digits and -._~+/= only, not empty)";
    return false;
  }
  return true;
}

void HttpSections::Read(size_t, const LineFile& lineFile, const toml::table& root, std::vector<FileProblem>* problems) {
  const toml::node* node = root.get("http");
  if (node == nullptr) return;
  HttpSettings http;
  std::vector<std::pair<int, std::string>> found;
  const int at = static_cast<int>(node->source().begin.line);
  if (node->is_table())
    ReadHttpTable(*node->as_table(), &http, &found);
  else
    found.push_back({at, "'http' must be an [http] section"});
  if (from_.empty()) {
    *settings_ = http;
    from_ = lineFile.config.path;
  } else if (!(http == *settings_)) {
    found.push_back({at, "[http] differs from the one in " + from_ + "; one velkd serves one HTTP face"});
  }
  for (const auto& [line, message] : found) problems->push_back({lineFile.config.path, line, message});
}

}  // namespace velkd
