// Registration and unregistration of Veltrane.dll, read back from the prefix's registry: every
// key and value the class has, nothing more; the type library from the file itself or from the
// .tlb beside it; unregistration that removes whole trees, twice over, and leaves the library.
// Each test puts the build's registration back when it ends.
#include <gtest/gtest.h>

#include "ModuleTestSupport.h"

using namespace veltrane_test;

namespace {

const std::wstring kProgId = L"Kestrov.OPCAutomation.1";
const std::wstring kViProgId = L"Kestrov.OPCAutomation";
const std::wstring kDescription = L"REG_SZ:Kestrov OPC Automation 2.0 Server Object";

std::wstring Clsid() { return common::GuidToString(CLSID_OPCServer); }

// The class keys as a library at `path` registers them.
std::map<std::wstring, std::wstring> ExpectedClassTree(const std::wstring& path) {
  return {
      {L"|", kDescription},
      {L"InprocServer32|", L"REG_SZ:" + path},
      {L"InprocServer32|ThreadingModel", L"REG_SZ:Apartment"},
      {L"ProgID|", L"REG_SZ:" + kProgId},
      {L"VersionIndependentProgID|", L"REG_SZ:" + kViProgId},
  };
}
std::map<std::wstring, std::wstring> ExpectedProgIdTree() {
  return {{L"|", kDescription}, {L"CLSID|", L"REG_SZ:" + Clsid()}};
}

void ExpectClassKeysFor(const std::wstring& path) {
  EXPECT_EQ(ReadTree(ClsidKey(CLSID_OPCServer)), ExpectedClassTree(path));
  EXPECT_EQ(ReadTree(kProgId), ExpectedProgIdTree());
  EXPECT_EQ(ReadTree(kViProgId), ExpectedProgIdTree());
}

void ExpectNoClassKeys() {
  EXPECT_FALSE(KeyExists(ClsidKey(CLSID_OPCServer)));
  EXPECT_FALSE(KeyExists(kProgId));
  EXPECT_FALSE(KeyExists(kViProgId));
}

// The type library stays usable: loadable by LIBID, and its interfaces still marshalled.
void ExpectTypeLibRegistered() {
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadRegTypeLib(LIBID_OPCAutomation, 1, 0, 0x409, &lib);
  EXPECT_EQ(hr, S_OK) << common::HResultToString(hr);
  if (lib) lib->Release();
  EXPECT_TRUE(KeyExists(L"Interface\\" + common::GuidToString(IID_IOPCAutoServer)));
}

std::wstring Folder(const std::wstring& path) { return path.substr(0, path.rfind(L'\\') + 1); }

bool Copy(const std::wstring& from, const std::wstring& to) {
  return CopyFileW(from.c_str(), to.c_str(), FALSE) != 0;
}

class Registration : public ::testing::Test {
 protected:
  void TearDown() override { RestoreRegistration(); }
  const std::wstring dllPath_ = BinPath(L"Veltrane.dll");
};

TEST_F(Registration, WritesExactlyTheClassKeysThenTheTypeLibrary) {
  Library dll(dllPath_);
  ASSERT_TRUE(dll.Loaded());
  // From a clean state, so nothing left by an earlier registration passes for ours.
  ASSERT_EQ(dll.Unregister(), S_OK);
  ExpectNoClassKeys();

  ASSERT_EQ(dll.Register(), S_OK);
  ExpectClassKeysFor(dllPath_);
  ExpectTypeLibRegistered();
  // The type library registered from the file itself, help folder = the file's folder.
  EXPECT_EQ(RegisteredTypeLibPath(), dllPath_);
  EXPECT_EQ(RegisteredHelpDir(), Folder(dllPath_));

  // And COM finds the class by both ProgIDs.
  for (const std::wstring& progId : {kProgId, kViProgId}) {
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(progId.c_str(), &clsid), S_OK) << Narrow(progId);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_OPCServer)) << Narrow(progId);
  }
}

TEST_F(Registration, UnregisterRemovesWholeTreesTwiceOverAndKeepsTheTypeLibrary) {
  Library dll(dllPath_);
  ASSERT_TRUE(dll.Loaded());
  ASSERT_EQ(dll.Register(), S_OK);
  // Keys someone else added below ours go too (deleted depth first).
  for (const std::wstring& extra :
       {ClsidKey(CLSID_OPCServer) + L"\\InprocServer32\\a\\b\\c", ClsidKey(CLSID_OPCServer) + L"\\Other",
        kProgId + L"\\CLSID\\deeper", kViProgId + L"\\CurVer"}) {
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, extra.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k,
                              nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(k, L"x", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"y"), 4);
    RegCloseKey(k);
  }

  EXPECT_EQ(dll.Unregister(), S_OK);
  ExpectNoClassKeys();
  ExpectTypeLibRegistered();
  EXPECT_EQ(RegisteredTypeLibPath(), dllPath_);
  // Nothing left to remove is no error.
  EXPECT_EQ(dll.Unregister(), S_OK);
  ExpectNoClassKeys();
  ExpectTypeLibRegistered();
}

TEST_F(Registration, Regsvr32RegistersAndUnregisters) {
  const std::wstring quoted = L"\"" + dllPath_ + L"\"";
  EXPECT_EQ(RunProgram(L"regsvr32.exe /s /u " + quoted), 0u);
  ExpectNoClassKeys();
  EXPECT_EQ(RunProgram(L"regsvr32.exe /s /u " + quoted), 0u);
  ExpectTypeLibRegistered();
  EXPECT_EQ(RunProgram(L"regsvr32.exe /s " + quoted), 0u);
  ExpectClassKeysFor(dllPath_);
  ExpectTypeLibRegistered();
}

// A build of the library without its TYPELIB resource (VeltraneNoTypeLib) registers the type
// library from the .tlb beside it: extension replaced, or appended to a name without one, also
// when a folder name has a dot of its own.
TEST_F(Registration, TypeLibraryFromTheTlbBesideTheFile) {
  const std::wstring noTlb = WindowsPath(VELTRANE_NO_TYPELIB_DLL);
  const std::wstring tlb = WindowsPath(VELTRANE_TLB);
  ScratchFolder scratch(L"tlb");
  const std::wstring dotted = scratch / L"with.dot";
  ASSERT_TRUE(CreateDirectoryW(dotted.c_str(), nullptr));

  struct Case {
    std::wstring file, loadAs, expectedTlb;
  };
  const Case cases[] = {
      {scratch / L"Automation.dll", scratch / L"Automation.dll", scratch / L"Automation.tlb"},
      // A trailing '.' keeps LoadLibrary from adding ".dll".
      {dotted + L"\\Automation", dotted + L"\\Automation.", dotted + L"\\Automation.tlb"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.file));
    ASSERT_TRUE(Copy(noTlb, c.file));
    ASSERT_TRUE(Copy(tlb, c.expectedTlb));
    Library dll(c.loadAs);
    ASSERT_TRUE(dll.Loaded()) << GetLastError();
    ASSERT_EQ(dll.Register(), S_OK);
    ExpectClassKeysFor(c.file);
    EXPECT_EQ(RegisteredTypeLibPath(), c.expectedTlb);
    EXPECT_EQ(RegisteredHelpDir(), Folder(c.file));
    ExpectTypeLibRegistered();
  }
}

TEST_F(Registration, NoTypeLibraryAnywhereFailsAfterTheClassKeys) {
  const std::wstring noTlb = WindowsPath(VELTRANE_NO_TYPELIB_DLL);
  ScratchFolder scratch(L"none");
  const std::wstring file = scratch / L"Alone.dll";
  ASSERT_TRUE(Copy(noTlb, file));
  {
    Library good(dllPath_);
    ASSERT_EQ(good.Register(), S_OK);
  }
  Library dll(file);
  ASSERT_TRUE(dll.Loaded());
  HRESULT hr = dll.Register();
  EXPECT_TRUE(FAILED(hr)) << common::HResultToString(hr);
  // The class keys came first; the type library registration is the one made before.
  ExpectClassKeysFor(file);
  EXPECT_EQ(RegisteredTypeLibPath(), dllPath_);
}

// The registered path must name the file even when its folder has characters outside the ANSI
// code page (an ANSI path would come back with '?' in their place).
TEST_F(Registration, PathOutsideTheAnsiCodePageIsWrittenAsItIs) {
  ScratchFolder scratch(L"\x0394\x03AD\x03BB\x03C4\x03B1_\x6F22\x5B57");
  const std::wstring file = scratch / L"Veltrane.dll";
  ASSERT_TRUE(Copy(dllPath_, file));
  {
    Library dll(file);
    ASSERT_TRUE(dll.Loaded());
    ASSERT_EQ(dll.Register(), S_OK);
    ExpectClassKeysFor(file);
    EXPECT_EQ(RegisteredTypeLibPath(), file);
  }
  // COM loads the library from there.
  common::ComPtr<IUnknown> server;
  ASSERT_EQ(CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             server.PutVoid()),
            S_OK);
  EXPECT_NE(GetModuleHandleW(file.c_str()), nullptr);
  server.Reset();
  CoFreeUnusedLibraries();
  RecordProperty("AnsiCodePage", static_cast<int>(GetACP()));
}

}  // namespace
