#include "EnumVariant.h"

#include "common/ComObject.h"
#include "common/Errors.h"

#include <memory>

namespace veltrane {

namespace {

using Items = std::vector<common::Variant>;

class EnumVariantObject final : public common::ComObject<EnumVariantObject, IEnumVARIANT> {
 public:
  EnumVariantObject(std::shared_ptr<const Items> items, size_t pos) : items_(std::move(items)), pos_(pos) {}

  STDMETHODIMP Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) override {
    // The fetched count may be left out only when a single element is asked for.
    if (!rgVar || (!pCeltFetched && celt != 1)) return E_POINTER;
    if (pCeltFetched) *pCeltFetched = 0;
    ULONG n = 0;
    for (; n < celt && pos_ + n < items_->size(); ++n) {
      VariantInit(&rgVar[n]);
      HRESULT hr = VariantCopy(&rgVar[n], const_cast<common::Variant*>(&(*items_)[pos_ + n]));
      if (FAILED(hr)) {
        // Nothing half-handed out: the copies made so far go, the position stays.
        for (ULONG i = 0; i <= n; ++i) VariantClear(&rgVar[i]);
        return hr;
      }
    }
    pos_ += n;
    if (pCeltFetched) *pCeltFetched = n;
    return n == celt ? S_OK : S_FALSE;
  }

  STDMETHODIMP Skip(ULONG celt) override {
    size_t left = items_->size() - pos_;
    if (celt > left) {
      pos_ = items_->size();
      return S_FALSE;
    }
    pos_ += celt;
    return S_OK;
  }

  STDMETHODIMP Reset() override {
    pos_ = 0;
    return S_OK;
  }

  STDMETHODIMP Clone(IEnumVARIANT** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    return common::CreateObjectAs<EnumVariantObject>(out, items_, pos_);
  }

 private:
  std::shared_ptr<const Items> items_;  // the snapshot, shared with clones
  size_t pos_;
};

}  // namespace

HRESULT CreateEnumVariant(std::vector<common::Variant> items, IEnumVARIANT** out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  return common::GuardHResult([&]() -> HRESULT {
    auto shared = std::make_shared<const Items>(std::move(items));
    return common::CreateObjectAs<EnumVariantObject>(out, std::move(shared), size_t{0});
  });
}

HRESULT CreateEnumVariant(std::vector<common::Variant> items, IUnknown** out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  IEnumVARIANT* e = nullptr;
  HRESULT hr = CreateEnumVariant(std::move(items), &e);
  if (SUCCEEDED(hr)) *out = e;  // IEnumVARIANT derives from IUnknown: same object, one reference
  return hr;
}

}  // namespace veltrane
