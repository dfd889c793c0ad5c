#include "SimBulk.h"

#include <OpcDataAccess.h>

#include <cwchar>

namespace opc_sim {

std::wstring BulkItemId(long i) {
  wchar_t id[32];
  swprintf(id, 32, L"Bulk.%04ld", i);
  return id;
}

HRESULT BulkItems::Populate() {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_I4;
  V_I4(&v) = 0;
  HRESULT hr = tags_.Add(L"Bulk.Steps", opc_toolkit::kAccessRead, v, OPC_QUALITY_GOOD, 0);
  V_VT(&v) = VT_BOOL;
  V_BOOL(&v) = VARIANT_TRUE;
  if (SUCCEEDED(hr))
    hr = tags_.Add(L"Bulk.Running", opc_toolkit::kAccessReadWrite, v, OPC_QUALITY_GOOD, 0);
  V_VT(&v) = VT_R8;
  V_R8(&v) = 0;
  for (long i = 1; SUCCEEDED(hr) && i <= count_; ++i)
    hr = tags_.Add(BulkItemId(i).c_str(), opc_toolkit::kAccessRead, v, OPC_QUALITY_GOOD, 0);
  if (FAILED(hr)) return hr;
  stepsTag_ = tags_.Item(L"Bulk.Steps");
  runningTag_ = tags_.Item(L"Bulk.Running");
  items_.clear();
  items_.reserve(static_cast<size_t>(count_));
  for (long i = 1; i <= count_; ++i) {
    opc_toolkit::IServedTag* tag = tags_.Item(BulkItemId(i).c_str());
    if (!tag) return E_UNEXPECTED;
    items_.push_back(tag);
  }
  return stepsTag_ && runningTag_ ? S_OK : E_UNEXPECTED;
}

bool BulkItems::Running() const {
  if (!runningTag_) return true;
  VARIANT v;
  VariantInit(&v);
  short quality = 0;
  DATE stamp = 0;
  bool running = true;
  // Whatever a client wrote (a Boolean, a number, a text the server converted) counts as false
  // only when it converts to false.
  if (SUCCEEDED(runningTag_->Read(&v, &quality, &stamp)) &&
      SUCCEEDED(VariantChangeType(&v, &v, 0, VT_BOOL)))
    running = V_BOOL(&v) != VARIANT_FALSE;
  VariantClear(&v);
  return running;
}

bool BulkItems::Step() {
  if (!Running()) return false;
  ++steps_;
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_R8;
  for (size_t i = 0; i < items_.size(); ++i) {
    V_R8(&v) = static_cast<double>(steps_) * static_cast<double>(i + 1);
    items_[i]->UpdateValue(&v, OPC_QUALITY_GOOD, 0);
  }
  V_VT(&v) = VT_I4;
  V_I4(&v) = steps_;
  if (stepsTag_) stepsTag_->UpdateValue(&v, OPC_QUALITY_GOOD, 0);
  return true;
}

}  // namespace opc_sim
