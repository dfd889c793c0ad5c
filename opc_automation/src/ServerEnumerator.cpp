#include "ServerEnumerator.h"

#include "Arguments.h"
#include "NodeServices.h"
#include "common/Bstr.h"
#include "common/ComPtr.h"
#include "common/Strings.h"

#include <OpcCommon.h>
#include <OpcDataAccess.h>

#include <optional>
#include <string>
#include <vector>

namespace veltrane {

namespace {

constexpr DWORD kMaxName = 1024;  // key names and values read, in characters / bytes

bool HasNode(const char* node) noexcept { return node && *node; }

HRESULT Win32Error(LONG status) noexcept { return HRESULT_FROM_WIN32(static_cast<DWORD>(status)); }

// An open registry key, closed on scope exit.
class Key {
 public:
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() {
    if (k_) RegCloseKey(k_);
  }
  LONG Open(HKEY parent, const std::string& path) noexcept {
    return RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ, &k_);
  }
  HKEY Get() const noexcept { return k_; }

 private:
  HKEY k_ = nullptr;
};

// The default value of `key` as a string (REG_SZ / REG_EXPAND_SZ, up to kMaxName bytes).
LONG ReadDefault(HKEY key, std::string* out) {
  char buf[kMaxName + 1] = {};
  DWORD type = 0, size = kMaxName;
  LONG status = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
  if (status != ERROR_SUCCESS) return status;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
  // The stored value may or may not end in its NUL.
  while (size > 0 && buf[size - 1] == '\0') --size;
  out->assign(buf, size);
  return ERROR_SUCCESS;
}

// The default value of root\path.
LONG ReadDefault(HKEY root, const std::string& path, std::string* out) {
  Key k;
  LONG status = k.Open(root, path);
  if (status != ERROR_SUCCESS) return status;
  return ReadDefault(k.Get(), out);
}

// The node's classes root, closed on scope exit.
class ClassesRoot {
 public:
  explicit ClassesRoot(const char* node) : status_(CurrentNodeServices().OpenClassesRoot(node, &root_)) {
    if (status_ != ERROR_SUCCESS) root_ = nullptr;
  }
  ClassesRoot(const ClassesRoot&) = delete;
  ClassesRoot& operator=(const ClassesRoot&) = delete;
  ~ClassesRoot() {
    if (root_) CurrentNodeServices().CloseClassesRoot(root_);
  }
  LONG Status() const noexcept { return status_; }
  HKEY Get() const noexcept { return root_; }

 private:
  HKEY root_ = nullptr;
  LONG status_;
};

// The node's server list service: a local server when no node is named, else by the node rule.
HRESULT CreateServerList(const char* node, IOPCServerList** out) {
  *out = nullptr;
  common::ComPtr<IUnknown> unk;
  HRESULT hr;
  if (!HasNode(node))
    hr = CurrentNodeServices().CreateInstance(CLSID_OPCServerList, nullptr, CLSCTX_LOCAL_SERVER,
                                              IID_IOPCServerList, unk.GetAddressOf());
  else
    hr = CreateOnNode(CLSID_OPCServerList, node, IID_IOPCServerList, unk.GetAddressOf());
  if (FAILED(hr)) return hr;
  if (!unk) return E_NOINTERFACE;
  // The service was asked for IOPCServerList: the pointer is that interface.
  *out = static_cast<IOPCServerList*>(static_cast<void*>(unk.Detach()));
  return S_OK;
}

std::string ToAnsi(const OLECHAR* s) { return common::WideToAnsi(common::FromOle(s)); }

}  // namespace

void ServerEnumerator::ScanRegistry(const char* node) {
  ClassesRoot root(node);
  if (!root.Get()) return;
  for (DWORD index = 0;; ++index) {
    char name[kMaxName + 1];
    DWORD length = kMaxName + 1;
    if (RegEnumKeyExA(root.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    std::string key(name, length);
    if (key == "CLSID" || key == "AppID" || key.empty() || key[0] == '.') continue;
    {
      Key opc;
      if (opc.Open(root.Get(), key + "\\OPC") != ERROR_SUCCESS) continue;
    }
    std::string description, clsid, progId;
    if (ReadDefault(root.Get(), key, &description) != ERROR_SUCCESS) continue;
    if (ReadDefault(root.Get(), key + "\\CLSID", &clsid) != ERROR_SUCCESS) continue;
    // Listed under the class's own ProgID: a version-independent name leads to the versioned one.
    if (ReadDefault(root.Get(), "CLSID\\" + clsid + "\\ProgID", &progId) != ERROR_SUCCESS) continue;
    if (!progId.empty()) set_.Add(progId);
  }
}

void ServerEnumerator::WalkCategories(const char* node) {
  common::ComPtr<IOPCServerList> list;
  if (FAILED(CreateServerList(node, list.GetAddressOf()))) return;
  const GUID* categories[] = {&CATID_OPCDAServer10, &CATID_OPCDAServer20};
  // More classes than any machine registers: a faulty enumerator that never ends stops here.
  constexpr int kMaxClasses = 100000;
  for (const GUID* category : categories) {
    CATID cat = *category;
    common::ComPtr<IEnumGUID> classes;
    if (FAILED(list->EnumClassesOfCategories(1, &cat, 1, &cat, classes.GetAddressOf())) || !classes)
      continue;
    for (int n = 0; n < kMaxClasses; ++n) {
      CLSID clsid = GUID_NULL;
      ULONG fetched = 0;
      // S_FALSE is the end; a failure ends the walk too, since asking again would only repeat it.
      if (classes->Next(1, &clsid, &fetched) != S_OK || fetched != 1) break;
      LPOLESTR progId = nullptr, userType = nullptr;
      HRESULT hr = list->GetClassDetails(clsid, &progId, &userType);
      if (SUCCEEDED(hr) && progId && *progId) set_.Add(ToAnsi(progId));
      CoTaskMemFree(progId);
      CoTaskMemFree(userType);
    }
  }
}

HRESULT ServerEnumerator::ListServers(const char* node, SAFEARRAY** out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  try {
    set_.Clear();
    // Neither source's failures are reported: the list is whatever could be read.
    try {
      ScanRegistry(node);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (...) {
    }
    try {
      WalkCategories(node);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (...) {
    }
    std::vector<common::Bstr> names;
    std::vector<BSTR> raw;
    names.reserve(set_.Size());
    for (const std::string& p : set_.Items()) {
      names.push_back(common::Bstr(common::AnsiToWide(p)));
      raw.push_back(names.back().Get());
    }
    return MakeBstrArray(raw, out);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT ServerEnumerator::ResolveProgId(const OLECHAR* progId, const char* node, CLSID* out) noexcept {
  if (!out) return E_POINTER;
  *out = GUID_NULL;
  if (!progId) return E_INVALIDARG;
  try {
    {
      common::ComPtr<IOPCServerList> list;
      if (SUCCEEDED(CreateServerList(node, list.GetAddressOf()))) {
        CLSID clsid = GUID_NULL;
        if (SUCCEEDED(list->CLSIDFromProgID(progId, &clsid))) {
          *out = clsid;
          return S_OK;
        }
      }
    }
    ClassesRoot root(node);
    if (!root.Get()) return Win32Error(root.Status());
    std::string text;
    LONG status = ReadDefault(root.Get(), ToAnsi(progId) + "\\CLSID", &text);
    if (status != ERROR_SUCCESS) return Win32Error(status);
    common::WString wide = common::AnsiToWide(text);
    CLSID clsid = GUID_NULL;
    HRESULT hr = CLSIDFromString(common::Ole(wide), &clsid);
    if (FAILED(hr)) return hr;
    *out = clsid;
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

}  // namespace veltrane
