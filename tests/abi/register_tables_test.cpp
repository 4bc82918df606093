// Register tables as the host reads them through GetRegisterTable.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/host_driver.h"

namespace {

using testsupport::HostDriver;
using testsupport::HostLibrary;

struct TableCase {
  const char* type;
  std::vector<std::string> names;
};

const std::vector<std::string> k4011All = {"AI",  "SPANCAL", "ZEROCAL", "DO",     "AHI",
                                           "ALO", "AEA",     "EC",      "CJCVAL", "CJCOFF"};
const std::vector<std::string> k4017All = {"AI", "SPANCAL", "ZEROCAL", "MP", "DISPLAY", "CJCVAL", "CJCOFF"};
const std::vector<std::string> k4050 = {"DI", "DO", "DISPLAY"};
const std::vector<std::string> k4080 = {"ISM",  "PCVH", "PCVL", "GM",  "MCV", "CS",
                                        "CLSC", "ICV",  "AEA",  "ALV", "DO",  "DISPLAY"};

std::vector<std::string> Prefix(const std::vector<std::string>& v, size_t n) {
  return std::vector<std::string>(v.begin(), v.begin() + static_cast<long>(n));
}

const TableCase kCases[] = {
    {"Data7810", {"Addr", "Baud", "Version", "Name", "DI", "DO", "Temp"}},
    {"data7210", {"CfgStaT", "MdVerF", "MdNameM", "SetDat"}},
    {"Velk4011", k4011All},
    {"Velk4011D", k4011All},
    {"Velk4012", Prefix(k4011All, 8)},
    {"Velk4014D", Prefix(k4011All, 8)},
    {"Velk4013", Prefix(k4011All, 3)},
    {"Velk4016", Prefix(k4011All, 7)},
    {"Velk4017", Prefix(k4017All, 5)},
    {"velk4017+", Prefix(k4017All, 5)},
    {"Velk4018", k4017All},
    {"Velk4018+", k4017All},
    {"Velk4018M", k4017All},
    {"Velk4019", k4017All},
    {"Velk4021", {"AO", "CURCALF", "CURCALT", "TRIMCAL", "DISPLAY"}},
    {"Velk4051", {"DI", "DISPLAY"}},
    {"Velk4053", {"DI", "DISPLAY"}},
    {"Velk4050", k4050},
    {"Velk4052", k4050},
    {"Velk4055", k4050},
    {"Velk4060", k4050},
    {"Velk4068", k4050},
    {"Velk4080", k4080},
    {"VELK4080D", k4080},
    {"Velk4015",
     {"VERSION", "MODULE", "ADATAIN", "NVALUE", "MULTIP", "SYNSAM", "SYNDATA", "CDIAGNO", "SPCALI", "OFCALI", "INCALI",
      "DEFCALI", "DISPLAY"}},
    {"Velk4024", {"AO", "DI", "NC", "OC", "DC", "EC", "TRCAL", "DISPLAY"}},
};

TEST(RegisterTables, EveryModuleTypeOffersItsRows) {
  HostLibrary lib;
  HostDriver drv(lib);
  ASSERT_NE(drv.d, nullptr);
  for (const TableCase& c : kCases) {
    SCOPED_TRACE(c.type);
    const velk::RegisterDef* rows = nullptr;
    int32_t count = -1;
    ASSERT_EQ(drv.d->GetRegisterTable(c.type, &rows, &count), 1);
    ASSERT_EQ(count, static_cast<int32_t>(c.names.size()));
    for (int32_t i = 0; i < count; ++i) EXPECT_EQ(std::string(rows[i].name), c.names[static_cast<size_t>(i)]);
  }
}

TEST(RegisterTables, RowContentsAsTabled) {
  HostLibrary lib;
  HostDriver drv(lib);
  const velk::RegisterDef* rows = nullptr;
  int32_t count = 0;
  ASSERT_EQ(drv.d->GetRegisterTable("Velk4015", &rows, &count), 1);
  // NVALUE: channels 1..6, short or float, code differs from its index.
  EXPECT_EQ(rows[3].minChannel, 1);
  EXPECT_EQ(rows[3].maxChannel, 6);
  EXPECT_EQ(rows[3].typeMask, 0x84);
  EXPECT_EQ(rows[3].code, 4);
  EXPECT_EQ(rows[12].code, 15);

  ASSERT_EQ(drv.d->GetRegisterTable("Velk4053", &rows, &count), 1);
  EXPECT_EQ(rows[1].code, 2);  // DISPLAY at index 1, code 2
  EXPECT_EQ(rows[0].maxChannel, 15);
  EXPECT_EQ(rows[0].typeMask, 0x0B);

  ASSERT_EQ(drv.d->GetRegisterTable("Data7210", &rows, &count), 1);
  EXPECT_EQ(rows[3].typeMask, 0x8C);
  EXPECT_EQ(rows[3].maxChannel, 255);
}

TEST(RegisterTables, UnknownNamesLeaveOutputsAlone) {
  HostLibrary lib;
  HostDriver drv(lib);
  for (const char* name : {"Velk4011 ", "Velk40", "", "Velk4099", "Data781", "Velk4011DX"}) {
    SCOPED_TRACE(name);
    const velk::RegisterDef* rows = reinterpret_cast<const velk::RegisterDef*>(0x1234);
    int32_t count = 77;
    EXPECT_EQ(drv.d->GetRegisterTable(name, &rows, &count), 0);
    EXPECT_EQ(rows, reinterpret_cast<const velk::RegisterDef*>(0x1234));
    EXPECT_EQ(count, 77);
  }
  EXPECT_EQ(drv.d->GetErrorText(), nullptr);
}

}  // namespace
