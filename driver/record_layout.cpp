// The host's record layouts are part of the interface: on 32-bit targets
// every offset and size is checked here.
#include <stddef.h>

#include "velk4000/velk4000.h"

namespace {

using namespace velk;

#if INTPTR_MAX == INT32_MAX
static_assert(sizeof(ValueSlot) == 4, "ValueSlot");

static_assert(offsetof(RegisterDef, name) == 0, "RegisterDef.name");
static_assert(offsetof(RegisterDef, minChannel) == 8, "RegisterDef.minChannel");
static_assert(offsetof(RegisterDef, maxChannel) == 12, "RegisterDef.maxChannel");
static_assert(offsetof(RegisterDef, typeMask) == 16, "RegisterDef.typeMask");
static_assert(offsetof(RegisterDef, code) == 20, "RegisterDef.code");
static_assert(sizeof(RegisterDef) == 24, "RegisterDef size");

static_assert(offsetof(PtrListNode, next) == 0, "PtrListNode.next");
static_assert(offsetof(PtrListNode, prev) == 4, "PtrListNode.prev");
static_assert(offsetof(PtrListNode, item) == 8, "PtrListNode.item");
static_assert(sizeof(PtrListNode) == 12, "PtrListNode size");

static_assert(offsetof(Packet, hostField0) == 0, "Packet.hostField0");
static_assert(offsetof(Packet, address) == 2, "Packet.address");
static_assert(offsetof(Packet, device) == 4, "Packet.device");
static_assert(offsetof(Packet, moduleType) == 8, "Packet.moduleType");
static_assert(offsetof(Packet, registerName) == 12, "Packet.registerName");
static_assert(offsetof(Packet, registerCode) == 16, "Packet.registerCode");
static_assert(offsetof(Packet, decimals) == 18, "Packet.decimals");
static_assert(offsetof(Packet, hostField20) == 20, "Packet.hostField20");
static_assert(offsetof(Packet, hostField22) == 22, "Packet.hostField22");
static_assert(offsetof(Packet, channelLow) == 24, "Packet.channelLow");
static_assert(offsetof(Packet, channelHigh) == 28, "Packet.channelHigh");
static_assert(offsetof(Packet, direction) == 32, "Packet.direction");
static_assert(offsetof(Packet, items) == 36, "Packet.items");
static_assert(offsetof(Packet, items) + offsetof(PtrList, table) == 36, "Packet.items.table");
static_assert(offsetof(Packet, items) + offsetof(PtrList, head) == 40, "Packet.items.head");
static_assert(offsetof(Packet, items) + offsetof(PtrList, tail) == 44, "Packet.items.tail");
static_assert(offsetof(Packet, items) + offsetof(PtrList, count) == 48, "Packet.items.count");
static_assert(sizeof(PtrList) == 28, "PtrList size");
static_assert(sizeof(Packet) == 64, "Packet size");

static_assert(offsetof(TagItem, hostField0) == 0, "TagItem.hostField0");
static_assert(offsetof(TagItem, channel) == 2, "TagItem.channel");
static_assert(offsetof(TagItem, dataType) == 4, "TagItem.dataType");
static_assert(offsetof(TagItem, registerCode) == 6, "TagItem.registerCode");
static_assert(offsetof(TagItem, hostField8) == 8, "TagItem.hostField8");
static_assert(offsetof(TagItem, value) == 12, "TagItem.value");
static_assert(sizeof(TagItem) == 16, "TagItem size");

static_assert(offsetof(TagItem2, hostField0) == 0, "TagItem2.hostField0");
static_assert(offsetof(TagItem2, channel) == 2, "TagItem2.channel");
static_assert(offsetof(TagItem2, dataType) == 4, "TagItem2.dataType");
static_assert(offsetof(TagItem2, value) == 8, "TagItem2.value");
static_assert(offsetof(TagItem2, registerCode) == 12, "TagItem2.registerCode");
static_assert(offsetof(TagItem2, quality) == 16, "TagItem2.quality");
static_assert(offsetof(TagItem2, timeStampLow) == 20, "TagItem2.timeStamp");
static_assert(offsetof(TagItem2, timeStampHigh) == 24, "TagItem2.timeStamp high half");
static_assert(sizeof(TagItem2) == 28, "TagItem2 size");

static_assert(offsetof(DeviceRecord, address) == 0, "DeviceRecord.address");
static_assert(offsetof(DeviceRecord, noChecksum) == 4, "DeviceRecord.noChecksum");
static_assert(sizeof(DeviceRecord) == 8, "DeviceRecord size");

static_assert(offsetof(PortSettings, hostField0) == 0, "PortSettings.hostField0");
static_assert(offsetof(PortSettings, portName) == 4, "PortSettings.portName");
static_assert(offsetof(PortSettings, baudRate) == 36, "PortSettings.baudRate");
static_assert(offsetof(PortSettings, dataBits) == 40, "PortSettings.dataBits");
static_assert(offsetof(PortSettings, stopBits) == 42, "PortSettings.stopBits");
static_assert(offsetof(PortSettings, parity) == 44, "PortSettings.parity");
static_assert(offsetof(PortSettings, timeoutMs) == 46, "PortSettings.timeoutMs");
static_assert(sizeof(PortSettings) == 56, "PortSettings size");

static_assert(offsetof(TagConfig, moduleType) == 0, "TagConfig.moduleType");
static_assert(offsetof(TagConfig, addressText) == 32, "TagConfig.addressText");
static_assert(offsetof(TagConfig, dataType) == 160, "TagConfig.dataType");

static_assert(offsetof(TagDef, address) == 38, "TagDef.address");
static_assert(offsetof(TagDef, registerName) == 44, "TagDef.registerName");
static_assert(offsetof(TagDef, registerCode) == 48, "TagDef.registerCode");
static_assert(offsetof(TagDef, subField1) == 50, "TagDef.subField1");
static_assert(offsetof(TagDef, subField2) == 52, "TagDef.subField2");
static_assert(offsetof(TagDef, subField3) == 54, "TagDef.subField3");
static_assert(offsetof(TagDef, channel) == 56, "TagDef.channel");
static_assert(offsetof(TagDef, subField4) == 58, "TagDef.subField4");
#endif

// A port handle must fit the host's handle type on every target.
static_assert(sizeof(PortHandle) == sizeof(void*), "PortHandle width");

}  // namespace
