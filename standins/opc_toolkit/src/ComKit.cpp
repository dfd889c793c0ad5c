#include "ComKit.h"

#include <algorithm>
#include <cwctype>

namespace opc_toolkit {

HRESULT EnumStrings::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IEnumString) *ppv = static_cast<IEnumString*>(this);
  else return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

HRESULT EnumStrings::Next(ULONG celt, LPOLESTR* rgelt, ULONG* fetched) {
  if (!rgelt || (celt > 1 && !fetched)) return E_INVALIDARG;
  ULONG n = 0;
  while (n < celt && pos_ < items_.size()) {
    rgelt[n] = CoDup(items_[pos_]);
    if (!rgelt[n]) {
      for (ULONG i = 0; i < n; ++i) CoTaskMemFree(rgelt[i]);
      return E_OUTOFMEMORY;
    }
    ++n;
    ++pos_;
  }
  if (fetched) *fetched = n;
  return n == celt ? S_OK : S_FALSE;
}

HRESULT EnumStrings::Skip(ULONG celt) {
  size_t left = items_.size() - pos_;
  pos_ += std::min<size_t>(celt, left);
  return celt <= left ? S_OK : S_FALSE;
}

HRESULT EnumStrings::Clone(IEnumString** ppenum) {
  if (!ppenum) return E_INVALIDARG;
  *ppenum = new EnumStrings(items_, pos_);
  return S_OK;
}

EnumUnknowns::EnumUnknowns(const std::vector<IUnknown*>& items, size_t pos)
    : items_(items), pos_(pos) {
  for (auto* p : items_) p->AddRef();
}

EnumUnknowns::~EnumUnknowns() {
  for (auto* p : items_) p->Release();
}

HRESULT EnumUnknowns::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IEnumUnknown) *ppv = static_cast<IEnumUnknown*>(this);
  else return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

HRESULT EnumUnknowns::Next(ULONG celt, IUnknown** rgelt, ULONG* fetched) {
  if (!rgelt || (celt > 1 && !fetched)) return E_INVALIDARG;
  ULONG n = 0;
  while (n < celt && pos_ < items_.size()) {
    rgelt[n] = items_[pos_++];
    rgelt[n++]->AddRef();
  }
  if (fetched) *fetched = n;
  return n == celt ? S_OK : S_FALSE;
}

HRESULT EnumUnknowns::Skip(ULONG celt) {
  size_t left = items_.size() - pos_;
  pos_ += std::min<size_t>(celt, left);
  return celt <= left ? S_OK : S_FALSE;
}

HRESULT EnumUnknowns::Clone(IEnumUnknown** ppenum) {
  if (!ppenum) return E_INVALIDARG;
  *ppenum = new EnumUnknowns(items_, pos_);
  return S_OK;
}

ConnectionPoint::~ConnectionPoint() { Detach(); }

void ConnectionPoint::Detach() {
  owner_ = nullptr;
  onAdvise = nullptr;
  auto sinks = std::move(sinks_);
  sinks_.clear();
  for (auto& [cookie, sink] : sinks) sink->Release();
}

void ConnectionPoint::Clear() {
  auto sinks = std::move(sinks_);
  sinks_.clear();
  for (auto& [cookie, sink] : sinks) sink->Release();
}

bool IsDeadClientError(HRESULT hr) {
  switch (static_cast<unsigned long>(hr)) {
    case 0x80010108:  // RPC_E_DISCONNECTED
    case 0x80010007:  // RPC_E_SERVER_DIED
    case 0x80010012:  // RPC_E_SERVER_DIED_DNE
    case 0x800401FD:  // CO_E_OBJNOTCONNECTED
    case 0x800706BA:  // RPC_S_SERVER_UNAVAILABLE
    case 0x800706BE:  // RPC_S_CALL_FAILED
    case 0x800706BF:  // RPC_S_CALL_FAILED_DNE
      return true;
    default:
      return false;
  }
}

HRESULT ConnectionPoint::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IConnectionPoint)
    *ppv = static_cast<IConnectionPoint*>(this);
  else return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

HRESULT ConnectionPoint::GetConnectionInterface(IID* piid) {
  if (!piid) return E_POINTER;
  *piid = iid_;
  return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** pp) {
  if (!pp) return E_POINTER;
  *pp = owner_;
  if (!owner_) return E_UNEXPECTED;
  owner_->AddRef();
  return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (!sink || !cookie) return E_POINTER;
  *cookie = 0;
  if (!owner_) return E_UNEXPECTED;
  if (sinks_.size() >= max_) return CONNECT_E_ADVISELIMIT;
  IUnknown* typed = nullptr;
  if (FAILED(sink->QueryInterface(iid_, reinterpret_cast<void**>(&typed))) || !typed)
    return CONNECT_E_CANNOTCONNECT;
  *cookie = next_++;
  sinks_[*cookie] = typed;
  if (onAdvise) onAdvise();
  return S_OK;
}

HRESULT ConnectionPoint::Unadvise(DWORD cookie) {
  auto it = sinks_.find(cookie);
  if (it == sinks_.end()) return CONNECT_E_NOCONNECTION;
  IUnknown* sink = it->second;
  sinks_.erase(it);
  sink->Release();
  return S_OK;
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections** pp) {
  if (pp) *pp = nullptr;
  return E_NOTIMPL;
}

std::vector<IUnknown*> ConnectionPoint::Sinks() const {
  std::vector<IUnknown*> out;
  for (auto& [cookie, sink] : sinks_) {
    sink->AddRef();
    out.push_back(sink);
  }
  return out;
}

std::wstring Lower(const std::wstring& s) {
  std::wstring r(s);
  for (auto& c : r) c = static_cast<wchar_t>(std::towlower(c));
  return r;
}

static bool MatchFrom(const wchar_t* p, const wchar_t* t) {
  for (;; ++p, ++t) {
    if (*p == L'*') {
      while (*p == L'*') ++p;
      if (!*p) return true;
      for (; *t; ++t)
        if (MatchFrom(p, t)) return true;
      return false;
    }
    if (!*p) return !*t;
    if (!*t) return false;
    if (*p == L'?') continue;
    if (*p == L'#') {
      if (!std::iswdigit(*t)) return false;
      continue;
    }
    if (std::towlower(*p) != std::towlower(*t)) return false;
  }
}

bool WildcardMatch(const wchar_t* pattern, const wchar_t* text) {
  if (!pattern || !*pattern) return true;
  return MatchFrom(pattern, text ? text : L"");
}

FILETIME NowFileTime() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return ft;
}

FILETIME DateToFileTime(DATE d) {
  if (d == 0) return NowFileTime();
  SYSTEMTIME st;
  FILETIME local, utc;
  if (!VariantTimeToSystemTime(d, &st) || !SystemTimeToFileTime(&st, &local) ||
      !LocalFileTimeToFileTime(&local, &utc))
    return NowFileTime();
  return utc;
}

}  // namespace opc_toolkit
