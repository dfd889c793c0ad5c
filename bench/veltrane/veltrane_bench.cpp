// What Veltrane's automation layer costs over the custom-interface calls it wraps, against
// SimServer out of process, all measured side by side in one run:
//   - status: IOPCServer::GetStatus (the baseline) against IOPCAutoServer::get_ServerState
//     early bound (vtable) and late bound (IDispatch::Invoke, as script hosts call it);
//   - a group: IOPCServer::AddGroup + RemoveGroup (baseline) against OPCGroups.Add + Remove;
//   - GetOPCServers with 10 and with 100 extra OPC servers registered, against GetOPCServers
//     with only the servers the prefix already has (each call scans the class keys and walks
//     the two server categories from scratch).
// Rounds alternate the variants so that a slow patch of the machine hits all of them alike;
// each figure is the median of the rounds' per-call means.
//   veltrane_bench [--rounds N] [--calls N]
// Needs Veltrane.dll, SimServer, OpcEnum and OpcProxy.dll registered (scripts/register); run it
// with scripts/wine from the build's bin folder.
#include <windows.h>
#include <objbase.h>

#include <OPCAutomation.h>
#include <OpcCommon.h>
#include <OpcDataAccess.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "BenchClock.h"

namespace {

const CLSID kSimDa2 = {0xb689282a, 0x2e15, 0x43bb, {0xa6, 0xb2, 0x7b, 0xed, 0x22, 0xfe, 0x6f, 0xf7}};
const wchar_t kSimProgId[] = L"Sim.OPCDA.2";
const char kFakePrefix[] = "VeltraneBench.Server.";

using benchclock::Now;

[[noreturn]] void Fail(const char* what, HRESULT hr) {
  fprintf(stderr, "veltrane_bench: %s failed: 0x%08lX\n", what, static_cast<unsigned long>(hr));
  exit(1);
}

template <class T>
struct Ptr {
  T* p = nullptr;
  Ptr() = default;
  Ptr(const Ptr&) = delete;
  Ptr& operator=(const Ptr&) = delete;
  ~Ptr() {
    if (p) p->Release();
  }
  T* operator->() const { return p; }
  T** Out() { return &p; }
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Per-call seconds of `call`, `calls` times in a row.
double PerCall(const std::function<void()>& call, int calls) {
  double t0 = Now();
  for (int i = 0; i < calls; ++i) call();
  return (Now() - t0) / calls;
}

// Fake OPC servers in HKEY_CLASSES_ROOT as the registry scan sees them: a ProgID key with an
// "OPC" subkey and a CLSID, and the class's own ProgID key.
std::string FakeClsid(int n) {
  char buf[64];
  snprintf(buf, sizeof buf, "{B3E7A000-0000-4000-8000-%012d}", n);
  return buf;
}

bool SetDefault(HKEY root, const std::string& path, const std::string& value) {
  HKEY k = nullptr;
  if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr) !=
      ERROR_SUCCESS)
    return false;
  LONG s = RegSetValueExA(k, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1));
  RegCloseKey(k);
  return s == ERROR_SUCCESS;
}

void RemoveFakes() {
  for (int n = 0; n < 1000; ++n) {
    std::string progId = kFakePrefix + std::to_string(n);
    if (RegDeleteTreeA(HKEY_CLASSES_ROOT, progId.c_str()) != ERROR_SUCCESS) break;
    RegDeleteKeyA(HKEY_CLASSES_ROOT, progId.c_str());
    std::string clsidKey = "CLSID\\" + FakeClsid(n);
    RegDeleteTreeA(HKEY_CLASSES_ROOT, clsidKey.c_str());
    RegDeleteKeyA(HKEY_CLASSES_ROOT, clsidKey.c_str());
  }
}

void AddFakes(int from, int to) {
  for (int n = from; n < to; ++n) {
    std::string progId = kFakePrefix + std::to_string(n);
    bool ok = SetDefault(HKEY_CLASSES_ROOT, progId, "Veltrane benchmark server") &&
              SetDefault(HKEY_CLASSES_ROOT, progId + "\\OPC", "") &&
              SetDefault(HKEY_CLASSES_ROOT, progId + "\\CLSID", FakeClsid(n)) &&
              SetDefault(HKEY_CLASSES_ROOT, "CLSID\\" + FakeClsid(n) + "\\ProgID", progId);
    if (!ok) {
      RemoveFakes();
      Fail("registering a fake server", E_FAIL);
    }
  }
}

long ListedCount(IOPCAutoServer* server) {
  VARIANT node, list;
  VariantInit(&list);
  V_VT(&node) = VT_ERROR;
  V_ERROR(&node) = DISP_E_PARAMNOTFOUND;
  HRESULT hr = server->GetOPCServers(node, &list);
  if (FAILED(hr)) Fail("GetOPCServers", hr);
  long count = 0;
  if (V_VT(&list) == (VT_ARRAY | VT_BSTR) && V_ARRAY(&list)) {
    LONG lo = 0, hi = -1;
    SafeArrayGetLBound(V_ARRAY(&list), 1, &lo);
    SafeArrayGetUBound(V_ARRAY(&list), 1, &hi);
    count = hi - lo + 1;
  }
  VariantClear(&list);
  return count;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int rounds = 9, calls = 200;
  for (int i = 1; i < argc; ++i) {
    if (!wcscmp(argv[i], L"--rounds") && i + 1 < argc) rounds = _wtoi(argv[++i]);
    else if (!wcscmp(argv[i], L"--calls") && i + 1 < argc) calls = _wtoi(argv[++i]);
    else rounds = 0;
  }
  if (rounds < 1 || calls < 1) {
    fprintf(stderr, "usage: veltrane_bench [--rounds N>0] [--calls N>0]\n");
    return 2;
  }
  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(hr)) Fail("CoInitializeEx", hr);
  RemoveFakes();  // what an interrupted earlier run left behind

  Ptr<IOPCAutoServer> automation;
  hr = CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCAutoServer,
                        reinterpret_cast<void**>(automation.Out()));
  if (FAILED(hr)) Fail("creating Veltrane's OPCServer (is Veltrane.dll registered?)", hr);
  BSTR progId = SysAllocString(kSimProgId);
  VARIANT noNode;
  V_VT(&noNode) = VT_ERROR;
  V_ERROR(&noNode) = DISP_E_PARAMNOTFOUND;
  hr = automation->Connect(progId, noNode);
  SysFreeString(progId);
  if (FAILED(hr)) Fail("OPCServer.Connect(\"Sim.OPCDA.2\")", hr);
  Ptr<IOPCServer> direct;
  hr = CoCreateInstance(kSimDa2, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                        reinterpret_cast<void**>(direct.Out()));
  if (FAILED(hr)) Fail("creating SimServer directly", hr);
  Ptr<IOPCGroups> groups;
  hr = automation->get_OPCGroups(groups.Out());
  if (FAILED(hr)) Fail("OPCServer.OPCGroups", hr);

  // Late binding as a script host does it: the name once, then Invoke by DISPID.
  Ptr<IDispatch> dispatch;
  automation->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(dispatch.Out()));
  LPOLESTR name = const_cast<LPOLESTR>(L"ServerState");
  DISPID stateId = 0;
  hr = dispatch->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &stateId);
  if (FAILED(hr)) Fail("GetIDsOfNames(ServerState)", hr);

  auto customStatus = [&] {
    OPCSERVERSTATUS* status = nullptr;
    HRESULT h = direct->GetStatus(&status);
    if (FAILED(h)) Fail("IOPCServer::GetStatus", h);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
  };
  auto earlyStatus = [&] {
    LONG state = 0;
    HRESULT h = automation->get_ServerState(&state);
    if (FAILED(h) || state != 1) Fail("OPCServer.ServerState", FAILED(h) ? h : E_UNEXPECTED);
  };
  auto lateStatus = [&] {
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    HRESULT h = dispatch->Invoke(stateId, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET,
                                 &none, &result, nullptr, nullptr);
    if (FAILED(h)) Fail("Invoke(ServerState)", h);
    VariantClear(&result);
  };
  auto customGroup = [&] {
    OPCHANDLE serverHandle = 0;
    DWORD revised = 0;
    IUnknown* group = nullptr;
    HRESULT h = direct->AddGroup(L"", TRUE, 1000, 1, nullptr, nullptr, LOCALE_SYSTEM_DEFAULT,
                                 &serverHandle, &revised, IID_IOPCGroupStateMgt, &group);
    if (FAILED(h)) Fail("IOPCServer::AddGroup", h);
    group->Release();
    h = direct->RemoveGroup(serverHandle, FALSE);
    if (FAILED(h)) Fail("IOPCServer::RemoveGroup", h);
  };
  auto autoGroup = [&] {
    VARIANT noName;
    V_VT(&noName) = VT_ERROR;
    V_ERROR(&noName) = DISP_E_PARAMNOTFOUND;
    IOPCGroup* group = nullptr;
    HRESULT h = groups->Add(noName, &group);
    if (FAILED(h)) Fail("OPCGroups.Add", h);
    LONG handle = 0;
    group->get_ServerHandle(&handle);
    group->Release();
    VARIANT which;
    V_VT(&which) = VT_I4;
    V_I4(&which) = handle;
    h = groups->Remove(which);
    if (FAILED(h)) Fail("OPCGroups.Remove", h);
  };

  std::vector<double> custom, early, late, cGroup, aGroup;
  for (int r = 0; r < rounds; ++r) {
    custom.push_back(PerCall(customStatus, calls));
    early.push_back(PerCall(earlyStatus, calls));
    late.push_back(PerCall(lateStatus, calls));
    cGroup.push_back(PerCall(customGroup, calls / 4 + 1));
    aGroup.push_back(PerCall(autoGroup, calls / 4 + 1));
  }
  double mc = Median(custom), me = Median(early), ml = Median(late);
  double mcg = Median(cGroup), mag = Median(aGroup);
  printf("Veltrane over SimServer (out of process), %d rounds, median per call\n", rounds);
  printf("%-44s %10s %8s\n", "call", "us/call", "ratio");
  printf("%-44s %10.1f %8.3f\n", "IOPCServer::GetStatus (baseline)", mc * 1e6, 1.0);
  printf("%-44s %10.1f %8.3f\n", "OPCServer.ServerState, early bound", me * 1e6, me / mc);
  printf("%-44s %10.1f %8.3f\n", "OPCServer.ServerState, IDispatch::Invoke", ml * 1e6, ml / mc);
  printf("%-44s %10.1f %8.3f\n", "AddGroup + RemoveGroup (baseline)", mcg * 1e6, 1.0);
  printf("%-44s %10.1f %8.3f\n", "OPCGroups.Add + OPCGroups.Remove", mag * 1e6, mag / mcg);

  // The server list: the prefix as it is, then with 10 and 100 more OPC servers registered.
  // Each call creates the OPC server list service afresh; "cold" lets that service's process
  // end between calls (it is started again each time), "warm" keeps it running by holding a
  // reference of our own, which leaves the registry scan and the two category walks.
  auto list = [&] { ListedCount(automation.p); };
  struct Size {
    long servers;
    double cold, warm;
  };
  std::vector<Size> sizes;
  int added = 0;
  for (int extra : {0, 10, 100}) {
    AddFakes(added, extra);
    added = extra;
    Size z{ListedCount(automation.p), 0, 0};
    std::vector<double> cold, warm;
    for (int r = 0; r < std::max(3, rounds / 3); ++r) {
      Sleep(2500);  // the service's process ends once its last client has gone
      cold.push_back(PerCall(list, 1));
    }
    Ptr<IUnknown> keep;
    hr = CoCreateInstance(CLSID_OPCServerList, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                          reinterpret_cast<void**>(keep.Out()));
    if (FAILED(hr)) Fail("creating the OPC server list service", hr);
    for (int r = 0; r < rounds; ++r) warm.push_back(PerCall(list, std::max(2, calls / 50)));
    z.cold = Median(cold);
    z.warm = Median(warm);
    sizes.push_back(z);
  }
  RemoveFakes();
  if (sizes[1].servers != sizes[0].servers + 10 || sizes[2].servers != sizes[0].servers + 100) {
    fprintf(stderr, "veltrane_bench: GetOPCServers listed %ld, %ld, %ld servers (expected %ld more, then %ld more)\n",
            sizes[0].servers, sizes[1].servers, sizes[2].servers, 10L, 100L);
    return 1;
  }
  const Size& b = sizes[0];
  for (const Size& z : sizes) {
    std::string label = "GetOPCServers, " + std::to_string(z.servers) + " servers";
    if (&z == &b) label += " (baseline)";
    printf("%-44s %10.1f %8.3f   cold: %.1f ms (ratio %.3f)\n", (label + ", warm").c_str(),
           z.warm * 1e6, z.warm / b.warm, z.cold * 1e3, z.cold / b.cold);
  }
  printf("cold / warm at %ld servers: %.1f (starting the list service's process)\n", b.servers,
         b.cold / b.warm);

  automation->Disconnect();
  CoUninitialize();
  return 0;
}
