// Registry entries of the served OPC server: the class with its LocalServer32 and AppID, the
// ProgID with its OPC key, and the DA categories.
#include "Engine.h"

#include <OpcDataAccess.h>
#include <comcat.h>

#include <string>

namespace opc_toolkit {
namespace {

std::wstring GuidText(const GUID& g) {
  wchar_t buf[40];
  StringFromGUID2(g, buf, 40);
  return buf;
}

LONG SetValue(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& v) {
  HKEY k;
  LONG r = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr);
  if (r != ERROR_SUCCESS) return r;
  r = RegSetValueExW(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                     static_cast<DWORD>((v.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(k);
  return r;
}

std::wstring ServerCommand(const ToolkitConfig& c) {
  std::wstring cmd = c.serverCommand;
  if (cmd.empty()) {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    cmd.assign(path, n);
  }
  if (cmd.find(L' ') != std::wstring::npos && cmd.front() != L'"') cmd = L"\"" + cmd + L"\"";
  if (!c.serverArguments.empty()) cmd += L" " + c.serverArguments;
  return cmd;
}

HRESULT Categories(const ToolkitConfig& c, bool add) {
  ICatRegister* cr = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                IID_ICatRegister, reinterpret_cast<void**>(&cr));
  if (FAILED(hr)) return hr;
  CATID cats[2] = {CATID_OPCDAServer20, CATID_OPCDAServer10};
  ULONG n = c.da10 ? 2 : 1;
  if (add) {
    CATEGORYINFO info[2] = {};
    info[0].catid = CATID_OPCDAServer20;
    info[0].lcid = 0x409;
    wcscpy(info[0].szDescription, OPC_CATEGORY_DESCRIPTION_DA20);
    info[1].catid = CATID_OPCDAServer10;
    info[1].lcid = 0x409;
    wcscpy(info[1].szDescription, OPC_CATEGORY_DESCRIPTION_DA10);
    hr = cr->RegisterCategories(2, info);
    if (SUCCEEDED(hr)) hr = cr->RegisterClassImplCategories(c.clsid, n, cats);
  } else {
    hr = cr->UnRegisterClassImplCategories(c.clsid, 2, cats);
  }
  cr->Release();
  return hr;
}

}  // namespace

HRESULT RegisterToolkitServer(const ToolkitConfig& c) {
  if (c.progId.empty()) return E_INVALIDARG;
  std::wstring clsid = GuidText(c.clsid), appid = GuidText(c.appId);
  std::wstring clsKey = L"Software\\Classes\\CLSID\\" + clsid;
  LONG r = ERROR_SUCCESS;
  auto set = [&](const std::wstring& path, const wchar_t* name, const std::wstring& v) {
    if (r == ERROR_SUCCESS) r = SetValue(HKEY_LOCAL_MACHINE, path, name, v);
  };
  set(clsKey, nullptr, c.description);
  set(clsKey, L"AppID", appid);
  set(clsKey + L"\\LocalServer32", nullptr, ServerCommand(c));
  set(clsKey + L"\\ProgID", nullptr, c.progId);
  set(L"Software\\Classes\\AppID\\" + appid, nullptr, c.description);
  std::wstring progKey = L"Software\\Classes\\" + c.progId;
  set(progKey, nullptr, c.description);
  set(progKey + L"\\CLSID", nullptr, clsid);
  // Older OPC clients list servers by this key instead of the categories.
  set(progKey + L"\\OPC", nullptr, L"");
  set(progKey + L"\\OPC\\Vendor", nullptr, c.vendor);
  if (r != ERROR_SUCCESS) return HRESULT_FROM_WIN32(r);
  return Categories(c, true);
}

HRESULT UnregisterToolkitServer(const ToolkitConfig& c) {
  if (c.progId.empty()) return E_INVALIDARG;
  Categories(c, false);
  std::wstring clsid = GuidText(c.clsid), appid = GuidText(c.appId);
  LONG r1 = RegDeleteTreeW(HKEY_LOCAL_MACHINE, (L"Software\\Classes\\CLSID\\" + clsid).c_str());
  LONG r2 = RegDeleteTreeW(HKEY_LOCAL_MACHINE, (L"Software\\Classes\\AppID\\" + appid).c_str());
  LONG r3 = RegDeleteTreeW(HKEY_LOCAL_MACHINE, (L"Software\\Classes\\" + c.progId).c_str());
  for (LONG r : {r1, r2, r3})
    if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND) return HRESULT_FROM_WIN32(r);
  return S_OK;
}

}  // namespace opc_toolkit
