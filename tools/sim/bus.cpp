#include "sim/bus.h"

#include "protocol/encoding.h"

namespace sim {
namespace {

const size_t kRecordLimit = 1000;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsLead(char c) { return c == '$' || c == '#' || c == '@' || c == '%'; }

std::string AddressText(uint8_t address) {
  char text[3] = {0, 0, 0};
  protocol::ByteToHex(text, address);
  return text;
}

}  // namespace

Bus::Bus(platform::Clock& clock) : clock_(clock), startTick_(clock.TickMs()) {}

bool Bus::Add(std::unique_ptr<Module> module, std::string* error) {
  if (!module) {
    if (error != nullptr) *error = "no module";
    return false;
  }
  std::lock_guard<std::mutex> lock(modulesMutex_);
  const Module* holder = AtLocked(module->address());
  if (holder != nullptr) {
    if (error != nullptr)
      *error = "address " + std::to_string(module->address()) + " (" + AddressText(module->address()) +
               ") is already taken by a " + holder->typeName();
    return false;
  }
  modules_.push_back(std::move(module));
  return true;
}

Module* Bus::Add(const std::string& typeName, uint8_t address, bool checksum, std::string* error) {
  std::unique_ptr<Module> module = MakeModule(typeName, address, checksum, error);
  Module* raw = module.get();
  if (!module || !Add(std::move(module), error)) return nullptr;
  return raw;
}

Module* Bus::AtLocked(uint8_t address) const {
  for (const auto& module : modules_)
    if (module->address() == address) return module.get();
  return nullptr;
}

Module* Bus::At(uint8_t address) const {
  std::lock_guard<std::mutex> lock(modulesMutex_);
  return AtLocked(address);
}

VelkModule* Bus::Velk(uint8_t address) const {
  Module* module = At(address);
  return module != nullptr && module->kind() == ModuleKind::kVelk ? static_cast<VelkModule*>(module) : nullptr;
}

Data7810Module* Bus::Data7810(uint8_t address) const {
  Module* module = At(address);
  return module != nullptr && module->kind() == ModuleKind::kData7810 ? static_cast<Data7810Module*>(module) : nullptr;
}

Data7210Display* Bus::Display(uint8_t address) const {
  Module* module = At(address);
  return module != nullptr && module->kind() == ModuleKind::kData7210 ? static_cast<Data7210Display*>(module) : nullptr;
}

std::vector<Module*> Bus::Modules() const {
  std::lock_guard<std::mutex> lock(modulesMutex_);
  std::vector<Module*> all;
  for (const auto& module : modules_) all.push_back(module.get());
  return all;
}

uint32_t Bus::NowMs() const { return clock_.TickMs() - startTick_; }

Reply Bus::Handle(const char* line, size_t length) {
  CommandRecord record;
  record.atMs = NowMs();
  record.command.assign(line != nullptr ? line : "", line != nullptr ? length : 0);
  if (!echo_) return Answer(std::move(record));
  const std::string echo = EchoOf(record.command);
  Reply reply = Answer(std::move(record));
  // The answer keeps its pause and goes out behind the echo; a silent
  // module's line, and one for no module, is echoed all the same.
  reply.pieces.insert(reply.pieces.begin(), Piece{0, echo});
  return reply;
}

std::string Bus::EchoOf(const std::string& command) const {
  std::string echo = command;
  const int hi = command.size() >= 3 ? HexValue(command[1]) : -1;
  const int lo = command.size() >= 3 ? HexValue(command[2]) : -1;
  const Module* module = hi >= 0 && lo >= 0 && IsLead(command[0]) ? At(static_cast<uint8_t>(hi * 16 + lo)) : nullptr;
  // The byte in the middle: neither the lead nor the carriage return, and
  // flipped in its lowest bit so that a digit stays a digit.
  if (module != nullptr && module->faults().echoGarbled && !echo.empty()) echo[echo.size() / 2] ^= 0x01;
  return echo;
}

Reply Bus::Answer(CommandRecord record) {
  std::string text = record.command;
  if (!text.empty() && text.back() == '\r') text.pop_back();

  LineContext context;
  context.nowMs = record.atMs;
  context.addressTaken = [this](uint8_t address) { return At(address) != nullptr; };

  if (text.compare(0, 3, "#**") == 0) {
    for (Module* module : Modules())
      if (!module->faults().silent) module->Broadcast(text, context);
    record.note = "broadcast";
    Record(std::move(record));
    return Reply();
  }
  const int hi = text.size() >= 3 ? HexValue(text[1]) : -1;
  const int lo = text.size() >= 3 ? HexValue(text[2]) : -1;
  if (text.size() < 3 || !IsLead(text[0]) || hi < 0 || lo < 0) {
    record.note = "not a command";
    Record(std::move(record));
    return Reply();
  }
  const uint8_t address = static_cast<uint8_t>(hi * 16 + lo);
  Module* module = At(address);
  if (module == nullptr) {
    record.note = "no module";
    Record(std::move(record));
    return Reply();
  }
  record.address = address;
  const Faults faults = module->faults();
  if (faults.silent) {
    record.note = "silent (fault)";
    Record(std::move(record));
    return Reply();
  }
  std::string answer;
  if (faults.refuse) {
    answer = "?" + text.substr(1, 2);
    if (module->checksum()) {
      char pair[3] = {0, 0, 0};
      protocol::ByteToHex(pair, protocol::ChecksumOf(answer.data(), answer.size()));
      answer.append(pair, 2);
    }
    answer += '\r';
    record.note = "refused (fault)";
  } else {
    module->Answer(text, context, &answer, &record.note);
  }
  if (answer.empty()) {
    Record(std::move(record));
    return Reply();
  }
  Reply reply = ShapeAnswer(answer, module->checksum(), faults, address);
  record.answer = reply.Bytes();
  if (faults.any() && !faults.refuse) {
    if (!record.note.empty()) record.note += "; ";
    record.note += "fault " + faults.Describe();
  }
  Record(std::move(record));
  return reply;
}

void Bus::Record(CommandRecord record) {
  std::lock_guard<std::mutex> lock(recordMutex_);
  record.sequence = ++sequence_;
  record_.push_back(std::move(record));
  while (record_.size() > kRecordLimit) record_.pop_front();
}

std::vector<CommandRecord> Bus::Recent(size_t max) const {
  std::lock_guard<std::mutex> lock(recordMutex_);
  const size_t count = max < record_.size() ? max : record_.size();
  return std::vector<CommandRecord>(record_.end() - static_cast<std::ptrdiff_t>(count), record_.end());
}

uint64_t Bus::CommandCount() const {
  std::lock_guard<std::mutex> lock(recordMutex_);
  return sequence_;
}

std::vector<CommandRecord> Bus::Find(const std::string& command) const {
  std::lock_guard<std::mutex> lock(recordMutex_);
  std::vector<CommandRecord> found;
  for (const CommandRecord& record : record_)
    if (record.command == command) found.push_back(record);
  return found;
}

void Bus::ClearRecord() {
  std::lock_guard<std::mutex> lock(recordMutex_);
  record_.clear();
}

}  // namespace sim
