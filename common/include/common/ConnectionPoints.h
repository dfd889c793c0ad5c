// Connection points: IConnectionPointContainer with one IConnectionPoint per outgoing interface.
//
//   class Widget final : public common::ComObject<Widget,
//       common::DispatchImpl<IWidget, &LIBID_WidgetLib>, common::ConnectionPointContainer> {
//    public:
//     Widget() { events_ = &AddConnectionPoint(DIID__IWidgetEvents); }
//     void Changed(LONG v) { events_->FireDispatch(1, {common::Variant(v)}); }
//    private:
//     common::ConnectionPoint* events_;
//   };
//
// Advise asks the sink for the point's interface (CONNECT_E_CANNOTCONNECT without it) and
// keeps that pointer; cookies start at 1 and are never reused by a point. Firing works on a
// snapshot of the sinks taken when the fire starts (each held by a reference for the fire), so a
// sink may Unadvise itself or others, or Advise, from inside an event: a sink advised during the
// fire gets the next event, a sink unadvised during the fire gets nothing more, not even the rest
// of this one.
#pragma once

#include "common/ComObject.h"
#include "common/ComPtr.h"
#include "common/Dispatch.h"
#include "common/Enumerators.h"
#include "common/Variant.h"

#include <initializer_list>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace common {

// One connection point. Lives inside its container: AddRef/Release go to the container
// (so the container outlives every reference to its points), QueryInterface answers
// IUnknown and IConnectionPoint for the point itself.
class ConnectionPoint final : public IConnectionPoint {
 public:
  ConnectionPoint(IConnectionPointContainer* container, REFIID iid) noexcept
      : container_(container), iid_(iid) {}
  ConnectionPoint(const ConnectionPoint&) = delete;
  ConnectionPoint& operator=(const ConnectionPoint&) = delete;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IConnectionPoint))
      return E_NOINTERFACE;
    *ppv = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return container_->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return container_->Release(); }

  STDMETHODIMP GetConnectionInterface(IID* iid) override {
    if (!iid) return E_POINTER;
    *iid = iid_;
    return S_OK;
  }
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** out) override {
    if (!out) return E_POINTER;
    *out = container_;
    container_->AddRef();
    return S_OK;
  }
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override {
    if (cookie) *cookie = 0;
    if (!sink || !cookie) return E_POINTER;
    ComPtr<IUnknown> itf;
    if (FAILED(sink->QueryInterface(iid_, itf.PutVoid())) || !itf) return CONNECT_E_CANNOTCONNECT;
    return GuardHResult([&]() -> HRESULT {
      std::lock_guard<std::mutex> lock(mutex_);
      if (next_ == 0) return CONNECT_E_ADVISELIMIT;  // wrapped after 4 billion advises
      DWORD c = next_++;
      sinks_.push_back({std::move(itf), c});
      *cookie = c;
      return S_OK;
    });
  }
  STDMETHODIMP Unadvise(DWORD cookie) override {
    ComPtr<IUnknown> released;  // released after the lock: its Release may call back into us
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
        if (it->cookie == cookie) {
          released = std::move(it->sink);
          sinks_.erase(it);
          return S_OK;
        }
      }
    }
    return CONNECT_E_NOCONNECTION;
  }
  STDMETHODIMP EnumConnections(IEnumConnections** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    return GuardHResult([&]() -> HRESULT {
      std::vector<ConnectionData> copy;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        copy = sinks_;
      }
      return MakeEnumConnections(std::move(copy), out);
    });
  }

  // ---- for the object that owns the point ----

  const IID& Iid() const noexcept { return iid_; }
  size_t Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sinks_.size();
  }
  // The connected sinks as the point's interface, AddRef'd, at this moment.
  std::vector<ConnectionData> Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sinks_;
  }
  // Whether `cookie` is still connected.
  bool IsConnected(DWORD cookie) const noexcept { return StillConnected(cookie); }
  // Drops every connection (e.g. when the object shuts down).
  void UnadviseAll() noexcept {
    std::vector<ConnectionData> gone;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      gone.swap(sinks_);
    }
  }

  // Calls f(Itf*) for each sink connected when the fire starts; Itf is the point's interface.
  // Returns the number of sinks that returned a success code. f returns HRESULT; exceptions
  // of f count as failure for that sink and do not stop the others.
  template <class Itf, class F>
  size_t Fire(F&& f) {
    size_t ok = 0;
    for (auto& c : SnapshotNoThrow())
      if (StillConnected(c.cookie) &&
          SUCCEEDED(GuardHResult([&]() -> HRESULT { return f(static_cast<Itf*>(c.sink.Get())); })))
        ++ok;
    return ok;
  }
  // For dispinterfaces: IDispatch::Invoke(id, DISPATCH_METHOD) on each sink, `args` in natural
  // order (reversed into DISPPARAMS here). Returns the number of sinks that took it.
  size_t FireDispatch(DISPID id, std::span<const VARIANT> args) noexcept {
    size_t ok = 0;
    for (auto& c : SnapshotNoThrow())
      if (StillConnected(c.cookie) &&
          SUCCEEDED(DispatchInvoke(static_cast<IDispatch*>(c.sink.Get()), id, DISPATCH_METHOD, args)))
        ++ok;
    return ok;
  }
  size_t FireDispatch(DISPID id, std::initializer_list<Variant> args = {}) noexcept {
    return FireDispatch(
        id, std::span<const VARIANT>(static_cast<const VARIANT*>(args.begin()), args.size()));
  }

 private:
  bool StillConnected(DWORD cookie) const noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& s : sinks_)
      if (s.cookie == cookie) return true;
    return false;
  }
  std::vector<ConnectionData> SnapshotNoThrow() const noexcept {
    std::vector<ConnectionData> copy;
    GuardNoThrow([&] { copy = Snapshot(); });
    return copy;
  }

  IConnectionPointContainer* container_;  // not owned: the point lives inside it
  IID iid_;
  mutable std::mutex mutex_;
  std::vector<ConnectionData> sinks_;
  DWORD next_ = 1;
};

// IConnectionPointContainer for a ComObject entry list. Points are added in the constructor of
// the derived class (AddConnectionPoint) and live as long as the object.
class ConnectionPointContainer : public IConnectionPointContainer {
 public:
  using KitInterface = IConnectionPointContainer;

  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    return GuardHResult([&]() -> HRESULT {
      std::vector<ComPtr<IConnectionPoint>> all;
      for (auto& p : points_) all.emplace_back(p.get());
      return MakeEnumConnectionPoints(std::move(all), out);
    });
  }
  STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    for (auto& p : points_) {
      if (IsEqualIID(p->Iid(), riid)) {
        *out = p.get();
        p->AddRef();
        return S_OK;
      }
    }
    return CONNECT_E_NOCONNECTION;
  }

  // The point for `iid`, or nullptr.
  ConnectionPoint* FindPoint(REFIID iid) const noexcept {
    for (auto& p : points_)
      if (IsEqualIID(p->Iid(), iid)) return p.get();
    return nullptr;
  }

 protected:
  ConnectionPointContainer() = default;
  ~ConnectionPointContainer() = default;
  // Call from the derived constructor only (the list is not locked: it never changes later).
  ConnectionPoint& AddConnectionPoint(REFIID iid) {
    points_.push_back(std::make_unique<ConnectionPoint>(this, iid));
    return *points_.back();
  }
  // Drops every sink of every point (e.g. in an object's Close/Quit).
  void UnadviseAllPoints() noexcept {
    for (auto& p : points_) p->UnadviseAll();
  }

 private:
  std::vector<std::unique_ptr<ConnectionPoint>> points_;
};

}  // namespace common
