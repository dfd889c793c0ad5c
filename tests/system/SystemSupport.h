// What the system tests that drive the spreadsheet, Tessarel and OPC clients together share:
// COM for the test's thread, waiting for conditions and for texts in files, the spreadsheet
// through its automation object, an OPC client of the custom interfaces in this process, and a
// program folder with Tessarel in it.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <tlhelp32.h>

#include <OpcCommon.h>
#include <OpcDataAccess.h>

#include <string>
#include <utility>
#include <vector>

#include "WinTestSupport.h"
#include "common/ComPtr.h"
#include "common/Dispatch.h"
#include "common/Strings.h"
#include "common/Variant.h"

namespace systest {

using wintest::Process;
using wintest::ReadFile;
using wintest::TempFolder;

struct ComScope {
  ComScope() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  ~ComScope() { CoUninitialize(); }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
};

inline bool Registered(const char* key) {
  HKEY k;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key, 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
  RegCloseKey(k);
  return true;
}

inline bool Has(const std::string& s, const std::string& part) {
  return s.find(part) != std::string::npos;
}

// How many times part occurs in s.
inline int Count(const std::string& s, const std::string& part) {
  int n = 0;
  for (std::size_t at = s.find(part); at != std::string::npos; at = s.find(part, at + 1)) ++n;
  return n;
}

using wintest::WaitFor;

// Waits until a file (a client's output, Tessarel's log) contains the text, from `from` on;
// returns the position where it was found, or npos.
inline std::size_t WaitInFile(const std::string& path, const std::string& text, DWORD ms,
                              std::size_t from = 0) {
  std::size_t at = std::string::npos;
  WaitFor(
      [&] {
        at = ReadFile(path).find(text, from);
        return at != std::string::npos;
      },
      ms);
  return at;
}

// The IDs of the running processes of one program file ("SimServer.exe").
inline std::vector<DWORD> ProcessesNamed(const wchar_t* exe) {
  std::vector<DWORD> pids;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return pids;
  PROCESSENTRY32W pe{};
  pe.dwSize = sizeof pe;
  for (BOOL ok = Process32FirstW(snap, &pe); ok; ok = Process32NextW(snap, &pe))
    if (_wcsicmp(pe.szExeFile, exe) == 0) pids.push_back(pe.th32ProcessID);
  CloseHandle(snap);
  return pids;
}

// The spreadsheet as its user has it: started through COM, a workbook opened and edited through
// the automation object. Quit when the test ends.
class Spreadsheet {
 public:
  Spreadsheet() = default;
  Spreadsheet(const Spreadsheet&) = delete;
  Spreadsheet& operator=(const Spreadsheet&) = delete;
  ~Spreadsheet() {
    if (!app_) return;
    common::PutProperty(app_.Get(), L"DisplayAlerts", common::Variant(false));
    common::CallMethod(app_.Get(), L"Quit");
  }
  HRESULT Start() {
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(L"Excel.Application", &clsid);
    if (FAILED(hr)) return hr;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                          reinterpret_cast<void**>(app_.ReleaseAndGetAddressOf()));
    if (FAILED(hr)) {
      // Whether a spreadsheet process was started for the failed activation (and stays).
      std::string pids;
      for (DWORD p : ProcessesNamed(L"WorkbookServer.exe")) pids += " " + std::to_string(p);
      std::fprintf(stderr, "spreadsheet activation failed 0x%08lX; WorkbookServer processes now:%s\n",
                   static_cast<unsigned long>(hr), pids.empty() ? " none" : pids.c_str());
    }
    return hr;
  }
  // True when the running "Excel.Application" that Tessarel will attach to is this one, not a
  // spreadsheet some earlier program left running.
  bool IsTheActiveOne() {
    CLSID clsid;
    common::ComPtr<IUnknown> unk;
    common::ComPtr<IDispatch> active;
    common::Variant mine, theirs;
    return SUCCEEDED(CLSIDFromProgID(L"Excel.Application", &clsid)) &&
           SUCCEEDED(GetActiveObject(clsid, nullptr, unk.ReleaseAndGetAddressOf())) &&
           SUCCEEDED(unk->QueryInterface(IID_IDispatch, active.PutVoid())) &&
           SUCCEEDED(common::GetProperty(active.Get(), L"ProcessId", theirs.Ptr())) &&
           SUCCEEDED(common::GetProperty(app_.Get(), L"ProcessId", mine.Ptr())) &&
           V_VT(mine.Ptr()) == VT_I4 && V_VT(theirs.Ptr()) == VT_I4 &&
           V_I4(mine.Ptr()) == V_I4(theirs.Ptr());
  }
  // The spreadsheet's process, as its own "ProcessId" gives it; 0 when it cannot be read.
  DWORD ProcessId() {
    common::Variant pid;
    return SUCCEEDED(common::GetProperty(app_.Get(), L"ProcessId", pid.Ptr())) &&
                   V_VT(pid.Ptr()) == VT_I4
               ? static_cast<DWORD>(V_I4(pid.Ptr()))
               : 0;
  }
  // Lets go of a spreadsheet whose process has gone, without asking it to quit.
  void Abandon() {
    sheet_.Reset();
    book_.Reset();
    app_.Reset();
  }
  // Opens the workbook; its first worksheet is the one the other calls work on.
  HRESULT Open(const std::string& path) {
    common::Variant books, book, sheets, sheet;
    HRESULT hr = common::GetProperty(app_.Get(), L"Workbooks", books.Ptr());
    if (SUCCEEDED(hr))
      hr = common::CallMethod(V_DISPATCH(books.Ptr()), L"Open",
                              {common::Variant(common::AnsiToWide(path))}, book.Ptr());
    if (SUCCEEDED(hr)) hr = common::GetProperty(V_DISPATCH(book.Ptr()), L"Worksheets", sheets.Ptr());
    if (SUCCEEDED(hr))
      hr = common::GetProperty(V_DISPATCH(sheets.Ptr()), L"Item", sheet.Ptr(), {common::Variant(1)});
    if (FAILED(hr)) return hr;
    book_ = V_DISPATCH(book.Ptr());
    sheet_ = V_DISPATCH(sheet.Ptr());
    return S_OK;
  }
  HRESULT Put(const wchar_t* cell, const wchar_t* property, const common::Variant& v) {
    common::Variant range;
    HRESULT hr = common::GetProperty(sheet_.Get(), L"Range", range.Ptr(), {common::Variant(cell)});
    return SUCCEEDED(hr) ? common::PutProperty(V_DISPATCH(range.Ptr()), property, v) : hr;
  }
  HRESULT PutValue(const wchar_t* cell, const common::Variant& v) { return Put(cell, L"Value", v); }
  // Range(cell).Value as the automation object gives it, with its type (VT_R8, VT_BOOL, VT_BSTR,
  // VT_EMPTY for an empty cell); VT_ERROR with the failure when it cannot be read.
  common::Variant Value(const wchar_t* cell) {
    common::Variant range, value;
    HRESULT hr = common::GetProperty(sheet_.Get(), L"Range", range.Ptr(), {common::Variant(cell)});
    if (SUCCEEDED(hr)) hr = common::GetProperty(V_DISPATCH(range.Ptr()), L"Value", value.Ptr());
    if (FAILED(hr)) {
      common::Variant failed;
      V_VT(failed.Ptr()) = VT_ERROR;
      V_ERROR(failed.Ptr()) = hr;
      return failed;
    }
    return value;
  }
  // Range(cell).Text, the cell as the sheet shows it; "<error>" when it cannot be read.
  std::string Text(const wchar_t* cell) {
    common::Variant range, text;
    if (FAILED(common::GetProperty(sheet_.Get(), L"Range", range.Ptr(), {common::Variant(cell)})) ||
        FAILED(common::GetProperty(V_DISPATCH(range.Ptr()), L"Text", text.Ptr())) ||
        V_VT(text.Ptr()) != VT_BSTR)
      return "<error>";
    return common::OleToUtf8(V_BSTR(text.Ptr()));
  }
  // Application.Calculation, or 0 when it cannot be read.
  long Calculation() {
    common::Variant c;
    if (FAILED(common::GetProperty(app_.Get(), L"Calculation", c.Ptr())) ||
        FAILED(VariantChangeType(c.Ptr(), c.Ptr(), 0, VT_I4)))
      return 0;
    return V_I4(c.Ptr());
  }
  HRESULT SetCalculation(long mode) {
    return common::PutProperty(app_.Get(), L"Calculation", common::Variant(static_cast<int>(mode)));
  }
  long BookCount() {
    common::Variant books, count;
    if (FAILED(common::GetProperty(app_.Get(), L"Workbooks", books.Ptr())) ||
        FAILED(common::GetProperty(V_DISPATCH(books.Ptr()), L"Count", count.Ptr())))
      return -1;
    return V_I4(count.Ptr());
  }
  // Closes the workbook without saving, as a user closing it in the spreadsheet would.
  HRESULT CloseBook() {
    sheet_.Reset();
    HRESULT hr = common::CallMethod(book_.Get(), L"Close", {common::Variant(false)});
    book_.Reset();
    return hr;
  }

 private:
  common::ComPtr<IDispatch> app_, book_, sheet_;
};

// A cell's value as the test reads it in a failure message: "R8 2.5", "BOOL True", "BSTR text".
inline std::string Describe(const VARIANT& v) {
  std::string type;
  switch (V_VT(&v)) {
    case VT_EMPTY: return "EMPTY";
    case VT_ERROR: return "ERROR " + common::HResultHex(V_ERROR(&v));
    case VT_R8: type = "R8"; break;
    case VT_R4: type = "R4"; break;
    case VT_I4: type = "I4"; break;
    case VT_I2: type = "I2"; break;
    case VT_BOOL: type = "BOOL"; break;
    case VT_BSTR: type = "BSTR"; break;
    case VT_DATE: type = "DATE"; break;
    default: type = "VT" + std::to_string(V_VT(&v)); break;
  }
  VARIANT s;
  VariantInit(&s);
  std::string text = "?";
  if (SUCCEEDED(VariantChangeTypeEx(&s, const_cast<VARIANT*>(&v), 0x409, VARIANT_ALPHABOOL, VT_BSTR)))
    text = common::OleToUtf8(V_BSTR(&s));
  VariantClear(&s);
  return type + " " + text;
}

// An OPC client in this process, through the custom interfaces (OpcProxy.dll marshals them):
// one group with the given items, synchronous reads and writes. Tessarel's server unless
// another ProgID is given.
class OpcSession {
 public:
  OpcSession() = default;
  OpcSession(const OpcSession&) = delete;
  OpcSession& operator=(const OpcSession&) = delete;
  ~OpcSession() { Close(); }
  void Close() {
    if (io_) io_->Release();
    if (items_) items_->Release();
    if (server_) server_->Release();
    io_ = nullptr;
    items_ = nullptr;
    server_ = nullptr;
    handles_.clear();
  }
  std::string Connect(const std::vector<std::wstring>& ids,
                      const wchar_t* progId = L"Marrowby.Tessarel.1") {
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(progId, &clsid);
    if (SUCCEEDED(hr))
      hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                            reinterpret_cast<void**>(&server_));
    if (FAILED(hr)) return "cannot connect: " + common::HResultHex(hr);
    OPCHANDLE group = 0;
    DWORD revised = 0;
    hr = server_->AddGroup(L"system test", TRUE, 1000, 1, nullptr, nullptr, 0x409, &group, &revised,
                           IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(&items_));
    if (FAILED(hr)) return "AddGroup: " + common::HResultHex(hr);
    std::vector<OPCITEMDEF> defs(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
      defs[i] = {};
      defs[i].szAccessPath = const_cast<LPWSTR>(L"");
      defs[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
      defs[i].bActive = TRUE;
      defs[i].hClient = static_cast<OPCHANDLE>(i);
    }
    OPCITEMRESULT* res = nullptr;
    HRESULT* errs = nullptr;
    hr = items_->AddItems(static_cast<DWORD>(ids.size()), defs.data(), &res, &errs);
    if (FAILED(hr)) return "AddItems: " + common::HResultHex(hr);
    std::string why;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      if (FAILED(errs[i])) why += "item " + std::to_string(i) + ": " + common::HResultHex(errs[i]) + " ";
      handles_.push_back(res[i].hServer);
      CoTaskMemFree(res[i].pBlob);
    }
    CoTaskMemFree(res);
    CoTaskMemFree(errs);
    if (!why.empty()) return why;
    hr = items_->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(&io_));
    return FAILED(hr) ? "no IOPCSyncIO: " + common::HResultHex(hr) : std::string();
  }
  // One write call of several items (by their position in Connect's list); the call's result,
  // with each item's error in `errors`.
  HRESULT Write(const std::vector<std::pair<std::size_t, common::Variant>>& values,
                std::vector<HRESULT>& errors) {
    std::vector<OPCHANDLE> h;
    std::vector<VARIANT> v;
    for (auto& [index, value] : values) {
      h.push_back(handles_.at(index));
      v.push_back(value);  // shallow: Write only reads them
    }
    HRESULT* errs = nullptr;
    HRESULT hr = io_->Write(static_cast<DWORD>(h.size()), h.data(), v.data(), &errs);
    errors.assign(h.size(), E_UNEXPECTED);
    if (SUCCEEDED(hr) && errs) errors.assign(errs, errs + h.size());
    CoTaskMemFree(errs);
    return hr;
  }
  HRESULT Write1(std::size_t index, const common::Variant& value) {
    std::vector<HRESULT> errors;
    HRESULT hr = Write({{index, value}}, errors);
    return FAILED(hr) ? hr : errors[0];
  }
  // The item's value read from the server ("device" read), as text; quality in `quality`.
  std::string Read(std::size_t index, WORD& quality) {
    quality = 0;
    if (!io_ || index >= handles_.size()) return "<not connected>";
    OPCHANDLE h = handles_[index];
    OPCITEMSTATE* st = nullptr;
    HRESULT* errs = nullptr;
    lastRead_ = io_->Read(OPC_DS_DEVICE, 1, &h, &st, &errs);
    if (FAILED(lastRead_)) return "<read failed>";
    lastRead_ = errs[0];
    std::string text = "<error " + common::HResultHex(errs[0]) + ">";
    if (SUCCEEDED(errs[0])) {
      quality = st[0].wQuality;
      VARIANT s;
      VariantInit(&s);
      if (SUCCEEDED(VariantChangeTypeEx(&s, &st[0].vDataValue, 0x409, VARIANT_ALPHABOOL, VT_BSTR)))
        text = common::OleToUtf8(V_BSTR(&s));
      else
        text = "<no value>";
      VariantClear(&s);
    }
    VariantClear(&st[0].vDataValue);
    CoTaskMemFree(st);
    CoTaskMemFree(errs);
    return text;
  }
  std::string Read(std::size_t index) {
    WORD q;
    return Read(index, q);
  }
  // What the last Read met: the call's failure, else the item's result.
  HRESULT LastReadResult() const { return lastRead_; }

 private:
  IOPCServer* server_ = nullptr;
  IOPCItemMgt* items_ = nullptr;
  IOPCSyncIO* io_ = nullptr;
  std::vector<OPCHANDLE> handles_;
  HRESULT lastRead_ = S_OK;
};

// A program folder with Tessarel, its INI and tag database, and the workbook.
struct TessarelFolder {
  TempFolder dir;
  std::string bin = wintest::EnvPath("TESSAREL_BIN_DIR");
  explicit TessarelFolder(const char* tag) : dir(tag) {
    CopyFileA((bin + "\\Tessarel.exe").c_str(), dir.File("Tessarel.exe").c_str(), FALSE);
  }
  std::string Opc() const { return bin + "\\opcclient.exe"; }
  std::string Log() const { return ReadFile(dir.File("Tessarel.log")); }
  // Starts Tessarel and waits until it serves and has its hot links on the sheet: the log's
  // "ConnectToDdeServer: OK" line for the sheet (as the log names it), the n-th time (the log
  // keeps earlier runs).
  bool StartAndWait(Process& p, int run = 1, const std::string& sheet = "plant") {
    if (!wintest::Start(p, dir.File("Tessarel.exe"), "", dir.Path())) return false;
    const std::string ok = "ConnectToDdeServer: OK for Excel," + sheet;
    return WaitFor([&] { return Count(Log(), ok) >= run; }, 60000);
  }
};

inline bool Prerequisites(std::string& why) {
  if (!Registered("Excel.Application")) why = "the spreadsheet stand-in is not registered";
  else if (!Registered("CLSID\\{060A26E6-75AB-4B55-A66B-E273AAD0569B}"))
    why = "the DDE control is not registered";
  else if (!Registered("Marrowby.Tessarel.1")) why = "Tessarel is not registered";
  return why.empty();
}

}  // namespace systest
