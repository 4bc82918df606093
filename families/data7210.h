// Data7210 seven-segment display modules, reached over the driver's line.
// The channel of a tag is the address of its display.
#ifndef VELK_DATAMODULES_DATA7210_H
#define VELK_DATAMODULES_DATA7210_H

#include <stdint.h>

#include <map>
#include <string>

#include "serial/serial_line.h"
#include "velk4000/velk4000.h"

namespace datamodules {

// One command and its answer.
struct Exchange {
  char command[512];
  uint32_t commandLength;
  char answer[2048];
  uint32_t answerCapacity;  // 2048 on entry; the answer's byte count on return
};

class Data7210 {
 public:
  // Talks over the driver's line, which re-opens a port that hung up and
  // keeps the diagnostics, told why a packet failed.
  explicit Data7210(serial::SerialLine& line);

  int32_t ProcessData7210Packet(velk::Packet& packet);   // items are TagItem
  int32_t ProcessData7210Packet2(velk::Packet& packet);  // items are TagItem2
  // Reads the configuration of display 02, whatever address is passed; on
  // failure the line opens its port again from its settings.
  int32_t ProbeData7210(const char* typeName, int32_t address, velk::DeviceRecord* device);
  static int32_t CanMergeData7210(const velk::TagDef& tag, int32_t direction, velk::Packet& packet);

  // The packet's first item (a TagItem2) selects the command.
  int32_t BuildData7210Command(const velk::Packet& packet, Exchange& exchange);
  // 1 when a complete answer came in time that is not a refusal, echoes the
  // display's address and holds every field the decoding reads.
  int32_t RunExchange(const velk::Packet& packet, Exchange& exchange);
  int32_t DecodeData7210Answer(velk::Packet& packet, const Exchange& exchange);
  static float HexTextToNumber(const std::string& text);

  // Baud-rate code character to the rate as text, and displayable character
  // to its four-character display code.
  std::map<std::string, std::string> baudCodeMap;
  std::map<std::string, std::string> segmentMap;

 private:
  // The twelve display characters for `text`; false when the display cannot
  // show it: a character without a segment code, or more than six
  // positions once a point is removed.
  bool DisplayCharacters(const char* text, char field[12]) const;
  static bool AnswerFits(const velk::Packet& packet, const Exchange& exchange);

  serial::SerialLine& line_;
  serial::LineDiagnostics& diagnostics_;
};

}  // namespace datamodules

#endif
