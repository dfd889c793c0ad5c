// Shared pieces of the toolkit's in-process tests: a recording host, a recording client sink
// and a message pump (timers and asynchronous completions arrive as window messages).
#pragma once

#include <windows.h>
#include <olectl.h>
#include <OpcCommon.h>
#include <OpcDataAccess.h>
#include <opc_toolkit/ServerToolkit.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace opc_toolkit_test {

inline void Pump(DWORD ms, const std::function<bool()>& done = nullptr) {
  DWORD start = GetTickCount();
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (done && done()) return;
    if (GetTickCount() - start >= ms) return;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
}

struct Host : opc_toolkit::IServerToolkitEvents {
  std::vector<long> connected, disconnected;
  std::vector<std::wstring> written;
  std::vector<VARIANT> values;
  std::map<std::wstring, long> writeErrors;     // per name; default 0
  std::map<std::wstring, long> validateErrors;  // per name; default 0
  int writeCalls = 0, writeExCalls = 0, validateCalls = 0;
  std::vector<short> exQualities;

  ~Host() override {
    for (auto& v : values) VariantClear(&v);
  }
  void ServerClientConnected(long count) override { connected.push_back(count); }
  void ServerClientDisconnected(long remaining) override { disconnected.push_back(remaining); }
  void ValidateItems(long count, const wchar_t* const* names, long* errors,
                     long& result) override {
    ++validateCalls;
    for (long i = 0; i < count; ++i) {
      auto it = validateErrors.find(names[i]);
      errors[i] = it == validateErrors.end() ? 0 : it->second;
    }
    result = 0;
  }
  void WriteItems(long count, const wchar_t* const* names, const VARIANT* v, long* errors,
                  long& result) override {
    ++writeCalls;
    Record(count, names, v, errors, result);
  }
  void WriteItemsEx(long count, const wchar_t* const* names, const VARIANT* v,
                    const short* qualities, const DATE*, long* errors, long& result) override {
    ++writeExCalls;
    exQualities.assign(qualities, qualities + count);
    Record(count, names, v, errors, result);
  }
  void Record(long count, const wchar_t* const* names, const VARIANT* v, long* errors,
              long& result) {
    for (long i = 0; i < count; ++i) {
      written.push_back(names[i]);
      VARIANT c;
      VariantInit(&c);
      VariantCopy(&c, const_cast<VARIANT*>(&v[i]));
      values.push_back(c);
      auto it = writeErrors.find(names[i]);
      errors[i] = it == writeErrors.end() ? 0 : it->second;
    }
    result = 0;
  }
};

// A client's callback object: data changes, completions and shutdown requests.
class Sink : public IOPCDataCallback, public IOPCShutdown, public IAdviseSink {
 public:
  struct Call {
    std::string kind;
    DWORD trans = 0;
    OPCHANDLE group = 0;
    HRESULT masterQuality = 0, masterError = 0;
    std::vector<OPCHANDLE> handles;
    std::vector<VARIANT> values;
    std::vector<WORD> qualities;
    std::vector<HRESULT> errors;
    std::vector<unsigned char> stream;  // DA 1.0
    CLIPFORMAT format = 0;
    std::wstring reason;
  };
  std::vector<Call> calls;
  LONG refs = 1;

  ~Sink() {
    for (auto& c : calls)
      for (auto& v : c.values) VariantClear(&v);
  }
  size_t Count(const std::string& kind) const {
    size_t n = 0;
    for (auto& c : calls) n += c.kind == kind;
    return n;
  }
  const Call* Last(const std::string& kind) const {
    for (auto it = calls.rbegin(); it != calls.rend(); ++it)
      if (it->kind == kind) return &*it;
    return nullptr;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IOPCDataCallback)
      *ppv = static_cast<IOPCDataCallback*>(this);
    else if (riid == IID_IOPCShutdown) *ppv = static_cast<IOPCShutdown*>(this);
    else if (riid == IID_IAdviseSink) *ppv = static_cast<IAdviseSink*>(this);
    else return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }  // lives on the test's stack

  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD t, OPCHANDLE g, HRESULT mq, HRESULT me, DWORD n,
                                         OPCHANDLE* h, VARIANT* v, WORD* q, FILETIME*,
                                         HRESULT* e) override {
    Add("data", t, g, mq, me, n, h, v, q, e);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD t, OPCHANDLE g, HRESULT mq, HRESULT me, DWORD n,
                                           OPCHANDLE* h, VARIANT* v, WORD* q, FILETIME*,
                                           HRESULT* e) override {
    Add("read", t, g, mq, me, n, h, v, q, e);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD t, OPCHANDLE g, HRESULT me, DWORD n,
                                            OPCHANDLE* h, HRESULT* e) override {
    Add("write", t, g, S_OK, me, n, h, nullptr, nullptr, e);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD t, OPCHANDLE g) override {
    Add("cancel", t, g, S_OK, S_OK, 0, nullptr, nullptr, nullptr, nullptr);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR reason) override {
    Call c;
    c.kind = "shutdown";
    c.reason = reason ? reason : L"";
    calls.push_back(c);
    return S_OK;
  }
  // IAdviseSink (DA 1.0 streams)
  void STDMETHODCALLTYPE OnDataChange(FORMATETC* fmt, STGMEDIUM* med) override {
    Call c;
    c.kind = "stream";
    c.format = fmt->cfFormat;
    if (med && med->tymed == TYMED_HGLOBAL && med->hGlobal) {
      auto* p = static_cast<unsigned char*>(GlobalLock(med->hGlobal));
      c.stream.assign(p, p + GlobalSize(med->hGlobal));
      GlobalUnlock(med->hGlobal);
    }
    calls.push_back(c);
  }
  void STDMETHODCALLTYPE OnViewChange(DWORD, LONG) override {}
  void STDMETHODCALLTYPE OnRename(IMoniker*) override {}
  void STDMETHODCALLTYPE OnSave() override {}
  void STDMETHODCALLTYPE OnClose() override {}

 private:
  void Add(const char* kind, DWORD t, OPCHANDLE g, HRESULT mq, HRESULT me, DWORD n,
           OPCHANDLE* h, VARIANT* v, WORD* q, HRESULT* e) {
    Call c;
    c.kind = kind;
    c.trans = t;
    c.group = g;
    c.masterQuality = mq;
    c.masterError = me;
    for (DWORD i = 0; i < n; ++i) {
      c.handles.push_back(h[i]);
      if (v) {
        VARIANT x;
        VariantInit(&x);
        VariantCopy(&x, &v[i]);
        c.values.push_back(x);
      }
      if (q) c.qualities.push_back(q[i]);
      if (e) c.errors.push_back(e[i]);
    }
    calls.push_back(std::move(c));
  }
};

inline VARIANT Var(double d) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_R8;
  V_R8(&v) = d;
  return v;
}
inline VARIANT Var(long l) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_I4;
  V_I4(&v) = l;
  return v;
}
inline VARIANT VarBool(bool b) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_BOOL;
  V_BOOL(&v) = b ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}

}  // namespace opc_toolkit_test
