// Enumerators over a snapshot: IEnumVARIANT, IEnumUnknown, IEnumString, IEnumGUID,
// IEnumConnections, IEnumConnectionPoints, and the template behind them for any
// IEnumXXX with the standard Next/Skip/Reset/Clone shape.
//
//   return common::MakeEnumVariant(std::move(items), ppEnum);
//
// Next(n) hands out copies (AddRef'd interfaces, CoTaskMemAlloc'd strings, VariantCopy'd
// VARIANTs) and returns S_FALSE when fewer than n remained; Skip past the end returns S_FALSE
// and stops at the end; Clone shares the snapshot and copies the position. The snapshot is taken
// when the enumerator is made, so later changes of the source are not seen.
#pragma once

#include "common/ComObject.h"
#include "common/ComPtr.h"
#include "common/Strings.h"
#include "common/Variant.h"

#include <cstring>
#include <memory>
#include <vector>

namespace common {

// Copy policies: Out(stored, slot) fills one out slot; Clear(slot) undoes it.
struct VariantCopyPolicy {
  using Stored = Variant;
  using Item = VARIANT;
  static HRESULT Out(const Variant& s, VARIANT* out) noexcept { return s.CopyTo(out); }
  static void Clear(VARIANT* out) noexcept { VariantClear(out); }
};
template <class I>
struct InterfaceCopyPolicy {
  using Stored = ComPtr<I>;
  using Item = I*;
  static HRESULT Out(const ComPtr<I>& s, I** out) noexcept { return s.CopyTo(out); }
  static void Clear(I** out) noexcept {
    if (*out) (*out)->Release();
    *out = nullptr;
  }
};
struct StringCopyPolicy {
  using Stored = WString;
  using Item = LPOLESTR;
  static HRESULT Out(const WString& s, LPOLESTR* out) noexcept {
    auto p = static_cast<LPOLESTR>(CoTaskMemAlloc((s.size() + 1) * sizeof(OLECHAR)));
    *out = p;
    if (!p) return E_OUTOFMEMORY;
    std::memcpy(p, s.c_str(), (s.size() + 1) * sizeof(OLECHAR));
    return S_OK;
  }
  static void Clear(LPOLESTR* out) noexcept {
    CoTaskMemFree(*out);
    *out = nullptr;
  }
};
struct GuidCopyPolicy {
  using Stored = GUID;
  using Item = GUID;
  static HRESULT Out(const GUID& s, GUID* out) noexcept {
    *out = s;
    return S_OK;
  }
  static void Clear(GUID*) noexcept {}
};
// One connection of a connection point: the sink (any of its interfaces) and its cookie.
struct ConnectionData {
  ComPtr<IUnknown> sink;
  DWORD cookie = 0;
};
struct ConnectionCopyPolicy {
  using Stored = ConnectionData;
  using Item = CONNECTDATA;
  static HRESULT Out(const ConnectionData& s, CONNECTDATA* out) noexcept {
    out->dwCookie = s.cookie;
    return s.sink.CopyTo(&out->pUnk);
  }
  static void Clear(CONNECTDATA* out) noexcept {
    if (out->pUnk) out->pUnk->Release();
    out->pUnk = nullptr;
  }
};

template <class EnumItf, class Policy>
class Enumerator final : public ComObject<Enumerator<EnumItf, Policy>, EnumItf> {
 public:
  using Stored = typename Policy::Stored;
  using Item = typename Policy::Item;
  using Items = std::vector<Stored>;

  explicit Enumerator(std::shared_ptr<const Items> items, size_t pos = 0)
      : items_(std::move(items)), pos_(pos) {}

  STDMETHODIMP Next(ULONG count, Item* out, ULONG* fetched) override {
    if (fetched) *fetched = 0;
    if (count == 0) return S_OK;
    if (!out) return E_POINTER;
    // A null count is documented for Next(1) only; any count is served, the caller then
    // learns how many from S_OK / S_FALSE alone.
    ULONG n = 0;
    while (n < count && pos_ < items_->size()) {
      HRESULT hr = Policy::Out((*items_)[pos_], &out[n]);
      if (FAILED(hr)) {
        // Nothing half-done: give back what was handed out and leave the position as it was.
        Policy::Clear(&out[n]);
        pos_ -= n;
        while (n > 0) Policy::Clear(&out[--n]);
        return hr;
      }
      ++n;
      ++pos_;
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG count) override {
    size_t left = items_->size() - pos_;
    if (count > left) {
      pos_ = items_->size();
      return S_FALSE;
    }
    pos_ += count;
    return S_OK;
  }
  STDMETHODIMP Reset() override {
    pos_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(EnumItf** out) override {
    if (!out) return E_POINTER;
    return CreateObjectAs<Enumerator>(out, items_, pos_);
  }

 private:
  std::shared_ptr<const Items> items_;
  size_t pos_;
};

// An enumerator over `items` (moved into the snapshot) into *out.
template <class EnumItf, class Policy>
HRESULT MakeEnumerator(std::vector<typename Policy::Stored> items, EnumItf** out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  return GuardHResult([&]() -> HRESULT {
    auto shared = std::make_shared<const std::vector<typename Policy::Stored>>(std::move(items));
    return CreateObjectAs<Enumerator<EnumItf, Policy>>(out, std::move(shared), size_t{0});
  });
}

using EnumVariant = Enumerator<IEnumVARIANT, VariantCopyPolicy>;
using EnumUnknown = Enumerator<IEnumUnknown, InterfaceCopyPolicy<IUnknown>>;
using EnumString = Enumerator<IEnumString, StringCopyPolicy>;
using EnumGuid = Enumerator<IEnumGUID, GuidCopyPolicy>;
using EnumConnections = Enumerator<IEnumConnections, ConnectionCopyPolicy>;
using EnumConnectionPoints = Enumerator<IEnumConnectionPoints, InterfaceCopyPolicy<IConnectionPoint>>;

inline HRESULT MakeEnumVariant(std::vector<Variant> items, IEnumVARIANT** out) noexcept {
  return MakeEnumerator<IEnumVARIANT, VariantCopyPolicy>(std::move(items), out);
}
inline HRESULT MakeEnumUnknown(std::vector<ComPtr<IUnknown>> items, IEnumUnknown** out) noexcept {
  return MakeEnumerator<IEnumUnknown, InterfaceCopyPolicy<IUnknown>>(std::move(items), out);
}
inline HRESULT MakeEnumString(std::vector<WString> items, IEnumString** out) noexcept {
  return MakeEnumerator<IEnumString, StringCopyPolicy>(std::move(items), out);
}
inline HRESULT MakeEnumGuid(std::vector<GUID> items, IEnumGUID** out) noexcept {
  return MakeEnumerator<IEnumGUID, GuidCopyPolicy>(std::move(items), out);
}
inline HRESULT MakeEnumConnections(std::vector<ConnectionData> items,
                                   IEnumConnections** out) noexcept {
  return MakeEnumerator<IEnumConnections, ConnectionCopyPolicy>(std::move(items), out);
}
inline HRESULT MakeEnumConnectionPoints(std::vector<ComPtr<IConnectionPoint>> items,
                                        IEnumConnectionPoints** out) noexcept {
  return MakeEnumerator<IEnumConnectionPoints, InterfaceCopyPolicy<IConnectionPoint>>(
      std::move(items), out);
}

}  // namespace common
