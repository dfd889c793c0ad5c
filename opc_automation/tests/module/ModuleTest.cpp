// The module as linked into this program: the data-stream clipboard formats, and what the
// library's unload does to a cached class factory that a client still holds.
#include <gtest/gtest.h>

#include "Module.h"
#include "ModuleTestSupport.h"

using veltrane::Module;

namespace {

TEST(Module, ClipboardFormatsAreTheSystemWideOnesOfTheirNames) {
  const UINT dataTime = Module::ClipboardFormatDataTime();
  const UINT writeComplete = Module::ClipboardFormatWriteComplete();
  const UINT data = Module::ClipboardFormatData();
  // Registered names get numbers from 0xC000 up; another process registering the same names
  // (an outside DA 1.0 server) gets the same numbers.
  EXPECT_GE(dataTime, 0xC000u);
  EXPECT_EQ(dataTime, RegisterClipboardFormatA("OPCSTMFORMATDATATIME"));
  EXPECT_EQ(writeComplete, RegisterClipboardFormatA("OPCSTMFORMATWRITECOMPLETE"));
  EXPECT_EQ(data, RegisterClipboardFormatA("OPCSTMFORMATDATA"));
  EXPECT_NE(dataTime, writeComplete);
  EXPECT_NE(dataTime, data);
  EXPECT_NE(writeComplete, data);
  // Attach registers them again without changing them.
  Module::Attach(GetModuleHandleW(nullptr));
  EXPECT_EQ(Module::ClipboardFormatData(), data);
}

TEST(Module, UnloadReleasesTheCachedFactoryAndAHolderKeepsAWorkingOne) {
  ASSERT_EQ(Module::LockCount(), 0);
  common::ComPtr<IClassFactory> held;
  ASSERT_EQ(Module::GetClassObject(CLSID_OPCServer, IID_IClassFactory, held.PutVoid()), S_OK);
  EXPECT_EQ(Module::LockCount(), 1);
  EXPECT_EQ(Module::CanUnloadNow(), S_FALSE);

  // The unload drops the cache's reference: the client's is the only one now.
  Module::Detach();
  EXPECT_EQ(Module::LockCount(), 0);
  common::ComPtr<IUnknown> object;
  ASSERT_EQ(held->CreateInstance(nullptr, IID_IUnknown, object.PutVoid()), S_OK);
  EXPECT_EQ(Module::LockCount(), 1);
  object.Reset();
  held.Reset();  // destroyed here
  EXPECT_EQ(Module::LockCount(), 0);

  // A new cache after the unload.
  common::ComPtr<IClassFactory> again;
  ASSERT_EQ(Module::GetClassObject(CLSID_OPCServer, IID_IClassFactory, again.PutVoid()), S_OK);
  EXPECT_EQ(Module::LockCount(), 1);
  again.Reset();
  EXPECT_EQ(Module::CanUnloadNow(), S_OK);
}

}  // namespace
