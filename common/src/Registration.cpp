// Registry entries of COM servers under HKEY_CLASSES_ROOT.
#include "common/Registration.h"

#include "common/ComPtr.h"
#include "common/Errors.h"

#include <cstdio>

namespace common {
namespace {

HRESULT FromStatus(LSTATUS s) noexcept {
  return s == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(s));
}

// HKCR\path with its default value (none when value is null) and one named value.
HRESULT WriteKey(const WString& path, const OLECHAR* value, const OLECHAR* name = nullptr,
                 const OLECHAR* namedValue = nullptr) noexcept {
  RegKey k;
  LSTATUS s = k.Create(HKEY_CLASSES_ROOT, Ole(path), KEY_WRITE);
  if (s != ERROR_SUCCESS) return FromStatus(s);
  if (value) {
    s = k.SetString(nullptr, value);
    if (s != ERROR_SUCCESS) return FromStatus(s);
  }
  if (name && namedValue) {
    s = k.SetString(name, namedValue);
    if (s != ERROR_SUCCESS) return FromStatus(s);
  }
  return S_OK;
}

// True when HKCR\<progId>\CLSID names clsid.
bool ProgIdPointsAt(const OLECHAR* progId, REFCLSID clsid) {
  RegKey k;
  WString path = FromOle(progId) + FromOle(L"\\CLSID");
  if (k.Open(HKEY_CLASSES_ROOT, Ole(path), KEY_READ) != ERROR_SUCCESS) return false;
  auto v = k.GetString(nullptr);
  return v && *v == GuidToString(clsid);
}

HRESULT DeleteProgId(const OLECHAR* progId, REFCLSID clsid) noexcept {
  if (!progId || !*progId) return S_OK;
  return GuardHResult([&]() -> HRESULT {
    // A ProgID without a CLSID key is a leftover of ours or nobody's; one naming another class
    // belongs to that class.
    RegKey k;
    if (k.Open(HKEY_CLASSES_ROOT, progId, KEY_READ) != ERROR_SUCCESS) return S_OK;
    bool hasClsid = RegKey::Exists(k.Get(), L"CLSID");
    k.Reset();
    if (hasClsid && !ProgIdPointsAt(progId, clsid)) return S_OK;
    return FromStatus(RegKey::DeleteTree(HKEY_CLASSES_ROOT, progId));
  });
}

HRESULT WriteClass(const ClassEntry& e, ServerKind kind, const WString& modulePath) {
  if (!e.clsid) return E_INVALIDARG;
  const WString clsid = GuidToString(*e.clsid);
  const WString key = ClsidKeyPath(*e.clsid);
  HRESULT hr = WriteKey(key, e.description);
  if (FAILED(hr)) return hr;
  if (kind == ServerKind::InProcess) {
    hr = WriteKey(key + FromOle(L"\\InprocServer32"), Ole(modulePath), L"ThreadingModel",
                  e.threadingModel);
  } else {
    WString cmd = modulePath;
    if (cmd.find(WChar(' ')) != WString::npos && !cmd.empty() && cmd.front() != WChar('"'))
      cmd = FromOle(L"\"") + cmd + FromOle(L"\"");
    hr = WriteKey(key + FromOle(L"\\LocalServer32"), Ole(cmd));
  }
  if (FAILED(hr)) return hr;
  if (e.progId) {
    if (FAILED(hr = WriteKey(key + FromOle(L"\\ProgID"), e.progId))) return hr;
    if (FAILED(hr = WriteKey(FromOle(e.progId), e.description))) return hr;
    if (FAILED(hr = WriteKey(FromOle(e.progId) + FromOle(L"\\CLSID"), Ole(clsid)))) return hr;
  }
  if (e.versionIndependentProgId) {
    const WString vi = FromOle(e.versionIndependentProgId);
    if (FAILED(hr = WriteKey(key + FromOle(L"\\VersionIndependentProgID"), Ole(vi)))) return hr;
    if (FAILED(hr = WriteKey(vi, e.description))) return hr;
    if (FAILED(hr = WriteKey(vi + FromOle(L"\\CLSID"), Ole(clsid)))) return hr;
    if (e.progId && FAILED(hr = WriteKey(vi + FromOle(L"\\CurVer"), e.progId))) return hr;
  }
  if (e.typeLib) {
    const WString lib = GuidToString(*e.typeLib);
    if (FAILED(hr = WriteKey(key + FromOle(L"\\TypeLib"), Ole(lib)))) return hr;
  }
  if (e.typeLibVersion && FAILED(hr = WriteKey(key + FromOle(L"\\Version"), e.typeLibVersion)))
    return hr;
  if (e.appId) {
    const WString app = GuidToString(*e.appId);
    if (FAILED(hr = WriteKey(key, nullptr, L"AppID", Ole(app)))) return hr;
  }
  if (e.registerExtra) {
    hr = e.registerExtra(e, key, modulePath, true);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

}  // namespace

HRESULT WriteClassesKey(const WString& path, const OLECHAR* value) noexcept {
  return WriteKey(path, value);
}

HRESULT RegisterComClass(const ClassEntry& entry, ServerKind kind, const WString& modulePath) noexcept {
  return GuardHResult([&] { return WriteClass(entry, kind, modulePath); });
}

HRESULT UnregisterComClass(const ClassEntry& e) noexcept {
  if (!e.clsid) return E_INVALIDARG;
  return GuardHResult([&]() -> HRESULT {
    HRESULT first = S_OK;
    auto keep = [&](HRESULT hr) {
      if (FAILED(hr) && SUCCEEDED(first)) first = hr;
    };
    const WString key = ClsidKeyPath(*e.clsid);
    if (e.registerExtra) keep(e.registerExtra(e, key, WString(), false));
    keep(DeleteProgId(e.progId, *e.clsid));
    keep(DeleteProgId(e.versionIndependentProgId, *e.clsid));
    keep(FromStatus(RegKey::DeleteTree(HKEY_CLASSES_ROOT, Ole(key))));
    return first;
  });
}

HRESULT RegisterAppId(REFGUID appId, const OLECHAR* name, const OLECHAR* exeName) noexcept {
  return GuardHResult([&]() -> HRESULT {
    const WString app = GuidToString(appId);
    HRESULT hr = WriteKey(FromOle(L"AppID\\") + app, name);
    if (FAILED(hr)) return hr;
    if (exeName && *exeName)
      hr = WriteKey(FromOle(L"AppID\\") + FromOle(exeName), nullptr, L"AppID", Ole(app));
    return hr;
  });
}

HRESULT UnregisterAppId(REFGUID appId, const OLECHAR* exeName) noexcept {
  return GuardHResult([&]() -> HRESULT {
    const WString app = FromOle(L"AppID\\") + GuidToString(appId);
    HRESULT hr = FromStatus(RegKey::DeleteTree(HKEY_CLASSES_ROOT, Ole(app)));
    if (exeName && *exeName) {
      const WString exe = FromOle(L"AppID\\") + FromOle(exeName);
      RegKey k;
      bool ours = false;
      if (k.Open(HKEY_CLASSES_ROOT, Ole(exe), KEY_READ) == ERROR_SUCCESS) {
        auto v = k.GetString(L"AppID");
        ours = v && *v == GuidToString(appId);
      }
      k.Reset();
      if (ours) {
        HRESULT h2 = FromStatus(RegKey::DeleteTree(HKEY_CLASSES_ROOT, Ole(exe)));
        if (SUCCEEDED(hr)) hr = h2;
      }
    }
    return hr;
  });
}

HRESULT RegisterTypeLibOf(const WString& path) noexcept {
  return GuardHResult([&]() -> HRESULT {
    ComPtr<ITypeLib> lib;
    HRESULT hr = LoadTypeLibEx(Ole(path), REGKIND_NONE, lib.GetAddressOf());
    if (FAILED(hr)) return hr;
    WString copy = path;  // RegisterTypeLib takes a non-const string
    return RegisterTypeLib(lib.Get(), Ole(copy), nullptr);
  });
}

HRESULT UnregisterTypeLibOf(const WString& path) noexcept {
  return GuardHResult([&]() -> HRESULT {
    ComPtr<ITypeLib> lib;
    HRESULT hr = LoadTypeLibEx(Ole(path), REGKIND_NONE, lib.GetAddressOf());
    if (FAILED(hr)) return hr;
    TLIBATTR* attr = nullptr;
    hr = lib->GetLibAttr(&attr);
    if (FAILED(hr) || !attr) return FAILED(hr) ? hr : E_FAIL;
    TLIBATTR a = *attr;
    lib->ReleaseTLibAttr(attr);
    // Already unregistered is no error for an uninstaller (and UnRegisterTypeLib's code for
    // it differs between platforms).
    char version[32];
    std::snprintf(version, sizeof version, "\\%x.%x", a.wMajorVerNum, a.wMinorVerNum);
    const WString key = FromOle(L"TypeLib\\") + GuidToString(a.guid) + Utf8ToWide(version);
    if (!RegKey::Exists(HKEY_CLASSES_ROOT, Ole(key))) return S_OK;
    hr = UnRegisterTypeLib(a.guid, a.wMajorVerNum, a.wMinorVerNum, a.lcid, a.syskind);
    if (hr == TYPE_E_REGISTRYACCESS || hr == TYPE_E_LIBNOTREGISTERED) hr = S_OK;
    return hr;
  });
}

HRESULT DllRegisterClasses(std::span<const ClassEntry> classes, bool registerTypeLib) noexcept {
  return GuardHResult([&]() -> HRESULT {
    const WString path = Module::FileName();
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    HRESULT hr = S_OK;
    for (const ClassEntry& c : classes)
      if (FAILED(hr = RegisterComClass(c, ServerKind::InProcess, path))) break;
    if (SUCCEEDED(hr) && registerTypeLib) hr = RegisterTypeLibOf(path);
    if (FAILED(hr)) DllUnregisterClasses(classes, registerTypeLib);
    return hr;
  });
}

HRESULT DllUnregisterClasses(std::span<const ClassEntry> classes, bool unregisterTypeLib) noexcept {
  return GuardHResult([&]() -> HRESULT {
    HRESULT first = S_OK;
    for (const ClassEntry& c : classes) {
      HRESULT hr = UnregisterComClass(c);
      if (FAILED(hr) && SUCCEEDED(first)) first = hr;
    }
    if (unregisterTypeLib) {
      HRESULT hr = UnregisterTypeLibOf(Module::FileName());
      if (FAILED(hr) && SUCCEEDED(first)) first = hr;
    }
    return first;
  });
}

}  // namespace common
