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
// at compile time, for the driver and for every host built against it. On
// 64-bit targets pointers are 8 bytes and the records follow natural
// alignment, which is what a 64-bit host compiled with this header sees.
//
// Languages: C++ sees namespace velk with classes for the interfaces. C (C99
// or later) sees the same records and identifiers with a Velk prefix and the
// interfaces as tables of function pointers reached through lpVtbl: see
// velk4000_c.h, which this header includes when it is compiled as C. Both
// views have the same byte layout.
//
// Return conventions, by operation:
//   ParseTag                  int16_t: 0 for a valid tag, otherwise the error
//                             code (12, 13 or 14), which GetErrorText explains
//   GetErrorText              the text of the pending error, or null
//   Reserved, Reserved2a/b,   always 1
//   ClosePort, SetPortHandle
//   every other operation     int32_t: 1 success, 0 failure
//   QueryInterface, the class factory and the entry points
//                             an HResult: kOk (0) success, negative failure
//   AddRef, Release           the new reference count
// Only configuration-time parsing (ParseDeviceAddress, ParseTag) leaves an
// error code for GetErrorText. Packets, probes and port openings report
// through their result alone; IDriverDiagnostics tells why.
//
// A host's life with one driver object (one serial line):
//   1. Load the library by path and find DllGetClassObject by name. Ask it
//      for kIidIClassFactory of kClsidVelk4000Pro, call CreateInstance for
//      kIidIDriver, QueryInterface the result for kIidIDriver2; release the
//      factory.
//   2. OpenPort with the line's PortSettings (or SetPortHandle with a port
//      the host opened).
//   3. Per device: ParseDeviceAddress fills a DeviceRecord. Per tag: fill a
//      TagConfig, ParseTag fills a TagDef; copy the device's address into
//      TagDef::address. CanMerge tells whether a tag may join an open packet.
//   4. Build one Packet per group of tags (see Packet) and call
//      ProcessPacket2 for it as often as the host's schedule asks.
//   5. Release both interfaces; the last Release closes the port.
//
// Threads: every operation runs on the caller's thread and blocks it for
// the command exchange (bounded by the answer time-out). Calls on one
// driver object must not overlap; different objects may serve different
// lines from different threads.
#ifndef VELK4000_VELK4000_H
#define VELK4000_VELK4000_H

#include <stdint.h>

#if defined(_WIN32)
#define VELK_CALL __stdcall
#else
#define VELK_CALL
#endif

// String values (data type string) reach the host as global atoms: the
// driver stores the atom's 16-bit number in the low half of the item's
// value and never deletes it. On Windows they are the system's global atoms
// (windows.h declares these three). On other systems the driver library
// exports its own process-wide table under the same names: link the library
// (pkg-config velk4000) or find them with dlsym in the loaded library.
//   GlobalAddAtomA      adds a reference to the text's atom, creating it
//                       (texts compared without case, at most 255
//                       characters); the atom (0xC000..0xFFFF) or 0
//   GlobalGetAtomNameA  copies the atom's text, NUL-terminated and cut to
//                       size - 1 characters; its length, or 0 for no atom
//   GlobalDeleteAtom    removes one reference, freeing the atom with its
//                       last; 0 on success, the atom itself on failure
// A host that is done with a string value deletes its atom once.
#if !defined(_WIN32)
#ifdef __cplusplus
extern "C" {
#endif
uint16_t GlobalAddAtomA(const char* text);
int GlobalGetAtomNameA(uint16_t atom, char* buffer, int size);
uint16_t GlobalDeleteAtom(uint16_t atom);
#ifdef __cplusplus
}
#endif
#endif

#ifdef __cplusplus

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

// Data type codes of a tag. A register's type mask is an OR of them; a
// tag's dataType holds exactly one, and ParseTag refuses one that shares no
// bit with the register's mask (error 13).
enum DataType : int16_t {
  kTypeBit = 0x0001,
  kTypeByte = 0x0002,
  kTypeShort = 0x0004,
  kTypeWord = 0x0008,
  kTypeLong = 0x0020,
  kTypeFloat = 0x0080,
  kTypeString = 0x0100,
};

// The quality ProcessPacket2 writes into every item it reads.
const uint16_t kQualityGood = 192;

// The four bytes that carry a tag's value: read by the driver for a write,
// written by it for a read. Which bytes are meaningful depends on the tag's
// data type: the low byte (byte), the low half (short, string atom), or all
// four (bit: 0 or 1, word, long, float as IEEE single). A read stores only
// the width its data type names and leaves the other bytes as they were, so
// clear the slot before a read. Copy with memcpy, little-endian.
struct ValueSlot {
  uint8_t raw[4];
};

// One row of a register table (GetRegisterTable): the register's name as
// tags spell it, the channels it takes (minChannel..maxChannel), the data
// types it takes, and its code, which is its row index.
struct RegisterDef {
  char name[8];
  int32_t minChannel;
  int32_t maxChannel;
  int32_t typeMask;
  int32_t code;
};

// The host framework's pointer list, embedded in every Packet. The driver
// reads `head` and `count` and walks at most `count` nodes from `head` along
// `next` (the last node's `next` is null); it never changes the list. `prev`,
// `tail` and the list's bookkeeping are the host's: fill them consistently
// (prev links, tail = last node) and leave table, freeNodes and blocks null.
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

// One module as configured. ParseDeviceAddress fills it from the device
// address text: "N" gives address N (0..255) with checksums, "N.M" (M >= 1)
// address N without. Packets point to it; the driver reads noChecksum.
struct DeviceRecord {
  uint32_t address;
  uint8_t noChecksum;  // 0: commands carry a checksum and answers are verified
  uint8_t hostField5[3];
};

// One request: one module, one register, one direction and a list of items
// (at least one; a list without items fails the packet). Filled by the host
// from the TagDef of its first tag:
//   address         the module's address (TagDef::address)
//   device          the module's DeviceRecord
//   moduleType      the module type name, as given to ParseTag
//   registerName    TagDef::registerName
//   registerCode    TagDef::registerCode
//   decimals        Data7210 tags: TagDef::subField1; otherwise 0
//   channelLow/High both TagDef::channel; CanMerge widens them
//   direction       0 read, 1 write
//   items           TagItem* under IDriver, TagItem2* under IDriver2
// Items, one per tag, from the tag's TagDef and TagConfig:
//   channel = TagDef::channel, dataType = TagConfig::dataType,
//   registerCode = TagDef::registerCode, value = the value to write (a write).
// The driver writes no Packet field but channelLow and channelHigh (in
// CanMerge); it changes registerCode and direction during a Velk4050 output
// exchange and restores them before it returns. Host fields are not touched.
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

// One tag of an IDriver packet. The driver reads channel, dataType,
// registerCode (its low byte) and, for a write, value; a read writes value.
struct TagItem {
  int16_t hostField0;
  int16_t channel;
  int16_t dataType;
  int16_t registerCode;
  uint8_t hostField8[4];
  ValueSlot value;
};

// One tag of an IDriver2 packet. The driver reads channel, dataType,
// registerCode (its low byte) and, for a write, value. A read that succeeds
// writes, into every item, quality (kQualityGood) and the time stamp, and
// value where the answer carries one for the item. A failed packet and a
// write leave the items as they were (a DISPLAY write excepted, which is
// stamped): the host keeps its own last-known quality.
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

// The serial line, given to OpenPort and copied whole. portName: "COM1" on
// Windows; on other systems a name without a leading "/" means /dev/NAME and
// an absolute path is used as it stands (a path of 32 characters or more does
// not fit: give a shorter link to the device). timeoutMs becomes the answer
// time-out: how long the driver waits for further answer bytes.
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

// A configured tag, given to ParseTag and only read. The texts may fill
// their arrays without a NUL; the driver reads them bounded.
struct TagConfig {
  char moduleType[32];    // may lack a terminating NUL
  char addressText[128];  // may lack a terminating NUL
  int16_t dataType;
};

// A parsed tag. ParseTag writes registerName, registerCode, channel (-1 for
// a register without channels) and the subFields (Data7810 and Data7210
// options); the host sets address. CanMerge reads address, registerCode and
// channel.
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
  // Slot 3. The register table of a module type (name compared without
  // case): *firstRow and *rowCount, 1. The table is the driver's and lives
  // as long as the library is loaded. 0 for an unknown module type.
  virtual int32_t VELK_CALL GetRegisterTable(const char* moduleType, const RegisterDef** firstRow,
                                             int32_t* rowCount) = 0;
  // Slot 4. Asks the module at `address` whether it answers, with or
  // without a checksum as device->noChecksum says; 1 when it answered. A
  // line opened by OpenPort is opened afresh from its settings first: a
  // probe is how a host recovers a line that was lost.
  virtual int32_t VELK_CALL ProbeDevice(const char* moduleType, int32_t address, DeviceRecord* device) = 0;
  // Slot 5. Checks a tag's address text against its module type and data
  // type and fills `def` (see TagDef). 0 for a valid tag, otherwise the error
  // code: 12 no such register or text where none may follow, 13 the data
  // type does not fit the register, 14 a channel or option out of range.
  virtual int16_t VELK_CALL ParseTag(const TagConfig* config, TagDef* def) = 0;
  // Slot 6. Unused: 1.
  virtual int32_t VELK_CALL Reserved(uintptr_t a, uintptr_t b, uintptr_t c) = 0;
  // Slot 7. Opens and configures the line (see PortSettings) and takes
  // timeoutMs as the answer time-out; a port already held is closed first.
  // 1, or 0 when the port cannot be opened or refuses the settings.
  virtual int32_t VELK_CALL OpenPort(uintptr_t reserved, const PortSettings* settings) = 0;
  // Slot 8. Closes the port if one is held: 1.
  virtual int32_t VELK_CALL ClosePort() = 0;
  // Slot 9. Switches the module's alarm off; 1 when it accepted.
  virtual int32_t VELK_CALL DisableDeviceAlarm(const char* moduleType, int32_t address, uintptr_t reserved) = 0;
  // Slot 10. 1 when the tag may travel in the open packet (same module,
  // register and direction, a channel the packet's command covers); it may
  // then widen packet->channelLow/High. 0 otherwise, nothing changed.
  virtual int32_t VELK_CALL CanMerge(const TagDef* tag, int32_t direction, Packet* packet) = 0;
  // Slot 11. One command exchange for a packet of TagItem records (see
  // Packet): 1, with the values read stored for a read; 0 on any failure
  // (no answer, "?", checksum, a value that does not fit its command), with
  // no item changed.
  virtual int32_t VELK_CALL ProcessPacket(Packet* packet) = 0;
  // Slot 12. Checks a device address text and fills `device` (see
  // DeviceRecord); 1, or 0 with error code 11 pending.
  virtual int32_t VELK_CALL ParseDeviceAddress(const char* text, DeviceRecord* device) = 0;
  // Slot 13. The message of the pending error code, which it clears; null
  // when none is pending. The text stays valid until this thread's next
  // call; it names StringResource when the message library was not found
  // beside the driver.
  virtual const char* VELK_CALL GetErrorText() = 0;

 protected:
  ~IDriver() = default;
};

class IDriver2 : public IUnknownV {
 public:
  // Slot 3. ProcessPacket for a packet of TagItem2 records; a read also
  // stamps every item with quality and time (see TagItem2). 1 or 0.
  virtual int32_t VELK_CALL ProcessPacket2(Packet* packet) = 0;
  // Slot 4. Hands the driver a port the host opened and configured; the
  // driver then owns it and closes it when it is replaced or released. 1.
  virtual int32_t VELK_CALL SetPortHandle(const PortHandle* handle) = 0;
  // Slots 5 and 6. Unused: 1.
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
  kOutcomeBusCollision = 11,     // the command's echo differed from it: another sender, a stuck driver
  kOutcomeCount = 12,
  // Outcomes counted in LineCounters::outcomes; later ones in laterOutcomes.
  kOutcomesFirstCounted = 11,
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
  uint32_t packets;    // ProcessPacket, ProcessPacket2 and ProbeDevice calls
  uint32_t exchanges;  // commands written
  uint32_t bytesSent;
  uint32_t bytesReceived;
  uint32_t outcomes[kOutcomesFirstCounted];  // packets per outcome, kOutcomeOk included
  // The latest answer seen after its time-out: it came during the quiet wait
  // after its failed exchange. The module's address (-1: none seen yet, or
  // a command without one) and how long after its command the answer came.
  int32_t lateModule;
  uint32_t lateAnswerMs;
  // Packets per outcome added since the record first grew: kOutcomeBusCollision on.
  uint32_t laterOutcomes[kOutcomeCount - kOutcomesFirstCounted];
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
//   DllGetClassObject  the class factory for kClsidVelk4000Pro; its
//                      CreateInstance makes a new driver object per call
//   DllCanUnloadNow    kOk when no object and no lock is outstanding
//   DllRegisterServer  writes the registration of the program identifier
//                      (on Linux the record
//                      $XDG_CONFIG_HOME/inproc-servers/Velk4000.Velk4000Pro
//                      with clsid= and path= lines); kOk
extern "C" {
typedef velk::HResult(VELK_CALL* VelkDllGetClassObjectFn)(const velk::Guid& clsid, const velk::Guid& iid, void** out);
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
static_assert(offsetof(LineCounters, outcomes) == 20, "LineCounters.outcomes");
static_assert(offsetof(LineCounters, lateModule) == 64, "LineCounters.lateModule");
static_assert(offsetof(LineCounters, lateAnswerMs) == 68, "LineCounters.lateAnswerMs");
static_assert(offsetof(LineCounters, laterOutcomes) == 72, "LineCounters.laterOutcomes");
static_assert(sizeof(LineCounters) == 76, "LineCounters");
}  // namespace velk
#endif
#else  // !__cplusplus
#include "velk4000_c.h"
#endif  // __cplusplus

#endif  // VELK4000_VELK4000_H
