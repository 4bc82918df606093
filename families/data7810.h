// Data7810 modules: configuration, digital I/O and temperature channels,
// reached with fixed commands over the driver's line; every answer has a
// fixed length and echoes the module's address.
#ifndef VELK_DATAMODULES_DATA7810_H
#define VELK_DATAMODULES_DATA7810_H

#include <stdint.h>

#include "serial/serial_line.h"
#include "velk4000/velk4000.h"

namespace datamodules {

class Data7810 {
 public:
  explicit Data7810(serial::SerialLine& line);

  int32_t ProcessData7810Packet(velk::Packet& packet);   // items are TagItem
  int32_t ProcessData7810Packet2(velk::Packet& packet);  // items are TagItem2
  // The probe reads the module's version; the type name and the device
  // record are not needed on this path (no checksums).
  int32_t ProbeData7810(const char* typeName, int32_t address, velk::DeviceRecord* device);
  static int32_t CanMergeData7810(const velk::TagDef& tag, int32_t direction, velk::Packet& packet);

  // Sends `length` bytes of d7810SendBuffer and collects an answer of
  // `answerLength` bytes (carriage return included) into d7810ReceiveBuffer.
  // 1 when it came in time, begins with "!" and echoes address `echo`; a
  // refusal, another module's answer or one of another length fails.
  int32_t TransactCount(int32_t length, int32_t answerLength, uint8_t echo);

  char hexDigitTable[16];
  int32_t d7810SendLength = 0;
  char d7810SendBuffer[16] = {};
  int32_t d7810ReceivedCount = 0;
  char d7810ReceiveBuffer[2048];
  // The digital-output state last accepted by each module, by address: a
  // write to one module carries only that module's bits.
  uint8_t d7810OutputShadow[256] = {};

 private:
  template <typename Item>
  int32_t ProcessPacket(velk::Packet& packet);
  template <typename Item>
  int32_t ReadPacket(velk::Packet& packet);
  template <typename Item>
  int32_t WriteItem(uint8_t address, Item& item);

  // The exchanges, each a fixed command and its answer's length.
  int32_t Query(uint8_t address, char command, int32_t answerLength);
  int32_t ReadTemperatures(uint8_t address);
  // Reads the configuration, then sends the "%" command that sets address
  // `newAddress` and, when `newCodeOrNull` is given, that baud-rate code (two
  // characters), keeping what the module reported otherwise; TransactCount's
  // result.
  int32_t SendConfiguration(uint8_t address, uint8_t newAddress, const char* newCodeOrNull);
  int32_t SetAddress(uint8_t address, uint8_t newAddress);
  int32_t SetBaudRate(uint8_t address, uint32_t rate);
  // Sends `outputs` as the module's output character; the shadow takes the
  // new state only once the module accepted it.
  int32_t SetOutputs(uint8_t address, uint8_t outputs);

  void PutAddress(char* at, uint8_t address) const;
  // The answer character at `position`, or 0 where nothing arrived.
  char AnswerAt(int32_t position) const;

  serial::SerialLine& line_;
};

// The baud-rate code (3 for 1200 up to 8 for 38400, each step doubling) of a
// rate in bits per second; 0 for a rate that has no code.
uint8_t BaudCodeOfRate(uint32_t rate);

}  // namespace datamodules

#endif
