/* The public header compiled as C: the size of every record and the offset
 * of every field of its C view, for c_layout_test.cpp. */
#include <stddef.h>

#include "velk4000/velk4000.h"

#include "abi/c_layout.h"

const VelkLayoutEntry velk_c_layout[] = {
#define RECORD(r) {#r, sizeof(Velk##r)},
#define FIELD(r, f) {#r "." #f, offsetof(Velk##r, f)},
#include "abi/record_fields.h"
#undef RECORD
#undef FIELD
};
const size_t velk_c_layout_count = sizeof velk_c_layout / sizeof velk_c_layout[0];

/* The C view of each interface has one table entry per C++ slot. */
const size_t velk_c_slot_counts[4] = {sizeof(struct IDriverVtbl) / sizeof(void (*)(void)),
                                      sizeof(struct IDriver2Vtbl) / sizeof(void (*)(void)),
                                      sizeof(struct IDriverDiagnosticsVtbl) / sizeof(void (*)(void)),
                                      sizeof(struct IVelkClassFactoryVtbl) / sizeof(void (*)(void))};
