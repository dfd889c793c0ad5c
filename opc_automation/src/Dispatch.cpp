#include "Dispatch.h"

#include "common/ComPtr.h"
#include "common/Dispatch.h"  // FindMismatchedArgument

#include <new>

namespace veltrane {
namespace detail {
namespace {

// The library declares lcid(0x409) and RegisterTypeLib files it under that locale; a neutral
// request does not find it there (Wine looks under "0" only).
constexpr LCID kTypeLibLcid = 0x409;

ITypeLib* g_typeLib = nullptr;  // guarded by Module::TypeInfoLock
CleanupNode g_typeLibCleanup;

void ReleaseTypeLib(void*) noexcept {
  if (ITypeLib* lib = g_typeLib) {
    g_typeLib = nullptr;
    lib->Release();
  }
}

}  // namespace

HRESULT TypeInfoHolder::GetTypeLib(ITypeLib** out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  Module::TypeInfoLock lock;
  if (!g_typeLib) {
    ITypeLib* lib = nullptr;
    HRESULT hr = LoadRegTypeLib(Module::LibId(), 1, 0, kTypeLibLcid, &lib);
    if (FAILED(hr)) return hr;
    if (!lib) return E_UNEXPECTED;
    g_typeLib = lib;
    g_typeLibCleanup.run = &ReleaseTypeLib;
    Module::AddCleanup(&g_typeLibCleanup);
  }
  g_typeLib->AddRef();
  *out = g_typeLib;
  return S_OK;
}

TypeInfoHolder::~TypeInfoHolder() {
  // Normally the library's unload has cleared the holder already (and the lock is gone).
  if (cleanup_.linked) {
    Module::RemoveCleanup(&cleanup_);
    Clear(this);
  }
}

HRESULT TypeInfoHolder::Ensure() noexcept {
  if (ready_.load(std::memory_order_acquire)) return S_OK;
  Module::TypeInfoLock lock;
  if (ready_.load(std::memory_order_relaxed)) return S_OK;
  HRESULT hr = Load();
  if (FAILED(hr)) {
    Clear(this);
    return hr;
  }
  cleanup_.run = &TypeInfoHolder::Clear;
  cleanup_.context = this;
  Module::AddCleanup(&cleanup_);
  ready_.store(true, std::memory_order_release);
  return S_OK;
}

// Called with the type-info lock held.
HRESULT TypeInfoHolder::Load() noexcept {
  common::ComPtr<ITypeLib> lib;
  HRESULT hr = GetTypeLib(lib.GetAddressOf());
  if (FAILED(hr)) return hr;
  common::ComPtr<ITypeInfo> info;
  hr = lib->GetTypeInfoOfGuid(iid_, info.GetAddressOf());
  if (FAILED(hr)) return hr;
  if (!info) return E_UNEXPECTED;
  // A dual interface comes back as its dispinterface; Invoke wants the vtable side (href -1).
  common::ComPtr<ITypeInfo> vtable = info;
  TYPEATTR* attr = nullptr;
  if (SUCCEEDED(info->GetTypeAttr(&attr)) && attr) {
    bool dual = attr->typekind == TKIND_DISPATCH && (attr->wTypeFlags & TYPEFLAG_FDUAL);
    info->ReleaseTypeAttr(attr);
    if (dual) {
      HREFTYPE href = 0;
      common::ComPtr<ITypeInfo> ref;
      if (SUCCEEDED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &href)) &&
          SUCCEEDED(info->GetRefTypeInfo(href, ref.GetAddressOf())) && ref)
        vtable = ref;
    }
  }

  // The interface's own member names, read once.
  attr = nullptr;
  hr = vtable->GetTypeAttr(&attr);
  if (FAILED(hr)) return hr;
  if (!attr) return E_UNEXPECTED;
  const UINT funcs = attr->cFuncs;
  vtable->ReleaseTypeAttr(attr);
  try {
    names_.clear();
    names_.reserve(funcs);
    for (UINT f = 0; f < funcs; ++f) {
      FUNCDESC* fd = nullptr;
      if (FAILED(vtable->GetFuncDesc(f, &fd)) || !fd) continue;
      const MEMBERID id = fd->memid;
      vtable->ReleaseFuncDesc(fd);
      BSTR name = nullptr;
      UINT got = 0;
      if (SUCCEEDED(vtable->GetNames(id, &name, 1, &got)) && got == 1 && name) {
        // A property's get and put share one name and one DISPID: keep it once.
        common::WString text = common::FromOle(name, SysStringLen(name));
        bool known = false;
        for (const Name& n : names_) known = known || (n.id == id && n.text == text);
        if (!known) names_.push_back({std::move(text), id});
      }
      SysFreeString(name);
    }
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  dispatch_ = info.Detach();
  vtable_ = vtable.Detach();
  return S_OK;
}

void TypeInfoHolder::Clear(void* self) noexcept {
  auto* h = static_cast<TypeInfoHolder*>(self);
  h->ready_.store(false);
  if (ITypeInfo* p = h->dispatch_) {
    h->dispatch_ = nullptr;
    p->Release();
  }
  if (ITypeInfo* p = h->vtable_) {
    h->vtable_ = nullptr;
    p->Release();
  }
  std::vector<Name>().swap(h->names_);
}

HRESULT TypeInfoHolder::GetTypeInfo(ITypeInfo** out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  HRESULT hr = Ensure();
  if (FAILED(hr)) return hr;
  dispatch_->AddRef();
  *out = dispatch_;
  return S_OK;
}

HRESULT TypeInfoHolder::GetIDsOfNames(LPOLESTR* names, UINT count, DISPID* ids) noexcept {
  if (!names || !ids) return E_POINTER;
  if (count == 0) return E_INVALIDARG;
  HRESULT hr = Ensure();
  if (FAILED(hr)) return hr;
  for (UINT i = 0; i < count; ++i) {
    if (!names[i]) {
      // The platform's lookup would read through the null name.
      for (UINT k = 0; k < count; ++k) ids[k] = DISPID_UNKNOWN;
      return DISP_E_UNKNOWNNAME;
    }
  }
  if (count == 1) {
    const size_t length = common::OleLength(names[0]);
    const common::WChar* text = common::AsWChar(names[0]);
    for (const Name& n : names_) {
      if (n.text.size() == length && n.text.compare(0, length, text, length) == 0) {
        ids[0] = n.id;
        return S_OK;
      }
    }
  }
  // Other spellings, inherited members and parameter names (which need their member first).
  return vtable_->GetIDsOfNames(names, count, ids);
}

HRESULT TypeInfoHolder::Invoke(void* instance, DISPID id, WORD flags, DISPPARAMS* params,
                               VARIANT* result, EXCEPINFO* excep, UINT* argErr) noexcept {
  HRESULT hr = Ensure();
  if (FAILED(hr)) return hr;
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  if (!params) params = &none;
  // Wine's ITypeInfo::Invoke leaves puArgErr unwritten on DISP_E_TYPEMISMATCH; script engines
  // name the argument from it, so it is worked out here when the platform did not.
  const UINT unset = static_cast<UINT>(-1);
  UINT local = unset;
  UINT* err = argErr ? argErr : &local;
  const UINT original = *err;
  *err = unset;
  hr = vtable_->Invoke(instance, id, flags, params, result, excep, err);
  if (*err == unset) {
    *err = original;
    if (hr == DISP_E_TYPEMISMATCH) {
      UINT bad = common::detail::FindMismatchedArgument(vtable_, id, flags, *params);
      if (bad != unset) *err = bad;
    }
  }
  return hr;
}

}  // namespace detail
}  // namespace veltrane
