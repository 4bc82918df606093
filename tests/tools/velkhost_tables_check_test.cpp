// `velkhost tables` and `velkhost check`: what the host shows a person who
// configures devices and tags, taken from the driver's own answers.
#include <gtest/gtest.h>

#include <regex>

#include "child_process.h"
#include "support/host_driver.h"

namespace {

using tooltest::ProgramResult;
using tooltest::RunProgram;

ProgramResult Velkhost(std::vector<std::string> args) {
  args.insert(args.begin(), {VELKHOST_PATH, "--library", VELK_DRIVER_PATH});
  return RunProgram(args);
}

// A register row as printed: row, name, channels, types, whether it can be
// read and written, code, with any spacing between the columns.
std::regex RowPattern(const std::string& row, const std::string& name, const std::string& channels,
                      const std::string& types, const std::string& readWrite, const std::string& code) {
  return std::regex("\\n +" + row + " +" + name + " +" + channels + " +" + types + " +" + readWrite + " +" + code +
                    "\\n");
}

struct TableCase {
  const char* type;
  const char* header;
  const char* row;
  const char* name;
  const char* channels;
  const char* types;
  const char* readWrite;  // "yes +no": read, write
  const char* code;
};

TEST(VelkhostTables, PrintsTheRowsTheDriverOffers) {
  const TableCase cases[] = {
      {"Velk4017", "Velk4017: 5 registers", "0", "AI", "0\\.\\.7", "float", "yes +no", "0"},
      {"velk4017+", "velk4017\\+: 5 registers", "4", "DISPLAY", "-", "word", "yes +yes", "4"},
      {"Velk4018M", "Velk4018M: 7 registers", "6", "CJCOFF", "-", "short", "no +yes", "6"},
      {"Velk4051", "Velk4051: 2 registers", "0", "DI", "0\\.\\.15", "bit\\|byte\\|word", "yes +no", "0"},
      // The code column travels with the row; it differs from the index here.
      {"Velk4051", "Velk4051: 2 registers", "1", "DISPLAY", "-", "word", "yes +yes", "2"},
      {"Velk4015", "Velk4015: 13 registers", "3", "NVALUE", "1\\.\\.6", "short\\|float", "yes +yes", "4"},
      {"Velk4013", "Velk4013: 3 registers", "2", "ZEROCAL", "-", "bit", "no +yes", "2"},
      {"Velk4021", "Velk4021: 5 registers", "0", "AO", "-", "float", "yes +yes", "0"},
      {"Data7210", "Data7210: 4 registers", "3", "SetDat", "0\\.\\.255", "short\\|word\\|float", ". +yes", "3"},
      {"Data7810", "Data7810: 7 registers", "2", "Version", "-", "string", "yes +no", "1"},
  };
  for (const TableCase& c : cases) {
    SCOPED_TRACE(c.type);
    const ProgramResult r = Velkhost({"tables", c.type});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(std::string("^") + c.header + "\\n"))) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, RowPattern(c.row, c.name, c.channels, c.types, c.readWrite, c.code))) << r.out;
  }
}

TEST(VelkhostTables, EveryKnownTypeWithoutAnArgument) {
  const ProgramResult r = Velkhost({"tables"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::regex header("(^|\\n)[A-Za-z0-9+]+: [0-9]+ registers?\\n");
  const auto count = std::distance(std::sregex_iterator(r.out.begin(), r.out.end(), header), std::sregex_iterator());
  EXPECT_EQ(count, 26) << r.out;
}

TEST(VelkhostTables, UnknownTypeIsAConfigurationError) {
  for (const char* type : {"Velk4011 ", "Velk40", "Nope"}) {
    const ProgramResult r = Velkhost({"tables", type});
    EXPECT_EQ(r.exitCode, 2) << type;
    EXPECT_NE(r.err.find(std::string("module type '") + type + "' is not known"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Velk4017+"), std::string::npos) << "lists the known types: " << r.err;
  }
}

struct CheckCase {
  const char* type;
  const char* device;
  const char* tag;
  const char* dataType;
  int exitCode;
  const char* expected;  // a regular expression the output must contain
};

TEST(VelkhostCheck, PrintsRegisterCodeAndChannel) {
  const CheckCase cases[] = {
      {"Velk4017", "1", "ai3", "float", 0, "register AI \\(row 0, code 0\\), channel 3\\n"},
      {"Velk4050", "5", "DISPLAY", "word", 0, "register DISPLAY \\(row 2, code 2\\), channel -1\\n"},
      {"Velk4051", "5", "DI010", "bit", 0, "register DI \\(row 0, code 0\\), channel 8\\n"},
      {"Velk4011", "7", " spancal ", "bit", 0, "register SPANCAL \\(row 1, code 1\\), channel -1\\n"},
      {"Velk4015", "2", "DISPLAY", "word", 0, "register DISPLAY \\(row 12, code 15\\)"},
      {"Data7810", "3", "Temp5", "float", 0,
       "register Temp \\(row 6, code 1\\), channel 5\\n  sub-fields: 0 6 5, "
       "data type float"},
      {"Data7210", "4", "SetDat2.15", "float", 0,
       "register SetDat \\(row 3, code 3\\), channel 15\\n  options: 2 -1 -1"},
      {"Data7210", "4", "SetDat15,7", "short", 0, "options: 7 -1 -1"},
      {"Velk4017", "12.300", "AI0", "float", 0, "address 12, without checksum \\(flag byte 44\\)"},
      {"Velk4017", "12", "AI0", "float", 0, "address 12, with checksum \\(flag byte 0\\)"},
  };
  for (const CheckCase& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " " + c.device + " " + c.tag + " " + c.dataType);
    const ProgramResult r = Velkhost({"check", c.type, c.device, c.tag, c.dataType});
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(c.expected))) << r.out;
  }
}

// The text shown for a rejection must be the driver's own, fetched once
// through GetErrorText: the same input through the driver directly gives it.
std::string DriverText(const char* type, const char* tag, int16_t dataType, int* code) {
  testsupport::HostLibrary library;
  testsupport::HostDriver driver(library);
  velk::TagConfig config = {};
  snprintf(config.moduleType, sizeof config.moduleType, "%s", type);
  snprintf(config.addressText, sizeof config.addressText, "%s", tag);
  config.dataType = dataType;
  velk::TagDef def = {};
  *code = driver.d->ParseTag(&config, &def);
  const char* text = driver.d->GetErrorText();
  return text != nullptr ? text : "";
}

TEST(VelkhostCheck, RejectionShowsTheCodeAndTheDriversText) {
  struct Rejection {
    const char* type;
    const char* tag;
    const char* dataTypeName;
    int16_t dataType;
    int code;
    const char* hint;  // what the register offers, before the driver's text
  };
  const Rejection cases[] = {
      {"Velk4017", "AI8", "float", velk::kTypeFloat, 14, " (AI has channels 0 to 7: AI0 to AI7)"},
      {"Velk4017", "AI1234567", "float", velk::kTypeFloat, 12, ""},
      {"Velk4050", "DO3", "float", velk::kTypeFloat, 13, " (DO takes bit, byte)"},
      {"Velk4011", "SPANCAL1", "bit", velk::kTypeBit, 12, " (SPANCAL has no channels: write SPANCAL alone)"},
      // The channel is right; the options are not.
      {"Data7210", "SetDat15,1,x", "float", velk::kTypeFloat, 14, ""},
  };
  for (const Rejection& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " " + c.tag);
    int code = 0;
    const std::string text = DriverText(c.type, c.tag, c.dataType, &code);
    ASSERT_EQ(code, c.code);
    ASSERT_FALSE(text.empty());
    const ProgramResult r = Velkhost({"check", c.type, "1", c.tag, c.dataTypeName});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("rejected" + std::string(c.hint) + ": error " + std::to_string(c.code) + ": " + text + "\n"),
              std::string::npos)
        << r.out;
  }
}

TEST(VelkhostCheck, RejectedDeviceAddressFailsEvenWhenTheTagPasses) {
  const ProgramResult r = Velkhost({"check", "Velk4017", "1a", "AI0", "float"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("device address \"1a\" rejected: error 11: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("register AI"), std::string::npos) << r.out;
}

TEST(VelkhostCheck, UnknownDataTypeNameIsAUsageError) {
  const ProgramResult r = Velkhost({"check", "Velk4017", "1", "AI0", "double"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("data type 'double'"), std::string::npos) << r.err;
}

}  // namespace
