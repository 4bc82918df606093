// Turning a "Velk" module's read answer into item values. The rule of an
// item is chosen by the module type's model group, the packet's register index and,
// for some registers, the item's channel and data type; each rule stores
// exactly the width it names into the item's value slot and nothing else.
#ifndef VELK_FAMILIES_VELK_ANSWER_DECODING_H
#define VELK_FAMILIES_VELK_ANSWER_DECODING_H

#include <stdint.h>

#include "protocol/module_types.h"
#include "velk4000/velk4000.h"

namespace families {

struct DecodeRow;  // one rule of a model group's table

// The answer as the exchange left it in the packet's buffer.
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
// model groups cut the answer as they go (Velk4015's drops its carriage
// return before the first item), so one decoder serves exactly one pass over the items. Works on its own
// copy of the answer; nothing is allocated.
class AnswerDecoder {
 public:
  // Kept bytes of an answer: the longest answer the exchange accepts.
  static const int32_t kCapacity = 512;

  // `type` is the row of the packet's module type, found once per packet by
  // the driver.
  AnswerDecoder(const AnswerText& answer, const velk::Packet& packet, const protocol::ModuleType& type);

  // Each returns false when the item's rule stored nothing: no rule for its
  // register and data type, or nothing fresh to read.
  bool Decode(velk::TagItem& item);   // the rules of ProcessPacket
  bool Decode(velk::TagItem2& item);  // the rules of ProcessPacket2

  // False once a rule found the characters it reads missing or of the wrong
  // kind (the rule still stored what it read). The packet layer decodes into
  // copies first and stores nothing from an answer that fails here.
  bool formOk() const { return formOk_; }

  // The readings of the rules, by character position. Exposed for tests.
  char At(int32_t position) const;
  uint8_t Hex2(int32_t position) const;
  uint16_t Hex4(int32_t position) const;
  uint32_t Hex8(int32_t position) const;
  int32_t Int(int32_t position) const;
  float Real(int32_t position) const;

 private:
  enum class Interface { kDriver, kDriver2 };
  bool DecodeItem(Interface by, velk::ValueSlot& value, int16_t channel, int16_t dataType);
  void CutAt(int32_t position);
  void CutLastCharacter();
  // Where the answer's data ends for the form checks: before its checksum
  // or carriage return, or at the first character cut off.
  int32_t End() const { return dataEnd_ < textEnd_ ? dataEnd_ : textEnd_; }
  bool Form(bool ok) {
    if (!ok) formOk_ = false;
    return ok;
  }

  const velk::Packet& packet_;
  const DecodeRow* rows_ = nullptr;
  int32_t rowCount_ = 0;
  int preparation_ = 0;  // how the model group prepares the answer
  bool prepared_ = false;
  int32_t size_ = 0;        // bytes of text_ that were copied; the rest reads 0
  int32_t decimalEnd_ = 0;  // decimal readings stop here
  int32_t textEnd_ = 0;     // position of the first NUL (Velk4015's cuts)
  int32_t dataEnd_ = 0;     // the answer's checksum or carriage return
  bool formOk_ = true;
  char text_[kCapacity];
};

// False when an item of a read of `packet` with this data type cannot hold
// what its rule reads: a bit item on a float register would get the float's
// bits. Such a packet is refused before anything is sent.
bool ItemFitsItsRule(const velk::Packet& packet, const protocol::ModuleType& type, int16_t dataType);

}  // namespace families

#endif
