#include "core/secret_file.h"

#include <stdlib.h>

#include <fstream>

namespace velkd {

bool ReadSecretFile(const std::string& key, const std::string& path, std::string* secret, std::string* error) {
  static const std::string kCredentials = "${CREDENTIALS_DIRECTORY}";
  std::string file = path;
  if (file.compare(0, kCredentials.size(), kCredentials) == 0) {
    const char* directory = getenv("CREDENTIALS_DIRECTORY");
    if (directory == nullptr || *directory == '\0') {
      *error =
          key + " " + path + ": CREDENTIALS_DIRECTORY is not set; it is systemd's, for a service given LoadCredential=";
      return false;
    }
    file = directory + file.substr(kCredentials.size());
  }
  std::ifstream in(file);
  if (!in) {
    *error = "cannot read " + key + " " + file;
    return false;
  }
  std::getline(in, *secret);
  if (!secret->empty() && secret->back() == '\r') secret->pop_back();
  return true;
}

}  // namespace velkd
