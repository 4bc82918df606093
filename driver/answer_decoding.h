// Turning a "Velk" module's read answer into item values. The rule of an
// item is chosen by the module type's group, the packet's register index and,
// for some registers, the item's channel and data type; each rule stores
// exactly the width it names into the item's value slot and nothing else.
#ifndef VELK_DRIVER_ANSWER_DECODING_H
#define VELK_DRIVER_ANSWER_DECODING_H

#include <stdint.h>

#include "velk4000/velk4000.h"

namespace driver {

struct DecodeRow;  // one rule of a group's table

// The answer as the transaction left it in the packet's buffer.
struct AnswerText {
  // The answer from position 0, followed by whatever of the command it did
  // not overwrite. Positions from `size` on read as zero, as in the buffer
  // the command was built into.
  const char* buffer;
  int32_t size;
  // Answer bytes, carriage return included.
  int32_t answerLength;
  // True when the two characters before the carriage return were checked
  // as the answer's checksum: decimal readings then stop before them.
  bool checksumVerified;
};

// Decodes one answer into the items of one packet, in list order. Some
// groups cut the answer as they go (group 8 shortens it before every item),
// so one decoder serves exactly one pass over the items. Works on its own
// copy of the answer; nothing is allocated.
class AnswerDecoder {
 public:
  // Kept bytes of an answer: the longest answer the transaction accepts.
  static const int32_t kCapacity = 512;

  AnswerDecoder(const AnswerText& answer, const velk::Packet& packet);

  void Decode(velk::TagItem& item);   // the rules of ProcessPacket
  void Decode(velk::TagItem2& item);  // the rules of ProcessPacket2

  // The readings of the rules, by character position. Exposed for tests.
  char At(int32_t position) const;
  uint8_t Hex2(int32_t position) const;
  uint16_t Hex4(int32_t position) const;
  uint32_t Hex8(int32_t position) const;
  int32_t Int(int32_t position) const;
  float Real(int32_t position) const;

 private:
  enum class Interface { kDriver, kDriver2 };
  void DecodeItem(Interface by, velk::ValueSlot& value, int16_t channel, int16_t dataType);
  void CutAt(int32_t position);
  void CutLastCharacter();

  const velk::Packet& packet_;
  const DecodeRow* rows_ = nullptr;
  int32_t rowCount_ = 0;
  int preparation_ = 0;  // how the group prepares the answer
  bool prepared_ = false;
  int32_t size_ = 0;        // bytes of text_ that were copied; the rest reads 0
  int32_t decimalEnd_ = 0;  // decimal readings stop here
  int32_t textEnd_ = 0;     // position of the first NUL (group 8's cuts)
  char text_[kCapacity];
};

}  // namespace driver

#endif
