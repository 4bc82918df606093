#include "core/secret_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

namespace velkd {

namespace {

// `path` with ${CREDENTIALS_DIRECTORY} replaced by the service's folder.
bool ResolvePath(const std::string& key, const std::string& path, std::string* file, std::string* error) {
  static const std::string kCredentials = "${CREDENTIALS_DIRECTORY}";
  *file = path;
  if (file->compare(0, kCredentials.size(), kCredentials) == 0) {
    const char* directory = getenv("CREDENTIALS_DIRECTORY");
    if (directory == nullptr || *directory == '\0') {
      *error =
          key + " " + path + ": CREDENTIALS_DIRECTORY is not set; it is systemd's, for a service given LoadCredential=";
      return false;
    }
    *file = directory + file->substr(kCredentials.size());
  }
  return true;
}

}  // namespace

bool NamedFileReadable(const std::string& key, const std::string& path, std::string* error) {
  std::string file;
  if (!ResolvePath(key, path, &file, error)) return false;
  struct stat info {};
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *error = key + " '" + file + "' cannot be read: " + strerror(errno);
    return false;
  }
  const bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  close(fd);
  if (!regular) {
    *error = key + " '" + file + "' is not a file";
    return false;
  }
  return true;
}

bool ReadSecretFile(const std::string& key, const std::string& path, std::string* secret, std::string* error) {
  std::string file;
  if (!ResolvePath(key, path, &file, error)) return false;
  std::ifstream in(file);
  if (!in) {
    *error = "cannot read " + key + " " + file;
    return false;
  }
  std::getline(in, *secret);
  if (!secret->empty() && secret->back() == '\r') secret->pop_back();
  return true;
}

bool ReadPasswordFrom(const std::string& env, const std::string& file, std::string* password, std::string* error) {
  password->clear();
  if (!env.empty()) {
    const char* value = getenv(env.c_str());
    if (value == nullptr) {
      *error = "the environment variable " + env + " named by password_env is not set";
      return false;
    }
    *password = value;
    return true;
  }
  return file.empty() || ReadSecretFile("password_file", file, password, error);
}

}  // namespace velkd
