// The kit in a Winelib program (wineg++: 16-bit wchar_t, host libstdc++), as the spreadsheet
// stand-in uses it: text and RAII types, an object with a connection point fired to a dispatch
// sink, and a late-bound call into the local test server. Prints one line per failure and
// "kit_winelib_probe: ok" at the end when all held.
#include "common/Kit.h"

#include <cstdio>

using namespace common;

namespace {

int failures = 0;
void Check(bool ok, const char* what) {
  if (!ok) {
    ++failures;
    std::printf("FAIL: %s\n", what);
  }
}

const IID kEventsIid = {0x6405943d, 0xb3e9, 0x47ce, {0x9c, 0x40, 0xfd, 0x31, 0x39, 0x8b, 0xca, 0x5e}};

class Source final : public ComObject<Source, IConnectionPointContainer> {
 public:
  Source() : ComObject() {}
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** out) override {
    return MakeEnumConnectionPoints({ComPtr<IConnectionPoint>(&point_)}, out);
  }
  STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, kEventsIid)) return CONNECT_E_NOCONNECTION;
    return ComPtr<IConnectionPoint>(&point_).CopyTo(out);
  }
  ConnectionPoint point_{this, kEventsIid};
};

}  // namespace

int main() {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  {
    // Text: WString is UTF-16 here too.
    WString w = Utf8ToWide("gr\xC3\xBC\xC3\x9F");
    Check(w.size() == 4 && w[2] == WChar(0xFC), "Utf8ToWide");
    Check(WideToUtf8(w) == "gr\xC3\xBC\xC3\x9F", "WideToUtf8");
    Bstr b(w);
    Check(b.Length() == 4 && SysStringLen(b.Get()) == 4, "Bstr length");
    Variant v(L"12");
    LONG n = 0;
    Check(v.ToInt32(&n) == S_OK && n == 12, "Variant conversion");
    Variant wide(static_cast<long>(1) << 40);
    Check(wide.Type() == VT_I8, "long keeps its 64 bits");
    SafeArray a;
    Check(a.Create(VT_I4, 2) == S_OK && a.LowerBound() == 1 && a.UpperBound() == 2, "SafeArray");
    Check(!Module::FileName().empty(), "Module::FileName");
    const WString server = ServerModulePath();
    Check(server.size() > 7 && server.substr(server.size() - 7) == FromOle(L".exe.so"),
          "ServerModulePath names the .exe.so");

    // Events through a connection point to a dispatch sink, arguments in natural order.
    ComPtr<Source> src = Make<Source>();
    LONG first = 0, second = 0;
    ComPtr<DispatchSink> sink = Make<DispatchSink>(
        kEventsIid, [&](DISPID, WORD, std::span<VARIANT* const> args, VARIANT*) {
          if (args.size() == 2) {
            first = V_I4(args[0]);
            second = V_I4(args[1]);
          }
          return S_OK;
        });
    ComPtr<IConnectionPoint> cp;
    DWORD cookie = 0;
    Check(src->FindConnectionPoint(kEventsIid, cp.GetAddressOf()) == S_OK, "FindConnectionPoint");
    Check(cp && cp->Advise(sink.Get(), &cookie) == S_OK, "Advise");
    Check(src->point_.FireDispatch(1, {Variant(1), Variant(2)}) == 1, "FireDispatch");
    Check(first == 1 && second == 2, "event arguments in natural order");
    Check(cp && cp->Unadvise(cookie) == S_OK, "Unadvise");

    // Late bound, out of process, into the kit's test server.
    CLSID clsid;
    ComPtr<IDispatch> calc;
    HRESULT hr = CLSIDFromProgID(L"Tessarel.KitCalcLocal", &clsid);
    if (SUCCEEDED(hr))
      hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, calc.PutVoid());
    Check(SUCCEEDED(hr), "CoCreateInstance Tessarel.KitCalcLocal");
    if (calc) {
      Variant r;
      Check(CallMethod(calc.Get(), L"Add", {Variant(20), Variant(22)}, &r) == S_OK &&
                V_VT(&r) == VT_I4 && V_I4(&r) == 42,
            "late-bound Add across processes");
    }
    std::printf("module: %s\n", WideToUtf8(Module::FileName()).c_str());
  }
  CoUninitialize();
  if (failures == 0) std::printf("kit_winelib_probe: ok\n");
  return failures == 0 ? 0 : 1;
}
