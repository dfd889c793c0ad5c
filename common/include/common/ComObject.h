// ComObject: reference counting, QueryInterface from a compile-time interface table and the
// module-wide object count, for every COM class of this code base.
//
//   class Widget final : public common::ComObject<Widget, IWidget, IPersist> {
//    public:
//     STDMETHODIMP Frob() override { COM_TRY ... return S_OK; COM_CATCH }
//   };
//   common::ComPtr<Widget> w = common::Make<Widget>();         // refcount 1, owned by w
//   HRESULT hr = common::CreateObject<Widget>(riid, ppv);      // for class factories
//
// Entries of the table are interfaces the class derives from, or implementation classes of
// this kit that name their interface as `KitInterface` (DispatchImpl, ConnectionPointContainer,
// ...), or Alias<Ancestor, Via>: "answer Ancestor's IID with the Via base" (e.g. an interface an
// entry derives from). IDispatch is answered automatically by the first entry derived from it.
// IUnknown is always the first entry, so identity holds. A class that needs more (tear-offs)
// declares `HRESULT QueryInterfaceExtra(REFIID, void**)` (set *ppv without AddRef, return S_OK).
//
// A new object starts with one reference, owned by its creator: Make<T>() adopts it. Objects
// count in Module (DllCanUnloadNow, local-server lifetime) unless constructed with
// NoModuleCount{} (class factories, whose lifetime COM manages).
#pragma once

#include "common/ComPtr.h"
#include "common/Errors.h"
#include "common/Strings.h"

#include <atomic>
#include <type_traits>
#include <utility>

namespace common {

// The live objects and server locks of this module (each DLL/EXE linking the kit has its own).
class Module {
 public:
  static LONG Lock() noexcept { return ++State().count; }
  // Drops one; at zero the handler set by SetOnZero runs (on the releasing thread).
  static LONG Unlock() noexcept {
    LONG n = --State().count;
    if (n == 0) {
      auto& s = State();
      if (auto fn = s.onZero.load()) fn(s.onZeroContext.load());
    }
    return n;
  }
  static LONG Count() noexcept { return State().count.load(); }
  // Local servers end their message loop from here. Pass nullptr to remove.
  static void SetOnZero(void (*fn)(void*), void* context) noexcept {
    State().onZeroContext = context;
    State().onZero = fn;
  }
  // This module's instance handle: the one given to SetHandle (from DllMain/WinMain), else the
  // module whose code contains this function.
  static HMODULE Handle() noexcept {
    HMODULE h = State().handle.load();
    if (h) return h;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&Module::Handle), &h);
    return h;
  }
  static void SetHandle(HMODULE h) noexcept { State().handle = h; }
  // Full path of this module's file (for InprocServer32 / LocalServer32 / LoadTypeLib).
  static WString FileName() {
    OLECHAR buf[MAX_PATH * 4];
    DWORD n = GetModuleFileNameW(Handle(), buf, static_cast<DWORD>(sizeof buf / sizeof buf[0]));
    return FromOle(buf, n);
  }

 private:
  struct Data {
    std::atomic<LONG> count{0};
    std::atomic<void (*)(void*)> onZero{nullptr};
    std::atomic<void*> onZeroContext{nullptr};
    std::atomic<HMODULE> handle{nullptr};
  };
  static Data& State() noexcept {
    static Data d;
    return d;
  }
};

// Tag: this object does not keep the module alive.
struct NoModuleCount {};

// Table entry: answer Ancestor's IID with the Via base (Via derives from Ancestor).
template <class Ancestor, class Via>
struct Alias {};

namespace detail {

template <class E>
struct EntryTraits {
  using Interface = E;
  static constexpr bool kIsAlias = false;
};
template <class E>
  requires requires { typename E::KitInterface; }
struct EntryTraits<E> {
  using Interface = typename E::KitInterface;
  static constexpr bool kIsAlias = false;
};
template <class A, class V>
struct EntryTraits<Alias<A, V>> {
  using Interface = A;
  static constexpr bool kIsAlias = true;
};

template <class First, class... Rest>
struct FirstOf {
  using type = First;
};

}  // namespace detail

template <class Derived, class... Entries>
class ComObject : public Entries... {
  static_assert(sizeof...(Entries) > 0, "a COM object implements at least one interface");
  using FirstEntry = typename detail::FirstOf<Entries...>::type;
  static_assert(!detail::EntryTraits<FirstEntry>::kIsAlias, "the first entry must be an interface");

 public:
  ComObject() noexcept : counted_(true) { Module::Lock(); }
  explicit ComObject(NoModuleCount) noexcept : counted_(false) {}
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    void* p = nullptr;
    if (IsEqualIID(riid, IID_IUnknown)) {
      p = Unknown();
    } else if (!(Find<Entries>(riid, &p) || ...)) {
      if (IsEqualIID(riid, IID_IDispatch)) (FindDispatch<Entries>(&p) || ...);
    }
    if (!p) {
      HRESULT hr = static_cast<Derived*>(this)->QueryInterfaceExtra(riid, &p);
      if (FAILED(hr) || !p) return E_NOINTERFACE;
    }
    static_cast<IUnknown*>(p)->AddRef();
    *ppv = p;
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG n = --refs_;
    if (n == 0) delete static_cast<Derived*>(this);
    return n;
  }

  // The object's identity (no AddRef).
  IUnknown* Unknown() noexcept {
    return static_cast<IUnknown*>(
        static_cast<typename detail::EntryTraits<FirstEntry>::Interface*>(static_cast<FirstEntry*>(this)));
  }
  // Default for classes without tear-offs.
  HRESULT QueryInterfaceExtra(REFIID, void**) noexcept { return E_NOINTERFACE; }
  // Current reference count (for tests and diagnostics only).
  ULONG RefCount() const noexcept { return refs_.load(); }

 protected:
  virtual ~ComObject() {
    if (counted_) Module::Unlock();
  }

 private:
  template <class E>
  bool Find(REFIID riid, void** p) noexcept {
    using Tr = detail::EntryTraits<E>;
    using I = typename Tr::Interface;
    if (!IsEqualIID(riid, __uuidof(I))) return false;
    if constexpr (Tr::kIsAlias) {
      *p = AliasTarget(static_cast<E*>(nullptr));
    } else {
      *p = static_cast<I*>(static_cast<E*>(this));
    }
    return true;
  }
  template <class A, class V>
  void* AliasTarget(Alias<A, V>*) noexcept {
    return static_cast<A*>(static_cast<V*>(static_cast<Derived*>(this)));
  }
  template <class E>
  bool FindDispatch(void** p) noexcept {
    using Tr = detail::EntryTraits<E>;
    using I = typename Tr::Interface;
    if constexpr (!Tr::kIsAlias && std::is_base_of_v<IDispatch, I>) {
      *p = static_cast<IDispatch*>(static_cast<I*>(static_cast<E*>(this)));
      return true;
    } else {
      return false;
    }
  }

  std::atomic<ULONG> refs_{1};
  const bool counted_;
};

// A new object, its first reference owned by the returned pointer. Runs T::FinalConstruct()
// when T has one (a failed HRESULT is thrown as ComError after the object is released).
// Throws what the constructor throws (std::bad_alloc ...).
template <class T, class... Args>
ComPtr<T> Make(Args&&... args) {
  ComPtr<T> p = Adopt(new T(std::forward<Args>(args)...));
  if constexpr (requires(T& t) { t.FinalConstruct(); }) ThrowIfFailed(p->FinalConstruct());
  return p;
}

// Make<T> and QueryInterface for riid, every exception turned into an HRESULT: the body of a
// class factory's CreateInstance or of a method returning a new object.
template <class T, class... Args>
HRESULT CreateObject(REFIID riid, void** ppv, Args&&... args) noexcept {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  return GuardHResult([&]() -> HRESULT {
    ComPtr<T> p = Make<T>(std::forward<Args>(args)...);
    return p->QueryInterface(riid, ppv);
  });
}

// As CreateObject, typed: the new object's interface I into *out.
template <class T, class I, class... Args>
HRESULT CreateObjectAs(I** out, Args&&... args) noexcept {
  return CreateObject<T>(__uuidof(I), reinterpret_cast<void**>(out), std::forward<Args>(args)...);
}

}  // namespace common
