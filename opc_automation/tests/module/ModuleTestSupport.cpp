#include "ModuleTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace veltrane_test {
namespace {

// Every test thread is an STA, as the threads of the library's clients are.
class ComEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
  void TearDown() override { CoUninitialize(); }
};
[[maybe_unused]] ::testing::Environment* const kEnv =
    ::testing::AddGlobalTestEnvironment(new ComEnvironment);

void ReadKey(HKEY key, const std::wstring& prefix, std::map<std::wstring, std::wstring>* out) {
  bool any = false;
  for (DWORD i = 0;; ++i) {
    wchar_t name[16384];
    DWORD nameLength = 16384;
    DWORD type = 0, bytes = 0;
    if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS)
      break;
    std::vector<BYTE> data(bytes + sizeof(wchar_t), 0);
    nameLength = 16384;
    DWORD got = bytes;
    if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data.data(), &got) != ERROR_SUCCESS)
      break;
    std::wstring text;
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
      text = std::wstring(reinterpret_cast<const wchar_t*>(data.data()), got / sizeof(wchar_t));
      while (!text.empty() && text.back() == L'\0') text.pop_back();
      text = (type == REG_SZ ? L"REG_SZ:" : L"REG_EXPAND_SZ:") + text;
    } else {
      text = L"type" + std::to_wstring(type) + L":" + std::to_wstring(got) + L" bytes";
    }
    (*out)[prefix + L"|" + std::wstring(name, nameLength)] = text;
    any = true;
  }
  if (!any) (*out)[prefix + L"|"] = L"(key)";
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD nameLength = 256;
    if (RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    HKEY sub = nullptr;
    if (RegOpenKeyExW(key, name, 0, KEY_READ, &sub) != ERROR_SUCCESS) continue;
    ReadKey(sub, prefix.empty() ? std::wstring(name) : prefix + L"\\" + name, out);
    RegCloseKey(sub);
  }
}

}  // namespace

std::wstring WindowsPath(const char* unixPath) {
  std::wstring p = L"Z:" + common::Utf8ToWide(unixPath);
  for (auto& c : p)
    if (c == L'/') c = L'\\';
  return p;
}

std::wstring BinPath(const wchar_t* file) {
  const char* bin = std::getenv("TESSAREL_BIN_DIR");
  return WindowsPath(bin ? bin : ".") + L"\\" + file;
}

Library::Library(const std::wstring& path) { module_ = LoadLibraryW(path.c_str()); }
Library::~Library() {
  if (module_) FreeLibrary(module_);
}
HRESULT Library::Register() const {
  auto f = Export<HRESULT(WINAPI*)()>("DllRegisterServer");
  return f ? f() : E_NOTIMPL;
}
HRESULT Library::Unregister() const {
  auto f = Export<HRESULT(WINAPI*)()>("DllUnregisterServer");
  return f ? f() : E_NOTIMPL;
}
HRESULT Library::CanUnloadNow() const {
  auto f = Export<HRESULT(WINAPI*)()>("DllCanUnloadNow");
  return f ? f() : E_NOTIMPL;
}
HRESULT Library::GetClassObject(const CLSID* clsid, const IID* iid, void** ppv) const {
  auto f = Export<HRESULT(WINAPI*)(const CLSID*, const IID*, void**)>("DllGetClassObject");
  return f ? f(clsid, iid, ppv) : E_NOTIMPL;
}

std::map<std::wstring, std::wstring> ReadTree(const std::wstring& path) {
  std::map<std::wstring, std::wstring> out;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return out;
  ReadKey(key, L"", &out);
  RegCloseKey(key);
  return out;
}

bool KeyExists(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

std::wstring DefaultValue(const std::wstring& path) {
  auto tree = ReadTree(path);
  auto it = tree.find(L"|");
  if (it == tree.end() || it->second.rfind(L"REG_SZ:", 0) != 0) return std::wstring();
  return it->second.substr(7);
}

std::wstring RegisteredTypeLibPath() {
  BSTR path = nullptr;
  if (FAILED(QueryPathOfRegTypeLib(LIBID_OPCAutomation, 1, 0, 0x409, &path)) || !path)
    return std::wstring();
  std::wstring p(path, SysStringLen(path));
  SysFreeString(path);
  while (!p.empty() && p.back() == L'\0') p.pop_back();
  return p;
}

std::wstring RegisteredHelpDir() {
  return DefaultValue(L"TypeLib\\" + common::GuidToString(LIBID_OPCAutomation) + L"\\1.0\\HELPDIR");
}

DWORD RunProgram(const std::wstring& commandLine) {
  std::wstring cmd = commandLine;
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return 1000 + GetLastError();
  common::Handle process(pi.hProcess), thread(pi.hThread);
  if (WaitForSingleObject(process.Get(), 120000) != WAIT_OBJECT_0) return 999;
  DWORD code = 998;
  GetExitCodeProcess(process.Get(), &code);
  return code;
}

ScratchFolder::ScratchFolder(const std::wstring& name) {
  wchar_t temp[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, temp);
  path_ = std::wstring(temp, n);
  if (!path_.empty() && path_.back() == L'\\') path_.pop_back();
  path_ += L"\\veltrane_module_" + std::to_wstring(GetCurrentProcessId()) + L"_" + name;
  CreateDirectoryW(path_.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder() {
  // Two levels are all the tests make.
  std::vector<std::wstring> folders{path_};
  for (size_t i = 0; i < folders.size(); ++i) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((folders[i] + L"\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) continue;
    do {
      std::wstring name = fd.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring full = folders[i] + L"\\" + name;
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) folders.push_back(full);
      else DeleteFileW(full.c_str());
    } while (FindNextFileW(h, &fd));
    FindClose(h);
  }
  for (size_t i = folders.size(); i-- > 0;) RemoveDirectoryW(folders[i].c_str());
}

void RestoreRegistration() {
  Library dll(BinPath(L"Veltrane.dll"));
  ASSERT_TRUE(dll.Loaded());
  ASSERT_EQ(dll.Register(), S_OK);
}

std::wstring ClsidKey(REFCLSID clsid) { return L"CLSID\\" + common::GuidToString(clsid); }

std::string Narrow(const std::wstring& text) { return common::WideToUtf8(text); }

}  // namespace veltrane_test
