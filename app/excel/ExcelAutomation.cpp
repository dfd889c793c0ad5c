#include "ExcelAutomation.h"

#include <ocidl.h>

#include "common/ComObject.h"
#include "common/Dispatch.h"
#include "common/Strings.h"
#include "common/Variant.h"

using common::ComPtr;
using common::Variant;

namespace {

ComPtr<IDispatch> AsDispatch(VARIANT& v) {
  ComPtr<IDispatch> d;
  if (V_VT(&v) == VT_DISPATCH && V_DISPATCH(&v)) d = V_DISPATCH(&v);
  return d;
}

std::optional<long> AsLong(VARIANT& v) {
  Variant copy(v);
  if (FAILED(VariantChangeType(copy.Ptr(), copy.Ptr(), 0, VT_I4))) return std::nullopt;
  return static_cast<long>(V_I4(copy.Ptr()));
}

std::unique_ptr<IExcelApplication> Wrap(IUnknown* unk) {
  if (!unk) return nullptr;
  ComPtr<IDispatch> d;
  if (FAILED(unk->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(d.ReleaseAndGetAddressOf()))) || !d)
    return nullptr;
  return std::make_unique<DispatchExcelApplication>(d);
}

}  // namespace

std::unique_ptr<IExcelApplication> ComExcelConnector::CreateNew() {
  CLSID clsid;
  if (FAILED(CLSIDFromProgID(kProgId, &clsid))) return nullptr;
  ComPtr<IUnknown> unk;
  if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                              reinterpret_cast<void**>(unk.ReleaseAndGetAddressOf()))))
    return nullptr;
  return Wrap(unk.Get());
}

std::unique_ptr<IExcelApplication> ComExcelConnector::GetRunning() {
  CLSID clsid;
  if (FAILED(CLSIDFromProgID(kProgId, &clsid))) return nullptr;
  ComPtr<IUnknown> unk;
  if (FAILED(GetActiveObject(clsid, nullptr, unk.ReleaseAndGetAddressOf()))) return nullptr;
  return Wrap(unk.Get());
}

DispatchExcelApplication::DispatchExcelApplication(ComPtr<IDispatch> app) : app_(std::move(app)) {
  AdviseEvents();
}

DispatchExcelApplication::~DispatchExcelApplication() {
  if (point_ && cookie_) point_->Unadvise(cookie_);
}

void DispatchExcelApplication::AdviseEvents() {
  // The application's one outgoing interface carries its events; whichever IID the running
  // Excel gives it, the sink answers for that IID.
  ComPtr<IConnectionPointContainer> cpc;
  if (FAILED(app_->QueryInterface(IID_IConnectionPointContainer,
                                  reinterpret_cast<void**>(cpc.ReleaseAndGetAddressOf()))) ||
      !cpc)
    return;
  ComPtr<IEnumConnectionPoints> points;
  if (FAILED(cpc->EnumConnectionPoints(points.ReleaseAndGetAddressOf())) || !points) return;
  IConnectionPoint* cp = nullptr;
  ULONG got = 0;
  if (points->Next(1, &cp, &got) != S_OK || !cp) return;
  point_.Attach(cp);
  IID iid;
  if (FAILED(point_->GetConnectionInterface(&iid))) return;
  auto sink = common::Make<common::DispatchSink>(
      iid, [this](DISPID, WORD, std::span<VARIANT* const>, VARIANT*) -> HRESULT {
        // WorkbookBeforeClose (and any other application event): received, no action.
        ++beforeClose_;
        return S_OK;
      });
  if (FAILED(point_->Advise(sink.Get(), &cookie_))) cookie_ = 0;
}

ComPtr<IDispatch> DispatchExcelApplication::Workbooks() {
  Variant v;
  if (FAILED(common::GetProperty(app_.Get(), L"Workbooks", v.Ptr()))) return nullptr;
  return AsDispatch(v);
}

ComPtr<IDispatch> DispatchExcelApplication::Workbook(long position) {
  ComPtr<IDispatch> books = Workbooks();
  if (!books) return nullptr;
  Variant v;
  if (FAILED(common::GetProperty(books.Get(), L"Item", v.Ptr(), {Variant(static_cast<int>(position))})))
    return nullptr;
  return AsDispatch(v);
}

bool DispatchExcelApplication::SetVisible(bool visible) {
  return SUCCEEDED(common::PutProperty(app_.Get(), L"Visible", Variant(visible)));
}

std::optional<long> DispatchExcelApplication::WorkbookCount() {
  ComPtr<IDispatch> books = Workbooks();
  if (!books) return std::nullopt;
  Variant v;
  if (FAILED(common::GetProperty(books.Get(), L"Count", v.Ptr()))) return std::nullopt;
  return AsLong(v);
}

std::optional<std::string> DispatchExcelApplication::WorkbookFullName(long position) {
  ComPtr<IDispatch> book = Workbook(position);
  if (!book) return std::nullopt;
  Variant v;
  if (FAILED(common::GetProperty(book.Get(), L"FullName", v.Ptr())) || V_VT(v.Ptr()) != VT_BSTR)
    return std::nullopt;
  return common::WideToAnsi(common::FromOle(V_BSTR(v.Ptr())));
}

bool DispatchExcelApplication::OpenWorkbook(const std::string& path, bool readOnly) {
  ComPtr<IDispatch> books = Workbooks();
  if (!books) return false;
  Variant name(common::AnsiToWide(path));
  Variant result;
  HRESULT hr = readOnly ? common::CallMethod(books.Get(), L"Open",
                                             {name, Variant::Missing(), Variant(true)},
                                             result.Ptr())
                        : common::CallMethod(books.Get(), L"Open", {name}, result.Ptr());
  return SUCCEEDED(hr);
}

bool DispatchExcelApplication::CloseWorkbook(long position) {
  ComPtr<IDispatch> book = Workbook(position);
  return book && SUCCEEDED(common::CallMethod(book.Get(), L"Close"));
}

std::optional<long> DispatchExcelApplication::GetCalculation() {
  Variant v;
  if (FAILED(common::GetProperty(app_.Get(), L"Calculation", v.Ptr()))) return std::nullopt;
  return AsLong(v);
}

bool DispatchExcelApplication::SetCalculation(long mode) {
  return SUCCEEDED(common::PutProperty(app_.Get(), L"Calculation", Variant(static_cast<int>(mode))));
}

std::optional<bool> DispatchExcelApplication::GetDisplayAlerts() {
  Variant v;
  if (FAILED(common::GetProperty(app_.Get(), L"DisplayAlerts", v.Ptr()))) return std::nullopt;
  Variant b(v);
  if (FAILED(VariantChangeType(b.Ptr(), b.Ptr(), 0, VT_BOOL))) return std::nullopt;
  return V_BOOL(b.Ptr()) != VARIANT_FALSE;
}

bool DispatchExcelApplication::SetDisplayAlerts(bool on) {
  return SUCCEEDED(common::PutProperty(app_.Get(), L"DisplayAlerts", Variant(on)));
}

bool DispatchExcelApplication::Run(const std::string& macro) {
  Variant result;
  return SUCCEEDED(common::CallMethod(app_.Get(), L"Run",
                                      {Variant(common::AnsiToWide(macro))}, result.Ptr()));
}

bool DispatchExcelApplication::Quit() {
  bool ok = SUCCEEDED(common::CallMethod(app_.Get(), L"Quit"));
  if (point_ && cookie_) {
    point_->Unadvise(cookie_);
    cookie_ = 0;
  }
  return ok;
}
