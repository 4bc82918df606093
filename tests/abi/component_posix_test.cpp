// The component's face on POSIX: the registration record that stands in for
// the registry, and the exported atom table.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/host_driver.h"

namespace {

namespace fs = std::filesystem;
using testsupport::HostLibrary;

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// XDG_CONFIG_HOME pointed at a folder of the test's own for its lifetime.
class ConfigHome {
 public:
  ConfigHome() {
    char dir[] = "/tmp/velkregXXXXXX";
    if (mkdtemp(dir) != nullptr) path_ = dir;
    const char* old = getenv("XDG_CONFIG_HOME");
    hadOld_ = old != nullptr;
    if (hadOld_) old_ = old;
    setenv("XDG_CONFIG_HOME", path_.c_str(), 1);
  }
  ~ConfigHome() {
    if (hadOld_)
      setenv("XDG_CONFIG_HOME", old_.c_str(), 1);
    else
      unsetenv("XDG_CONFIG_HOME");
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  fs::path Record() const { return path_ / "inproc-servers" / VELK4000_PROGID; }
  bool ok() const { return !path_.empty(); }

 private:
  fs::path path_;
  std::string old_;
  bool hadOld_ = false;
};

TEST(Registration, RoundTripWritesAndRemovesTheRecord) {
  ConfigHome home;
  ASSERT_TRUE(home.ok());
  HostLibrary lib;
  char resolved[4096];
  ASSERT_NE(realpath(VELK_DRIVER_PATH, resolved), nullptr);
  const std::string expected = std::string("clsid={F1C9CCD5-B1EF-11D2-8213-00400565D27C}\npath=") + resolved + "\n";

  EXPECT_EQ(lib.RegisterServer(), velk::kOk);
  EXPECT_EQ(ReadFile(home.Record()), expected);
  EXPECT_EQ(lib.RegisterServer(), velk::kOk);  // again: the same record, once
  EXPECT_EQ(ReadFile(home.Record()), expected);

  EXPECT_EQ(lib.UnregisterServer(), velk::kOk);
  EXPECT_FALSE(fs::exists(home.Record()));
  EXPECT_TRUE(fs::exists(home.Record().parent_path()));  // the folder may hold other servers
  EXPECT_EQ(lib.UnregisterServer(), velk::kOk);          // nothing left to remove
}

// A record this library did not write (another copy, a hand edit) is left.
TEST(Registration, RecordOfAnotherLibraryStays) {
  ConfigHome home;
  ASSERT_TRUE(home.ok());
  HostLibrary lib;
  const std::string others[] = {
      "clsid={F1C9CCD5-B1EF-11D2-8213-00400565D27C}\npath=/opt/other/libVelk4000.so\n",
      "clsid={F1C9CCD5-B1EF-11D2-8213-00400565D27C}\npath=" + fs::canonical(VELK_DRIVER_PATH).string() + "\n# kept\n",
  };
  for (const std::string& other : others) {
    fs::create_directories(home.Record().parent_path());
    std::ofstream(home.Record()) << other;
    EXPECT_EQ(lib.UnregisterServer(), velk::kOk);
    EXPECT_EQ(ReadFile(home.Record()), other);
  }
}

TEST(Component, OnlyEntryPointsAndAtomsAreExported) {
  HostLibrary lib;
  EXPECT_NE(lib.Symbol("DllUnregisterServer"), nullptr);
  EXPECT_NE(lib.Symbol("GlobalAddAtomA"), nullptr);
  EXPECT_NE(lib.Symbol("GlobalGetAtomNameA"), nullptr);
  EXPECT_NE(lib.Symbol("GlobalDeleteAtom"), nullptr);
  EXPECT_EQ(lib.Symbol("_ZN6driver12LineDriverC1ERKNS_14DriverServicesE"), nullptr);
}

TEST(Component, AtomsRoundTripThroughTheLibrary) {
  HostLibrary lib;
  typedef uint16_t (*AddAtomFn)(const char*);
  auto add = reinterpret_cast<AddAtomFn>(lib.Symbol("GlobalAddAtomA"));
  ASSERT_NE(add, nullptr);
  const uint16_t a = add("Velk module 01");
  EXPECT_GE(a, 0xC000);
  EXPECT_EQ(add("VELK MODULE 01"), a);  // same text ignoring case: same atom
  EXPECT_NE(add("another"), a);
  EXPECT_EQ(testsupport::AtomText(lib, a), "Velk module 01");
  EXPECT_EQ(testsupport::AtomText(lib, 0xBFFF), "");
  EXPECT_EQ(add(""), 0);
  // Two references to `a` so far: the text outlives the first delete only.
  typedef uint16_t (*DeleteAtomFn)(uint16_t);
  auto del = reinterpret_cast<DeleteAtomFn>(lib.Symbol("GlobalDeleteAtom"));
  ASSERT_NE(del, nullptr);
  EXPECT_EQ(del(a), 0);
  EXPECT_EQ(testsupport::AtomText(lib, a), "Velk module 01");
  EXPECT_EQ(del(a), 0);
  EXPECT_EQ(testsupport::AtomText(lib, a), "");
  EXPECT_EQ(del(a), a);  // no longer an atom
}

}  // namespace
