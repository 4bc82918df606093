#include "sim/faults.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

#include "protocol/encoding.h"

namespace sim {
namespace {

const uint32_t kDefaultOverlongBytes = 600;
const char kDefaultStray[] = "\x00\xFF";
const char kDefaultAfterCr[] = "\n";
const uint32_t kDefaultTruncate = 3;

bool ParseCount(const std::string& text, uint32_t* value) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  *value = static_cast<uint32_t>(strtoul(text.c_str(), nullptr, 10));
  return true;
}

bool ParseHexBytes(const std::string& text, std::string* bytes) {
  if (text.empty() || text.size() % 2 != 0 || text.size() > 64) return false;
  bytes->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = protocol::HexDigitValue(text[i]);
    const int lo = protocol::HexDigitValue(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes->push_back(static_cast<char>(hi * 16 + lo));
  }
  return true;
}

std::string HexText(const std::string& bytes) {
  std::string hex;
  for (char c : bytes) {
    char pair[3];
    protocol::ByteToHex(pair, static_cast<uint8_t>(c));
    hex.append(pair, 2);
  }
  return hex;
}

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  const size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

// One "name" or "name=value" piece.
bool ApplyPiece(const std::string& piece, Faults* faults, std::string* error) {
  const size_t eq = piece.find('=');
  const std::string name = Trim(piece.substr(0, eq));
  const bool hasValue = eq != std::string::npos;
  const std::string value = hasValue ? Trim(piece.substr(eq + 1)) : std::string();
  auto fail = [&](const char* why) {
    if (error != nullptr) *error = "fault \"" + piece + "\": " + why;
    return false;
  };
  auto flag = [&](bool* target) {
    if (hasValue) return fail("takes no value");
    *target = true;
    return true;
  };
  if (name == "none") return hasValue ? fail("takes no value") : true;
  if (name == "silent") return flag(&faults->silent);
  if (name == "refuse") return flag(&faults->refuse);
  if (name == "bad_checksum") return flag(&faults->badChecksum);
  if (name == "no_cr") return flag(&faults->noCarriageReturn);
  if (name == "always_busy") return flag(&faults->alwaysBusy);
  if (name == "twice") return flag(&faults->twice);
  if (name == "echo_garbled") return flag(&faults->echoGarbled);
  if (name == "other_address") {
    if (!hasValue) {
      faults->otherAddress = Faults::kNextAddress;
      return true;
    }
    std::string byte;
    const std::string pair = value.size() == 1 ? "0" + value : value;
    if (pair.size() != 2 || !ParseHexBytes(pair, &byte)) return fail("needs one hex byte, e.g. other_address=09");
    faults->otherAddress = static_cast<uint8_t>(byte[0]);
    return true;
  }
  if (name == "truncate") {
    if (!hasValue) {
      faults->truncateBytes = kDefaultTruncate;
      return true;
    }
    if (!ParseCount(value, &faults->truncateBytes) || faults->truncateBytes == 0)
      return fail("needs a number of characters, e.g. truncate=3");
    return true;
  }
  if (name == "after_cr") {
    if (!hasValue) {
      faults->afterCr = kDefaultAfterCr;
      return true;
    }
    if (!ParseHexBytes(value, &faults->afterCr)) return fail("needs hex byte pairs, e.g. after_cr=0A");
    return true;
  }
  if (name == "delay") {
    if (!ParseCount(value, &faults->delayMs)) return fail("needs milliseconds, e.g. delay=200");
    return true;
  }
  if (name == "chunks") {
    const size_t slash = value.find('/');
    uint32_t bytes = 0;
    uint32_t gap = 0;
    if (slash == std::string::npos || !ParseCount(value.substr(0, slash), &bytes) || bytes == 0 ||
        !ParseCount(value.substr(slash + 1), &gap))
      return fail("needs bytes and a gap in milliseconds, e.g. chunks=3/20");
    faults->chunkBytes = bytes;
    faults->chunkGapMs = gap;
    return true;
  }
  if (name == "overlong") {
    if (!hasValue) {
      faults->overlongBytes = kDefaultOverlongBytes;
      return true;
    }
    if (!ParseCount(value, &faults->overlongBytes) || faults->overlongBytes == 0 || faults->overlongBytes > 100000)
      return fail("needs a length of 1 to 100000 bytes, e.g. overlong=600");
    return true;
  }
  if (name == "stray") {
    if (!hasValue) {
      faults->strayBytes.assign(kDefaultStray, sizeof kDefaultStray - 1);
      return true;
    }
    if (!ParseHexBytes(value, &faults->strayBytes)) return fail("needs hex byte pairs, e.g. stray=00FF");
    return true;
  }
  return fail(
      "unknown; known are silent, refuse, bad_checksum, delay=MS, chunks=BYTES/GAPMS, "
      "overlong=BYTES, no_cr, stray=HEX, always_busy, other_address=HH, truncate=N, twice, after_cr=HEX, "
      "echo_garbled");
}

}  // namespace

bool Faults::any() const {
  return silent || refuse || badChecksum || delayMs != 0 || chunkBytes != 0 || overlongBytes != 0 || noCarriageReturn ||
         !strayBytes.empty() || alwaysBusy || otherAddress >= 0 || truncateBytes != 0 || twice || !afterCr.empty() ||
         echoGarbled;
}

std::string Faults::Describe() const {
  std::string text;
  auto add = [&text](const std::string& piece) {
    if (!text.empty()) text += ',';
    text += piece;
  };
  if (silent) add("silent");
  if (refuse) add("refuse");
  if (badChecksum) add("bad_checksum");
  if (delayMs != 0) add("delay=" + std::to_string(delayMs));
  if (chunkBytes != 0) add("chunks=" + std::to_string(chunkBytes) + "/" + std::to_string(chunkGapMs));
  if (overlongBytes != 0) add("overlong=" + std::to_string(overlongBytes));
  if (noCarriageReturn) add("no_cr");
  if (!strayBytes.empty()) add("stray=" + HexText(strayBytes));
  if (alwaysBusy) add("always_busy");
  if (otherAddress == kNextAddress) add("other_address");
  if (otherAddress >= 0 && otherAddress != kNextAddress)
    add("other_address=" + HexText(std::string(1, static_cast<char>(otherAddress))));
  if (truncateBytes != 0) add("truncate=" + std::to_string(truncateBytes));
  if (twice) add("twice");
  if (!afterCr.empty()) add("after_cr=" + HexText(afterCr));
  if (echoGarbled) add("echo_garbled");
  return text.empty() ? "none" : text;
}

bool ParseFaults(const std::string& text, Faults* faults, std::string* error) {
  Faults parsed = *faults;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = std::min(text.find(',', start), text.size());
    const std::string piece = Trim(text.substr(start, comma - start));
    if (!piece.empty() && !ApplyPiece(piece, &parsed, error)) return false;
    start = comma + 1;
  }
  *faults = parsed;
  return true;
}

Reply ShapeAnswer(const std::string& answer, bool checksummed, const Faults& faults, int address) {
  std::string body = answer;
  bool hasCr = !body.empty() && body.back() == '\r';
  if (hasCr) body.pop_back();
  if (checksummed && body.size() >= 2) body.resize(body.size() - 2);
  if (faults.otherAddress >= 0 && address >= 0 && body.size() >= 3 && body[0] == '!' &&
      body.compare(1, 2, HexText(std::string(1, static_cast<char>(address)))) == 0) {
    const int other = faults.otherAddress == Faults::kNextAddress ? address + 1 : faults.otherAddress;
    body.replace(1, 2, HexText(std::string(1, static_cast<char>(other))));
  }
  // The lead character always stays: a cut answer is still an answer.
  if (faults.truncateBytes != 0)
    body.resize(body.size() > faults.truncateBytes ? body.size() - faults.truncateBytes
                                                   : std::min<size_t>(body.size(), 1));
  if (faults.overlongBytes != 0) {
    const size_t tail = (checksummed ? 2 : 0) + (hasCr && !faults.noCarriageReturn ? 1 : 0);
    if (faults.overlongBytes > body.size() + tail) body.append(faults.overlongBytes - body.size() - tail, '0');
  }
  // The checksum is taken again over the padded text, so that an over-long
  // answer is wrong only in its length.
  std::string checksum;
  if (checksummed) {
    uint8_t sum = protocol::ChecksumOf(body.data(), body.size());
    if (faults.badChecksum) ++sum;
    char pair[3];
    protocol::ByteToHex(pair, sum);
    checksum.assign(pair, 2);
  }
  std::string line = faults.strayBytes + body + checksum;
  if (hasCr && !faults.noCarriageReturn) line += '\r' + faults.afterCr;
  if (faults.twice) line += line;

  Reply reply;
  if (faults.chunkBytes == 0) {
    reply.pieces.push_back(Piece{faults.delayMs, line});
    return reply;
  }
  for (size_t at = 0; at < line.size(); at += faults.chunkBytes) {
    const uint32_t pause = at == 0 ? faults.delayMs : faults.chunkGapMs;
    reply.pieces.push_back(Piece{pause, line.substr(at, faults.chunkBytes)});
  }
  if (reply.pieces.empty()) reply.pieces.push_back(Piece{faults.delayMs, std::string()});
  return reply;
}

}  // namespace sim
