#include <gtest/gtest.h>

#include "families/family.h"
#include "protocol/module_types.h"

namespace {

using protocol::ModelGroup;

TEST(ModuleTypes, NamesInFixedArraysAreReadBounded) {
  // "Velk4017" filling the whole array with no NUL after it.
  const char exact[8] = {'V', 'e', 'l', 'k', '4', '0', '1', '7'};
  EXPECT_EQ(protocol::ModelGroupOf(exact, sizeof exact), ModelGroup::kVelk4017);
  const char longer[9] = {'V', 'e', 'l', 'k', '4', '0', '1', '7', '+'};
  EXPECT_EQ(protocol::ModelGroupOf(longer, 8), ModelGroup::kVelk4017);
  EXPECT_EQ(protocol::ModelGroupOf(longer, sizeof longer), ModelGroup::kVelk4017);
  EXPECT_EQ(protocol::ModelGroupOf(nullptr), ModelGroup::kNone);
}

// What GetRegisterTable offers the host: the types of one model group offer
// the first rows of its table, as many as the type has, whatever case the
// host writes the name in.
TEST(ModuleTypes, RegisterRowsOfEachType) {
  struct Case {
    const char* name;
    int32_t rows;
  } cases[] = {{"Velk4011", 10}, {"Velk4011D", 10}, {"Velk4012", 8},  {"Velk4014D", 8}, {"velk4013", 3},
               {"Velk4016", 7},  {"Velk4017", 5},   {"Velk4017+", 5}, {"Velk4018M", 7}};
  for (const Case& c : cases) {
    protocol::RegisterTableView view{nullptr, 0};
    ASSERT_TRUE(protocol::SelectRegisterTable(c.name, &view)) << c.name;
    EXPECT_EQ(view.rowCount, c.rows) << c.name;
  }
}

// The family decides every byte a packet puts on the wire: the Data names in
// any case are theirs, and everything else, a near miss included, is "Velk".
TEST(ModuleTypes, FamilyTableOfEachName) {
  const char unterminated[10] = {'D', 'a', 't', 'a', '7', '8', '1', '0', 'X', 'X'};
  struct Case {
    const char* name;
    size_t maxLength;
    const families::Family* family;
  } cases[] = {
      {"Data7810", 64, &families::kData7810}, {"DATA7810", 64, &families::kData7810},
      {"data7210", 64, &families::kData7210}, {unterminated, 8, &families::kData7810},
      {unterminated, 10, &families::kVelk},   {"Data7810 ", 64, &families::kVelk},
      {"Data781", 64, &families::kVelk},      {"Velk4017", 64, &families::kVelk},
      {"Unknown", 64, &families::kVelk},      {nullptr, 64, &families::kVelk},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
    EXPECT_EQ(&families::FamilyFor(cases[i].name, cases[i].maxLength), cases[i].family) << "row " << i;
}

}  // namespace
