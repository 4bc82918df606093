// A C host and a C++ host must see the same bytes: every record's size and
// every field's offset in the header's C view equal the C++ view's, on this
// target's pointer size, and each C table has as many entries as the C++
// interface has slots.
#include <stddef.h>

#include <map>
#include <string>

#include <gtest/gtest.h>

#include "abi/c_layout.h"
#include "velk4000/velk4000.h"

namespace {

std::map<std::string, size_t> CppLayout() {
  return {
#define RECORD(r) {#r, sizeof(velk::r)},
#define FIELD(r, f) {#r "." #f, offsetof(velk::r, f)},
#include "abi/record_fields.h"
#undef RECORD
#undef FIELD
  };
}

TEST(CLayout, RecordsMatchTheCppView) {
  const std::map<std::string, size_t> cpp = CppLayout();
  ASSERT_EQ(velk_c_layout_count, cpp.size());
  for (size_t i = 0; i < velk_c_layout_count; ++i) {
    const auto it = cpp.find(velk_c_layout[i].name);
    ASSERT_NE(it, cpp.end()) << velk_c_layout[i].name;
    EXPECT_EQ(velk_c_layout[i].value, it->second) << velk_c_layout[i].name;
  }
}

// Slots counted from the C++ side: the last operation's position in the
// virtual table plus one (QueryInterface, AddRef, Release come first).
TEST(CLayout, InterfaceTablesHaveOneEntryPerSlot) {
  EXPECT_EQ(velk_c_slot_counts[0], 14u);  // IDriver: slots 0..13
  EXPECT_EQ(velk_c_slot_counts[1], 7u);   // IDriver2: slots 0..6
  EXPECT_EQ(velk_c_slot_counts[2], 8u);   // IDriverDiagnostics: slots 0..7
  EXPECT_EQ(velk_c_slot_counts[3], 5u);   // class factory: slots 0..4
}

}  // namespace
