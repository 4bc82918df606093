// The example gateway file as velkd reads it, for the fuzzers of its faces:
// the example line with a Modbus listen address, loaded once, and the lines
// a face sees: that line, never started, holding whatever readings and
// answering writes however a fuzzer says.
#ifndef VELK_FUZZ_VELKD_FUZZ_LINE_H
#define VELK_FUZZ_VELKD_FUZZ_LINE_H

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/face.h"
#include "core/gateway.h"
#include "core/gateway_config.h"
#include "core/line_worker.h"
#include "driver_library.h"
#include "fuzz/fuzz_input.h"

namespace fuzz {

// Each of `sections` reads its tables of the file too.
inline velkd::GatewayConfig ExampleGateway(const std::vector<velkd::FileSections*>& sections) {
  std::ifstream in(VELK_SOURCE_DIR "/examples/gateway.toml");
  std::stringstream text;
  text << in.rdbuf() << "\n[modbus]\nlisten = \"127.0.0.1:1502\"\n";
  char path[] = "/tmp/velkd-fuzz-XXXXXX.toml";
  const int fd = mkstemps(path, 5);
  if (fd < 0 || write(fd, text.str().data(), text.str().size()) != static_cast<ssize_t>(text.str().size())) abort();
  close(fd);
  velkd::GatewayConfig config;
  std::vector<velkd::FileProblem> problems;
  const bool ok = velkd::LoadGatewayConfig({path}, sections, &config, &problems);
  unlink(path);
  if (!ok || config.lines.size() != 1) {
    for (const velkd::FileProblem& p : problems)
      fprintf(stderr, "%s:%d: %s\n", p.path.c_str(), p.line, p.message.c_str());
    abort();
  }
  return config;
}

// One reading of `tag` as `kind` and `word` say: a value of every kind a
// line stores (a float's bits, any text, none at all), good, bad, or bad
// after a good one that left its value behind.
inline void SetReading(velkd::LineState& state, size_t tag, uint8_t kind, uint32_t word) {
  velkd::Value value;
  switch (kind % 6) {
    case 0: break;
    case 1:
      value.kind = velkd::Value::kInteger;
      value.integer = static_cast<int32_t>(word);
      break;
    case 2:
      value.kind = velkd::Value::kInteger;
      value.integer = word;
      break;
    case 3: {
      float f;
      memcpy(&f, &word, sizeof f);
      value.kind = velkd::Value::kReal;
      value.real = f;
      break;
    }
    case 4:
      value.kind = velkd::Value::kBit;
      value.integer = word & 1;
      break;
    default:
      value.kind = velkd::Value::kText;
      for (uint32_t i = 0; i < (word >> 24) % 24; ++i) value.text += static_cast<char>(word >> (8 * (i % 3)));
      break;
  }
  if ((kind & 0x80) == 0 || (kind & 0x40) != 0) state.SetTag(tag, true, value, 0xC0, "", 1);
  if ((kind & 0x80) != 0) state.SetTag(tag, false, velkd::Value(), 0, "no answer", 2);
}

// The example line as the faces see it. Each Reset starts a line afresh,
// never started, so that no input's readings are left for the next.
class ExampleLines : public velkd::Lines {
 public:
  explicit ExampleLines(const velkd::LineFile& lineFile)
      : lineFile_(std::make_shared<const velkd::LineFile>(lineFile)) {}

  velkd::LineState& Reset() {
    line_ = std::make_shared<velkd::LineWorker>(lineFile_, "", library_);
    auto plant = std::make_shared<velkd::Plant>();
    plant->lines.push_back(line_);
    plant->byName[lineFile_->name] = 0;
    plant_ = plant;
    return line_->state();
  }

  // Devices and readings, then how writes end, as the input says.
  void Set(FuzzInput& in) {
    velkd::LineState& state = Reset();
    const uint8_t devices = in.Byte();
    for (size_t d = 0; d < lineFile_->config.devices.size(); ++d)
      if (devices & (1u << (d % 8))) state.SetDevice(d, (devices & 0x80) == 0, "no answer");
    for (size_t t = 0; t < lineFile_->tags.size(); ++t) {
      const uint8_t kind = in.Byte();
      SetReading(state, t, kind, in.Word());
    }
    state.Publish();
    outcome_ = in.Byte();
  }

  std::shared_ptr<const velkd::Plant> plant() const override { return plant_; }

  bool Write(const std::string& line, const std::vector<velkd::TagWrite>& writes, const velkd::WritesDone& done,
             size_t* ahead, std::string* reason) override {
    if (line != lineFile_->name || outcome_ % 7 == 0) {
      *reason = line == lineFile_->name && outcome_ % 2 ? "write queue full" : "no such line";
      return false;
    }
    for (const velkd::TagWrite& write : writes)
      if (write.tag >= lineFile_->tags.size()) __builtin_trap();
    *ahead = 0;
    for (size_t i = 0; i < writes.size(); ++i) {
      velkd::WriteOutcome outcome;
      outcome.ok = outcome_ % 7 == 1 || outcome_ % 7 == 2;
      outcome.answered = outcome_ % 7 != 3;
      outcome.reason = outcome_ % 7 == 4 ? "not built" : "refused";
      done(i, outcome);
    }
    return true;
  }

 private:
  hostlib::DriverLibrary library_;
  const std::shared_ptr<const velkd::LineFile> lineFile_;
  std::shared_ptr<velkd::LineWorker> line_;
  std::shared_ptr<const velkd::Plant> plant_ = std::make_shared<velkd::Plant>();
  uint8_t outcome_ = 0;
};

}  // namespace fuzz

#endif
