#include "packet_exchange.h"

#include "outcome_text.h"

#include <string.h>

#include <chrono>

namespace hostlib {

PacketOutcome RunPacket(DriverObject& driver, HostPacket& packet) {
  velk::Packet& record = packet.record();
  if (record.direction == 0) {
    for (size_t i = 0; i < packet.tags().size(); ++i) {
      memset(&packet.value(i), 0, sizeof(velk::ValueSlot));
      packet.set_quality(i, kQualityUntouched);
      packet.set_timeStamp(i, 0);
    }
  }
  PacketOutcome outcome;
  const auto start = std::chrono::steady_clock::now();
  outcome.result =
      packet.layout() == ItemLayout::kTagItem ? driver.d->ProcessPacket(&record) : driver.d2->ProcessPacket2(&record);
  const auto end = std::chrono::steady_clock::now();
  outcome.ran = true;
  outcome.reason = driver.LastOutcome();
  outcome.ms = std::chrono::duration<double, std::milli>(end - start).count();
  outcome.fileTime = FileTimeNowHost();
  return outcome;
}

std::string PacketReason(const PacketOutcome& outcome, const std::vector<TagReading>& readings) {
  if (!outcome.ran) return outcome.held.empty() ? "not run" : outcome.held;
  if (outcome.result != 1)
    return OutcomeReason(outcome.reason == velk::kOutcomeOk ? velk::kOutcomeCount : outcome.reason);
  for (const TagReading& r : readings)
    if (r.state == TagReading::kRefused) return "item refused";
  for (const TagReading& r : readings)
    if (r.state == TagReading::kNotStored) return "no value";
  return OutcomeReason(velk::kOutcomeOk);
}

TagReading ReadItem(HostPacket& packet, size_t i, const PacketOutcome& outcome, int16_t dataType,
                    const DriverLibrary& library) {
  TagReading reading;
  const bool secondInterface = packet.layout() == ItemLayout::kTagItem2;
  const uint16_t quality = secondInterface ? packet.quality(i) : velk::kQualityGood;
  if (outcome.ran && outcome.result != 1 && outcome.reason == velk::kOutcomeRefused)
    reading.state = TagReading::kRefused;
  else if (!outcome.ran || outcome.result != 1)
    reading.state = TagReading::kPacketFailed;
  else if (quality == velk::kQualityGood)
    reading.state = TagReading::kGood;
  else if (quality == kQualityUntouched)
    reading.state = TagReading::kNotStored;
  else if (quality == 0)
    reading.state = TagReading::kRefused;
  else
    reading.state = TagReading::kBad;
  reading.ok = reading.state == TagReading::kGood;
  reading.quality = reading.ok ? velk::kQualityGood : (quality == kQualityUntouched ? 0 : quality);
  const uint64_t stamped = secondInterface ? packet.timeStamp(i) : 0;
  reading.fileTime = stamped != 0 ? stamped : outcome.fileTime;
  if (reading.ok) reading.value = DecodeValue(packet.value(i), dataType, library);
  return reading;
}

}  // namespace hostlib
