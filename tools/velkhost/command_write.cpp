#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "commands.h"
#include "did_you_mean.h"
#include "data_types.h"
#include "outcome_text.h"
#include "packet_exchange.h"
#include "poll_view.h"
#include "register_use.h"
#include "write_field.h"

namespace velkhost {
using namespace hostlib;

int RunWrite(const LibraryOptions& libraryOptions, const LineOptions& line, const WriteArgs& args) {
  LineSession session;
  int status = session.Load(libraryOptions, line);
  if (status != kExitOk) return status;
  const LineConfig& config = session.config;
  const int tagIndex = config.FindTag(args.tag);
  if (tagIndex < 0) {
    std::string names;
    std::vector<std::string> all;
    for (const TagEntry& tag : config.tags) {
      names += (names.empty() ? "" : ", ") + tag.name;
      all.push_back(tag.name);
    }
    fprintf(stderr, "velkhost: %s has no tag '%s'%s (tags: %s)\n", config.path.c_str(), args.tag.c_str(),
            DidYouMean(args.tag, all).c_str(), names.c_str());
    return kExitConfig;
  }
  const TagEntry& tag = config.tags[static_cast<size_t>(tagIndex)];
  velk::ValueSlot slot;
  std::string error;
  if (!EncodeValue(args.value, tag.dataType, &slot, &error)) {
    fprintf(stderr, "velkhost: '%s' is not a value for tag '%s' (%s): %s\n", args.value.c_str(), tag.name.c_str(),
            DataTypeName(tag.dataType).c_str(), error.c_str());
    return kExitConfig;
  }
  status = session.Connect();
  if (status != kExitOk) return status;

  std::unique_ptr<HostPacket> packet =
      SingleTagPacket(config, session.checked, static_cast<size_t>(tagIndex), 1, session.layout());
  packet->value(0) = slot;
  // A display that refuses the command sets quality 0 and still reports
  // success; other writes leave the quality as it was.
  packet->set_quality(0, kQualityUntouched);
  const PacketOutcome outcome = RunPacket(*session.driver, *packet);
  const std::string& moduleType = config.devices[tag.deviceIndex].type;
  const WriteField* fieldOf = WriteFieldOf(moduleType, packet->record().registerName);
  const char* field = fieldOf != nullptr ? fieldOf->description : nullptr;
  if (outcome.result != 1 && outcome.reason == velk::kOutcomeNotBuilt && field != nullptr) {
    fprintf(stderr,
            "velkhost: %s does not fit the field of tag '%s' (%s %s): the command carries it in %s; nothing was "
            "sent\n",
            args.value.c_str(), tag.name.c_str(), moduleType.c_str(), packet->record().registerName, field);
    return kExitFailure;
  }
  // A register the driver never writes is no matter of the value: say so,
  // asking an object without a port, so that nothing is sent.
  if (outcome.result != 1 && outcome.reason == velk::kOutcomeNotBuilt && packet->record().registerName != nullptr) {
    std::unique_ptr<DriverObject> idle = session.library.CreateDriver();
    const auto* row = reinterpret_cast<const velk::RegisterDef*>(packet->record().registerName);
    if (idle != nullptr && strcmp(BuildsCommand(*idle, moduleType, *row, 1), "no") == 0) {
      const std::string name(row->name, strnlen(row->name, sizeof row->name));
      fprintf(stderr,
              "velkhost: tag '%s' cannot be written: register %s of %s is read-only (see `velkhost tables %s`); "
              "nothing was sent\n",
              tag.name.c_str(), name.c_str(), moduleType.c_str(), moduleType.c_str());
      return kExitFailure;
    }
  }
  if (outcome.result != 1 && outcome.reason != velk::kOutcomeCount) {
    fprintf(stderr, "velkhost: writing %s to tag '%s' failed after %.0f ms (packet %s): %s: %s\n", args.value.c_str(),
            tag.name.c_str(), outcome.ms, PacketLabel(config, *packet).c_str(), OutcomeReason(outcome.reason),
            OutcomeHint(outcome.reason));
    return kExitFailure;
  }
  if (outcome.result != 1) {
    fprintf(stderr,
            "velkhost: writing %s to tag '%s' failed after %.0f ms (packet %s): the module did not answer within "
            "%d ms, refused the command, or the register cannot be written with this type (see `velkhost tables "
            "%s`)\n",
            args.value.c_str(), tag.name.c_str(), outcome.ms, PacketLabel(config, *packet).c_str(),
            config.port.timeoutMs, config.devices[tag.deviceIndex].type.c_str());
    return kExitFailure;
  }
  if (packet->layout() == ItemLayout::kTagItem2 && packet->quality(0) == 0) {
    fprintf(stderr, "velkhost: tag '%s': the module refused the write of %s (quality 0)\n", tag.name.c_str(),
            args.value.c_str());
    return kExitFailure;
  }
  printf("wrote %s to %s (%s) in %.1f ms\n", args.value.c_str(), tag.name.c_str(), PacketLabel(config, *packet).c_str(),
         outcome.ms);

  if (args.readBack && !tag.poll) {
    printf("tag %s is written only (poll = false in %s): there is nothing to read back\n", tag.name.c_str(),
           config.path.c_str());
    return kExitOk;
  }
  if (args.readBack) {
    std::unique_ptr<HostPacket> read =
        SingleTagPacket(config, session.checked, static_cast<size_t>(tagIndex), 0, session.layout());
    const PacketOutcome readOutcome = RunPacket(*session.driver, *read);
    const TagReading reading = ReadItem(*read, 0, readOutcome, tag.dataType, session.library);
    if ((readOutcome.result != 1 && readOutcome.reason == velk::kOutcomeNotBuilt) ||
        reading.state == TagReading::kNotStored) {
      printf("tag %s cannot be read: it is write-only, so there is nothing to read back\n", tag.name.c_str());
      return kExitOk;
    }
    if (!reading.ok) {
      fprintf(stderr, "velkhost: reading %s back failed (packet %s): %s\n", tag.name.c_str(),
              PacketLabel(config, *read).c_str(), PacketReason(readOutcome, {reading}).c_str());
      return kExitFailure;
    }
    printf("read back %s = %s\n", tag.name.c_str(), ValueText(reading.value).c_str());
  }
  return kExitOk;
}

}  // namespace velkhost
