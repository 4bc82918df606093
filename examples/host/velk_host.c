/* A minimal host of the Velk4000 driver in plain C. It loads the library,
 * opens a port, parses two tags of one module, puts both into one packet,
 * reads it once through IDriver2 and prints each value with its quality.
 *
 *   velk_host LIBRARY PORT MODULE DEVICE TAG1 TAG2 TYPE
 *   velk_host /usr/lib/x86_64-linux-gnu/libVelk4000.so ttyUSB0 Velk4055 7 DI0 DI1 bit
 *
 * prints "DI0 bit 1 quality 192" and "DI1 bit 0 quality 192". Exit status:
 * 0 both values read, 1 the line or the module failed, 2 wrong input. */
#include <stdio.h>
#include <string.h>

#include <velk4000/velk4000.h>

#if defined(_WIN32)
#include <windows.h>
static void* OpenLibrary(const char* path) { return (void*)LoadLibraryA(path); }
static void* FindSymbol(void* library, const char* name) { return (void*)GetProcAddress((HMODULE)library, name); }
#else
#include <dlfcn.h>
static void* OpenLibrary(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
static void* FindSymbol(void* library, const char* name) { return dlsym(library, name); }
#endif

typedef int(VELK_CALL* GetAtomNameFn)(uint16_t atom, char* buffer, int size);

static const struct {
  const char* name;
  int16_t code;
} kDataTypes[] = {{"bit", VELK_TYPE_BIT},      {"byte", VELK_TYPE_BYTE}, {"short", VELK_TYPE_SHORT},
                  {"word", VELK_TYPE_WORD},    {"long", VELK_TYPE_LONG}, {"float", VELK_TYPE_FLOAT},
                  {"string", VELK_TYPE_STRING}};

/* Into a zeroed fixed array: a text that fills it needs no NUL, the driver
 * reads such fields bounded. */
static void CopyText(char* field, size_t size, const char* text) {
  const size_t length = strlen(text);
  memcpy(field, text, length < size ? length : size);
}

/* A read stores only the width of the item's data type (see VelkValueSlot). */
static void PrintValue(const VelkTagItem2* item, GetAtomNameFn getAtomName) {
  uint32_t word;
  float real;
  char text[256];
  memcpy(&word, item->value.raw, 4);
  memcpy(&real, item->value.raw, 4);
  switch (item->dataType) {
    case VELK_TYPE_BYTE: printf("%u", (unsigned)item->value.raw[0]); break;
    case VELK_TYPE_SHORT: printf("%d", (int)(int16_t)(word & 0xFFFFu)); break;
    case VELK_TYPE_LONG: printf("%ld", (long)(int32_t)word); break;
    case VELK_TYPE_FLOAT: printf("%g", (double)real); break;
    case VELK_TYPE_STRING:
      /* The atom's number is in the low half; the host deletes it when done. */
      if (getAtomName == NULL || getAtomName((uint16_t)(word & 0xFFFFu), text, (int)sizeof text) == 0) text[0] = 0;
      printf("\"%s\"", text);
      break;
    default: printf("%lu", (unsigned long)word); /* bit, word */
  }
}

/* Why OpenPort failed, from the optional diagnostics interface: an operator
 * can act on "another program holds it", not on "cannot open". */
static const char* PortOpenCause(IDriver* driver) {
  static const char* const kCauses[] = {
      "the library gave no cause",
      "no such device: check the port name and that the adapter is plugged in",
      "another program holds the port (it is opened exclusively)",
      "this user may not open it (on Linux, join the 'dialout' group)",
      "the name is not a serial port",
      "the device refused the line settings (baud rate, data bits, parity, stop bits)",
      "the system refused the opening"};
  IDriverDiagnostics* diagnostics = NULL;
  int32_t cause = VELK_PORT_OPEN_OK;
  if (driver->lpVtbl->QueryInterface(driver, VELK_IID_IDRIVERDIAGNOSTICS, (void**)&diagnostics) == VELK_OK &&
      diagnostics != NULL) {
    cause = diagnostics->lpVtbl->GetLastPortError(diagnostics);
    diagnostics->lpVtbl->Release(diagnostics);
  }
  /* Causes added after this sample was written read as "refused". */
  if (cause < VELK_PORT_OPEN_OK || cause > VELK_PORT_OPEN_OTHER) cause = VELK_PORT_OPEN_OTHER;
  return kCauses[cause];
}

int main(int argc, char** argv) {
  int16_t dataType = 0;
  size_t i;
  if (argc != 8) {
    fprintf(stderr, "usage: velk_host LIBRARY PORT MODULE DEVICE TAG1 TAG2 TYPE\n");
    return 2;
  }
  for (i = 0; i < sizeof kDataTypes / sizeof kDataTypes[0]; ++i)
    if (strcmp(argv[7], kDataTypes[i].name) == 0) dataType = kDataTypes[i].code;
  if (dataType == 0 || strlen(argv[2]) >= sizeof(((VelkPortSettings*)0)->portName)) {
    fprintf(stderr, "unknown data type %s, or a port name of 32 characters or more\n", argv[7]);
    return 2;
  }

  /* 1. The library, its class factory, a driver object and both interfaces. */
  void* library = OpenLibrary(argv[1]);
  if (library == NULL) {
    fprintf(stderr, "cannot load %s\n", argv[1]);
    return 2;
  }
  VelkDllGetClassObjectFn getClassObject = NULL;
  GetAtomNameFn getAtomName = NULL;
  void* symbol = FindSymbol(library, "DllGetClassObject");
  memcpy(&getClassObject, &symbol, sizeof symbol);
  symbol = FindSymbol(library, "GlobalGetAtomNameA");
  memcpy(&getAtomName, &symbol, sizeof symbol);
  IVelkClassFactory* factory = NULL;
  IDriver* driver = NULL;
  IDriver2* driver2 = NULL;
  if (getClassObject == NULL ||
      getClassObject(VELK_CLSID_VELK4000PRO, VELK_IID_ICLASSFACTORY, (void**)&factory) != VELK_OK) {
    fprintf(stderr, "%s is not the driver library\n", argv[1]);
    return 2;
  }
  factory->lpVtbl->CreateInstance(factory, NULL, VELK_IID_IDRIVER, (void**)&driver);
  factory->lpVtbl->Release(factory);
  if (driver == NULL || driver->lpVtbl->QueryInterface(driver, VELK_IID_IDRIVER2, (void**)&driver2) != VELK_OK) {
    fprintf(stderr, "no driver object\n");
    if (driver != NULL) driver->lpVtbl->Release(driver);
    return 2;
  }

  /* 2. The line: 9600 baud, 8 data bits, no parity, one stop bit. */
  int status = 1;
  VelkPortSettings settings;
  memset(&settings, 0, sizeof settings);
  memcpy(settings.portName, argv[2], strlen(argv[2]) + 1);
  settings.baudRate = 9600;
  settings.dataBits = 8;
  settings.stopBits = 1;
  settings.timeoutMs = 1000;
  VelkDeviceRecord device;
  memset(&device, 0, sizeof device);
  if (driver->lpVtbl->OpenPort(driver, 0, &settings) != 1) {
    fprintf(stderr, "cannot open the port %s: %s\n", argv[2], PortOpenCause(driver));
    goto done;
  }
  if (driver->lpVtbl->ParseDeviceAddress(driver, argv[4], &device) != 1) {
    fprintf(stderr, "device address %s: %s\n", argv[4], driver->lpVtbl->GetErrorText(driver));
    status = 2;
    goto done;
  }

  /* 3. Two tags into one packet: the first sets the packet up, CanMerge
   *    admits the second. Nodes and items live on the stack. */
  VelkPacket packet;
  VelkTagDef defs[2];
  VelkTagItem2 items[2];
  VelkPtrListNode nodes[2];
  memset(&packet, 0, sizeof packet);
  memset(defs, 0, sizeof defs);
  memset(items, 0, sizeof items);
  memset(nodes, 0, sizeof nodes);
  for (i = 0; i < 2; ++i) {
    VelkTagConfig config;
    memset(&config, 0, sizeof config);
    CopyText(config.moduleType, sizeof config.moduleType, argv[3]);
    CopyText(config.addressText, sizeof config.addressText, argv[5 + i]);
    config.dataType = dataType;
    const int16_t code = driver->lpVtbl->ParseTag(driver, &config, &defs[i]);
    if (code != 0) {
      fprintf(stderr, "tag %s: error %d: %s\n", argv[5 + i], code, driver->lpVtbl->GetErrorText(driver));
      status = 2;
      goto done;
    }
    defs[i].address = (int16_t)device.address;
    if (i == 0) {
      packet.address = defs[0].address;
      packet.device = &device;
      packet.moduleType = argv[3];
      packet.registerName = defs[0].registerName;
      packet.registerCode = defs[0].registerCode;
      packet.decimals = defs[0].subField1; /* used by Data7210 displays only */
      packet.channelLow = packet.channelHigh = defs[0].channel;
      packet.direction = 0; /* read */
    } else if (driver->lpVtbl->CanMerge(driver, &defs[1], 0, &packet) != 1) {
      fprintf(stderr, "%s and %s cannot share a packet\n", argv[5], argv[6]);
      status = 2;
      goto done;
    }
    items[i].channel = defs[i].channel;
    items[i].dataType = dataType;
    items[i].registerCode = defs[i].registerCode;
    nodes[i].item = &items[i];
    nodes[i].prev = i > 0 ? &nodes[i - 1] : NULL;
    if (i > 0) nodes[i - 1].next = &nodes[i];
  }
  packet.items.head = &nodes[0];
  packet.items.tail = &nodes[1];
  packet.items.count = 2;

  /* 4. One exchange; on success every item carries quality and time. */
  if (driver2->lpVtbl->ProcessPacket2(driver2, &packet) != 1) {
    fprintf(stderr, "the module did not answer the packet\n");
    goto done;
  }
  for (i = 0; i < 2; ++i) {
    printf("%s %s ", argv[5 + i], argv[7]);
    PrintValue(&items[i], getAtomName);
    printf(" quality %u\n", (unsigned)items[i].quality);
  }
  status = 0;

done:
  /* The last Release closes the port. */
  driver2->lpVtbl->Release(driver2);
  driver->lpVtbl->Release(driver);
  return status;
}
