// Faults a simulated module shows on purpose, so that the driver's handling
// of a bad line is exercised: each switch shapes every answer of the module
// until it is changed. Several may be combined (a delayed, chunked answer
// with stray bytes in front, for example).
//
// The same set is written as text on the command line and in the
// configuration file, comma-separated:
//   silent              no answer at all (the command is not even looked at)
//   refuse              "?" AA for every command
//   bad_checksum        the answer's checksum is off by one (only modules
//                       that answer with a checksum have one to spoil)
//   delay=MS            the answer starts MS milliseconds after the command
//   chunks=BYTES/GAPMS  the answer goes out BYTES bytes at a time, GAPMS
//                       milliseconds apart
//   overlong=BYTES      the answer is padded with "0" before its checksum and
//                       carriage return to BYTES bytes in all (600 when no
//                       number is given)
//   no_cr               the final carriage return is left off
//   stray=HEX           these bytes (hexadecimal pairs, "00FF" when none are
//                       given) go out before the answer
//   always_busy         a Data7810 answers every temperature read with "N"
//   other_address=HH    an answer that echoes the module's address ("!" AA)
//                       names address HH instead, as if another module had
//                       answered (the next address when none is given);
//                       answers without an echo are left alone
//   truncate=N          the answer loses the last N characters before its
//                       checksum (3 when no number is given); the checksum
//                       is taken over what is left, so it still matches
//   twice               the whole answer goes out twice, run together
//   after_cr=HEX        these bytes (hexadecimal pairs, "0A" when none are
//                       given) follow the carriage return, as from a
//                       converter that appends LF or NUL
//   echo_garbled        on a line that echoes (the bus's SetEcho), the echo
//                       of a command to this module has one byte changed, as
//                       when another sender drives the bus at the same time
// Noise that holds a lead character is stray=21 ("!") or stray=3E (">");
// a late answer is delay=MS beyond the driver's time-out.
// Example: "delay=200,chunks=3/20,stray=7E"
#ifndef VELK_SIM_FAULTS_H
#define VELK_SIM_FAULTS_H

#include <stdint.h>

#include <string>

#include "sim/reply.h"

namespace sim {

struct Faults {
  bool silent = false;
  bool refuse = false;
  bool badChecksum = false;
  uint32_t delayMs = 0;
  uint32_t chunkBytes = 0;  // 0: the answer goes out in one piece
  uint32_t chunkGapMs = 0;
  uint32_t overlongBytes = 0;  // 0: the answer keeps its length
  bool noCarriageReturn = false;
  std::string strayBytes;
  bool alwaysBusy = false;
  int32_t otherAddress = -1;  // -1: none; kNextAddress: the module's address + 1
  uint32_t truncateBytes = 0;
  bool twice = false;
  std::string afterCr;
  bool echoGarbled = false;

  static const int32_t kNextAddress = 0x100;

  bool any() const;
  // The text form above; "none" for no fault.
  std::string Describe() const;
};

// Adds the faults named in `text` to `faults` (switches already set stay
// set). "" and "none" name no fault. On an unknown name or a bad number,
// returns false with a message naming the piece.
bool ParseFaults(const std::string& text, Faults* faults, std::string* error);

// Turns a module's answer (checksum, if any, and carriage return included)
// into what goes on the line under `faults`. `checksummed` says whether the
// answer's last two characters before the carriage return are a checksum.
// `silent` and `refuse` are the bus's business and not looked at here.
// `address` is the answering module's, for other_address (-1: unknown, the
// answer's echo is then left alone).
Reply ShapeAnswer(const std::string& answer, bool checksummed, const Faults& faults, int address = -1);

}  // namespace sim

#endif
