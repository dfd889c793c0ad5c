// A 32-bit host of the in-process libraries: the registry views that registration wrote, Veltrane
// reading and writing SimServer (a 64-bit local server, reached through the 32-bit OpcProxy) and
// listing servers through the 64-bit list service, and Corvex against the spreadsheet stand-in
// (a 64-bit program) over DDE. Everything is late bound, as a VB6 or Office host calls it.
// The cases other than the registry views run only where 32-bit threads keep their own thread
// environment block across exceptions (run_x86.sh, ThreadProbe.cpp).
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "Corvane.h"
#include "common/ComPtr.h"
#include "common/ConnectionPoints.h"
#include "common/Dispatch.h"
#include "common/Kit.h"
#include "common/Strings.h"
#include "common/Variant.h"

using common::ComPtr;
using common::Variant;

namespace {

static_assert(sizeof(void*) == 4, "these tests prove the 32-bit libraries in a 32-bit process");

// The machine a PE file was built for (IMAGE_FILE_MACHINE_*), 0 when it cannot be read.
WORD MachineOf(const std::wstring& path) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return 0;
  IMAGE_DOS_HEADER dos{};
  IMAGE_FILE_HEADER file{};
  DWORD got = 0, sig = 0;
  bool ok = ReadFile(f, &dos, sizeof dos, &got, nullptr) && got == sizeof dos &&
            dos.e_magic == IMAGE_DOS_SIGNATURE &&
            SetFilePointer(f, dos.e_lfanew, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
            ReadFile(f, &sig, sizeof sig, &got, nullptr) && sig == IMAGE_NT_SIGNATURE &&
            ReadFile(f, &file, sizeof file, &got, nullptr) && got == sizeof file;
  CloseHandle(f);
  return ok ? file.Machine : 0;
}

// The default value of HKCR\<path> in one registry view; empty when absent.
std::wstring ClassesValue(const std::wstring& path, REGSAM view) {
  HKEY k;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ | view, &k) != ERROR_SUCCESS) return {};
  wchar_t buf[MAX_PATH * 2] = {};
  DWORD size = sizeof buf - sizeof(wchar_t), type = 0;
  LONG rc = RegQueryValueExW(k, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
  RegCloseKey(k);
  return rc == ERROR_SUCCESS ? std::wstring(buf) : std::wstring();
}

std::wstring FileNameOf(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

void Pump(DWORD ms, const std::function<bool()>& done) {
  DWORD start = GetTickCount();
  while (!done() && GetTickCount() - start < ms) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
  }
}

Variant Get(IDispatch* d, const wchar_t* name) {
  Variant v;
  EXPECT_EQ(S_OK, common::GetProperty(d, name, &v)) << common::WideToAnsi(name);
  return v;
}

Variant Call(IDispatch* d, const wchar_t* name, std::initializer_list<Variant> args = {}) {
  Variant v;
  EXPECT_EQ(S_OK, common::CallMethod(d, name, args, &v)) << common::WideToAnsi(name);
  return v;
}

class X86 : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
  void TearDown() override { CoUninitialize(); }
};

struct InprocServer {
  const wchar_t* clsid;
  const wchar_t* file;
};
const InprocServer kServers[] = {
    {L"{5C163340-1BFF-4165-BD0F-88F38B969E81}", L"Veltrane.dll"},
    {L"{060A26E6-75AB-4B55-A66B-E273AAD0569B}", L"Corvane.ocx"},
    {L"{98C8BCFB-7BF3-4000-9660-4D1A35FB0380}", L"OpcProxy.dll"},
};

}  // namespace

// Each view of the registry names the library of its own bitness, as Windows keeps them apart
// (the 32-bit view is HKLM\Software\Classes\Wow6432Node); the type libraries have their win32
// and win64 entries.
TEST_F(X86, EachRegistryViewNamesTheLibraryOfItsBitness) {
  for (const auto& s : kServers) {
    std::wstring key = std::wstring(L"CLSID\\") + s.clsid + L"\\InprocServer32";
    std::wstring p32 = ClassesValue(key, KEY_WOW64_32KEY), p64 = ClassesValue(key, KEY_WOW64_64KEY);
    SCOPED_TRACE(common::WideToAnsi(s.file));
    ASSERT_FALSE(p32.empty()) << "no 32-bit registration";
    ASSERT_FALSE(p64.empty()) << "no 64-bit registration";
    EXPECT_EQ(s.file, FileNameOf(p32));
    EXPECT_EQ(s.file, FileNameOf(p64));
    EXPECT_EQ(IMAGE_FILE_MACHINE_I386, MachineOf(p32)) << common::WideToAnsi(p32);
    EXPECT_EQ(IMAGE_FILE_MACHINE_AMD64, MachineOf(p64)) << common::WideToAnsi(p64);
    // What a 32-bit process sees without asking for a view is the 32-bit one.
    EXPECT_EQ(p32, ClassesValue(key, 0));
  }
  // Veltrane's library carries the locale 0x409; Corvane's none.
  const std::pair<const wchar_t*, const wchar_t*> libs[] = {
      {L"{8C1F4078-B697-4968-96B1-9799D96E3829}", L"409"}, {L"{148C249B-15F8-4BC3-9B59-B4B453F9670E}", L"0"}};
  for (const auto& [lib, lcid] : libs) {
    std::wstring base = std::wstring(L"TypeLib\\") + lib + L"\\1.0\\" + lcid + L"\\";
    EXPECT_EQ(IMAGE_FILE_MACHINE_I386, MachineOf(ClassesValue(base + L"win32", KEY_WOW64_32KEY)))
        << common::WideToAnsi(lib);
    EXPECT_EQ(IMAGE_FILE_MACHINE_AMD64, MachineOf(ClassesValue(base + L"win64", KEY_WOW64_64KEY)))
        << common::WideToAnsi(lib);
  }
}

// Kestrov.OPCAutomation.1 created in this process is the 32-bit Veltrane; it lists the servers
// through the list service and reads and writes SimServer's registers through the 32-bit proxies.
TEST_F(X86, VeltraneListsReadsAndWritesSimServer) {
  CLSID clsid;
  ASSERT_EQ(S_OK, CLSIDFromProgID(L"Kestrov.OPCAutomation.1", &clsid));
  ComPtr<IDispatch> server;
  ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, server.PutVoid()));
  HMODULE veltrane = GetModuleHandleW(L"Veltrane.dll");
  ASSERT_NE(nullptr, veltrane);
  wchar_t loaded[MAX_PATH];
  GetModuleFileNameW(veltrane, loaded, MAX_PATH);
  EXPECT_EQ(IMAGE_FILE_MACHINE_I386, MachineOf(loaded));

  Variant names = Call(server.Get(), L"GetOPCServers");
  ASSERT_EQ(VT_ARRAY | VT_BSTR, V_VT(&names));
  LONG lo = 0, hi = -1;
  SafeArrayGetLBound(V_ARRAY(&names), 1, &lo);
  SafeArrayGetUBound(V_ARRAY(&names), 1, &hi);
  int sim1 = 0, sim2 = 0;
  for (LONG i = lo; i <= hi; ++i) {
    BSTR b = nullptr;
    ASSERT_EQ(S_OK, SafeArrayGetElement(V_ARRAY(&names), &i, &b));
    sim1 += std::wstring(b) == L"Sim.OPCDA.1";
    sim2 += std::wstring(b) == L"Sim.OPCDA.2";
    SysFreeString(b);
  }
  EXPECT_EQ(1, sim1);
  EXPECT_EQ(1, sim2);

  for (const wchar_t* progId : {L"Sim.OPCDA.2", L"Sim.OPCDA.1"}) {
    SCOPED_TRACE(common::WideToAnsi(progId));
    Call(server.Get(), L"Connect", {Variant(progId)});
    Variant state = Get(server.Get(), L"ServerState");
    EXPECT_EQ(1, V_I4(&state));  // OPCRunning
    Variant groups = Get(server.Get(), L"OPCGroups");
    ASSERT_EQ(VT_DISPATCH, V_VT(&groups));
    Variant group = Call(V_DISPATCH(&groups), L"Add", {Variant(L"x86")});
    ASSERT_EQ(VT_DISPATCH, V_VT(&group));
    Variant items = Get(V_DISPATCH(&group), L"OPCItems");
    ASSERT_EQ(VT_DISPATCH, V_VT(&items));
    Variant reg = Call(V_DISPATCH(&items), L"AddItem", {Variant(L"Register.I4"), Variant(11)});
    Variant fixed = Call(V_DISPATCH(&items), L"AddItem", {Variant(L"Static.UI2"), Variant(12)});
    ASSERT_EQ(VT_DISPATCH, V_VT(&reg));
    ASSERT_EQ(VT_DISPATCH, V_VT(&fixed));
    for (long n : {4321L, -17L}) {
      Call(V_DISPATCH(&reg), L"Write", {Variant(n)});
      Call(V_DISPATCH(&reg), L"Read", {Variant(2)});  // OPCDevice
      Variant value = Get(V_DISPATCH(&reg), L"Value");
      ASSERT_EQ(S_OK, VariantChangeType(&value, &value, 0, VT_I4));
      EXPECT_EQ(n, V_I4(&value));
    }
    Call(V_DISPATCH(&fixed), L"Read", {Variant(2)});
    Variant seven = Get(V_DISPATCH(&fixed), L"Value");
    ASSERT_EQ(S_OK, VariantChangeType(&seven, &seven, 0, VT_I4));
    EXPECT_EQ(7, V_I4(&seven));
    Call(V_DISPATCH(&groups), L"RemoveAll");
    Call(server.Get(), L"Disconnect");
  }
}

// The 32-bit Corvane.ocx, created as a container creates it, in a conversation with the
// spreadsheet stand-in's "Excel" service: pokes, a request of a formula cell and a hot link whose
// updates arrive as DDEAdvise events.
TEST_F(X86, CorvexConversesWithTheSpreadsheet) {
  CLSID excel;
  ASSERT_EQ(S_OK, CLSIDFromProgID(L"Excel.Application", &excel)) << "the spreadsheet stand-in is not registered";
  ComPtr<IDispatch> app;
  ASSERT_EQ(S_OK, CoCreateInstance(excel, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, app.PutVoid()));
  common::PutProperty(app.Get(), L"DisplayAlerts", Variant(false));
  char tmp[MAX_PATH];
  GetTempPathA(MAX_PATH, tmp);
  std::string sheet = "X86Sheet" + std::to_string(GetCurrentProcessId());
  std::string path = std::string(tmp) + sheet + ".csv";
  std::ofstream(path, std::ios::binary) << "\r\n";
  Variant books = Get(app.Get(), L"Workbooks");
  Variant book = Call(V_DISPATCH(&books), L"Open", {Variant(common::AnsiToWide(path).c_str())});
  ASSERT_EQ(VT_DISPATCH, V_VT(&book));

  ComPtr<IDispatch> ctl;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_Corvex, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, ctl.PutVoid()));
  HMODULE corvane = GetModuleHandleW(L"Corvane.ocx");
  ASSERT_NE(nullptr, corvane);
  ComPtr<IOleObject> ole;
  EXPECT_EQ(S_OK, ctl->QueryInterface(IID_IOleObject, ole.PutVoid()));

  std::vector<std::wstring> advised;
  auto sink = common::Make<common::DispatchSink>(
      DIID_DCorvexEvents, [&](DISPID id, WORD, std::span<VARIANT* const> args, VARIANT*) {
        if (id != 1) return S_OK;  // DDEAdvise(conversation, item, data)
        for (VARIANT* v : args) {
          if (V_VT(v) != VT_DISPATCH || !V_DISPATCH(v)) continue;
          Variant text;
          if (common::GetProperty(V_DISPATCH(v), L"DataString", &text) == S_OK && V_VT(&text) == VT_BSTR)
            advised.emplace_back(V_BSTR(&text), SysStringLen(V_BSTR(&text)));
        }
        return S_OK;
      });
  ComPtr<IDispatch> sinkDispatch;
  sink->QueryInterface(IID_IDispatch, sinkDispatch.PutVoid());
  ComPtr<IConnectionPointContainer> cpc;
  ASSERT_EQ(S_OK, ctl->QueryInterface(IID_IConnectionPointContainer, cpc.PutVoid()));
  ComPtr<IConnectionPoint> cp;
  ASSERT_EQ(S_OK, cpc->FindConnectionPoint(DIID_DCorvexEvents, cp.GetAddressOf()));
  DWORD cookie = 0;
  ASSERT_EQ(S_OK, cp->Advise(sinkDispatch.Get(), &cookie));

  Variant ok = Call(ctl.Get(), L"Initialise");
  ASSERT_EQ(VARIANT_TRUE, V_BOOL(&ok));
  Variant key = Call(ctl.Get(), L"Connect", {Variant(L"Excel"), Variant(common::AnsiToWide(sheet).c_str())});
  ASSERT_EQ(VT_BSTR, V_VT(&key));
  ASSERT_EQ(0u, std::wstring(V_BSTR(&key)).rfind(L"C-", 0));
  Variant convs = Get(ctl.Get(), L"Conversations");
  Variant conv;
  ASSERT_EQ(S_OK, common::DispatchInvoke(V_DISPATCH(&convs), DISPID_VALUE, DISPATCH_PROPERTYGET, {key}, &conv));
  IDispatch* c = V_DISPATCH(&conv);
  ok = Call(c, L"PokeString", {Variant(L"R1C1"), Variant(L"5"), Variant(1000)});
  EXPECT_EQ(VARIANT_TRUE, V_BOOL(&ok));
  Call(c, L"PokeString", {Variant(L"R1C2"), Variant(L"=A1*2"), Variant(1000)});
  Variant data = Call(c, L"Request", {Variant(L"R1C2"), Variant(1000)});
  ASSERT_EQ(VT_DISPATCH, V_VT(&data));
  Variant text = Get(V_DISPATCH(&data), L"DataString");
  EXPECT_EQ(std::wstring(L"10\r\n\0", 5), std::wstring(V_BSTR(&text), SysStringLen(V_BSTR(&text))));

  Variant loop = Call(c, L"StartAdviseLoop", {Variant(L"R1C2"), Variant(1000)});
  ASSERT_EQ(VT_BSTR, V_VT(&loop));
  for (int i = 1; i <= 20; ++i)
    Call(c, L"PokeString", {Variant(L"R1C1"), Variant(std::to_wstring(i).c_str()), Variant(1000)});
  const std::wstring last(L"40\r\n\0", 5);
  Pump(30000, [&] { return !advised.empty() && advised.back() == last; });
  ASSERT_FALSE(advised.empty());
  EXPECT_EQ(last, advised.back());
  ok = Call(c, L"StopAdviseLoop", {loop, Variant(1000)});
  EXPECT_EQ(VARIANT_TRUE, V_BOOL(&ok));

  data.Clear();
  conv.Clear();
  convs.Clear();
  ok = Call(ctl.Get(), L"Uninitialise");
  EXPECT_EQ(VARIANT_TRUE, V_BOOL(&ok));
  cp->Unadvise(cookie);
  book.Clear();
  books.Clear();
  common::CallMethod(app.Get(), L"Quit", {}, nullptr);
  app.Reset();
  DeleteFileA(path.c_str());
}
