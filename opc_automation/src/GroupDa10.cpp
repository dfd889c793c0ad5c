// The group's DA 1.0 data path: IOPCAsyncIO and two IDataObject advises (data with time stamps,
// write completions) whose streams arrive at this group's IAdviseSink.
//
// A stream is copied (never more than it says it holds, nor more than its memory block) and
// handled later from the group's thread's message queue: Windows calls IAdviseSink::OnDataChange
// asynchronously and refuses outgoing calls inside it, and raising an event is one.
// A server may send the completion of Read, Write or Refresh before that call has told us its
// transaction id; such a stream waits in earlyStreams_ until the call records the id.
#include "GroupObject.h"

#include "Arguments.h"
#include "Module.h"
#include "portable/OpcStream.h"

#include <atomic>
#include <cstring>
#include <utility>

namespace veltrane {
namespace {

constexpr UINT kStreamsQueued = WM_APP + 1;
const wchar_t kWindowClass[] = L"VeltraneGroupStreams";

// The window class of the groups' stream windows, registered for this library's instance on
// first use and taken away when the library unloads (a reloaded library may sit elsewhere).
std::atomic<bool> g_classRegistered{false};
CleanupNode g_classCleanup;

bool RegisterWindowClass() noexcept {
  if (g_classRegistered.load()) return true;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = DefWindowProcW;  // each window gets the group's procedure once it is made
  wc.hInstance = Module::Instance();
  wc.lpszClassName = kWindowClass;
  if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
  if (!g_classRegistered.exchange(true)) {
    g_classCleanup.run = [](void*) {
      UnregisterClassW(kWindowClass, Module::Instance());
      g_classRegistered = false;
    };
    Module::AddCleanup(&g_classCleanup);
  }
  return true;
}

struct ServerErrors {
  HRESULT* p = nullptr;
  ~ServerErrors() { CoTaskMemFree(p); }
};

HRESULT MakeErrorArray(const HRESULT* errors, size_t count, SAFEARRAY** out) noexcept {
  return common::GuardHResult([&]() -> HRESULT {
    std::vector<LONG> values(count);
    for (size_t i = 0; i < count; ++i) values[i] = static_cast<LONG>(errors[i]);
    return MakeLongArray(values, out);
  });
}

// A value read from a stream as a VARIANT of the type the stream gave.
HRESULT ToVariant(const stream::Value& v, VARIANT* out) noexcept {
  VariantInit(out);
  if (v.vt == stream::kVtBstr) {
    BSTR b = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(v.text.data()),
                               static_cast<UINT>(v.text.size()));
    if (!b) return E_OUTOFMEMORY;
    V_VT(out) = VT_BSTR;
    V_BSTR(out) = b;
    return S_OK;
  }
  if (v.vt & stream::kVtArray) {
    const VARTYPE element = static_cast<VARTYPE>(v.vt & ~stream::kVtArray);
    SAFEARRAYBOUND bound{v.count, v.lowerBound};
    SAFEARRAY* sa = SafeArrayCreate(element, 1, &bound);
    if (!sa) return E_OUTOFMEMORY;
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(sa, &data))) {
      SafeArrayDestroy(sa);
      return E_FAIL;
    }
    bool ok = true;
    if (element == VT_BSTR) {
      auto* strings = static_cast<BSTR*>(data);
      for (size_t i = 0; i < v.strings.size() && ok; ++i) {
        strings[i] = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(v.strings[i].data()),
                                       static_cast<UINT>(v.strings[i].size()));
        ok = strings[i] != nullptr;
      }
    } else if (!v.elements.empty()) {
      std::memcpy(data, v.elements.data(), v.elements.size());
    }
    SafeArrayUnaccessData(sa);
    if (!ok) {
      SafeArrayDestroy(sa);
      return E_OUTOFMEMORY;
    }
    V_VT(out) = static_cast<VARTYPE>(v.vt);
    V_ARRAY(out) = sa;
    return S_OK;
  }
  V_VT(out) = static_cast<VARTYPE>(v.vt);
  if (v.vt != stream::kVtEmpty && v.vt != stream::kVtNull)
    std::memcpy(&V_UI8(out), &v.bits, sizeof v.bits);  // the 8 data bytes, as on the wire
  return S_OK;
}

bool IsDataFormat(UINT format) noexcept {
  return format == Module::ClipboardFormatDataTime() || format == Module::ClipboardFormatData();
}

}  // namespace

// ---- subscriptions ---------------------------------------------------------------------------

HRESULT GroupObject::Subscribe10() noexcept {
  if (!streamWindow_ && RegisterWindowClass()) {
    streamWindow_ = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    Module::Instance(), nullptr);
    if (streamWindow_) {
      SetWindowLongPtrW(streamWindow_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
      SetWindowLongPtrW(streamWindow_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&StreamWindowProc));
    }
  }
  if (!streamWindow_) return HRESULT_FROM_WIN32(GetLastError() ? GetLastError() : ERROR_OUTOFMEMORY);
  FORMATETC format{static_cast<CLIPFORMAT>(Module::ClipboardFormatDataTime()), nullptr,
                   DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
  DWORD data = 0, write = 0;
  HRESULT hr = dataObject_->DAdvise(&format, ADVF_PRIMEFIRST, static_cast<IAdviseSink*>(this), &data);
  if (FAILED(hr)) return hr;
  format.cfFormat = static_cast<CLIPFORMAT>(Module::ClipboardFormatWriteComplete());
  hr = dataObject_->DAdvise(&format, ADVF_PRIMEFIRST, static_cast<IAdviseSink*>(this), &write);
  if (FAILED(hr)) {
    dataObject_->DUnadvise(data);
    return hr;
  }
  callbackCookie_ = data;
  writeConnection_ = write;
  subscribed_ = true;
  return S_OK;
}

HRESULT GroupObject::Unsubscribe10() noexcept {
  const DWORD data = std::exchange(callbackCookie_, 0);
  const DWORD write = std::exchange(writeConnection_, 0);
  subscribed_ = false;
  if (!dataObject_) return E_UNEXPECTED;
  HRESULT first = dataObject_->DUnadvise(data);
  HRESULT second = dataObject_->DUnadvise(write);
  return FAILED(first) ? first : second;
}

// ---- asynchronous I/O ------------------------------------------------------------------------

HRESULT GroupObject::AsyncRead10(std::vector<OPCHANDLE>& handles, SAFEARRAY** errors,
                                 LONG transactionId, LONG* cancelId) {
  DWORD id = 0;
  ServerErrors results;
  HRESULT hr = asyncIo1_->Read(callbackCookie_, OPC_DS_DEVICE, static_cast<DWORD>(handles.size()),
                               handles.data(), &id, &results.p);
  if (FAILED(hr)) return hr;
  if (!handles.empty() && !results.p) return E_FAIL;
  *cancelId = static_cast<LONG>(id);
  hr = MakeErrorArray(results.p, handles.size(), errors);
  if (FAILED(hr)) return hr;
  awaitedReads_.insert(id);
  transactions_[id] = transactionId;
  HandleEarlyStream(id);
  return S_OK;
}

HRESULT GroupObject::AsyncWrite10(std::vector<OPCHANDLE>& handles, std::vector<common::Variant>& values,
                                  SAFEARRAY** errors, LONG transactionId, LONG* cancelId) {
  DWORD id = 0;
  ServerErrors results;
  HRESULT hr = asyncIo1_->Write(writeConnection_, static_cast<DWORD>(handles.size()), handles.data(),
                                static_cast<VARIANT*>(values.data()), &id, &results.p);
  if (FAILED(hr)) return hr;
  if (!handles.empty() && !results.p) return E_FAIL;
  *cancelId = static_cast<LONG>(id);
  hr = MakeErrorArray(results.p, handles.size(), errors);
  if (FAILED(hr)) return hr;
  transactions_[id] = transactionId;
  HandleEarlyStream(id);
  return S_OK;
}

HRESULT GroupObject::AsyncRefresh10(SHORT source, LONG transactionId, LONG* cancelId) noexcept {
  DWORD id = 0;
  HRESULT hr = asyncIo1_->Refresh(callbackCookie_, static_cast<OPCDATASOURCE>(source), &id);
  if (FAILED(hr)) return hr;
  *cancelId = static_cast<LONG>(id);
  // Not an awaited read: refresh data arrives as DataChange, with the client's transaction.
  if (!common::GuardNoThrow([&] { transactions_[id] = transactionId; })) return E_OUTOFMEMORY;
  HandleEarlyStream(id);
  return hr;
}

// The DA 1.0 server completes a cancel by returning; the event is the library's own.
HRESULT GroupObject::AsyncCancel10(LONG cancelId) noexcept {
  const DWORD id = static_cast<DWORD>(cancelId);
  HRESULT hr = asyncIo1_->Cancel(id);
  if (FAILED(hr)) return hr;
  LONG client = 0;
  if (auto it = transactions_.find(id); it != transactions_.end()) {
    client = it->second;
    transactions_.erase(it);
  }
  awaitedReads_.erase(id);
  earlyStreams_.erase(id);
  OnCancelComplete(static_cast<DWORD>(client), serverGroup_);
  return hr;
}

// ---- IAdviseSink -----------------------------------------------------------------------------

STDMETHODIMP_(void) GroupObject::OnDataChange(FORMATETC* format, STGMEDIUM* medium) {
  if (!attached_ || !format || !medium || format->tymed != TYMED_HGLOBAL ||
      medium->tymed != TYMED_HGLOBAL || !medium->hGlobal)
    return;
  const UINT cf = format->cfFormat;
  const bool data = IsDataFormat(cf);
  if (!data && cf != Module::ClipboardFormatWriteComplete()) return;
  const size_t size = GlobalSize(medium->hGlobal);
  const auto* bytes = static_cast<const uint8_t*>(GlobalLock(medium->hGlobal));
  if (!bytes) return;
  uint32_t id = 0;
  size_t length = 0;
  const bool readable = data ? stream::PeekData(bytes, size, &id, &length)
                             : stream::PeekWriteComplete(bytes, size, &id, &length);
  common::GuardNoThrow([&] {
    if (readable) queuedStreams_.push_back({cf, std::vector<uint8_t>(bytes, bytes + length)});
  });
  GlobalUnlock(medium->hGlobal);
  if (readable && streamWindow_) PostMessageW(streamWindow_, kStreamsQueued, 0, 0);
}

LRESULT CALLBACK GroupObject::StreamWindowProc(HWND window, UINT message, WPARAM wp, LPARAM lp) {
  if (message == kStreamsQueued) {
    if (auto* group = reinterpret_cast<GroupObject*>(GetWindowLongPtrW(window, GWLP_USERDATA)))
      group->HandleQueuedStreams();
    return 0;
  }
  return DefWindowProcW(window, message, wp, lp);
}

// One stream at a time, each taken off the queue before it is handled: a handler may detach
// the group (which empties the queue) or subscribe again.
void GroupObject::HandleQueuedStreams() noexcept {
  common::ComPtr<GroupObject> self(this);
  while (attached_ && !queuedStreams_.empty()) {
    PendingStream next = std::move(queuedStreams_.front());
    queuedStreams_.pop_front();
    HandleStream(next);
  }
}

void GroupObject::HandleEarlyStream(DWORD serverTransaction) noexcept {
  auto it = earlyStreams_.find(serverTransaction);
  if (it == earlyStreams_.end()) return;
  PendingStream early = std::move(it->second);
  earlyStreams_.erase(it);
  HandleStream(early);
}

void GroupObject::HandleStream(const PendingStream& s) noexcept {
  if (!attached_) return;
  common::GuardNoThrow([&] {
    const bool data = IsDataFormat(s.format);
    uint32_t id = 0;
    size_t length = 0;
    if (!(data ? stream::PeekData(s.bytes.data(), s.bytes.size(), &id, &length)
               : stream::PeekWriteComplete(s.bytes.data(), s.bytes.size(), &id, &length)))
      return;
    // A completion whose call has not returned its id yet waits for it.
    auto mapped = transactions_.find(id);
    if (id != 0 && mapped == transactions_.end()) {
      earlyStreams_[id] = s;
      return;
    }
    DWORD client = 0;
    if (mapped != transactions_.end()) {
      client = static_cast<DWORD>(mapped->second);
      transactions_.erase(mapped);
    }
    if (!data) {
      stream::WriteCompleteStream w;
      if (!stream::ReadWriteComplete(s.bytes.data(), s.bytes.size(), &w)) return;
      std::vector<OPCHANDLE> handles;
      std::vector<HRESULT> errors;
      for (auto& item : w.items) {
        handles.push_back(item.client);
        errors.push_back(static_cast<HRESULT>(item.error));
      }
      static_cast<IOPCDataCallback*>(this)->OnWriteComplete(
          client, serverGroup_, static_cast<HRESULT>(w.status), static_cast<DWORD>(handles.size()),
          handles.data(), errors.data());
      return;
    }
    const bool withTime = s.format == Module::ClipboardFormatDataTime();
    stream::DataStream d;
    if (!stream::ReadData(s.bytes.data(), s.bytes.size(), withTime, &d)) return;
    const size_t n = d.items.size();
    std::vector<OPCHANDLE> handles(n);
    std::vector<common::Variant> values(n);
    std::vector<WORD> qualities(n);
    std::vector<FILETIME> times(n);
    std::vector<HRESULT> errors(n, S_OK);
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    for (size_t i = 0; i < n; ++i) {
      const stream::Item& item = d.items[i];
      handles[i] = item.client;
      qualities[i] = item.quality;
      if (item.hasTime) {
        times[i].dwLowDateTime = static_cast<DWORD>(item.time);
        times[i].dwHighDateTime = static_cast<DWORD>(item.time >> 32);
      } else {
        times[i] = now;  // the format without time stamps: when it arrived
      }
      if (FAILED(ToVariant(item.value, values[i].ReleaseAndGetAddressOf()))) VariantInit(&values[i]);
    }
    auto* callback = static_cast<IOPCDataCallback*>(this);
    VARIANT* valueData = static_cast<VARIANT*>(values.data());
    if (awaitedReads_.erase(id))
      callback->OnReadComplete(client, serverGroup_, S_OK, static_cast<HRESULT>(d.status),
                               static_cast<DWORD>(n), handles.data(), valueData, qualities.data(),
                               times.data(), errors.data());
    else
      callback->OnDataChange(client, serverGroup_, S_OK, static_cast<HRESULT>(d.status),
                             static_cast<DWORD>(n), handles.data(), valueData, qualities.data(),
                             times.data(), errors.data());
  });
}

}  // namespace veltrane
