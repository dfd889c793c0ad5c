// What the module tests share: the library under test loaded by path with its exports, the
// registry read back as text, scratch folders, and putting the build's registration back.
#pragma once

#include <windows.h>
#include <objbase.h>

#include "OPCAutomation.h"
#include "common/Kit.h"

#include <map>
#include <string>

namespace veltrane_test {

// A file of the build's bin folder as a Windows path (drive Z:).
std::wstring BinPath(const wchar_t* file);
// A Unix path of the build as a Windows path.
std::wstring WindowsPath(const char* unixPath);

// One library file loaded with LoadLibraryW (freed at the end) and its four exports.
class Library {
 public:
  explicit Library(const std::wstring& path);
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  bool Loaded() const { return module_ != nullptr; }
  HMODULE Handle() const { return module_; }
  HRESULT Register() const;
  HRESULT Unregister() const;
  HRESULT CanUnloadNow() const;
  // Pointer-typed, so that tests can pass what C callers can (null GUIDs).
  HRESULT GetClassObject(const CLSID* clsid, const IID* iid, void** ppv) const;

 private:
  template <class F>
  F Export(const char* name) const {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
  }
  HMODULE module_ = nullptr;
};

// Every value of HKCR\path and of its subkeys, as "sub\key|name" -> "type:text" ("" is the
// key's default value; a subkey without values still shows as "sub\key|" -> "(key)").
std::map<std::wstring, std::wstring> ReadTree(const std::wstring& path);
bool KeyExists(const std::wstring& path);
std::wstring DefaultValue(const std::wstring& path);

// The registered path of the OPCAutomation type library (QueryPathOfRegTypeLib), "" if none.
std::wstring RegisteredTypeLibPath();
// HKCR\TypeLib\{LIBID}\1.0\HELPDIR.
std::wstring RegisteredHelpDir();

// Runs a program of the prefix (e.g. regsvr32) and returns its exit code (>= 1000 when it could
// not be started or did not end).
DWORD RunProgram(const std::wstring& commandLine);

// A fresh folder under the temp folder, removed with everything in it at the end.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::wstring& name);
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::wstring& Path() const { return path_; }
  // path_ + "\\" + name
  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

// Registers the build's Veltrane.dll again, as scripts/register left it (for the tests that
// register copies or unregister).
void RestoreRegistration();

std::wstring ClsidKey(REFCLSID clsid);
std::string Narrow(const std::wstring& text);

}  // namespace veltrane_test
