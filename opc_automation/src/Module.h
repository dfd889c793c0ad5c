// The library as a COM server: the module object count, the class table with its cached class
// factories, the clipboard formats of the data streams, the module's locks and its clean-up list.
//
// The DLL's entry point calls Attach and Detach. Code linked into a test program (no DllMain)
// works without them: the locks are made on first use and the clipboard formats registered on
// first request.
#pragma once

#include <windows.h>
#include <objbase.h>

namespace veltrane {

// One creatable class of the library.
struct ClassEntry {
  const CLSID* clsid;
  // Writes (install) or removes the class's registry keys; the HRESULT of the first failure.
  HRESULT (*updateRegistry)(bool install);
  // Makes a new object and asks it for riid (the class factory's creator).
  HRESULT (*create)(REFIID riid, void** ppv);
  // The class factory, made on the first DllGetClassObject and kept until the library unloads;
  // this reference does not keep the library loaded (see ClassFactory).
  IClassFactory* factory;
};

// Work to run when the library unloads (cached type information). The node belongs to the
// caller and must live until then; it is unlinked before `run` is called.
struct CleanupNode {
  void (*run)(void* context) = nullptr;
  void* context = nullptr;
  CleanupNode* next = nullptr;
  bool linked = false;
};

class Module {
 public:
  // DLL_PROCESS_ATTACH: locks, instance handle, the clipboard formats.
  static void Attach(HINSTANCE instance) noexcept;
  // DLL_PROCESS_DETACH: releases the cached class factories, runs the clean-up list and deletes
  // the locks. (A test program may Attach again afterwards.)
  static void Detach() noexcept;

  // The library's instance handle (the test program's own when nothing attached).
  static HINSTANCE Instance() noexcept;
  static const GUID& LibId() noexcept;

  // The module object count: every object of the library, the server locks and the references
  // to a cached class factory beyond the cache's own. Interlocked.
  static LONG Lock() noexcept;
  static LONG Unlock() noexcept;
  static LONG LockCount() noexcept;

  // DllGetClassObject: the cached factory of a class of the table, asked for riid.
  static HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) noexcept;
  // DllCanUnloadNow: S_OK when the module object count is 0.
  static HRESULT CanUnloadNow() noexcept;
  // DllRegisterServer: every class of the table, then the type library; the first failure.
  static HRESULT RegisterServer() noexcept;
  // DllUnregisterServer: every class's keys; the type library stays. Always S_OK.
  static HRESULT UnregisterServer() noexcept;

  // Clipboard formats of the group's data streams (IDataObject advises of DA 1.0 servers).
  static UINT ClipboardFormatDataTime() noexcept;       // "OPCSTMFORMATDATATIME"
  static UINT ClipboardFormatWriteComplete() noexcept;  // "OPCSTMFORMATWRITECOMPLETE"
  static UINT ClipboardFormatData() noexcept;           // "OPCSTMFORMATDATA"

  // Adds work for Detach (last added runs first); a node already on the list stays once.
  static void AddCleanup(CleanupNode* node) noexcept;
  // Takes a node off the list without running it (an owner that goes before the library).
  static void RemoveCleanup(CleanupNode* node) noexcept;

  // Holds one of the module's critical sections for a scope.
  class ClassLock;     // the class table (making a cached factory)
  class TypeInfoLock;  // loading type information

 private:
  friend class ClassLock;
  friend class TypeInfoLock;
  static CRITICAL_SECTION* ClassSection() noexcept;
  static CRITICAL_SECTION* TypeInfoSection() noexcept;
};

class Module::ClassLock {
 public:
  ClassLock() noexcept : cs_(Module::ClassSection()) { EnterCriticalSection(cs_); }
  ~ClassLock() { LeaveCriticalSection(cs_); }
  ClassLock(const ClassLock&) = delete;
  ClassLock& operator=(const ClassLock&) = delete;

 private:
  CRITICAL_SECTION* cs_;
};

class Module::TypeInfoLock {
 public:
  TypeInfoLock() noexcept : cs_(Module::TypeInfoSection()) { EnterCriticalSection(cs_); }
  ~TypeInfoLock() { LeaveCriticalSection(cs_); }
  TypeInfoLock(const TypeInfoLock&) = delete;
  TypeInfoLock& operator=(const TypeInfoLock&) = delete;

 private:
  CRITICAL_SECTION* cs_;
};

}  // namespace veltrane
