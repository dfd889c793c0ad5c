#include "Module.h"

#include "ClassFactory.h"
#include "OPCAutomation.h"
#include "Registration.h"
#include "ServerObject.h"
#include "common/ComObject.h"

#include <atomic>
#include <new>

namespace veltrane {
namespace {

// The class table: OPCServer is the only creatable class (groups and items are reached through
// a server object).
ClassEntry g_classes[] = {
    {&CLSID_OPCServer, &UpdateServerRegistry, &CreateServerObject, nullptr},
};

// The critical sections are made by the first user (Attach in the DLL, or the first lock a test
// program takes) and deleted by Detach.
INIT_ONCE g_sectionsOnce = INIT_ONCE_STATIC_INIT;
CRITICAL_SECTION g_classSection;
CRITICAL_SECTION g_typeInfoSection;

std::atomic<HINSTANCE> g_instance{nullptr};
CleanupNode* g_cleanups = nullptr;  // guarded by the type-info section

struct ClipboardFormat {
  const char* name;
  std::atomic<UINT> id;
};
ClipboardFormat g_formats[3] = {
    {"OPCSTMFORMATDATATIME", 0}, {"OPCSTMFORMATWRITECOMPLETE", 0}, {"OPCSTMFORMATDATA", 0}};

BOOL CALLBACK MakeSections(PINIT_ONCE, PVOID, PVOID*) {
  InitializeCriticalSection(&g_classSection);
  InitializeCriticalSection(&g_typeInfoSection);
  return TRUE;
}

void EnsureSections() noexcept { InitOnceExecuteOnce(&g_sectionsOnce, MakeSections, nullptr, nullptr); }

UINT Format(ClipboardFormat& f) noexcept {
  UINT id = f.id.load();
  if (!id) {
    // Registering a name again gives the same number, so a race here is harmless.
    id = RegisterClipboardFormatA(f.name);
    f.id.store(id);
  }
  return id;
}

}  // namespace

void Module::Attach(HINSTANCE instance) noexcept {
  EnsureSections();
  g_instance = instance;
  common::Module::SetHandle(instance);
  for (ClipboardFormat& f : g_formats) Format(f);
}

void Module::Detach() noexcept {
  EnsureSections();
  {
    ClassLock lock;
    for (ClassEntry& c : g_classes) {
      if (IClassFactory* f = c.factory) {
        c.factory = nullptr;
        f->Release();
      }
    }
  }
  for (;;) {
    CleanupNode* node;
    {
      TypeInfoLock lock;
      node = g_cleanups;
      if (!node) break;
      g_cleanups = node->next;
      node->next = nullptr;
      node->linked = false;
    }
    if (node->run) node->run(node->context);
  }
  DeleteCriticalSection(&g_classSection);
  DeleteCriticalSection(&g_typeInfoSection);
  InitOnceInitialize(&g_sectionsOnce);
}

HINSTANCE Module::Instance() noexcept {
  HINSTANCE h = g_instance.load();
  return h ? h : common::Module::Handle();
}

const GUID& Module::LibId() noexcept { return LIBID_OPCAutomation; }

LONG Module::Lock() noexcept { return common::Module::Lock(); }
LONG Module::Unlock() noexcept { return common::Module::Unlock(); }
LONG Module::LockCount() noexcept { return common::Module::Count(); }

HRESULT Module::GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) noexcept {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  // C callers can hand over null GUID references.
  const CLSID* volatile c = &clsid;
  const IID* volatile i = &riid;
  if (!c || !i) return E_INVALIDARG;
  for (ClassEntry& entry : g_classes) {
    if (!IsEqualCLSID(*entry.clsid, clsid)) continue;
    ClassLock lock;
    if (!entry.factory) {
      // The cache owns the factory's first reference.
      auto* f = new (std::nothrow) ClassFactory(entry.create);
      if (!f) return E_OUTOFMEMORY;
      entry.factory = f;
    }
    return entry.factory->QueryInterface(riid, ppv);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT Module::CanUnloadNow() noexcept { return LockCount() == 0 ? S_OK : S_FALSE; }

HRESULT Module::RegisterServer() noexcept {
  for (const ClassEntry& entry : g_classes) {
    HRESULT hr = entry.updateRegistry(true);
    if (FAILED(hr)) return hr;
  }
  return RegisterServerTypeLib();
}

HRESULT Module::UnregisterServer() noexcept {
  for (const ClassEntry& entry : g_classes) entry.updateRegistry(false);
  return S_OK;
}

UINT Module::ClipboardFormatDataTime() noexcept { return Format(g_formats[0]); }
UINT Module::ClipboardFormatWriteComplete() noexcept { return Format(g_formats[1]); }
UINT Module::ClipboardFormatData() noexcept { return Format(g_formats[2]); }

void Module::AddCleanup(CleanupNode* node) noexcept {
  if (!node) return;
  TypeInfoLock lock;
  if (node->linked) return;
  node->next = g_cleanups;
  node->linked = true;
  g_cleanups = node;
}

void Module::RemoveCleanup(CleanupNode* node) noexcept {
  if (!node) return;
  TypeInfoLock lock;
  if (!node->linked) return;
  for (CleanupNode** p = &g_cleanups; *p; p = &(*p)->next) {
    if (*p == node) {
      *p = node->next;
      break;
    }
  }
  node->next = nullptr;
  node->linked = false;
}

CRITICAL_SECTION* Module::ClassSection() noexcept {
  EnsureSections();
  return &g_classSection;
}

CRITICAL_SECTION* Module::TypeInfoSection() noexcept {
  EnsureSections();
  return &g_typeInfoSection;
}

}  // namespace veltrane
