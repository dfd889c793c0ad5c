#include "Registration.h"

#include "Module.h"
#include "OPCAutomation.h"
#include "portable/ModulePaths.h"
#include "resource.h"

#include <oleauto.h>

#include <new>
#include <string>
#include <utility>

namespace veltrane {
namespace {

HRESULT FromWin32(LONG status) noexcept {
  return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(status));
}

// An open registry key, closed when it goes.
class Key {
 public:
  Key() noexcept = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() {
    if (h_) RegCloseKey(h_);
  }
  HKEY Get() const noexcept { return h_; }
  HKEY* Put() noexcept {
    if (h_) RegCloseKey(std::exchange(h_, nullptr));
    return &h_;
  }

 private:
  HKEY h_ = nullptr;
};

LONG Create(HKEY parent, const char* name, Key* out) noexcept {
  return RegCreateKeyExA(parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                         nullptr, out->Put(), nullptr);
}

LONG SetString(HKEY key, const char* name, const std::string& value) noexcept {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>(value.size() + 1));
}

// parent\name with its default value; the key stays open in *out.
LONG CreateWithDefault(HKEY parent, const char* name, const std::string& value, Key* out) noexcept {
  LONG s = Create(parent, name, out);
  if (s != ERROR_SUCCESS) return s;
  return SetString(out->Get(), nullptr, value);
}

// This library's full path. Asked in UTF-16 and without a length limit: an ANSI or MAX_PATH
// answer would be a wrong path, and the registration would report success with it.
std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(Module::Instance(), path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return std::wstring();
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    if (path.size() >= 32768) return std::wstring();
    path.resize(path.size() * 2);
  }
}

// `wide` in the ANSI code page; false when some character has no ANSI form.
bool ToAnsi(const std::wstring& wide, std::string* out) {
  out->clear();
  if (wide.empty()) return true;
  BOOL lossy = FALSE;
  int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                              nullptr, 0, nullptr, &lossy);
  if (n <= 0) return false;
  out->assign(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                      out->data(), n, nullptr, &lossy);
  return !lossy;
}

HRESULT LastErrorOr(HRESULT fallback) noexcept {
  DWORD e = GetLastError();
  return e ? HRESULT_FROM_WIN32(e) : fallback;
}

HRESULT WriteProgId(const char* progId, const std::string& description,
                    const std::string& clsid) noexcept {
  Key key, sub;
  LONG s = CreateWithDefault(HKEY_CLASSES_ROOT, progId, description, &key);
  if (s == ERROR_SUCCESS) s = CreateWithDefault(key.Get(), "CLSID", clsid, &sub);
  return FromWin32(s);
}

HRESULT WriteClassKeys() {
  // 1. The description, the path and the CLSID as text.
  char text[512];
  SetLastError(0);
  int n = LoadStringA(Module::Instance(), IDS_SERVER_DESCRIPTION, text, static_cast<int>(sizeof text));
  if (n <= 0) return LastErrorOr(HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND));
  const std::string description(text, static_cast<size_t>(n));
  const std::wstring path = ModulePath();
  if (path.empty()) return LastErrorOr(E_FAIL);
  std::string ansiPath;
  const bool pathIsAnsi = ToAnsi(path, &ansiPath);
  LPOLESTR clsidText = nullptr;
  HRESULT hr = StringFromCLSID(CLSID_OPCServer, &clsidText);
  if (FAILED(hr)) return hr;
  std::string clsid;
  ToAnsi(clsidText, &clsid);  // hexadecimal digits and braces only
  CoTaskMemFree(clsidText);

  // 2. The ProgID keys.
  for (const char* progId : {kServerProgId, kServerVersionIndependentProgId}) {
    hr = WriteProgId(progId, description, clsid);
    if (FAILED(hr)) return hr;
  }

  // 3. CLSID\{CLSID}. Its subkeys are written on a best-effort basis, failures not reported.
  Key classes, key;
  LONG s = RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_READ | KEY_WRITE, classes.Put());
  if (s == ERROR_SUCCESS) s = CreateWithDefault(classes.Get(), clsid.c_str(), description, &key);
  if (s != ERROR_SUCCESS) return FromWin32(s);
  {
    Key sub;
    CreateWithDefault(key.Get(), "ProgID", kServerProgId, &sub);
    CreateWithDefault(key.Get(), "VersionIndependentProgID", kServerVersionIndependentProgId, &sub);
  }
  Key inproc;
  if (Create(key.Get(), "InprocServer32", &inproc) == ERROR_SUCCESS) {
    if (pathIsAnsi) {
      SetString(inproc.Get(), nullptr, ansiPath);
    } else {
      // A folder name outside the ANSI code page: the ANSI text would name another file.
      RegSetValueExW(inproc.Get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                     static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    }
    SetString(inproc.Get(), "ThreadingModel", "Apartment");
  }
  return S_OK;
}

HRESULT RemoveClassKeys() {
  for (const char* progId : {kServerProgId, kServerVersionIndependentProgId})
    if (*progId) DeleteKeyTree(HKEY_CLASSES_ROOT, progId);
  LPOLESTR clsidText = nullptr;
  if (FAILED(StringFromCLSID(CLSID_OPCServer, &clsidText))) return S_OK;
  std::string clsid;
  ToAnsi(clsidText, &clsid);
  CoTaskMemFree(clsidText);
  Key classes;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_READ | KEY_WRITE, classes.Put()) ==
      ERROR_SUCCESS)
    DeleteKeyTree(classes.Get(), clsid.c_str());
  return S_OK;
}

}  // namespace

LONG DeleteKeyTree(HKEY parent, const char* name) noexcept {
  Key key;
  LONG s = RegOpenKeyExA(parent, name, 0, KEY_READ | KEY_WRITE, key.Put());
  if (s != ERROR_SUCCESS) return s;
  // Always the first subkey, until none is left. A subkey that cannot be deleted ends the loop
  // (it would otherwise be enumerated again and again); the key itself then fails to go too.
  for (;;) {
    char sub[256];  // registry key names have at most 255 characters
    DWORD length = sizeof sub;
    if (RegEnumKeyExA(key.Get(), 0, sub, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    if (DeleteKeyTree(key.Get(), sub) != ERROR_SUCCESS) break;
  }
  key.Put();  // closed before the key itself is deleted
  return RegDeleteKeyA(parent, name);
}

HRESULT UpdateServerRegistry(bool install) noexcept {
  try {
    return install ? WriteClassKeys() : RemoveClassKeys();
  } catch (const std::bad_alloc&) {
    return install ? E_OUTOFMEMORY : S_OK;
  }
}

HRESULT RegisterServerTypeLib() noexcept {
  try {
    std::wstring path = ModulePath();
    if (path.empty()) return LastErrorOr(E_FAIL);
    ITypeLib* lib = nullptr;
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &lib);
    if (FAILED(hr)) {
      path = TypeLibPathBeside(path);
      lib = nullptr;
      hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &lib);
      if (FAILED(hr)) return hr;
    }
    if (!lib) return E_UNEXPECTED;
    std::wstring helpDir = HelpDirectoryOf(path);
    hr = RegisterTypeLib(lib, path.data(), helpDir.empty() ? nullptr : helpDir.data());
    lib->Release();
    return hr;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace veltrane
