// "Excel.Application" driven out of process through IDispatch, as Tessarel drives it.
#include <gtest/gtest.h>

#include <fstream>

#include "ServerClient.h"

using namespace wbs_test;

namespace {

class Automation : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
  static void TearDownTestSuite() { CoUninitialize(); }

  void SetUp() override {
    dir_ = ScratchFolder("wbs-automation");
    app_ = NewExcel();
    pid_ = Long(Get(app_.Get(), "ProcessId"));
    Put(app_.Get(), "DisplayAlerts", Variant(false));
  }
  void TearDown() override {
    if (app_) {
      FailureOf([&] { Call(app_.Get(), "Quit"); });
      app_ = nullptr;
      EXPECT_TRUE(WaitProcessGone(static_cast<DWORD>(pid_), 10000)) << "the server did not end after Quit";
    }
  }

  // A workbook file made through the server itself: Sheet1!A1 = 2, B1 = A1*21, "Data" sheet 2.
  std::string MakeBook(const std::string& name) {
    ComPtr<IDispatch> books = Obj(Get(app_.Get(), "Workbooks"));
    ComPtr<IDispatch> wb = Obj(Call(books.Get(), "Add"));
    ComPtr<IDispatch> ws = Obj(Get(Obj(Get(wb.Get(), "Worksheets")).Get(), "Item", {Variant(1)}));
    Put(Obj(Get(ws.Get(), "Range", {Variant(L"A1")})).Get(), "Value", Variant(2));
    Put(Obj(Get(ws.Get(), "Range", {Variant(L"B1")})).Get(), "Formula", Variant(L"=A1*21"));
    const std::string path = dir_ + name;
    Call(wb.Get(), "SaveAs", {Variant(W(path))});
    Call(wb.Get(), "Close");
    return path;
  }
  ComPtr<IDispatch> Sheet(IDispatch* wb, int i) {
    return Obj(Get(Obj(Get(wb, "Worksheets")).Get(), "Item", {Variant(i)}));
  }
  ComPtr<IDispatch> Range(IDispatch* ws, const wchar_t* ref) { return Obj(Get(ws, "Range", {Variant(ref)})); }

  std::string dir_;
  ComPtr<IDispatch> app_;
  long pid_ = 0;
};

TEST_F(Automation, OpensReadOnlyAndWritableAndOnlyTheWritableOneSaves) {
  const std::string path = MakeBook("Plant.xlsx");
  ComPtr<IDispatch> books = Obj(Get(app_.Get(), "Workbooks"));
  EXPECT_EQ(Long(Get(books.Get(), "Count")), 0);

  // Excel's argument positions: FileName, UpdateLinks, ReadOnly.
  ComPtr<IDispatch> ro = Obj(Call(books.Get(), "Open", {Variant(W(path)), Variant::Missing(), Variant(true)}));
  EXPECT_EQ(Str(Get(ro.Get(), "Name")), "Plant.xlsx");
  EXPECT_TRUE(_stricmp(Str(Get(ro.Get(), "FullName")).c_str(), path.c_str()) == 0) << Str(Get(ro.Get(), "FullName"));
  EXPECT_EQ(Long(Get(books.Get(), "Count")), 1);
  ComPtr<IDispatch> ws = Sheet(ro.Get(), 1);
  EXPECT_EQ(Str(Get(Range(ws.Get(), L"B1").Get(), "Value")), "42");
  Put(Range(ws.Get(), L"A1").Get(), "Value", Variant(3));
  EXPECT_EQ(Str(Get(Range(ws.Get(), L"B1").Get(), "Text")), "63");
  EXPECT_NE(FailureOf([&] { Call(ro.Get(), "Save"); }), S_OK) << "a read-only workbook must refuse Save";
  Call(ro.Get(), "Close", {Variant(false)});
  EXPECT_EQ(Long(Get(books.Get(), "Count")), 0);
  // The closed workbook's objects fail cleanly.
  EXPECT_NE(FailureOf([&] { Get(ro.Get(), "Name"); }), S_OK);
  EXPECT_NE(FailureOf([&] { Get(Range(ws.Get(), L"A1").Get(), "Value"); }), S_OK);

  ComPtr<IDispatch> rw = Obj(Call(books.Get(), "Open", {Variant(W(path))}));
  ws = Sheet(rw.Get(), 1);
  EXPECT_EQ(Str(Get(Range(ws.Get(), L"A1").Get(), "Value")), "2");  // the read-only change was not saved
  Put(Range(ws.Get(), L"A1").Get(), "Value", Variant(5));
  Call(rw.Get(), "Save");
  Call(rw.Get(), "Close");
  rw = Obj(Call(books.Get(), "Open", {Variant(W(path)), Variant(0), Variant(true)}));
  EXPECT_EQ(Str(Get(Range(Sheet(rw.Get(), 1).Get(), L"B1").Get(), "Value")), "105");

  // Items by position and by name; bad ones are errors, not crashes.
  EXPECT_EQ(Str(Get(Obj(Get(books.Get(), "Item", {Variant(L"plant.xlsx")})).Get(), "Name")), "Plant.xlsx");
  EXPECT_EQ(FailureOf([&] { Get(books.Get(), "Item", {Variant(2)}); }), DISP_E_BADINDEX);
  EXPECT_EQ(FailureOf([&] { Get(Obj(Get(rw.Get(), "Worksheets")).Get(), "Item", {Variant(L"NoSuchSheet")}); }),
            DISP_E_BADINDEX);
  EXPECT_NE(FailureOf([&] { Call(books.Get(), "Open", {Variant(W(dir_ + "missing.xlsx"))}); }), S_OK);
  EXPECT_NE(FailureOf([&] { Get(Sheet(rw.Get(), 1).Get(), "Range", {Variant(L"not a cell")}); }), S_OK);
  EXPECT_EQ(Str(Get(Obj(Get(app_.Get(), "ActiveWorkbook")).Get(), "Name")), "Plant.xlsx");
}

TEST_F(Automation, CalculationModesHoldAndReleaseRecalculation) {
  ComPtr<IDispatch> wb = Obj(Call(Obj(Get(app_.Get(), "Workbooks")).Get(), "Open", {Variant(W(MakeBook("Calc.xlsx")))}));
  ComPtr<IDispatch> ws = Sheet(wb.Get(), 1);
  EXPECT_EQ(Long(Get(app_.Get(), "Calculation")), -4105);
  Put(app_.Get(), "Calculation", Variant(-4135));
  EXPECT_EQ(Long(Get(app_.Get(), "Calculation")), -4135);
  Put(Range(ws.Get(), L"A1").Get(), "Value", Variant(10));
  EXPECT_EQ(Str(Get(Range(ws.Get(), L"B1").Get(), "Value")), "42") << "manual mode recalculated";
  Call(app_.Get(), "Calculate");
  EXPECT_EQ(Str(Get(Range(ws.Get(), L"B1").Get(), "Value")), "210");
  Put(Range(ws.Get(), L"A1").Get(), "Value", Variant(1));
  Put(app_.Get(), "Calculation", Variant(2));  // semiautomatic: recalculates like automatic
  EXPECT_EQ(Long(Get(app_.Get(), "Calculation")), 2);
  EXPECT_EQ(Str(Get(Range(ws.Get(), L"B1").Get(), "Value")), "21");
  Put(Range(ws.Get(), L"A1").Get(), "Value", Variant(4));
  EXPECT_EQ(Str(Get(Range(ws.Get(), L"B1").Get(), "Value")), "84");
  EXPECT_NE(FailureOf([&] { Put(app_.Get(), "Calculation", Variant(5)); }), S_OK);
  EXPECT_EQ(Long(Get(app_.Get(), "Calculation")), 2);
  Put(app_.Get(), "Calculation", Variant(-4105));
  EXPECT_EQ(Long(Get(app_.Get(), "Calculation")), -4105);
}

TEST_F(Automation, MacrosRunByNameAndUnknownOnesAreErrors) {
  const std::string path = MakeBook("Counter.xlsx");
  {
    std::ofstream m(dir_ + "Counter.macros", std::ios::binary);
    m << "[Increment]\r\nSheet1!A1 = Sheet1!A1 + 1\r\n[Stamp]\r\nC1 = \"ran \" & A1\r\n";
  }
  ComPtr<IDispatch> wb = Obj(Call(Obj(Get(app_.Get(), "Workbooks")).Get(), "Open", {Variant(W(path))}));
  ComPtr<IDispatch> ws = Sheet(wb.Get(), 1);
  Call(app_.Get(), "Run", {Variant(L"Increment")});
  Call(app_.Get(), "Run", {Variant(L"Counter.xlsx!Increment")});
  EXPECT_EQ(Str(Get(Range(ws.Get(), L"A1").Get(), "Value")), "4");
  EXPECT_EQ(Str(Get(Range(ws.Get(), L"B1").Get(), "Value")), "84");
  Call(app_.Get(), "Run", {Variant(L"Stamp")});
  EXPECT_EQ(Str(Get(Range(ws.Get(), L"C1").Get(), "Value")), "ran 4");
  EXPECT_NE(FailureOf([&] { Call(app_.Get(), "Run", {Variant(L"NoSuchMacro")}); }), S_OK);
  // The server is still there and well.
  EXPECT_EQ(Str(Get(Range(ws.Get(), L"A1").Get(), "Value")), "4");
}

TEST_F(Automation, RangeWritesOfEveryTypeReadBackAsThatType) {
  ComPtr<IDispatch> wb = Obj(Call(Obj(Get(app_.Get(), "Workbooks")).Get(), "Add"));
  ComPtr<IDispatch> ws = Sheet(wb.Get(), 1);
  struct Case {
    const wchar_t* cell;
    Variant value;
    VARTYPE readType;
    std::string text;
  };
  Variant date = Variant::Date(45000.5);  // 3/15/2023 12:00
  Case cases[] = {
      {L"A1", Variant(1.5f), VT_R8, "1.5"},
      {L"A2", Variant(short(-7)), VT_R8, "-7"},
      {L"A3", Variant(123456789), VT_R8, "123456789"},
      {L"A4", Variant(0.1), VT_R8, "0.1"},
      {L"A5", Variant(true), VT_BOOL, "TRUE"},
      {L"A6", Variant(false), VT_BOOL, "FALSE"},
      {L"A7", Variant(L"pump 7"), VT_BSTR, "pump 7"},
      {L"A8", date, VT_DATE, "3/15/2023 12:00"},
      {L"A9", Variant(L"12"), VT_R8, "12"},  // a string is typed in, as into a cell
      {L"A10", Variant(1e40), VT_R8, "1E+40"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(common::WideToUtf8(common::WString(reinterpret_cast<const common::WChar*>(c.cell))));
    ComPtr<IDispatch> r = Range(ws.Get(), c.cell);
    Put(r.Get(), "Value", c.value);
    Variant back = Get(r.Get(), "Value");
    EXPECT_EQ(V_VT(&back), c.readType);
    EXPECT_EQ(Str(Get(r.Get(), "Text")), c.text);
  }
  EXPECT_DOUBLE_EQ(Dbl(Get(Range(ws.Get(), L"A1").Get(), "Value")), 1.5);
  EXPECT_DOUBLE_EQ(Dbl(Get(Range(ws.Get(), L"A8").Get(), "Value")), 45000.5);
  // Formulas through Formula and Value, errors as CVErr values, empty clears.
  Put(Range(ws.Get(), L"B1").Get(), "Formula", Variant(L"=A1*2"));
  EXPECT_EQ(Str(Get(Range(ws.Get(), L"B1").Get(), "Value")), "3");
  EXPECT_EQ(Str(Get(Range(ws.Get(), L"B1").Get(), "Formula")), "=A1*2");
  Put(Range(ws.Get(), L"B2").Get(), "Value", Variant(L"=1/0"));
  Variant err = Get(Range(ws.Get(), L"B2").Get(), "Value");
  EXPECT_EQ(V_VT(&err), VT_ERROR);
  EXPECT_EQ(static_cast<unsigned>(V_ERROR(&err)), 0x800A07D7u);  // CVErr(xlErrDiv0)
  EXPECT_EQ(Str(Get(Range(ws.Get(), L"B2").Get(), "Text")), "#DIV/0!");
  Put(Range(ws.Get(), L"A1").Get(), "Value", Variant());
  EXPECT_EQ(Get(Range(ws.Get(), L"A1").Get(), "Value").Type(), VT_EMPTY);
  EXPECT_EQ(Str(Get(Range(ws.Get(), L"B1").Get(), "Value")), "0");
  // A value passed by reference, as script hosts pass variables.
  double d = 6.25;
  VARIANT ref;
  VariantInit(&ref);
  V_VT(&ref) = VT_R8 | VT_BYREF;
  V_R8REF(&ref) = &d;
  Put(Range(ws.Get(), L"C1").Get(), "Value", Variant(ref));
  EXPECT_EQ(Str(Get(Range(ws.Get(), L"C1").Get(), "Text")), "6.25");
  // Refused: a bad formula (the cell keeps its value) and a value no cell can hold.
  EXPECT_NE(FailureOf([&] { Put(Range(ws.Get(), L"C1").Get(), "Formula", Variant(L"=1+")); }), S_OK);
  EXPECT_EQ(Str(Get(Range(ws.Get(), L"C1").Get(), "Text")), "6.25");
  EXPECT_NE(FailureOf([&] { Put(Range(ws.Get(), L"C2").Get(), "Value", Variant(static_cast<IDispatch*>(ws.Get()))); }), S_OK);
  // A range of several cells takes one value into each and reads back as a 2-D array.
  Put(Range(ws.Get(), L"D1:E2").Get(), "Value", Variant(7));
  Variant block = Get(Range(ws.Get(), L"D1:E2").Get(), "Value");
  ASSERT_EQ(V_VT(&block), VT_ARRAY | VT_VARIANT);
  EXPECT_EQ(SafeArrayGetDim(V_ARRAY(&block)), 2u);
  LONG idx[2] = {2, 2};
  Variant e;
  ASSERT_TRUE(SUCCEEDED(SafeArrayGetElement(V_ARRAY(&block), idx, &e)));
  EXPECT_EQ(Str(e), "7");
}

TEST_F(Automation, EachCreationIsANewProcessAndTheRunningOneIsFoundInTheTable) {
  CLSID clsid;
  ASSERT_TRUE(SUCCEEDED(CLSIDFromProgID(L"Excel.Application", &clsid)));
  ComPtr<IUnknown> active;
  ASSERT_TRUE(SUCCEEDED(GetActiveObject(clsid, nullptr, active.GetAddressOf())));
  ComPtr<IDispatch> attached;
  ASSERT_TRUE(SUCCEEDED(active->QueryInterface(IID_IDispatch, attached.PutVoid())));
  // Our own instance is the only one running, so it is the one attached to.
  EXPECT_EQ(Long(Get(attached.Get(), "ProcessId")), pid_);
  Call(Obj(Get(attached.Get(), "Workbooks")).Get(), "Add");
  EXPECT_EQ(Long(Get(Obj(Get(app_.Get(), "Workbooks")).Get(), "Count")), 1);

  ComPtr<IDispatch> second = NewExcel();
  const long pid2 = Long(Get(second.Get(), "ProcessId"));
  EXPECT_NE(pid2, pid_);
  EXPECT_EQ(Long(Get(Obj(Get(second.Get(), "Workbooks")).Get(), "Count")), 0);
  Call(second.Get(), "Quit");
  second = nullptr;
  EXPECT_TRUE(WaitProcessGone(static_cast<DWORD>(pid2), 10000));
}

TEST_F(Automation, QuitWithoutAlertsDiscardsUnsavedChangesAndEndsTheProcess) {
  const std::string path = MakeBook("Quit.xlsx");
  ComPtr<IDispatch> wb = Obj(Call(Obj(Get(app_.Get(), "Workbooks")).Get(), "Open", {Variant(W(path))}));
  Put(Range(Sheet(wb.Get(), 1).Get(), L"A1").Get(), "Value", Variant(99));
  EXPECT_EQ(Long(Get(wb.Get(), "Saved")), 0);
  Put(app_.Get(), "DisplayAlerts", Variant(false));
  Call(app_.Get(), "Quit");
  wb = nullptr;
  app_ = nullptr;
  EXPECT_TRUE(WaitProcessGone(static_cast<DWORD>(pid_), 10000));
  // A new instance sees the file as it was saved.
  app_ = NewExcel();
  pid_ = Long(Get(app_.Get(), "ProcessId"));
  Put(app_.Get(), "DisplayAlerts", Variant(false));
  wb = Obj(Call(Obj(Get(app_.Get(), "Workbooks")).Get(), "Open", {Variant(W(path)), Variant::Missing(), Variant(true)}));
  EXPECT_EQ(Str(Get(Range(Sheet(wb.Get(), 1).Get(), L"A1").Get(), "Value")), "2");
}

TEST_F(Automation, AProcessComStartedEndsWhenItsLastClientLetsGo) {
  ComPtr<IDispatch> other = NewExcel();
  const long pid = Long(Get(other.Get(), "ProcessId"));
  ComPtr<IDispatch> books = Obj(Get(other.Get(), "Workbooks"));
  other = nullptr;
  Pump(1500);
  EXPECT_FALSE(WaitProcessGone(static_cast<DWORD>(pid), 0)) << "ended while a client still held its Workbooks";
  books = nullptr;
  EXPECT_TRUE(WaitProcessGone(static_cast<DWORD>(pid), 10000));
}

TEST_F(Automation, WorkbookBeforeCloseReachesAnEventSinkThatMayCancel) {
  ComPtr<IDispatch> wb = Obj(Call(Obj(Get(app_.Get(), "Workbooks")).Get(), "Add"));
  ComPtr<IConnectionPointContainer> cpc;
  ASSERT_TRUE(SUCCEEDED(app_->QueryInterface(IID_IConnectionPointContainer, cpc.PutVoid())));
  // The event interface from the server's own type information.
  ComPtr<IProvideClassInfo> pci;
  ASSERT_TRUE(SUCCEEDED(app_->QueryInterface(IID_IProvideClassInfo, pci.PutVoid())));
  ComPtr<ITypeInfo> coclass;
  ASSERT_TRUE(SUCCEEDED(pci->GetClassInfo(coclass.GetAddressOf())));
  IID events = IID_NULL;
  TYPEATTR* ta = nullptr;
  ASSERT_TRUE(SUCCEEDED(coclass->GetTypeAttr(&ta)));
  for (UINT i = 0; i < ta->cImplTypes; ++i) {
    INT flags = 0;
    HREFTYPE href;
    ComPtr<ITypeInfo> ti;
    TYPEATTR* a = nullptr;
    if (SUCCEEDED(coclass->GetImplTypeFlags(i, &flags)) && (flags & IMPLTYPEFLAG_FSOURCE) &&
        SUCCEEDED(coclass->GetRefTypeOfImplType(i, &href)) && SUCCEEDED(coclass->GetRefTypeInfo(href, ti.GetAddressOf())) &&
        SUCCEEDED(ti->GetTypeAttr(&a))) {
      events = a->guid;
      ti->ReleaseTypeAttr(a);
    }
  }
  coclass->ReleaseTypeAttr(ta);
  ASSERT_FALSE(IsEqualIID(events, IID_NULL));
  ComPtr<IConnectionPoint> cp;
  ASSERT_TRUE(SUCCEEDED(cpc->FindConnectionPoint(events, cp.GetAddressOf())));

  int fired = 0;
  bool cancel = true;
  std::string closingName;
  auto sink = common::Make<common::DispatchSink>(events, [&](DISPID id, WORD, std::span<VARIANT* const> args, VARIANT*) -> HRESULT {
    if (id != 0x622 || args.size() != 2) return DISP_E_MEMBERNOTFOUND;
    ++fired;
    if (V_VT(args[0]) == VT_DISPATCH) closingName = Str(Get(V_DISPATCH(args[0]), "Name"));
    if (V_VT(args[1]) == (VT_BOOL | VT_BYREF)) *V_BOOLREF(args[1]) = cancel ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  });
  DWORD cookie = 0;
  ASSERT_TRUE(SUCCEEDED(cp->Advise(sink->Unknown(), &cookie)));
  Call(wb.Get(), "Close", {Variant(false)});
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(closingName, "Book1");
  EXPECT_EQ(Long(Get(Obj(Get(app_.Get(), "Workbooks")).Get(), "Count")), 1) << "the handler cancelled the close";
  cancel = false;
  Call(wb.Get(), "Close", {Variant(false)});
  EXPECT_EQ(fired, 2);
  EXPECT_EQ(Long(Get(Obj(Get(app_.Get(), "Workbooks")).Get(), "Count")), 0);
  EXPECT_TRUE(SUCCEEDED(cp->Unadvise(cookie)));
}

}  // namespace
