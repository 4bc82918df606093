// The example gateway file as velkd reads it, for the fuzzers of its faces:
// the example line with a Modbus listen address, loaded once.
#ifndef VELK_FUZZ_VELKD_FUZZ_LINE_H
#define VELK_FUZZ_VELKD_FUZZ_LINE_H

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "core/gateway_config.h"

namespace fuzz {

inline velkd::GatewayConfig ExampleGateway() {
  std::ifstream in(VELK_SOURCE_DIR "/examples/gateway.toml");
  std::stringstream text;
  text << in.rdbuf() << "\n[modbus]\nlisten = \"127.0.0.1:1502\"\n";
  char path[] = "/tmp/velkd-fuzz-XXXXXX.toml";
  const int fd = mkstemps(path, 5);
  if (fd < 0 || write(fd, text.str().data(), text.str().size()) != static_cast<ssize_t>(text.str().size())) abort();
  close(fd);
  velkd::GatewayConfig config;
  std::vector<velkd::FileProblem> problems;
  const bool ok = velkd::LoadGatewayConfig({path}, &config, &problems);
  unlink(path);
  if (!ok) {
    for (const velkd::FileProblem& p : problems)
      fprintf(stderr, "%s:%d: %s\n", p.path.c_str(), p.line, p.message.c_str());
    abort();
  }
  return config;
}

}  // namespace fuzz

#endif
