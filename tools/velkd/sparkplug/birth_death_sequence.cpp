#include "sparkplug/birth_death_sequence.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <fstream>

namespace velkd::sparkplug {
namespace {

// Writes `text` to a file beside `path` and renames it over `path`, after
// fsync, so that the file never holds a torn number.
bool ReplaceFile(const std::string& path, const std::string& text, std::string* error) {
  const std::string temporary = path + ".new";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot write " + temporary + ": " + strerror(errno);
    return false;
  }
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
  const int writeErrno = errno;
  close(fd);
  if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
    *error = "cannot write " + path + ": " + strerror(written ? errno : writeErrno);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace

uint64_t BirthDeathSequence::Next(std::string* problem) {
  problem->clear();
  if (!loaded_) {
    loaded_ = true;
    std::ifstream file(path_);
    std::string text;
    if (file && std::getline(file, text)) {
      char* end = nullptr;
      const long value = strtol(text.c_str(), &end, 10);
      if (!text.empty() && *end == '\0' && value >= 0 && value <= 255)
        last_ = static_cast<int>(value);
      else
        *problem = path_ + " holds '" + text.substr(0, 20) + "', not a bdSeq from 0 to 255; counting from 0";
    }
  }
  last_ = (last_ + 1) % 256;
  std::string error;
  if (!ReplaceFile(path_, std::to_string(last_) + "\n", &error)) *problem = error;
  return static_cast<uint64_t>(last_);
}

}  // namespace velkd::sparkplug
