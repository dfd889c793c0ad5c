#include "TagSpace.h"

#include "ComKit.h"

#include <OpcDataAccess.h>

namespace opc_toolkit {

ServedTag::ServedTag(std::wstring name, long rights, const VARIANT& value, short quality,
                     DATE ts)
    : name_(std::move(name)), rights_(rights), type_(V_VT(&value)),
      quality_(static_cast<WORD>(quality)), time_(DateToFileTime(ts)) {
  VariantInit(&value_);
  VariantCopy(&value_, const_cast<VARIANT*>(&value));
}

ServedTag::~ServedTag() { VariantClear(&value_); }

HRESULT ServedTag::UpdateValue(const VARIANT* valueOrNull, short quality, DATE timeStamp) {
  VARIANT v;
  VariantInit(&v);
  if (valueOrNull) {
    HRESULT hr = VariantCopy(&v, const_cast<VARIANT*>(valueOrNull));
    if (FAILED(hr)) return hr;
    // Keep the canonical type the tag was created with, where the value allows it.
    if (type_ != VT_EMPTY && V_VT(&v) != VT_EMPTY && V_VT(&v) != type_) {
      hr = VariantChangeType(&v, &v, 0, type_);
      if (FAILED(hr)) {
        VariantClear(&v);
        return hr;
      }
    }
  }
  VariantClear(&value_);
  value_ = v;  // takes ownership
  quality_ = static_cast<WORD>(quality);
  time_ = DateToFileTime(timeStamp);
  ++version_;
  return S_OK;
}

HRESULT ServedTag::Read(VARIANT* value, short* quality, DATE* timeStamp) const {
  if (value) {
    VariantInit(value);
    HRESULT hr = VariantCopy(value, const_cast<VARIANT*>(&value_));
    if (FAILED(hr)) return hr;
  }
  if (quality) *quality = static_cast<short>(quality_);
  if (timeStamp) {
    FILETIME local;
    SYSTEMTIME st;
    *timeStamp = 0;
    if (FileTimeToLocalFileTime(&time_, &local) && FileTimeToSystemTime(&local, &st))
      SystemTimeToVariantTime(&st, timeStamp);
  }
  return S_OK;
}

HRESULT ServedTag::SetEURange(double low, double high) {
  if (!(high > low)) return E_INVALIDARG;
  analog_ = true;
  euLow_ = low;
  euHigh_ = high;
  return S_OK;
}

bool ValidItemName(const wchar_t* name) {
  if (!name || !*name) return false;
  wchar_t prev = L'.';
  for (const wchar_t* p = name; *p; ++p) {
    if (*p < 32) return false;
    if (*p == L'.' && prev == L'.') return false;
    prev = *p;
  }
  return prev != L'.';
}

HRESULT TagSpace::Add(const wchar_t* name, long accessRights, const VARIANT& initialValue,
                      short quality, DATE timeStamp) {
  if (!ValidItemName(name)) return E_INVALIDARG;
  if (accessRights != kAccessRead && accessRights != kAccessReadWrite) return E_INVALIDARG;
  std::wstring key = Lower(name);
  if (tags_.count(key)) return OPC_E_DUPLICATENAME;
  tags_[key] = std::make_unique<ServedTag>(name, accessRights, initialValue, quality, timeStamp);
  for (size_t dot = key.find(L'.'); dot != std::wstring::npos; dot = key.find(L'.', dot + 1))
    branches_.insert(key.substr(0, dot));
  return S_OK;
}

ServedTag* TagSpace::Find(const wchar_t* name) const {
  if (!name) return nullptr;
  auto it = tags_.find(Lower(name));
  return it == tags_.end() ? nullptr : it->second.get();
}

bool TagSpace::IsBranch(const std::wstring& path) const {
  return path.empty() || branches_.count(Lower(path)) > 0;
}

static std::wstring Prefix(const std::wstring& path) {
  return path.empty() ? std::wstring() : Lower(path) + L".";
}

std::vector<std::wstring> TagSpace::Branches(const std::wstring& path) const {
  std::vector<std::wstring> out;
  std::wstring prefix = Prefix(path);
  for (auto it = branches_.lower_bound(prefix); it != branches_.end(); ++it) {
    if (it->compare(0, prefix.size(), prefix) != 0) break;
    std::wstring rest = it->substr(prefix.size());
    if (rest.find(L'.') != std::wstring::npos) continue;
    // Report the branch as the tag names spell it.
    auto tag = tags_.lower_bound(*it + L".");
    if (tag != tags_.end())
      out.push_back(tag->second->Name().substr(prefix.size(), rest.size()));
  }
  return out;
}

std::vector<ServedTag*> TagSpace::Leaves(const std::wstring& path) const {
  std::vector<ServedTag*> out;
  std::wstring prefix = Prefix(path);
  for (auto it = tags_.lower_bound(prefix); it != tags_.end(); ++it) {
    if (it->first.compare(0, prefix.size(), prefix) != 0) break;
    if (it->first.find(L'.', prefix.size()) == std::wstring::npos) out.push_back(it->second.get());
  }
  return out;
}

std::vector<ServedTag*> TagSpace::Below(const std::wstring& path) const {
  std::vector<ServedTag*> out;
  std::wstring prefix = Prefix(path);
  for (auto it = tags_.lower_bound(prefix); it != tags_.end(); ++it) {
    if (it->first.compare(0, prefix.size(), prefix) != 0) break;
    out.push_back(it->second.get());
  }
  return out;
}

}  // namespace opc_toolkit
