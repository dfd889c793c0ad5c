// The OPC server list service, in this process (the object itself) and out of process (as
// clients reach it: OpcEnum.exe started by COM, its interfaces through OpcProxy.dll). The
// simulation server's two classes, registered by scripts/register, are the servers it finds.
#include <gtest/gtest.h>

#include <windows.h>
#include <comcat.h>
#include <OpcCommon.h>
#include <OpcDataAccess.h>

#include "ServerList.h"

#include <string>
#include <vector>

namespace {

const CLSID kSimDa20 = {0xb689282a, 0x2e15, 0x43bb, {0xa6, 0xb2, 0x7b, 0xed, 0x22, 0xfe, 0x6f, 0xf7}};
const CLSID kSimDa10 = {0xb0d4b233, 0x4fbe, 0x41d5, {0x98, 0xee, 0xa8, 0x13, 0x75, 0x95, 0x9d, 0x16}};
const CLSID kUnknown = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

struct ComInit {
  ComInit() { CoInitialize(nullptr); }
  ~ComInit() { CoUninitialize(); }
};

size_t Count(const std::vector<CLSID>& list, const CLSID& c) {
  size_t n = 0;
  for (auto& x : list) n += IsEqualCLSID(x, c);
  return n;
}

// Every class the enumerator gives, fetched `chunk` at a time.
template <class Enum>
std::vector<CLSID> Drain(Enum* e, ULONG chunk) {
  std::vector<CLSID> out;
  std::vector<CLSID> buf(chunk);
  for (int guard = 0; guard < 10000; ++guard) {
    ULONG n = 0;
    HRESULT hr = e->Next(chunk, buf.data(), &n);
    if (FAILED(hr) || n > chunk) break;
    out.insert(out.end(), buf.begin(), buf.begin() + n);
    if (hr != S_OK) break;
  }
  return out;
}

// The checks a client makes, against either the object here or the service out of process.
void CheckServerList(IOPCServerList* list) {
  CATID da20 = CATID_OPCDAServer20, da10 = CATID_OPCDAServer10;
  IEnumGUID* e = nullptr;
  // As OPC clients ask: the category as implemented and as the one required.
  ASSERT_EQ(S_OK, list->EnumClassesOfCategories(1, &da20, 1, &da20, &e));
  ASSERT_NE(nullptr, e);
  std::vector<CLSID> v20 = Drain(e, 1);
  e->Release();
  ASSERT_EQ(S_OK, list->EnumClassesOfCategories(1, &da10, 1, &da10, &e));
  std::vector<CLSID> v10 = Drain(e, 3);
  e->Release();
  EXPECT_EQ(1u, Count(v20, kSimDa20));
  EXPECT_EQ(0u, Count(v20, kSimDa10)) << "the DA 1.0 server is no DA 2.0 server";
  EXPECT_EQ(1u, Count(v10, kSimDa10));
  EXPECT_EQ(0u, Count(v10, kSimDa20));
  // Both categories at once: each class once.
  CATID both[2] = {da20, da10};
  ASSERT_EQ(S_OK, list->EnumClassesOfCategories(2, both, 2, both, &e));
  std::vector<CLSID> all = Drain(e, 2);
  e->Release();
  EXPECT_EQ(1u, Count(all, kSimDa20));
  EXPECT_EQ(1u, Count(all, kSimDa10));

  LPOLESTR prog = nullptr, user = nullptr;
  ASSERT_EQ(S_OK, list->GetClassDetails(kSimDa10, &prog, &user));
  EXPECT_STREQ(L"Sim.OPCDA.1", prog);
  EXPECT_STREQ(L"Simulation OPC DA 1.0 Server", user);
  CoTaskMemFree(prog);
  CoTaskMemFree(user);
  prog = user = nullptr;
  EXPECT_EQ(REGDB_E_CLASSNOTREG, list->GetClassDetails(kUnknown, &prog, &user));
  EXPECT_EQ(nullptr, prog);
  EXPECT_EQ(nullptr, user);

  CLSID c = CLSID_NULL;
  ASSERT_EQ(S_OK, list->CLSIDFromProgID(L"Sim.OPCDA.2", &c));
  EXPECT_TRUE(IsEqualCLSID(kSimDa20, c));
  ASSERT_EQ(S_OK, list->CLSIDFromProgID(L"Sim.OPCDA", &c));
  EXPECT_TRUE(IsEqualCLSID(kSimDa20, c)) << "the version-independent ProgID names DA 2.0";
  EXPECT_TRUE(FAILED(list->CLSIDFromProgID(L"No.Such.Server.1", &c)));
}

void CheckServerList2(IOPCServerList2* list) {
  CATID da10 = CATID_OPCDAServer10;
  IOPCEnumGUID* e = nullptr;
  ASSERT_EQ(S_OK, list->EnumClassesOfCategories(1, &da10, 1, &da10, &e));
  ASSERT_NE(nullptr, e);
  std::vector<CLSID> first = Drain(e, 4);
  EXPECT_EQ(1u, Count(first, kSimDa10));
  // Reset and Clone give the same classes again.
  ASSERT_EQ(S_OK, e->Reset());
  IOPCEnumGUID* clone = nullptr;
  ASSERT_EQ(S_OK, e->Clone(&clone));
  EXPECT_EQ(first.size(), Drain(clone, 1).size());
  clone->Release();
  e->Release();
  LPOLESTR prog = nullptr, user = nullptr, ind = nullptr;
  ASSERT_EQ(S_OK, list->GetClassDetails(kSimDa10, &prog, &user, &ind));
  EXPECT_STREQ(L"Sim.OPCDA.1", prog);
  EXPECT_STREQ(L"Sim.OPCDA", ind);
  CoTaskMemFree(prog);
  CoTaskMemFree(user);
  CoTaskMemFree(ind);
  CLSID c = CLSID_NULL;
  ASSERT_EQ(S_OK, list->CLSIDFromProgID(L"Sim.OPCDA.1", &c));
  EXPECT_TRUE(IsEqualCLSID(kSimDa10, c));
}

TEST(ServerListObject, AnswersFromTheRegisteredCategories) {
  ComInit com;
  common::ComPtr<IOPCServerList> list;
  ASSERT_EQ(S_OK, common::CreateObjectAs<opc_enum::ServerList>(list.GetAddressOf()));
  CheckServerList(list.Get());
  common::ComPtr<IOPCServerList2> list2;
  ASSERT_EQ(S_OK, list.As(&list2));
  CheckServerList2(list2.Get());
}

TEST(ServerListObject, CategoryRulesOfImplementedAndRequired) {
  ComInit com;
  CATID da20 = CATID_OPCDAServer20, da10 = CATID_OPCDAServer10;
  const ULONG any = static_cast<ULONG>(-1);
  std::vector<CLSID> v;
  ASSERT_EQ(S_OK, opc_enum::ClassesOfCategories(1, &da10, any, nullptr, v));
  EXPECT_EQ(1u, Count(v, kSimDa10));
  EXPECT_EQ(0u, Count(v, kSimDa20));
  // Neither class requires a category, so an empty required list keeps them.
  ASSERT_EQ(S_OK, opc_enum::ClassesOfCategories(1, &da20, 0, nullptr, v));
  EXPECT_EQ(1u, Count(v, kSimDa20));
  ASSERT_EQ(S_OK, opc_enum::ClassesOfCategories(0, nullptr, 0, nullptr, v));
  EXPECT_TRUE(v.empty()) << "no implemented category asked: no class";
  // A class that requires a category the caller cannot give is left out.
  HKEY k;
  const wchar_t key[] = L"Software\\Classes\\CLSID\\{11111111-2222-3333-4444-555555555555}";
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE,
      (std::wstring(key) + L"\\Implemented Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}").c_str(),
      0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr));
  RegCloseKey(k);
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE,
      (std::wstring(key) + L"\\Required Categories\\{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}").c_str(),
      0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr));
  RegCloseKey(k);
  ASSERT_EQ(S_OK, opc_enum::ClassesOfCategories(1, &da20, 1, &da20, v));
  EXPECT_EQ(0u, Count(v, kUnknown));
  CATID both[2] = {da20, da10};
  ASSERT_EQ(S_OK, opc_enum::ClassesOfCategories(1, &da20, 2, both, v));
  EXPECT_EQ(1u, Count(v, kUnknown));
  ASSERT_EQ(S_OK, opc_enum::ClassesOfCategories(1, &da20, any, nullptr, v));
  EXPECT_EQ(1u, Count(v, kUnknown));
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, key);
}

TEST(ServerListObject, RefusesBadArguments) {
  ComInit com;
  common::ComPtr<IOPCServerList> list;
  ASSERT_EQ(S_OK, common::CreateObjectAs<opc_enum::ServerList>(list.GetAddressOf()));
  CATID da20 = CATID_OPCDAServer20;
  IEnumGUID* e = reinterpret_cast<IEnumGUID*>(1);
  EXPECT_EQ(E_INVALIDARG, list->EnumClassesOfCategories(1, nullptr, 0, nullptr, &e));
  EXPECT_EQ(nullptr, e);
  EXPECT_EQ(E_INVALIDARG, list->EnumClassesOfCategories(1, &da20, 2, nullptr, &e));
  EXPECT_EQ(E_INVALIDARG, list->EnumClassesOfCategories(1, &da20, 0, nullptr, nullptr));
  LPOLESTR prog = nullptr;
  EXPECT_EQ(E_INVALIDARG, list->GetClassDetails(kSimDa20, &prog, nullptr));
  CLSID c;
  EXPECT_EQ(E_INVALIDARG, list->CLSIDFromProgID(nullptr, &c));
  EXPECT_EQ(E_INVALIDARG, list->CLSIDFromProgID(L"Sim.OPCDA.2", nullptr));
  common::ComPtr<IOPCServerList2> list2;
  ASSERT_EQ(S_OK, list.As(&list2));
  LPOLESTR user = nullptr;
  EXPECT_EQ(E_INVALIDARG, list2->GetClassDetails(kSimDa20, &prog, &user, nullptr));
}

TEST(OpcEnumService, ServesTheListOutOfProcessUnderTheStandardClass) {
  ComInit com;
  IOPCServerList* list = nullptr;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_OPCServerList, nullptr, CLSCTX_LOCAL_SERVER,
                                   IID_IOPCServerList, reinterpret_cast<void**>(&list)));
  CheckServerList(list);
  IOPCServerList2* list2 = nullptr;
  ASSERT_EQ(S_OK, list->QueryInterface(IID_IOPCServerList2, reinterpret_cast<void**>(&list2)));
  CheckServerList2(list2);
  list2->Release();
  list->Release();
  wchar_t g[40];
  StringFromGUID2(CLSID_OPCServerList, g, 40);
  EXPECT_STREQ(L"{13486D51-4821-11D2-A494-3CB306C10000}", g);
}

}  // namespace
