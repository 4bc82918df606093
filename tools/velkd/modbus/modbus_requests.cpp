#include "modbus/modbus_requests.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "modbus/modbus_registers.h"
#include "value_format.h"

namespace velkd {
namespace {

// The MBAP header and the unit: the function code follows.
const int kHeader = 7;

const int kIllegalFunction = MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
const int kIllegalAddress = MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
const int kIllegalValue = MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
const int kDeviceFailure = MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE;
const int kBusy = MODBUS_EXCEPTION_SLAVE_OR_SERVER_BUSY;
const int kNoPath = MODBUS_EXCEPTION_GATEWAY_PATH;
const int kNoAnswer = MODBUS_EXCEPTION_GATEWAY_TARGET;

uint32_t Word(const uint8_t* at) { return static_cast<uint32_t>(at[0]) << 8 | at[1]; }

// What a write may take per exchange: the answer time-out twice over (a
// module the driver asks again) and the rest of the exchange.
std::chrono::milliseconds ExchangeBound(uint32_t timeoutMs) { return std::chrono::milliseconds(2 * timeoutMs + 500); }

// A function this server does not serve may carry data libmodbus did not
// read; what the header announces is taken off the line, bounded, so the
// next frame starts where it should.
bool DrainRest(modbus_t* ctx, size_t bytes) {
  const int fd = modbus_get_socket(ctx);
  uint8_t sink[256];
  while (bytes > 0) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 1000) != 1) return false;
    const ssize_t got = recv(fd, sink, std::min(bytes, sizeof sink), 0);
    if (got <= 0) return false;
    bytes -= static_cast<size_t>(got);
  }
  return true;
}

struct WriteWait {
  std::mutex mutex;
  std::condition_variable done;
  size_t left = 0;
  bool refused = false;
  bool unanswered = false;
  bool unfit = false;  // the driver built no command: the value does not fit the module's field
};

}  // namespace

bool ModbusRequests::Answer(modbus_t* ctx, const ModbusMap& map, const uint8_t* request, int length) {
  if (length < kHeader + 1) return false;
  // The header names protocol 0 and counts the unit and the PDU; anything
  // else is not a frame of this protocol.
  const uint32_t announced = Word(request + 4);
  if (Word(request + 2) != 0 || announced < 2 || announced > MODBUS_TCP_MAX_ADU_LENGTH - 6) return false;
  const int function = request[kHeader];
  // libmodbus reads the fields each function has; a caller that passes a
  // frame of its own is held to them as well.
  const bool multiple = function == MODBUS_FC_WRITE_MULTIPLE_COILS || function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS;
  const bool served = multiple || (function >= MODBUS_FC_READ_COILS && function <= MODBUS_FC_WRITE_SINGLE_REGISTER);
  if (served && length < kHeader + (multiple ? 6 : 5)) return false;
  switch (function) {
    case MODBUS_FC_READ_COILS:
    case MODBUS_FC_READ_DISCRETE_INPUTS:
    case MODBUS_FC_READ_HOLDING_REGISTERS:
    case MODBUS_FC_READ_INPUT_REGISTERS:
      return announced == static_cast<uint32_t>(length - 6) && Read(ctx, map, request, length);
    case MODBUS_FC_WRITE_SINGLE_COIL:
    case MODBUS_FC_WRITE_SINGLE_REGISTER:
    case MODBUS_FC_WRITE_MULTIPLE_COILS:
    case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
      return announced == static_cast<uint32_t>(length - 6) && Write(ctx, map, request, length);
    default:
      // 128 and above is where answers carry their exceptions: no request
      // has such a function, and its exception would wrap to another's.
      if (function >= 0x80 || announced < static_cast<uint32_t>(length - 6)) return false;
      return DrainRest(ctx, announced - static_cast<uint32_t>(length - 6)) &&
             modbus_reply_exception(ctx, request, kIllegalFunction) != -1;
  }
}

int ModbusRequests::Collect(const ModbusMap& map, const ModbusUnit& unit, const EntryRange& range, uint32_t first,
                            uint32_t count) {
  const bool bits = range.begin->table == ModbusTable::kCoil || range.begin->table == ModbusTable::kDiscrete;
  const bool taken = bits ? bits_.Take(count) && registers_.Take(0) : registers_.Take(count) && bits_.Take(0);
  if (!taken) return kIllegalValue;
  const LineWorker* line = lines_.plant()->At(unit.line, map.lines[unit.line].name);
  if (line == nullptr) return kNoAnswer;
  const std::shared_ptr<const LineSnapshot> state = line->state().Latest();
  // Known and not online: its latest packet failed. Before the first
  // packet the tags below have no reading and say so.
  if (unit.device >= state->devices.size()) return kNoAnswer;
  const DeviceState& device = state->devices[unit.device];
  if (device.known && !device.online) return kNoAnswer;
  for (const ModbusEntry* e = range.begin; e != range.end; ++e) {
    if (e->tag >= state->tags.size()) return kDeviceFailure;
    const Reading& tag = state->tags[e->tag];
    if (!tag.good || !ValueToRegisters(*e, tag, value_)) return kDeviceFailure;
    // A range may hold part of a tag: its own registers of it.
    for (uint32_t r = 0; r < e->count; ++r) {
      const uint32_t address = e->address + r;
      if (address < first || address >= first + count) continue;
      const bool put = bits ? bits_.Put(address - first, static_cast<uint8_t>(value_[r] != 0))
                            : registers_.Put(address - first, value_[r]);
      if (!put) return kIllegalAddress;
    }
  }
  return 0;
}

bool ModbusRequests::Read(modbus_t* ctx, const ModbusMap& map, const uint8_t* request, int length) {
  const int function = request[kHeader];
  const uint32_t first = Word(request + kHeader + 1);
  const uint32_t count = Word(request + kHeader + 3);
  const bool bits = function == MODBUS_FC_READ_COILS || function == MODBUS_FC_READ_DISCRETE_INPUTS;
  const ModbusTable table = function == MODBUS_FC_READ_COILS             ? ModbusTable::kCoil
                            : function == MODBUS_FC_READ_DISCRETE_INPUTS ? ModbusTable::kDiscrete
                            : function == MODBUS_FC_READ_INPUT_REGISTERS ? ModbusTable::kInput
                                                                         : ModbusTable::kHolding;
  int exception = 0;
  const ModbusUnit* unit = map.Unit(request[kHeader - 1]);
  EntryRange range;
  if (unit == nullptr)
    exception = kNoPath;
  else if (count < 1 || count > (bits ? MODBUS_MAX_READ_BITS : MODBUS_MAX_READ_REGISTERS))
    exception = kIllegalValue;
  else if (first + count > 65536 ||
           (range = Overlapping(unit->tables[static_cast<size_t>(table)], first, count)).empty())
    exception = kIllegalAddress;
  else
    exception = Collect(map, *unit, range, first, count);
  if (exception != 0) return modbus_reply_exception(ctx, request, static_cast<unsigned>(exception)) != -1;
  // libmodbus frames the answer from a mapping that is exactly the range
  // (the view Collect took), and answers 0x02 to a request beyond it.
  modbus_mapping_t mapping = {};
  if (bits) {
    int* start = table == ModbusTable::kCoil ? &mapping.start_bits : &mapping.start_input_bits;
    int* size = table == ModbusTable::kCoil ? &mapping.nb_bits : &mapping.nb_input_bits;
    *start = static_cast<int>(first);
    *size = static_cast<int>(bits_.size());
    mapping.tab_bits = mapping.tab_input_bits = bits_.data();
  } else {
    int* start = table == ModbusTable::kHolding ? &mapping.start_registers : &mapping.start_input_registers;
    int* size = table == ModbusTable::kHolding ? &mapping.nb_registers : &mapping.nb_input_registers;
    *start = static_cast<int>(first);
    *size = static_cast<int>(registers_.size());
    mapping.tab_registers = mapping.tab_input_registers = registers_.data();
  }
  return modbus_reply(ctx, request, length, &mapping) != -1;
}

int ModbusRequests::Apply(const ModbusMap& map, const ModbusUnit& unit, const std::vector<TagWrite>& writes) {
  auto wait = std::make_shared<WriteWait>();
  wait->left = writes.size();
  size_t ahead = 0;
  std::string reason;
  const bool queued = lines_.Write(
      map.lines[unit.line].name, writes,
      [wait](size_t, const WriteOutcome& outcome) {
        std::lock_guard<std::mutex> lock(wait->mutex);
        --wait->left;
        if (!outcome.ok && outcome.reason == "not built")
          wait->unfit = true;
        else if (!outcome.ok)
          (outcome.answered ? wait->refused : wait->unanswered) = true;
        wait->done.notify_all();
      },
      &ahead, &reason);
  if (!queued) return reason == "write queue full" ? kBusy : kNoAnswer;
  // Every write ahead, these, and the packet on the line now.
  const auto until = std::chrono::steady_clock::now() +
                     ExchangeBound(map.lines[unit.line].timeoutMs) * static_cast<int>(ahead + writes.size() + 1);
  std::unique_lock<std::mutex> lock(wait->mutex);
  while (wait->left > 0 && !stopping_ && std::chrono::steady_clock::now() < until)
    wait->done.wait_for(lock, std::chrono::milliseconds(200));
  if (wait->left > 0 || wait->unanswered) return kNoAnswer;
  if (wait->unfit) return kIllegalValue;
  return wait->refused ? kDeviceFailure : 0;
}

bool ModbusRequests::Write(modbus_t* ctx, const ModbusMap& map, const uint8_t* request, int length) {
  const int function = request[kHeader];
  const uint32_t first = Word(request + kHeader + 1);
  const bool bits = function == MODBUS_FC_WRITE_SINGLE_COIL || function == MODBUS_FC_WRITE_MULTIPLE_COILS;
  const bool single = function == MODBUS_FC_WRITE_SINGLE_COIL || function == MODBUS_FC_WRITE_SINGLE_REGISTER;
  // The values as registers (a coil: 0 or 1 per element).
  uint32_t count = 1;
  int exception = 0;
  if (single) {
    const uint32_t value = Word(request + kHeader + 3);
    if (bits && value != 0xFF00 && value != 0) exception = kIllegalValue;
    registers_.Take(1);
    registers_.Put(0, static_cast<uint16_t>(bits ? value != 0 : value));
  } else {
    count = Word(request + kHeader + 3);
    const uint32_t bytes = request[kHeader + 5];
    const uint32_t limit = bits ? MODBUS_MAX_WRITE_BITS : MODBUS_MAX_WRITE_REGISTERS;
    if (count < 1 || count > limit || bytes != (bits ? (count + 7) / 8 : 2 * count) ||
        static_cast<uint32_t>(length) != kHeader + 6 + bytes || !registers_.Take(count))
      exception = kIllegalValue;
    // The values are read from the frame's own bytes, which the length
    // check above has shown to be there.
    const uint8_t* values = request + kHeader + 6;
    for (uint32_t i = 0; exception == 0 && i < count; ++i)
      if (!registers_.Put(i, static_cast<uint16_t>(bits ? (values[i / 8] >> (i % 8)) & 1 : Word(values + 2 * i))))
        exception = kIllegalValue;
  }
  const ModbusUnit* unit = map.Unit(request[kHeader - 1]);
  const ModbusTable table = bits ? ModbusTable::kCoil : ModbusTable::kHolding;
  if (unit == nullptr) exception = kNoPath;
  EntryRange range;
  if (exception == 0) {
    range = first + count > 65536 ? EntryRange() : Overlapping(unit->tables[static_cast<size_t>(table)], first, count);
    // Whole writable tags, nothing between them.
    uint32_t covered = first;
    for (const ModbusEntry* e = range.begin; e != range.end && exception == 0; ++e) {
      if (e->address != covered || !e->writable) exception = kIllegalAddress;
      covered = static_cast<uint32_t>(e->address) + e->count;
    }
    if (range.empty() || covered != first + count) exception = kIllegalAddress;
  }
  // Every value is checked before any is queued.
  writes_.clear();
  for (const ModbusEntry* e = range.begin; exception == 0 && e != range.end; ++e) {
    const uint16_t* values = registers_.Slice(e->address - first, e->count);
    if (values == nullptr) {
      exception = kIllegalAddress;
      break;
    }
    TagWrite write;
    write.tag = e->tag;
    write.text = RegistersToText(*e, values);
    std::string error;
    if (!hostlib::EncodeValue(write.text, e->dataType, &write.slot, &error)) exception = kIllegalValue;
    writes_.push_back(write);
  }
  if (exception == 0) exception = Apply(map, *unit, writes_);
  if (exception != 0) return modbus_reply_exception(ctx, request, static_cast<unsigned>(exception)) != -1;
  // libmodbus echoes the request into a scratch mapping of the range.
  modbus_mapping_t mapping = {};
  if (bits) {
    if (!bits_.Take(count)) return modbus_reply_exception(ctx, request, kIllegalValue) != -1;
    mapping.start_bits = static_cast<int>(first);
    mapping.nb_bits = static_cast<int>(bits_.size());
    mapping.tab_bits = bits_.data();
  } else {
    mapping.start_registers = static_cast<int>(first);
    mapping.nb_registers = static_cast<int>(registers_.size());
    mapping.tab_registers = registers_.data();
  }
  return modbus_reply(ctx, request, length, &mapping) != -1;
}

}  // namespace velkd
