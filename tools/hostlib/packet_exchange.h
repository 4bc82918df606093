// One packet handed to the driver as the host hands it, timed, and what each
// of its tags then holds. A failed packet yields no values: its tags are
// failed, never shown with what an earlier exchange left in the items.
#ifndef VELK_HOSTLIB_PACKET_EXCHANGE_H
#define VELK_HOSTLIB_PACKET_EXCHANGE_H

#include <stdint.h>

#include <string>
#include <vector>

#include "driver_library.h"
#include "packet_plan.h"
#include "value_format.h"

namespace hostlib {

// The quality an item keeps when the driver does not touch it; the driver
// writes only 192 or 0.
const uint16_t kQualityUntouched = 0xFFFF;

struct PacketOutcome {
  bool ran = false;
  int32_t result = 0;     // what ProcessPacket or ProcessPacket2 returned
  double ms = 0.0;        // the call's duration
  uint64_t fileTime = 0;  // when it ended
  // The driver's PacketOutcome for it; kOutcomeCount when the library has
  // no diagnostics.
  int32_t reason = velk::kOutcomeCount;
  // Why the packet was not sent, when a back-off held it back (then `ran`
  // is false and `reason` the outcome that led to it).
  std::string held;
};

struct TagReading {
  // Why a tag has no value, when it has none.
  // kRefused: the module refused (its packet failed so, or it set quality
  // 0); kBad: another quality that is not good (a Data7810 channel without
  // a valid reading gets 16).
  enum State { kGood, kPacketFailed, kRefused, kBad, kNotStored } state = kPacketFailed;
  bool ok = false;
  TagValue value;
  uint16_t quality = 0;   // the item's quality (IDriver2), else 192 or 0 by the result
  uint64_t fileTime = 0;  // the item's time stamp, else the packet's end
};

// The packet's reason for a person and for JSON: the driver's outcome, or,
// for a packet that succeeded with a tag left without value, "item refused"
// or "no value".
std::string PacketReason(const PacketOutcome& outcome, const std::vector<TagReading>& readings);

// Runs `packet` through ProcessPacket or ProcessPacket2 by its item layout.
// Before a read, the items' values and time stamps are cleared and their
// qualities marked untouched, so that what is shown afterwards is what this
// exchange stored.
PacketOutcome RunPacket(DriverObject& driver, HostPacket& packet);

// What item `i` holds after `outcome`: ok only when the packet succeeded
// and, under IDriver2, the driver marked the item good. An item the driver
// left untouched in a successful packet (a register it answers without
// reading the module) has no value, and is not taken for a refusal.
TagReading ReadItem(HostPacket& packet, size_t i, const PacketOutcome& outcome, int16_t dataType,
                    const DriverLibrary& library);

}  // namespace hostlib

#endif
