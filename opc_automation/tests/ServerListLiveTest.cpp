// ServerEnumerator on this computer through the platform: the real registry, the OPC server list
// service OpcEnum.exe started by COM, and SimServer's two classes as scripts/register leaves them
// (Sim.OPCDA.2 and Sim.OPCDA.1, each with its OPC key and in its category, Sim.OPCDA the
// version-independent ProgID of the DA 2.0 class).
#include <gtest/gtest.h>

#include "NodeServices.h"
#include "ServerEnumerator.h"
#include "common/Strings.h"

#include <OpcCommon.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace veltrane {
namespace {

const CLSID kSimDa20 = {0xb689282a, 0x2e15, 0x43bb, {0xa6, 0xb2, 0x7b, 0xed, 0x22, 0xfe, 0x6f, 0xf7}};
const CLSID kSimDa10 = {0xb0d4b233, 0x4fbe, 0x41d5, {0x98, 0xee, 0xa8, 0x13, 0x75, 0x95, 0x9d, 0x16}};

struct ComInit {
  ComInit() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  ~ComInit() { CoUninitialize(); }
};

std::vector<std::string> List(ServerEnumerator& e, const char* node) {
  SAFEARRAY* sa = nullptr;
  EXPECT_EQ(S_OK, e.ListServers(node, &sa));
  std::vector<std::string> out;
  if (!sa) return out;
  LONG lower = 0, upper = -1;
  SafeArrayGetLBound(sa, 1, &lower);
  SafeArrayGetUBound(sa, 1, &upper);
  EXPECT_EQ(1, lower);
  for (LONG i = lower; i <= upper; ++i) {
    BSTR b = nullptr;
    SafeArrayGetElement(sa, &i, &b);
    out.push_back(common::WideToAnsi(common::FromOle(b)));
    SysFreeString(b);
  }
  SafeArrayDestroy(sa);
  return out;
}

size_t CountNoCase(const std::vector<std::string>& list, const std::string& name) {
  size_t n = 0;
  for (auto& x : list) n += CompareNoCase(x, name) == 0;
  return n;
}

void ExpectSimServersOnce(const std::vector<std::string>& got) {
  EXPECT_EQ(1u, CountNoCase(got, "Sim.OPCDA.2")) << ::testing::PrintToString(got);
  EXPECT_EQ(1u, CountNoCase(got, "Sim.OPCDA.1"));
  EXPECT_EQ(0u, CountNoCase(got, "Sim.OPCDA"));  // listed under its class's own ProgID
  for (size_t i = 1; i < got.size(); ++i)
    EXPECT_LT(CompareNoCase(got[i - 1], got[i]), 0) << "order or duplicate at " << got[i];
}

TEST(ServerListLive, ThisComputersServersEachOnceInOrder) {
  ComInit com;
  ServerEnumerator e;
  auto t0 = std::chrono::steady_clock::now();
  std::vector<std::string> got = List(e, nullptr);
  auto t1 = std::chrono::steady_clock::now();
  std::printf("%zu servers listed in %lld ms\n", got.size(),
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(t1 - t0).count()));
  ExpectSimServersOnce(got);
  // The same list again: nothing left over from the first call.
  EXPECT_EQ(got, List(e, nullptr));
}

TEST(ServerListLive, ThisComputerByNameIsLocal) {
  ComInit com;
  ServerEnumerator e;
  std::string own = PlatformNodeServices().ComputerName();
  ASSERT_FALSE(own.empty());
  // A named node reaches the registry through RegConnectRegistryA and the service through a
  // COSERVERINFO; whatever the platform makes of that, the list is a list.
  for (const char* node : {"localhost", own.c_str()}) {
    std::vector<std::string> got = List(e, node);
    std::printf("node %s: %zu servers\n", node, got.size());
    for (size_t i = 1; i < got.size(); ++i) EXPECT_LT(CompareNoCase(got[i - 1], got[i]), 0);
  }
}

TEST(ServerListLive, ProgIdsResolveToTheirClasses) {
  ComInit com;
  ServerEnumerator e;
  CLSID got = GUID_NULL;
  ASSERT_EQ(S_OK, e.ResolveProgId(L"Sim.OPCDA", nullptr, &got));
  EXPECT_TRUE(IsEqualCLSID(kSimDa20, got));
  ASSERT_EQ(S_OK, e.ResolveProgId(L"Sim.OPCDA.1", nullptr, &got));
  EXPECT_TRUE(IsEqualCLSID(kSimDa10, got));
  ASSERT_EQ(S_OK, e.ResolveProgId(L"sim.opcda.2", nullptr, &got));
  EXPECT_TRUE(IsEqualCLSID(kSimDa20, got));
  EXPECT_EQ(static_cast<HRESULT>(0x80070002), e.ResolveProgId(L"No.Such.Server.1", nullptr, &got));
}

}  // namespace
}  // namespace veltrane
