#include "SimItems.h"

#include <OpcDataAccess.h>

#include <cmath>
#include <cstdio>

namespace opc_sim {

using opc_toolkit::kAccessRead;
using opc_toolkit::kAccessReadWrite;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kArrayLength = 5;
constexpr short kGood = OPC_QUALITY_GOOD;

bool IsNumeric(VARTYPE vt) {
  switch (vt) {
    case VT_I1: case VT_I2: case VT_I4: case VT_UI1: case VT_UI2: case VT_UI4:
    case VT_INT: case VT_UINT: case VT_R4: case VT_R8:
      return true;
    default:
      return false;
  }
}

// Local time now as an OLE date, milliseconds kept (SystemTimeToVariantTime drops them).
DATE NowDate() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  WORD ms = st.wMilliseconds;
  st.wMilliseconds = 0;
  DATE d = 0;
  SystemTimeToVariantTime(&st, &d);
  return d + ms / 86400000.0;
}

}  // namespace

const std::vector<VARTYPE>& SimulatedTypes() {
  static const std::vector<VARTYPE> types = {VT_I1,  VT_I2,   VT_I4, VT_UI1, VT_UI2,
                                             VT_UI4, VT_INT,  VT_UINT, VT_R4, VT_R8,
                                             VT_BOOL, VT_BSTR, VT_DATE};
  return types;
}

std::wstring TypeSuffix(VARTYPE vt) {
  switch (vt) {
    case VT_I1: return L"I1";
    case VT_I2: return L"I2";
    case VT_I4: return L"I4";
    case VT_UI1: return L"UI1";
    case VT_UI2: return L"UI2";
    case VT_UI4: return L"UI4";
    case VT_INT: return L"INT";
    case VT_UINT: return L"UINT";
    case VT_R4: return L"R4";
    case VT_R8: return L"R8";
    case VT_BOOL: return L"BOOL";
    case VT_BSTR: return L"BSTR";
    case VT_DATE: return L"DATE";
    default: return L"VT" + std::to_wstring(vt);
  }
}

std::wstring DeepItemId(int level) {
  std::wstring id = L"Deep";
  wchar_t part[8];
  for (int i = 1; i <= level; ++i) {
    swprintf(part, 8, L".L%02d", i);
    id += part;
  }
  return id + L".Depth";
}

VARIANT MakeScalar(VARTYPE vt, double x) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = vt;
  switch (vt) {
    case VT_I1: V_I1(&v) = static_cast<CHAR>(static_cast<long>(x)); break;
    case VT_I2: V_I2(&v) = static_cast<SHORT>(x); break;
    case VT_I4: V_I4(&v) = static_cast<LONG>(x); break;
    case VT_UI1: V_UI1(&v) = static_cast<BYTE>(static_cast<long>(x)); break;
    case VT_UI2: V_UI2(&v) = static_cast<USHORT>(static_cast<long>(x)); break;
    case VT_UI4: V_UI4(&v) = static_cast<ULONG>(static_cast<long long>(x)); break;
    case VT_INT: V_INT(&v) = static_cast<INT>(x); break;
    case VT_UINT: V_UINT(&v) = static_cast<UINT>(static_cast<long long>(x)); break;
    case VT_R4: V_R4(&v) = static_cast<FLOAT>(x); break;
    case VT_R8: V_R8(&v) = x; break;
    case VT_BOOL: V_BOOL(&v) = x != 0 ? VARIANT_TRUE : VARIANT_FALSE; break;
    case VT_BSTR: {
      std::wstring text = L"Text " + std::to_wstring(static_cast<long long>(x));
      V_BSTR(&v) = SysAllocString(text.c_str());
      break;
    }
    case VT_DATE: V_DATE(&v) = 45000.0 + x; break;  // 15 March 2023 plus x days
    default: V_VT(&v) = VT_EMPTY; break;
  }
  return v;
}

VARIANT MakeArray(VARTYPE vt, int n, double first) {
  VARIANT v;
  VariantInit(&v);
  SAFEARRAY* sa = SafeArrayCreateVector(vt, 0, static_cast<ULONG>(n));
  if (!sa) return v;
  for (LONG i = 0; i < n; ++i) {
    VARIANT e = MakeScalar(vt, first + i);
    // The union's data starts at the same place for every type; a BSTR goes in as itself.
    void* data = vt == VT_BSTR ? static_cast<void*>(V_BSTR(&e)) : static_cast<void*>(&V_UI1(&e));
    HRESULT hr = SafeArrayPutElement(sa, &i, data);
    VariantClear(&e);
    if (FAILED(hr)) {
      SafeArrayDestroy(sa);
      return v;
    }
  }
  V_VT(&v) = static_cast<VARTYPE>(VT_ARRAY | vt);
  V_ARRAY(&v) = sa;
  return v;
}

SimItems::SimItems(opc_toolkit::IServedTags& tags, uint32_t seed) : tags_(tags), random_(seed) {
  VariantInit(&writeOnlyLast_);
}

SimItems::~SimItems() { VariantClear(&writeOnlyLast_); }

HRESULT SimItems::Add(const std::wstring& id, long rights, VARIANT value, short quality) {
  // Every initial value has a type; none means making it (an array) ran out of memory.
  HRESULT hr = V_VT(&value) == VT_EMPTY ? E_OUTOFMEMORY : S_OK;
  if (SUCCEEDED(hr)) hr = tags_.Add(id.c_str(), rights, value, quality, 0);
  VariantClear(&value);
  return hr;
}

HRESULT SimItems::AddMoving(const std::wstring& id, Kind kind, VARTYPE vt, double period) {
  VARIANT initial = kind == Kind::RandomArray ? MakeArray(vt, kArrayLength, 0)
                    : kind == Kind::Clock     ? MakeScalar(VT_DATE, 0)
                                              : MakeScalar(vt, 0);
  if (kind == Kind::Clock) V_DATE(&initial) = NowDate();
  HRESULT hr = Add(id, kAccessRead, initial);
  if (FAILED(hr)) return hr;
  opc_toolkit::IServedTag* tag = tags_.Item(id.c_str());
  if (!tag) return E_UNEXPECTED;
  if (kind == Kind::Ramp) tag->SetEURange(0, 100);
  if (kind == Kind::Sine) tag->SetEURange(-100, 100);
  if (kind == Kind::Random && vt != VT_BOOL) tag->SetEURange(0, vt == VT_R8 ? 1 : 1000);
  moving_.push_back({tag, kind, vt, period});
  return S_OK;
}

HRESULT SimItems::Populate() {
  HRESULT hr = S_OK;
  auto add = [&](const std::wstring& id, long rights, VARIANT v, short q = kGood) {
    if (SUCCEEDED(hr)) hr = Add(id, rights, v, q);
    else VariantClear(&v);
  };
  auto moving = [&](const std::wstring& id, Kind kind, VARTYPE vt, double period = 0) {
    if (SUCCEEDED(hr)) hr = AddMoving(id, kind, vt, period);
  };
  for (VARTYPE vt : SimulatedTypes()) {
    std::wstring t = TypeSuffix(vt);
    add(L"Static." + t, kAccessRead, MakeScalar(vt, 7));
    add(L"Static.Array." + t, kAccessRead, MakeArray(vt, kArrayLength, 1));
    add(L"Register." + t, kAccessReadWrite, MakeScalar(vt, 0));
    add(L"Register.Array." + t, kAccessReadWrite, MakeArray(vt, kArrayLength, 0));
    if (IsNumeric(vt)) moving(L"Ramp." + t, Kind::Ramp, vt);
  }
  moving(L"Sine.R8", Kind::Sine, VT_R8, 10);
  moving(L"Sine.R4", Kind::Sine, VT_R4, 10);
  moving(L"Sine.I2", Kind::Sine, VT_I2, 10);
  moving(L"Sine.Slow", Kind::Sine, VT_R8, 60);
  moving(L"Random.I4", Kind::Random, VT_I4);
  moving(L"Random.R8", Kind::Random, VT_R8);
  moving(L"Random.UI1", Kind::Random, VT_UI1);
  moving(L"Random.BOOL", Kind::Random, VT_BOOL);
  moving(L"Random.Array.R8", Kind::RandomArray, VT_R8);
  moving(L"Time.Now", Kind::Clock, VT_DATE);
  moving(L"Time.Seconds", Kind::Seconds, VT_UI4);

  // Qualities a real device reports, with a value that stays put.
  struct Q {
    const wchar_t* name;
    short quality;
  } qualities[] = {
      {L"Quality.Bad", OPC_QUALITY_BAD},
      {L"Quality.BadNotConnected", OPC_QUALITY_NOT_CONNECTED},
      {L"Quality.BadDeviceFailure", OPC_QUALITY_DEVICE_FAILURE},
      {L"Quality.Uncertain", OPC_QUALITY_UNCERTAIN},
      {L"Quality.UncertainLastUsable", OPC_QUALITY_LAST_USABLE},
      {L"Quality.UncertainSensor", OPC_QUALITY_SENSOR_CAL},
      {L"Quality.GoodLocalOverride", OPC_QUALITY_LOCAL_OVERRIDE},
  };
  for (auto& q : qualities) add(q.name, kAccessRead, MakeScalar(VT_R8, 12.5), q.quality);
  // Bad with no value at all (the value of a device that never answered).
  add(L"Quality.BadNoValue", kAccessRead, MakeScalar(VT_R8, 0));
  if (SUCCEEDED(hr))
    if (auto* t = tags_.Item(L"Quality.BadNoValue"))
      hr = t->UpdateValue(nullptr, OPC_QUALITY_BAD, 0);

  // A value whose quality a client sets at run time: writing Quality.SettableQuality publishes
  // Quality.Settable again, same value, with the written quality; a write of Quality.Settable
  // keeps that quality. So a test can make a reading go bad and come back.
  add(L"Quality.Settable", kAccessReadWrite, MakeScalar(VT_R8, 0));
  add(L"Quality.SettableQuality", kAccessReadWrite, MakeScalar(VT_I4, kGood));

  add(L"Access.ReadOnly", kAccessRead, MakeScalar(VT_I4, 42));
  add(L"Access.ReadWrite", kAccessReadWrite, MakeScalar(VT_R8, 0));
  // The toolkit knows read and read-write only: the write-only item is a read-write tag whose
  // value is never shown (no value, bad quality, out of service); what it was last given is
  // shown by Access.WriteOnlyEcho.
  add(L"Access.WriteOnly", kAccessReadWrite, MakeScalar(VT_R8, 0));
  if (SUCCEEDED(hr))
    if (auto* t = tags_.Item(L"Access.WriteOnly"))
      hr = t->UpdateValue(nullptr, OPC_QUALITY_OUT_OF_SERVICE, 0);
  add(L"Access.WriteOnlyEcho", kAccessRead, MakeScalar(VT_R8, 0));

  // Writing a text here asks every client to disconnect, with that text as the reason.
  add(L"Control.Shutdown", kAccessReadWrite, MakeScalar(VT_BSTR, 0));

  for (int level = 1; level <= kDeepLevels; ++level)
    add(DeepItemId(level), kAccessRead, MakeScalar(VT_I4, level));
  return hr;
}

void SimItems::Set(const Moving& m, VARIANT value) {
  m.tag->UpdateValue(&value, kGood, 0);
  VariantClear(&value);
}

void SimItems::Tick(double elapsedSeconds) {
  ++ticks_;
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (const Moving& m : moving_) {
    switch (m.kind) {
      case Kind::Ramp:
        // Integer ramps climb 0..100 by one a tick, real ones 0..99.9 by a tenth.
        if (m.vt == VT_R4 || m.vt == VT_R8) Set(m, MakeScalar(m.vt, (ticks_ % 1000) / 10.0));
        else Set(m, MakeScalar(m.vt, ticks_ % 101));
        break;
      case Kind::Sine: {
        double x = 100.0 * std::sin(2 * kPi * elapsedSeconds / m.period);
        Set(m, MakeScalar(m.vt, m.vt == VT_I2 ? std::lround(x) : x));
        break;
      }
      case Kind::Random:
        if (m.vt == VT_R8) Set(m, MakeScalar(VT_R8, unit(random_)));
        else if (m.vt == VT_BOOL) Set(m, MakeScalar(VT_BOOL, unit(random_) < 0.5));
        else if (m.vt == VT_UI1) Set(m, MakeScalar(VT_UI1, std::floor(unit(random_) * 256)));
        else Set(m, MakeScalar(m.vt, std::floor(unit(random_) * 1001)));
        break;
      case Kind::RandomArray: {
        VARIANT a = MakeArray(VT_R8, kArrayLength, 0);
        if (V_VT(&a) == (VT_ARRAY | VT_R8)) {
          double* p = nullptr;
          if (SUCCEEDED(SafeArrayAccessData(V_ARRAY(&a), reinterpret_cast<void**>(&p)))) {
            for (int i = 0; i < kArrayLength; ++i) p[i] = unit(random_);
            SafeArrayUnaccessData(V_ARRAY(&a));
          }
        }
        Set(m, a);
        break;
      }
      case Kind::Clock: {
        VARIANT d = MakeScalar(VT_DATE, 0);
        V_DATE(&d) = NowDate();
        Set(m, d);
        break;
      }
      case Kind::Seconds:
        Set(m, MakeScalar(VT_UI4, std::floor(elapsedSeconds < 0 ? 0 : elapsedSeconds)));
        break;
    }
  }
}

HRESULT SimItems::Write(const wchar_t* itemId, const VARIANT& value) {
  if (!itemId) return E_INVALIDARG;
  opc_toolkit::IServedTag* tag = tags_.Item(itemId);
  if (!tag || !(tag->AccessRights() & OPC_WRITEABLE)) return OPC_E_BADRIGHTS;
  if (_wcsicmp(itemId, L"Access.WriteOnly") == 0) {
    VARIANT copy;
    VariantInit(&copy);
    HRESULT hr = VariantCopy(&copy, const_cast<VARIANT*>(&value));
    if (FAILED(hr)) return hr;
    VariantClear(&writeOnlyLast_);
    writeOnlyLast_ = copy;
    if (auto* echo = tags_.Item(L"Access.WriteOnlyEcho")) echo->UpdateValue(&value, kGood, 0);
    // The item itself keeps showing nothing, but its time stamp tells when it was written.
    return tag->UpdateValue(nullptr, OPC_QUALITY_OUT_OF_SERVICE, 0);
  }
  if (_wcsicmp(itemId, L"Quality.Settable") == 0) return tag->UpdateValue(&value, SettableQuality(), 0);
  if (_wcsicmp(itemId, L"Quality.SettableQuality") == 0) {
    VARIANT q;
    VariantInit(&q);
    HRESULT hr = VariantChangeType(&q, const_cast<VARIANT*>(&value), 0, VT_I4);
    if (FAILED(hr)) return hr;
    // A quality is a 16-bit word; anything wider is not one.
    if (V_I4(&q) < 0 || V_I4(&q) > 0xFFFF) return OPC_E_RANGE;
    opc_toolkit::IServedTag* settable = tags_.Item(L"Quality.Settable");
    if (!settable) return E_UNEXPECTED;
    hr = tag->UpdateValue(&q, kGood, 0);
    if (FAILED(hr)) return hr;
    VARIANT current;
    VariantInit(&current);
    short oldQuality = 0;
    DATE stamp = 0;
    hr = settable->Read(&current, &oldQuality, &stamp);
    if (SUCCEEDED(hr)) hr = settable->UpdateValue(&current, static_cast<short>(V_I4(&q)), 0);
    VariantClear(&current);
    return hr;
  }
  return tag->UpdateValue(&value, kGood, 0);
}

short SimItems::SettableQuality() {
  opc_toolkit::IServedTag* tag = tags_.Item(L"Quality.SettableQuality");
  VARIANT q;
  VariantInit(&q);
  short quality = 0;
  DATE stamp = 0;
  short settable = kGood;
  if (tag && SUCCEEDED(tag->Read(&q, &quality, &stamp)) &&
      SUCCEEDED(VariantChangeType(&q, &q, 0, VT_I4)))
    settable = static_cast<short>(V_I4(&q));
  VariantClear(&q);
  return settable;
}

}  // namespace opc_sim
