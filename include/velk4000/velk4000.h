// Public interface of the Velk4000 serial I/O driver: the records a host
// exchanges with the driver, the two driver interfaces and the identifiers
// under which the component is found.
//
// Ownership: the host owns every record that crosses these interfaces. The
// driver reads and writes them in place during a call and keeps no pointer to
// them afterwards, with one exception: TagDef::registerName points into the
// driver's constant register tables and stays valid while the library is
// loaded. Register tables returned by GetRegisterTable live as long.
//
// Layout: on 32-bit targets (the host's own platform) every record has the
// exact byte layout the host uses; the end of this header checks each offset
// at compile time, for the driver and for every host built against it. On 64-bit targets pointers are 8 bytes and the records follow natural
// alignment, which is what a 64-bit host compiled with this header sees.
#ifndef VELK4000_VELK4000_H
#define VELK4000_VELK4000_H

#include <stdint.h>

#if defined(_WIN32)
#define VELK_CALL __stdcall
#else
#define VELK_CALL
#endif

namespace velk {

// A COM status code: 32 bits on every platform.
typedef int32_t HResult;

const HResult kOk = 0;
const HResult kFalse = 1;
const HResult kNoInterface = static_cast<HResult>(0x80004002u);
const HResult kPointer = static_cast<HResult>(0x80004003u);
const HResult kFail = static_cast<HResult>(0x80004005u);
const HResult kOutOfMemory = static_cast<HResult>(0x8007000Eu);
const HResult kInvalidArg = static_cast<HResult>(0x80070057u);
const HResult kNoAggregation = static_cast<HResult>(0x80040110u);
const HResult kClassNotAvailable = static_cast<HResult>(0x80040111u);

struct Guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};

inline bool operator==(const Guid& a, const Guid& b) {
  if (a.data1 != b.data1 || a.data2 != b.data2 || a.data3 != b.data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.data4[i] != b.data4[i]) return false;
  return true;
}
inline bool operator!=(const Guid& a, const Guid& b) { return !(a == b); }

// {F1C9CCD5-B1EF-11D2-8213-00400565D27C}
const Guid kClsidVelk4000Pro = {0xF1C9CCD5, 0xB1EF, 0x11D2, {0x82, 0x13, 0x00, 0x40, 0x05, 0x65, 0xD2, 0x7C}};
// {2D921821-D190-11D1-BB16-004005625AD7}
const Guid kIidIDriver = {0x2D921821, 0xD190, 0x11D1, {0xBB, 0x16, 0x00, 0x40, 0x05, 0x62, 0x5A, 0xD7}};
// {8CB34601-A8F5-11D4-8BE0-0050BACFBB99}
const Guid kIidIDriver2 = {0x8CB34601, 0xA8F5, 0x11D4, {0x8B, 0xE0, 0x00, 0x50, 0xBA, 0xCF, 0xBB, 0x99}};
// {F1C9CCD4-B1EF-11D2-8213-00400565D27C}: the driver's (empty) dispatch interface.
const Guid kIidDriverDispatch = {0xF1C9CCD4, 0xB1EF, 0x11D2, {0x82, 0x13, 0x00, 0x40, 0x05, 0x65, 0xD2, 0x7C}};
// {00000000-0000-0000-C000-000000000046}
const Guid kIidIUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {00000001-0000-0000-C000-000000000046}
const Guid kIidIClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {00020400-0000-0000-C000-000000000046}
const Guid kIidIDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

#define VELK4000_PROGID "Velk4000.Velk4000Pro"

// An operating-system port handle as the host holds it: a HANDLE on Windows,
// a file descriptor on POSIX. All bits set means "no port".
typedef intptr_t PortHandle;
const PortHandle kInvalidPort = -1;

// Data type codes of a tag. A register's type mask is an OR of them.
enum DataType : int16_t {
  kTypeBit = 0x0001,
  kTypeByte = 0x0002,
  kTypeShort = 0x0004,
  kTypeWord = 0x0008,
  kTypeLong = 0x0020,
  kTypeFloat = 0x0080,
  kTypeString = 0x0100,
};

const uint16_t kQualityGood = 192;

// The four bytes that carry a tag's value. Which bytes are meaningful depends
// on the tag's data type: the low byte (byte), the low half (short, string
// atom), or all four (bit, word, long, float).
struct ValueSlot {
  uint8_t raw[4];
};

// One row of a register table.
struct RegisterDef {
  char name[8];
  int32_t minChannel;
  int32_t maxChannel;
  int32_t typeMask;
  int32_t code;
};

// The host framework's pointer list, embedded in every Packet. Only the
// first-to-last walk along `next` is used by the driver.
struct PtrListNode {
  PtrListNode* next;
  PtrListNode* prev;
  void* item;
};

struct PtrList {
  void* table;
  PtrListNode* head;
  PtrListNode* tail;
  int32_t count;
  void* freeNodes;
  void* blocks;
  int32_t blockSize;
};

struct DeviceRecord {
  uint32_t address;
  uint8_t noChecksum;  // 0: commands carry a checksum and answers are verified
  uint8_t hostField5[3];
};

struct Packet {
  int16_t hostField0;
  int16_t address;
  DeviceRecord* device;
  const char* moduleType;
  const char* registerName;
  int16_t registerCode;
  int16_t decimals;
  int16_t hostField20;
  int16_t hostField22;
  int32_t channelLow;
  int32_t channelHigh;
  int16_t direction;  // 0 read, 1 write
  uint8_t padding34[2];
  PtrList items;  // TagItem* under IDriver, TagItem2* under IDriver2
};

struct TagItem {
  int16_t hostField0;
  int16_t channel;
  int16_t dataType;
  int16_t registerCode;
  uint8_t hostField8[4];
  ValueSlot value;
};

struct TagItem2 {
  int16_t hostField0;
  int16_t channel;
  int16_t dataType;
  uint8_t unused6[2];
  ValueSlot value;
  int32_t registerCode;
  uint16_t quality;
  uint8_t unused18[2];
  // 100-ns intervals since 1601-01-01 UTC, as two halves so that the record
  // keeps the host's 4-byte alignment on every 32-bit compiler.
  uint32_t timeStampLow;
  uint32_t timeStampHigh;
};

struct PortSettings {
  uint8_t hostField0[4];
  char portName[32];
  uint32_t baudRate;
  uint8_t dataBits;
  uint8_t padding41;
  int16_t stopBits;
  uint8_t parity;  // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t padding45;
  int16_t timeoutMs;
  uint8_t hostField48[8];
};

struct TagConfig {
  char moduleType[32];     // may lack a terminating NUL
  char addressText[128];   // may lack a terminating NUL
  int16_t dataType;
};

struct TagDef {
  uint8_t hostField0[38];
  int16_t address;
  uint8_t hostField40[4];
  const char* registerName;  // the matched row of the driver's register table
  int16_t registerCode;
  int16_t subField1;
  int16_t subField2;
  int16_t subField3;
  int16_t channel;
  int16_t subField4;
};

// The interfaces carry no virtual destructor: a slot of their own would move
// every operation. Objects are destroyed by Release.
class IUnknownV {
 public:
  virtual HResult VELK_CALL QueryInterface(const Guid& iid, void** out) = 0;
  virtual uint32_t VELK_CALL AddRef() = 0;
  virtual uint32_t VELK_CALL Release() = 0;

 protected:
  ~IUnknownV() = default;
};

class IDriver : public IUnknownV {
 public:
  virtual int32_t VELK_CALL GetRegisterTable(const char* moduleType, const RegisterDef** firstRow,
                                             int32_t* rowCount) = 0;
  virtual int32_t VELK_CALL ProbeDevice(const char* moduleType, int32_t address, DeviceRecord* device) = 0;
  virtual int16_t VELK_CALL ParseTag(const TagConfig* config, TagDef* def) = 0;
  virtual int32_t VELK_CALL Reserved(uintptr_t a, uintptr_t b, uintptr_t c) = 0;
  virtual int32_t VELK_CALL OpenPort(uintptr_t reserved, const PortSettings* settings) = 0;
  virtual int32_t VELK_CALL ClosePort() = 0;
  virtual int32_t VELK_CALL DisableDeviceAlarm(const char* moduleType, int32_t address, uintptr_t reserved) = 0;
  virtual int32_t VELK_CALL CanMerge(const TagDef* tag, int32_t direction, Packet* packet) = 0;
  virtual int32_t VELK_CALL ProcessPacket(Packet* packet) = 0;
  virtual int32_t VELK_CALL ParseDeviceAddress(const char* text, DeviceRecord* device) = 0;
  virtual const char* VELK_CALL GetErrorText() = 0;

 protected:
  ~IDriver() = default;
};

class IDriver2 : public IUnknownV {
 public:
  virtual int32_t VELK_CALL ProcessPacket2(Packet* packet) = 0;
  virtual int32_t VELK_CALL SetPortHandle(const PortHandle* handle) = 0;
  virtual int32_t VELK_CALL Reserved2a(uintptr_t a, uintptr_t b, uintptr_t c) = 0;
  virtual int32_t VELK_CALL Reserved2b(uintptr_t a) = 0;

 protected:
  ~IDriver2() = default;
};

// Optional diagnostics of a driver object, for commissioning a line. Reached
// by QueryInterface(kIidIDriverDiagnostics) from the driver object; it shares
// the object's reference count. A host that never asks for it sees no change
// in any slot, record or result of IDriver and IDriver2.

// {6B1E0C52-3D7A-4F2B-9C41-8E5D2A7F1B03}
const Guid kIidIDriverDiagnostics = {0x6B1E0C52, 0x3D7A, 0x4F2B, {0x9C, 0x41, 0x8E, 0x5D, 0x2A, 0x7F, 0x1B, 0x03}};

// Why the last packet ended as it did. Values are stable: new ones are only
// ever added at the end.
enum PacketOutcome : int32_t {
  kOutcomeOk = 0,
  kOutcomeRefused = 1,           // the module answered "?"
  kOutcomeChecksumMismatch = 2,  // the answer's checksum was wrong
  kOutcomeNoAnswer = 3,          // nothing (complete) arrived before the time-out
  kOutcomeNoCarriageReturn = 4,  // bytes arrived, but the answer never ended
  kOutcomeAnswerTooLong = 5,     // the answer exceeded 512 characters
  kOutcomeNotBuilt = 6,          // no command: a value outside its field, an unknown register
  kOutcomeNoPort = 7,            // no port is open
  kOutcomePortLost = 8,          // the port hung up (adapter unplugged, peer closed)
  kOutcomeBusyBound = 9,         // a Data7810 stayed busy for the whole answer time-out
  kOutcomeBadAnswer = 10,        // an answer of the wrong form or length
  kOutcomeCount = 11,
};

// Why the last port opening failed.
enum PortOpenError : int32_t {
  kPortOpenOk = 0,
  kPortOpenMissing = 1,          // no such device or host
  kPortOpenBusy = 2,             // held by another program
  kPortOpenPermission = 3,       // access denied
  kPortOpenNotSerial = 4,        // not a serial device
  kPortOpenSettingsRefused = 5,  // the device refused the line settings
  kPortOpenOther = 6,
};

// Counters of one driver object since its creation or the last reset.
// `size` is set by the caller to sizeof(LineCounters) so that the record can
// grow at its end.
struct LineCounters {
  uint32_t size;
  uint32_t packets;        // ProcessPacket, ProcessPacket2 and ProbeDevice calls
  uint32_t exchanges;      // commands written
  uint32_t bytesSent;
  uint32_t bytesReceived;
  uint32_t outcomes[kOutcomeCount];  // packets per outcome, kOutcomeOk included
};

// Direction of a traced chunk.
enum TraceDirection : int32_t {
  kTraceSent = 0,
  kTraceReceived = 1,
};

// Called on the packet's thread, during the call, with every command written
// and every chunk of answer read. `bytes` is valid only during the call.
// `tickMs` is the system's millisecond tick at the time of the chunk.
typedef void(VELK_CALL* TraceHook)(void* context, int32_t direction, const char* bytes, int32_t length,
                                   uint32_t tickMs);

class IDriverDiagnostics : public IUnknownV {
 public:
  // The PacketOutcome of the last ProcessPacket, ProcessPacket2 or probe.
  virtual int32_t VELK_CALL GetLastOutcome() = 0;
  // The PortOpenError of the last OpenPort (or re-opening).
  virtual int32_t VELK_CALL GetLastPortError() = 0;
  // Copies min(counters->size, sizeof(LineCounters)) bytes; 1 or 0.
  virtual int32_t VELK_CALL GetCounters(LineCounters* counters) = 0;
  virtual int32_t VELK_CALL ResetCounters() = 0;
  // Registers `hook` (null removes it); 1.
  virtual int32_t VELK_CALL SetTraceHook(TraceHook hook, void* context) = 0;

 protected:
  ~IDriverDiagnostics() = default;
};

class IClassFactoryV : public IUnknownV {
 public:
  virtual HResult VELK_CALL CreateInstance(IUnknownV* outer, const Guid& iid, void** out) = 0;
  virtual HResult VELK_CALL LockServer(int32_t lock) = 0;

 protected:
  ~IClassFactoryV() = default;
};

}  // namespace velk

// Entry points of the library, found by name.
extern "C" {
typedef velk::HResult(VELK_CALL* VelkDllGetClassObjectFn)(const velk::Guid& clsid, const velk::Guid& iid,
                                                         void** out);
typedef velk::HResult(VELK_CALL* VelkDllCanUnloadNowFn)();
typedef velk::HResult(VELK_CALL* VelkDllRegisterServerFn)();
// Removes what DllRegisterServer wrote; hosts never call it themselves.
typedef velk::HResult(VELK_CALL* VelkDllUnregisterServerFn)();
}

// The records' layouts are the interface: on a 32-bit target (the host's own
// platform) a compiler that lays a record out differently from the host
// fails here instead of corrupting the host's memory at run time.
#if INTPTR_MAX == INT32_MAX
#include <stddef.h>

namespace velk {
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
}  // namespace velk
#endif

#endif  // VELK4000_VELK4000_H
