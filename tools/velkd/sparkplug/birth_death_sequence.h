// The bdSeq of the edge node's connections, kept in a small file so that a
// restarted velkd goes on counting: a host tells the NDEATH of an old
// connection (delivered late, or after a kill) from that of the current one
// by this number. It runs 0 to 255 and wraps.
#ifndef VELKD_SPARKPLUG_BIRTH_DEATH_SEQUENCE_H
#define VELKD_SPARKPLUG_BIRTH_DEATH_SEQUENCE_H

#include <stdint.h>

#include <string>

namespace velkd::sparkplug {

class BirthDeathSequence {
 public:
  explicit BirthDeathSequence(std::string path) : path_(std::move(path)) {}

  // The number for the next connection: one more than the last one handed
  // out, by this process or before a restart (0 the first time). It is on
  // disk before it is returned, replacing the file whole so that a crash
  // leaves the old number or the new one. A file that cannot be read or
  // written does not stop the node: the count goes on in memory and
  // `problem` says why (empty when all is well).
  uint64_t Next(std::string* problem);

 private:
  std::string path_;
  bool loaded_ = false;
  int last_ = -1;  // -1: none yet
};

}  // namespace velkd::sparkplug

#endif
