/* The C view of the Velk4000 driver's interface, included by velk4000.h when
 * it is compiled as C; include velk4000.h, not this file. Records, slots and
 * identifiers are those of the C++ view, documented there, under C names:
 *
 *   C++                          C
 *   velk::Packet, TagItem2, ...  VelkPacket, VelkTagItem2, ...
 *   velk::kClsidVelk4000Pro      VELK_CLSID_VELK4000PRO (a const VelkGuid*)
 *   velk::kIidIDriver, ...       VELK_IID_IDRIVER, ...
 *   velk::kTypeFloat, ...        VELK_TYPE_FLOAT, ...
 *   driver->ProcessPacket2(p)    driver->lpVtbl->ProcessPacket2(driver, p)
 *
 * A C++ reference argument (const Guid&) is a pointer here. Both views have
 * the same byte layout on every target; the tests compare them field by
 * field. C99 or later. */
#ifndef VELK4000_VELK4000_C_H
#define VELK4000_VELK4000_C_H

#include <stdint.h>

#ifndef VELK_CALL
#if defined(_WIN32)
#define VELK_CALL __stdcall
#else
#define VELK_CALL
#endif
#endif

typedef int32_t VelkHResult;

#define VELK_OK ((VelkHResult)0)
#define VELK_FALSE ((VelkHResult)1)
#define VELK_E_NOINTERFACE ((VelkHResult)0x80004002u)
#define VELK_E_POINTER ((VelkHResult)0x80004003u)
#define VELK_E_FAIL ((VelkHResult)0x80004005u)
#define VELK_E_OUTOFMEMORY ((VelkHResult)0x8007000Eu)
#define VELK_E_INVALIDARG ((VelkHResult)0x80070057u)
#define VELK_E_NOAGGREGATION ((VelkHResult)0x80040110u)
#define VELK_E_CLASSNOTAVAILABLE ((VelkHResult)0x80040111u)

typedef struct VelkGuid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
} VelkGuid;

/* Identifiers as pointers to constants, ready to pass where the C++ view
 * takes a const Guid&. */
#define VELK_CLSID_VELK4000PRO \
  (&(const VelkGuid){0xF1C9CCD5u, 0xB1EF, 0x11D2, {0x82, 0x13, 0x00, 0x40, 0x05, 0x65, 0xD2, 0x7C}})
#define VELK_IID_IDRIVER \
  (&(const VelkGuid){0x2D921821u, 0xD190, 0x11D1, {0xBB, 0x16, 0x00, 0x40, 0x05, 0x62, 0x5A, 0xD7}})
#define VELK_IID_IDRIVER2 \
  (&(const VelkGuid){0x8CB34601u, 0xA8F5, 0x11D4, {0x8B, 0xE0, 0x00, 0x50, 0xBA, 0xCF, 0xBB, 0x99}})
#define VELK_IID_DRIVERDISPATCH \
  (&(const VelkGuid){0xF1C9CCD4u, 0xB1EF, 0x11D2, {0x82, 0x13, 0x00, 0x40, 0x05, 0x65, 0xD2, 0x7C}})
#define VELK_IID_IUNKNOWN \
  (&(const VelkGuid){0x00000000u, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}})
#define VELK_IID_ICLASSFACTORY \
  (&(const VelkGuid){0x00000001u, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}})
#define VELK_IID_IDISPATCH \
  (&(const VelkGuid){0x00020400u, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}})
#define VELK_IID_IDRIVERDIAGNOSTICS \
  (&(const VelkGuid){0x6B1E0C52u, 0x3D7A, 0x4F2B, {0x9C, 0x41, 0x8E, 0x5D, 0x2A, 0x7F, 0x1B, 0x03}})

#define VELK4000_PROGID "Velk4000.Velk4000Pro"

typedef intptr_t VelkPortHandle;
#define VELK_INVALID_PORT ((VelkPortHandle)-1)

/* Data type codes (int16_t fields). */
enum {
  VELK_TYPE_BIT = 0x0001,
  VELK_TYPE_BYTE = 0x0002,
  VELK_TYPE_SHORT = 0x0004,
  VELK_TYPE_WORD = 0x0008,
  VELK_TYPE_LONG = 0x0020,
  VELK_TYPE_FLOAT = 0x0080,
  VELK_TYPE_STRING = 0x0100
};

#define VELK_QUALITY_GOOD 192

typedef struct VelkValueSlot {
  uint8_t raw[4];
} VelkValueSlot;

typedef struct VelkRegisterDef {
  char name[8];
  int32_t minChannel;
  int32_t maxChannel;
  int32_t typeMask;
  int32_t code;
} VelkRegisterDef;

typedef struct VelkPtrListNode {
  struct VelkPtrListNode* next;
  struct VelkPtrListNode* prev;
  void* item;
} VelkPtrListNode;

typedef struct VelkPtrList {
  void* table;
  VelkPtrListNode* head;
  VelkPtrListNode* tail;
  int32_t count;
  void* freeNodes;
  void* blocks;
  int32_t blockSize;
} VelkPtrList;

typedef struct VelkDeviceRecord {
  uint32_t address;
  uint8_t noChecksum;
  uint8_t hostField5[3];
} VelkDeviceRecord;

typedef struct VelkPacket {
  int16_t hostField0;
  int16_t address;
  VelkDeviceRecord* device;
  const char* moduleType;
  const char* registerName;
  int16_t registerCode;
  int16_t decimals;
  int16_t hostField20;
  int16_t hostField22;
  int32_t channelLow;
  int32_t channelHigh;
  int16_t direction;
  uint8_t padding34[2];
  VelkPtrList items;
} VelkPacket;

typedef struct VelkTagItem {
  int16_t hostField0;
  int16_t channel;
  int16_t dataType;
  int16_t registerCode;
  uint8_t hostField8[4];
  VelkValueSlot value;
} VelkTagItem;

typedef struct VelkTagItem2 {
  int16_t hostField0;
  int16_t channel;
  int16_t dataType;
  uint8_t unused6[2];
  VelkValueSlot value;
  int32_t registerCode;
  uint16_t quality;
  uint8_t unused18[2];
  uint32_t timeStampLow; /* 100-ns intervals since 1601-01-01 UTC */
  uint32_t timeStampHigh;
} VelkTagItem2;

typedef struct VelkPortSettings {
  uint8_t hostField0[4];
  char portName[32];
  uint32_t baudRate;
  uint8_t dataBits;
  uint8_t padding41;
  int16_t stopBits;
  uint8_t parity; /* 0 none, 1 odd, 2 even, 3 mark, 4 space */
  uint8_t padding45;
  int16_t timeoutMs;
  uint8_t hostField48[8];
} VelkPortSettings;

typedef struct VelkTagConfig {
  char moduleType[32];
  char addressText[128];
  int16_t dataType;
} VelkTagConfig;

typedef struct VelkTagDef {
  uint8_t hostField0[38];
  int16_t address;
  uint8_t hostField40[4];
  const char* registerName;
  int16_t registerCode;
  int16_t subField1;
  int16_t subField2;
  int16_t subField3;
  int16_t channel;
  int16_t subField4;
} VelkTagDef;

/* Interfaces: an object is a pointer to its table of operations. */
typedef struct IDriver {
  const struct IDriverVtbl* lpVtbl;
} IDriver;
typedef struct IDriver2 {
  const struct IDriver2Vtbl* lpVtbl;
} IDriver2;
typedef struct IDriverDiagnostics {
  const struct IDriverDiagnosticsVtbl* lpVtbl;
} IDriverDiagnostics;
typedef struct IVelkClassFactory {
  const struct IVelkClassFactoryVtbl* lpVtbl;
} IVelkClassFactory;

struct IDriverVtbl {
  VelkHResult(VELK_CALL* QueryInterface)(IDriver* self, const VelkGuid* iid, void** out);
  uint32_t(VELK_CALL* AddRef)(IDriver* self);
  uint32_t(VELK_CALL* Release)(IDriver* self);
  int32_t(VELK_CALL* GetRegisterTable)(IDriver* self, const char* moduleType, const VelkRegisterDef** firstRow,
                                       int32_t* rowCount);
  int32_t(VELK_CALL* ProbeDevice)(IDriver* self, const char* moduleType, int32_t address, VelkDeviceRecord* device);
  int16_t(VELK_CALL* ParseTag)(IDriver* self, const VelkTagConfig* config, VelkTagDef* def);
  int32_t(VELK_CALL* Reserved)(IDriver* self, uintptr_t a, uintptr_t b, uintptr_t c);
  int32_t(VELK_CALL* OpenPort)(IDriver* self, uintptr_t reserved, const VelkPortSettings* settings);
  int32_t(VELK_CALL* ClosePort)(IDriver* self);
  int32_t(VELK_CALL* DisableDeviceAlarm)(IDriver* self, const char* moduleType, int32_t address, uintptr_t reserved);
  int32_t(VELK_CALL* CanMerge)(IDriver* self, const VelkTagDef* tag, int32_t direction, VelkPacket* packet);
  int32_t(VELK_CALL* ProcessPacket)(IDriver* self, VelkPacket* packet);
  int32_t(VELK_CALL* ParseDeviceAddress)(IDriver* self, const char* text, VelkDeviceRecord* device);
  const char*(VELK_CALL* GetErrorText)(IDriver* self);
};

struct IDriver2Vtbl {
  VelkHResult(VELK_CALL* QueryInterface)(IDriver2* self, const VelkGuid* iid, void** out);
  uint32_t(VELK_CALL* AddRef)(IDriver2* self);
  uint32_t(VELK_CALL* Release)(IDriver2* self);
  int32_t(VELK_CALL* ProcessPacket2)(IDriver2* self, VelkPacket* packet);
  int32_t(VELK_CALL* SetPortHandle)(IDriver2* self, const VelkPortHandle* handle);
  int32_t(VELK_CALL* Reserved2a)(IDriver2* self, uintptr_t a, uintptr_t b, uintptr_t c);
  int32_t(VELK_CALL* Reserved2b)(IDriver2* self, uintptr_t a);
};

/* Diagnostics: outcomes, port errors, counters and the trace hook. */
enum {
  VELK_OUTCOME_OK = 0,
  VELK_OUTCOME_REFUSED = 1,
  VELK_OUTCOME_CHECKSUM_MISMATCH = 2,
  VELK_OUTCOME_NO_ANSWER = 3,
  VELK_OUTCOME_NO_CARRIAGE_RETURN = 4,
  VELK_OUTCOME_ANSWER_TOO_LONG = 5,
  VELK_OUTCOME_NOT_BUILT = 6,
  VELK_OUTCOME_NO_PORT = 7,
  VELK_OUTCOME_PORT_LOST = 8,
  VELK_OUTCOME_BUSY_BOUND = 9,
  VELK_OUTCOME_BAD_ANSWER = 10,
  VELK_OUTCOME_BUS_COLLISION = 11,
  VELK_OUTCOME_COUNT = 12,
  VELK_OUTCOMES_FIRST_COUNTED = 11
};

enum {
  VELK_PORT_OPEN_OK = 0,
  VELK_PORT_OPEN_MISSING = 1,
  VELK_PORT_OPEN_BUSY = 2,
  VELK_PORT_OPEN_PERMISSION = 3,
  VELK_PORT_OPEN_NOT_SERIAL = 4,
  VELK_PORT_OPEN_SETTINGS_REFUSED = 5,
  VELK_PORT_OPEN_OTHER = 6
};

typedef struct VelkLineCounters {
  uint32_t size;
  uint32_t packets;
  uint32_t exchanges;
  uint32_t bytesSent;
  uint32_t bytesReceived;
  uint32_t outcomes[VELK_OUTCOMES_FIRST_COUNTED];
  int32_t lateModule;
  uint32_t lateAnswerMs;
  uint32_t laterOutcomes[VELK_OUTCOME_COUNT - VELK_OUTCOMES_FIRST_COUNTED];
} VelkLineCounters;

enum { VELK_TRACE_SENT = 0, VELK_TRACE_RECEIVED = 1 };

typedef void(VELK_CALL* VelkTraceHook)(void* context, int32_t direction, const char* bytes, int32_t length,
                                       uint32_t tickMs);

struct IDriverDiagnosticsVtbl {
  VelkHResult(VELK_CALL* QueryInterface)(IDriverDiagnostics* self, const VelkGuid* iid, void** out);
  uint32_t(VELK_CALL* AddRef)(IDriverDiagnostics* self);
  uint32_t(VELK_CALL* Release)(IDriverDiagnostics* self);
  int32_t(VELK_CALL* GetLastOutcome)(IDriverDiagnostics* self);
  int32_t(VELK_CALL* GetLastPortError)(IDriverDiagnostics* self);
  int32_t(VELK_CALL* GetCounters)(IDriverDiagnostics* self, VelkLineCounters* counters);
  int32_t(VELK_CALL* ResetCounters)(IDriverDiagnostics* self);
  int32_t(VELK_CALL* SetTraceHook)(IDriverDiagnostics* self, VelkTraceHook hook, void* context);
};

struct IVelkClassFactoryVtbl {
  VelkHResult(VELK_CALL* QueryInterface)(IVelkClassFactory* self, const VelkGuid* iid, void** out);
  uint32_t(VELK_CALL* AddRef)(IVelkClassFactory* self);
  uint32_t(VELK_CALL* Release)(IVelkClassFactory* self);
  VelkHResult(VELK_CALL* CreateInstance)(IVelkClassFactory* self, void* outer, const VelkGuid* iid, void** out);
  VelkHResult(VELK_CALL* LockServer)(IVelkClassFactory* self, int32_t lock);
};

/* Entry points of the library, found by name. */
typedef VelkHResult(VELK_CALL* VelkDllGetClassObjectFn)(const VelkGuid* clsid, const VelkGuid* iid, void** out);
typedef VelkHResult(VELK_CALL* VelkDllCanUnloadNowFn)(void);
typedef VelkHResult(VELK_CALL* VelkDllRegisterServerFn)(void);

#endif /* VELK4000_VELK4000_C_H */
