// One Modbus TCP request, as libmodbus received it, answered from the
// lines' latest readings (reads) or through their write queues (writes).
// Exceptions: 0x01 a function other than 1 to 6, 15 and 16 below 128 (a
// function of 128 and above closes the connection); 0x02 a range
// without tags, one that cuts a tag or holds a tag that is not writable;
// 0x03 a count beyond the function's limit, a value the tag's type cannot
// take or one the driver finds does not fit the module's field;
// 0x04 a tag without a good reading, or a write the module refused; 0x06
// the line's write queue is full; 0x0A no device is that unit; 0x0B the
// unit's device is offline or did not answer the write.
#ifndef VELKD_MODBUS_REQUESTS_H
#define VELKD_MODBUS_REQUESTS_H

#include <modbus.h>
#include <stdint.h>

#include <atomic>
#include <vector>

#include "core/face.h"
#include "core/gateway.h"
#include "modbus/bounded_scratch.h"
#include "modbus/modbus_map.h"

namespace velkd {

class ModbusRequests {
 public:
  // `stopping` ends a wait for a write early.
  ModbusRequests(Lines& lines, const std::atomic<bool>& stopping) : lines_(lines), stopping_(stopping) {}

  // Answers `request` (`length` bytes, as modbus_receive gave it) on `ctx`.
  // False when the frame is malformed or the answer cannot be sent: the
  // connection is then closed.
  bool Answer(modbus_t* ctx, const ModbusMap& map, const uint8_t* request, int length);

 private:
  bool Read(modbus_t* ctx, const ModbusMap& map, const uint8_t* request, int length);
  bool Write(modbus_t* ctx, const ModbusMap& map, const uint8_t* request, int length);
  // The values of `registers` (first..first+count) from the unit's tags in
  // its line's latest snapshot; 0 or the exception.
  int Collect(const ModbusMap& map, const ModbusUnit& unit, const EntryRange& range, uint32_t first, uint32_t count);
  // Queues the writes and waits, bounded, for their outcome; 0 or the exception.
  int Apply(const ModbusMap& map, const ModbusUnit& unit, const std::vector<TagWrite>& writes);

  Lines& lines_;
  const std::atomic<bool>& stopping_;
  // Scratch of this connection, the largest a request can ask for: a read
  // of 125 registers or 2000 bits, a write of 1968 coils (one element
  // each) or 123 registers. Each request sees only the count it gave.
  BoundedScratch<uint16_t, MODBUS_MAX_WRITE_BITS> registers_;
  BoundedScratch<uint8_t, MODBUS_MAX_READ_BITS> bits_;
  uint16_t value_[8] = {};
  std::vector<TagWrite> writes_;
};

}  // namespace velkd

#endif
