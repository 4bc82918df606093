// The component as a host sees it: entry points, class factory, interface
// identity, reference counting and the defaults of a new driver object.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <string>

#include "support/host_driver.h"

namespace {

using testsupport::HostDriver;
using testsupport::HostLibrary;

TEST(Component, FactoryOnlyForItsClass) {
  HostLibrary lib;
  void* out = reinterpret_cast<void*>(0x1);
  const velk::Guid other = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  EXPECT_EQ(lib.GetClassObject(other, velk::kIidIClassFactory, &out), velk::kClassNotAvailable);
  EXPECT_EQ(out, nullptr);

  ASSERT_EQ(lib.GetClassObject(velk::kClsidVelk4000Pro, velk::kIidIClassFactory, &out), velk::kOk);
  auto* factory = static_cast<velk::IClassFactoryV*>(out);
  void* unknown = nullptr;
  EXPECT_EQ(factory->QueryInterface(velk::kIidIUnknown, &unknown), velk::kOk);
  EXPECT_EQ(unknown, out);
  static_cast<velk::IUnknownV*>(unknown)->Release();

  // Aggregation is refused; an unknown interface creates nothing that stays.
  void* driver = reinterpret_cast<void*>(0x1);
  velk::IUnknownV* outer = factory;
  EXPECT_EQ(factory->CreateInstance(outer, velk::kIidIDriver, &driver), velk::kNoAggregation);
  EXPECT_EQ(driver, nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, other, &driver), velk::kNoInterface);
  EXPECT_EQ(driver, nullptr);
  factory->Release();
  EXPECT_EQ(lib.CanUnloadNow(), velk::kOk);
}

TEST(Component, OneIdentityOneCount) {
  HostLibrary lib;
  velk::IDriver* d = lib.CreateDriver();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(lib.CanUnloadNow(), velk::kFalse);

  void* d2 = nullptr;
  ASSERT_EQ(d->QueryInterface(velk::kIidIDriver2, &d2), velk::kOk);
  void* back = nullptr;
  ASSERT_EQ(static_cast<velk::IDriver2*>(d2)->QueryInterface(velk::kIidIDriver, &back), velk::kOk);
  EXPECT_EQ(back, static_cast<void*>(d));

  // IUnknown is the same pointer whichever interface is asked.
  void* u1 = nullptr;
  void* u2 = nullptr;
  ASSERT_EQ(d->QueryInterface(velk::kIidIUnknown, &u1), velk::kOk);
  ASSERT_EQ(static_cast<velk::IDriver2*>(d2)->QueryInterface(velk::kIidIUnknown, &u2), velk::kOk);
  EXPECT_EQ(u1, u2);
  void* dispatch = nullptr;
  ASSERT_EQ(d->QueryInterface(velk::kIidDriverDispatch, &dispatch), velk::kOk);

  void* none = reinterpret_cast<void*>(0x1);
  const velk::Guid unknownIid = {0xDEADBEEF, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
  EXPECT_EQ(d->QueryInterface(unknownIid, &none), velk::kNoInterface);
  EXPECT_EQ(none, nullptr);

  // Counts are shared: 1 (create) + d2 + back + u1 + u2 + dispatch = 6.
  EXPECT_EQ(d->AddRef(), 7u);
  EXPECT_EQ(static_cast<velk::IDriver2*>(d2)->Release(), 6u);
  static_cast<velk::IUnknownV*>(dispatch)->Release();
  static_cast<velk::IUnknownV*>(u2)->Release();
  static_cast<velk::IUnknownV*>(u1)->Release();
  static_cast<velk::IDriver*>(back)->Release();
  EXPECT_EQ(d->Release(), 1u);
  EXPECT_EQ(lib.CanUnloadNow(), velk::kFalse);
  EXPECT_EQ(d->Release(), 0u);
  EXPECT_EQ(lib.CanUnloadNow(), velk::kOk);
}

TEST(Component, ServerLockHoldsTheLibrary) {
  HostLibrary lib;
  void* out = nullptr;
  ASSERT_EQ(lib.GetClassObject(velk::kClsidVelk4000Pro, velk::kIidIClassFactory, &out), velk::kOk);
  auto* factory = static_cast<velk::IClassFactoryV*>(out);
  EXPECT_EQ(factory->LockServer(1), velk::kOk);
  factory->Release();
  EXPECT_EQ(lib.CanUnloadNow(), velk::kFalse);
  ASSERT_EQ(lib.GetClassObject(velk::kClsidVelk4000Pro, velk::kIidIClassFactory, &out), velk::kOk);
  factory = static_cast<velk::IClassFactoryV*>(out);
  EXPECT_EQ(factory->LockServer(0), velk::kOk);
  factory->Release();
  EXPECT_EQ(lib.CanUnloadNow(), velk::kOk);
}

TEST(Component, FreshDriverDefaults) {
  HostLibrary lib;
  HostDriver drv(lib);
  ASSERT_NE(drv.d2, nullptr);
  EXPECT_EQ(drv.d->GetErrorText(), nullptr);
  EXPECT_EQ(drv.d->Reserved(1, 2, 3), 1);
  EXPECT_EQ(drv.d2->Reserved2a(7, 8, 9), 1);
  EXPECT_EQ(drv.d2->Reserved2b(0), 1);
  EXPECT_EQ(drv.d->ClosePort(), 1);
  EXPECT_EQ(drv.d->GetErrorText(), nullptr);
}

TEST(Component, RegistrationRecordNamesTheLibrary) {
  char dir[] = "/tmp/velkregXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const char* old = getenv("XDG_CONFIG_HOME");
  const std::string saved = old != nullptr ? old : "";
  setenv("XDG_CONFIG_HOME", dir, 1);
  HostLibrary lib;
  EXPECT_EQ(lib.RegisterServer(), velk::kOk);
  if (old != nullptr)
    setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  else
    unsetenv("XDG_CONFIG_HOME");

  std::ifstream record(std::string(dir) + "/inproc-servers/" VELK4000_PROGID);
  ASSERT_TRUE(record.good());
  std::stringstream text;
  text << record.rdbuf();
  EXPECT_NE(text.str().find("clsid={F1C9CCD5-B1EF-11D2-8213-00400565D27C}\n"), std::string::npos);
  char resolved[4096];
  ASSERT_NE(realpath(VELK_DRIVER_PATH, resolved), nullptr);
  EXPECT_NE(text.str().find(std::string("path=") + resolved + "\n"), std::string::npos) << text.str();
}

TEST(Component, OnlyEntryPointsAndAtomsAreExported) {
  HostLibrary lib;
  EXPECT_NE(lib.Symbol("GlobalAddAtomA"), nullptr);
  EXPECT_NE(lib.Symbol("GlobalGetAtomNameA"), nullptr);
  EXPECT_EQ(lib.Symbol("_ZN6driver12CVelk4000ProC1ERKNS_14DriverServicesE"), nullptr);
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
