// Small COM helpers of the toolkit: task-memory strings and arrays, a string enumerator, an
// IUnknown enumerator and a connection point. Kept local so that the toolkit stands on its own.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <cwchar>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace opc_toolkit {

inline HRESULT CopyVariant(VARIANT* dst, const VARIANT* src) {
  return VariantCopy(dst, const_cast<VARIANT*>(src));
}

inline wchar_t* CoDup(const std::wstring& s) {
  size_t n = (s.size() + 1) * sizeof(wchar_t);
  auto* p = static_cast<wchar_t*>(CoTaskMemAlloc(n));
  if (p) memcpy(p, s.c_str(), n);
  return p;
}

// A zero-filled task-memory array (never nullptr for a count of 0 unless memory is out).
template <class T>
T* CoArray(size_t n) {
  size_t bytes = (n ? n : 1) * sizeof(T);
  auto* p = static_cast<T*>(CoTaskMemAlloc(bytes));
  if (p) memset(p, 0, bytes);
  return p;
}

// Reference counting shared by the toolkit's COM classes (apartment-threaded: no interlocking
// needed, but it costs nothing and keeps stray threads from corrupting the count).
class RefCounted {
 public:
  virtual ~RefCounted() = default;
  ULONG AddRefImpl() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  ULONG ReleaseImpl() {
    LONG n = InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
  }
  LONG RefCount() const { return refs_; }

 private:
  LONG refs_ = 1;
};

#define OPC_TOOLKIT_REFCOUNT                                               \
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }      \
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

class EnumStrings : public IEnumString, public RefCounted {
 public:
  explicit EnumStrings(std::vector<std::wstring> items, size_t pos = 0)
      : items_(std::move(items)), pos_(pos) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  OPC_TOOLKIT_REFCOUNT
  HRESULT STDMETHODCALLTYPE Next(ULONG celt, LPOLESTR* rgelt, ULONG* fetched) override;
  HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override;
  HRESULT STDMETHODCALLTYPE Reset() override {
    pos_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumString** ppenum) override;

 private:
  std::vector<std::wstring> items_;
  size_t pos_;
};

class EnumUnknowns : public IEnumUnknown, public RefCounted {
 public:
  explicit EnumUnknowns(const std::vector<IUnknown*>& items, size_t pos = 0);
  ~EnumUnknowns() override;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  OPC_TOOLKIT_REFCOUNT
  HRESULT STDMETHODCALLTYPE Next(ULONG celt, IUnknown** rgelt, ULONG* fetched) override;
  HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override;
  HRESULT STDMETHODCALLTYPE Reset() override {
    pos_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumUnknown** ppenum) override;

 private:
  std::vector<IUnknown*> items_;
  size_t pos_;
};

// One outgoing interface of an object. The container passes its own IUnknown for
// GetConnectionPointContainer; the point does not keep it alive (the container owns the point
// and calls Detach before it goes).
class ConnectionPoint : public IConnectionPoint, public RefCounted {
 public:
  ConnectionPoint(IConnectionPointContainer* owner, REFIID iid, size_t maxSinks)
      : owner_(owner), iid_(iid), max_(maxSinks) {}
  ~ConnectionPoint() override;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  OPC_TOOLKIT_REFCOUNT
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* piid) override;
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** pp) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** pp) override;

  void Detach();
  // Lets go of every sink but keeps serving new ones.
  void Clear();
  // Called after each successful Advise (a new subscriber's first report is due).
  std::function<void()> onAdvise;
  // The sinks, each AddRef'ed; the caller releases them (a sink may unadvise during a call).
  std::vector<IUnknown*> Sinks() const;
  bool HasSinks() const { return !sinks_.empty(); }
  REFIID Iid() const { return iid_; }

 private:
  IConnectionPointContainer* owner_;
  IID iid_;
  size_t max_;
  std::map<DWORD, IUnknown*> sinks_;
  DWORD next_ = 1;
};

// True for the failures a call into a client returns once the client's process is gone.
bool IsDeadClientError(HRESULT hr);

// Case-insensitive comparison and lower-casing for names (item IDs, group names).
std::wstring Lower(const std::wstring& s);
// '*' any run, '?' one character, '#' one digit, case-insensitive; an empty pattern matches all.
bool WildcardMatch(const wchar_t* pattern, const wchar_t* text);

FILETIME NowFileTime();
FILETIME DateToFileTime(DATE d);  // local OLE date -> UTC FILETIME; 0 -> now

}  // namespace opc_toolkit
