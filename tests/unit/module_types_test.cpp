#include <gtest/gtest.h>

#include "protocol/module_types.h"

namespace {

using protocol::Family;

TEST(ModuleTypes, NamesInFixedArraysAreReadBounded) {
  // "Velk4017" filling the whole array with no NUL after it.
  const char exact[8] = {'V', 'e', 'l', 'k', '4', '0', '1', '7'};
  EXPECT_EQ(protocol::FamilyOf(exact, sizeof exact), Family::kVelk4017);
  const char longer[9] = {'V', 'e', 'l', 'k', '4', '0', '1', '7', '+'};
  EXPECT_EQ(protocol::FamilyOf(longer, 8), Family::kVelk4017);
  EXPECT_EQ(protocol::FamilyOf(longer, sizeof longer), Family::kVelk4017);
  EXPECT_EQ(protocol::FamilyOf(nullptr), Family::kNone);
}

TEST(ModuleTypes, EighthCharacterChoosesRowCount) {
  struct Case {
    const char* name;
    int32_t rows;
  } cases[] = {{"Velk4011", 10}, {"Velk4011D", 10}, {"Velk4012", 8}, {"Velk4014D", 8},
               {"Velk4013", 3},  {"Velk4016", 7},   {"Velk4017", 5}, {"Velk4018M", 7}};
  for (const Case& c : cases) {
    protocol::RegisterGroupView view{nullptr, 0};
    ASSERT_TRUE(protocol::SelectRegisterGroup(c.name, &view)) << c.name;
    EXPECT_EQ(view.rowCount, c.rows) << c.name;
  }
}

}  // namespace
