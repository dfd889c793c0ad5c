// The class factory of a creatable class: made once per class and cached in the class table.
#pragma once

#include "common/ComObject.h"

namespace veltrane {

// IClassFactory over a creator function. Its reference count decides the module count itself,
// so that the cache's reference does not pin the library: when the count rises to 2 (a client
// holds the factory besides the cache) the module count is raised, when it falls back to 1 it is
// lowered, and at 0 the factory is destroyed. Both counts are interlocked.
class ClassFactory final : public common::ComObject<ClassFactory, IClassFactory> {
  using Base = common::ComObject<ClassFactory, IClassFactory>;

 public:
  using Creator = HRESULT (*)(REFIID riid, void** ppv);

  explicit ClassFactory(Creator create) noexcept : Base(common::NoModuleCount{}), create_(create) {}

  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // Aggregation is never supported: any outer unknown gives CLASS_E_NOAGGREGATION, also for
  // IID_IUnknown. Otherwise the creator's result (E_OUTOFMEMORY, or the failed
  // QueryInterface after the new object was destroyed).
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
  // Raises or lowers the module object count.
  STDMETHODIMP LockServer(BOOL lock) override;

 private:
  Creator create_;
};

}  // namespace veltrane
