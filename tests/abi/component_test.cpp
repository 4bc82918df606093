// The component as a host sees it: entry points, class factory, interface
// identity, reference counting and the defaults of a new driver object.
#include <gtest/gtest.h>

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

}  // namespace
