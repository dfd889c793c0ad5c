#include "SimServer.h"

#include <OpcDataAccess.h>
#include <comcat.h>

namespace opc_sim {

const CLSID CLSID_SimServerDA20 = {0xb689282a, 0x2e15, 0x43bb, {0xa6, 0xb2, 0x7b, 0xed, 0x22, 0xfe, 0x6f, 0xf7}};
const CLSID CLSID_SimServerDA10 = {0xb0d4b233, 0x4fbe, 0x41d5, {0x98, 0xee, 0xa8, 0x13, 0x75, 0x95, 0x9d, 0x16}};
const GUID APPID_SimServer = {0xfb630e07, 0x26ef, 0x4ece, {0x85, 0xdb, 0xec, 0x85, 0x44, 0x21, 0xde, 0x79}};
const wchar_t kVersionIndependentProgId[] = L"Sim.OPCDA";

opc_toolkit::ToolkitConfig SimConfig(bool da10) {
  opc_toolkit::ToolkitConfig c;
  c.progId = da10 ? L"Sim.OPCDA.1" : L"Sim.OPCDA.2";
  c.clsid = da10 ? CLSID_SimServerDA10 : CLSID_SimServerDA20;
  c.appId = APPID_SimServer;
  c.description = da10 ? L"Simulation OPC DA 1.0 Server" : L"Simulation OPC DA 2.0 Server";
  c.vendor = L"Tessarel simulation";
  c.da10 = da10;
  return c;
}

namespace {

std::wstring GuidText(const GUID& g) {
  wchar_t buf[40];
  StringFromGUID2(g, buf, 40);
  return buf;
}

LONG SetString(const std::wstring& path, const wchar_t* name, const std::wstring& v) {
  HKEY k;
  // Where the toolkit writes its keys too (HKCR shows them).
  std::wstring full = L"Software\\Classes\\" + path;
  LONG r = RegCreateKeyExW(HKEY_LOCAL_MACHINE, full.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                           &k, nullptr);
  if (r != ERROR_SUCCESS) return r;
  r = RegSetValueExW(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                     static_cast<DWORD>((v.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(k);
  return r;
}

HRESULT DropDa20Category(const CLSID& clsid) {
  ICatRegister* cr = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                IID_ICatRegister, reinterpret_cast<void**>(&cr));
  if (FAILED(hr)) return hr;
  CATID da20 = CATID_OPCDAServer20;
  hr = cr->UnRegisterClassImplCategories(clsid, 1, &da20);
  cr->Release();
  return hr;
}

}  // namespace

HRESULT RegisterSimServer(bool install, const std::wstring& serverExe) {
  HRESULT result = S_OK;
  for (bool da10 : {false, true}) {
    opc_toolkit::ToolkitConfig cfg = SimConfig(da10);
    cfg.serverCommand = serverExe;
    auto toolkit = opc_toolkit::CreateServerToolkit(cfg, nullptr);
    HRESULT hr = install ? toolkit->RegisterServer() : toolkit->UnregisterServer();
    if (SUCCEEDED(hr) && install && da10) hr = DropDa20Category(cfg.clsid);
    if (SUCCEEDED(hr) && install) {
      std::wstring clsidKey = L"CLSID\\" + GuidText(cfg.clsid);
      LONG r = SetString(clsidKey + L"\\VersionIndependentProgID", nullptr,
                         kVersionIndependentProgId);
      if (r != ERROR_SUCCESS) hr = HRESULT_FROM_WIN32(r);
    }
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  }
  // The version-independent ProgID names the current version, the DA 2.0 class; like the
  // versioned ones it carries the OPC key older clients look for.
  std::wstring vip = kVersionIndependentProgId;
  if (install) {
    opc_toolkit::ToolkitConfig cfg = SimConfig(false);
    LONG r = SetString(vip, nullptr, cfg.description);
    if (r == ERROR_SUCCESS) r = SetString(vip + L"\\CLSID", nullptr, GuidText(cfg.clsid));
    if (r == ERROR_SUCCESS) r = SetString(vip + L"\\CurVer", nullptr, cfg.progId);
    if (r == ERROR_SUCCESS) r = SetString(vip + L"\\OPC", nullptr, L"");
    if (r == ERROR_SUCCESS) r = SetString(vip + L"\\OPC\\Vendor", nullptr, cfg.vendor);
    if (r != ERROR_SUCCESS && SUCCEEDED(result)) result = HRESULT_FROM_WIN32(r);
  } else {
    LONG r = RegDeleteTreeW(HKEY_LOCAL_MACHINE, (L"Software\\Classes\\" + vip).c_str());
    if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND && SUCCEEDED(result))
      result = HRESULT_FROM_WIN32(r);
  }
  return result;
}

SimPersonality::SimPersonality(bool da10, uint32_t seed)
    : da10_(da10), toolkit_(opc_toolkit::CreateServerToolkit(SimConfig(da10), this)),
      items_(std::make_unique<SimItems>(toolkit_->ServedTags(), seed)) {}

SimPersonality::~SimPersonality() {
  // The toolkit goes first: it may still call us while it takes its objects down.
  toolkit_.reset();
}

void SimPersonality::ServerClientConnected(long) {}

void SimPersonality::ServerClientDisconnected(long remaining) {
  if (onClientsChanged) onClientsChanged(remaining);
}

void SimPersonality::ValidateItems(long count, const wchar_t* const*, long* errors,
                                   long& result) {
  // Every item of the tree may be added; the toolkit refuses names it does not serve.
  for (long i = 0; i < count; ++i) errors[i] = 0;
  result = 0;
}

void SimPersonality::WriteItems(long count, const wchar_t* const* names, const VARIANT* values,
                                long* errors, long& result) {
  long ok = 0;
  for (long i = 0; i < count; ++i) {
    HRESULT hr = E_FAIL;
    try {
      if (_wcsicmp(names[i], L"Control.Shutdown") == 0) {
        VARIANT text;
        VariantInit(&text);
        hr = VariantChangeType(&text, const_cast<VARIANT*>(&values[i]), 0, VT_BSTR);
        if (SUCCEEDED(hr)) {
          std::wstring reason = V_BSTR(&text) ? V_BSTR(&text) : L"";
          VariantClear(&text);
          hr = items_->Write(names[i], values[i]);
          if (SUCCEEDED(hr) && onShutdownWrite) onShutdownWrite(reason);
        }
      } else {
        hr = items_->Write(names[i], values[i]);
      }
    } catch (...) {
      hr = E_OUTOFMEMORY;
    }
    errors[i] = static_cast<long>(hr);
    if (SUCCEEDED(hr)) ++ok;
  }
  result = ok == count ? 0 : ok > 0 ? 1 : static_cast<long>(E_FAIL);
}

void SimPersonality::WriteItemsEx(long count, const wchar_t* const* names, const VARIANT* values,
                                  const short*, const DATE*, long* errors, long& result) {
  WriteItems(count, names, values, errors, result);
}

}  // namespace opc_sim
