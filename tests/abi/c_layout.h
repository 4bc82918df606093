/* What c_layout.c measures of the header's C view. */
#ifndef VELK_TESTS_ABI_C_LAYOUT_H
#define VELK_TESTS_ABI_C_LAYOUT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct VelkLayoutEntry {
  const char* name; /* "Packet" for its size, "Packet.items" for an offset */
  size_t value;
} VelkLayoutEntry;

extern const VelkLayoutEntry velk_c_layout[];
extern const size_t velk_c_layout_count;
/* Entries of the C tables of IDriver, IDriver2, IDriverDiagnostics and the
 * class factory. */
extern const size_t velk_c_slot_counts[4];

#ifdef __cplusplus
}
#endif

#endif
