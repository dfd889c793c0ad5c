// The automation objects of "Excel.Application" over the workbook engine. Every member returns
// an HRESULT; failures carry a description through IErrorInfo (DISP_E_EXCEPTION for late-bound
// callers), no C++ exception leaves a member.
#pragma once
#include <common/Kit.h>

#include "DispatchBase.h"

#include "ServerState.h"
#include "WorkbookServer.h"

namespace wbs {

// Excel's "application-defined or object-defined error".
inline constexpr HRESULT kAppError = static_cast<HRESULT>(0x800A03EC);

enum class CloseChoice { Ask, Save, Discard };

// Closes a workbook as the user or a client asks: WorkbookBeforeClose first (a handler may
// cancel), then saving or not. False with `error` when cancelled or when saving failed.
bool CloseWorkbook(Workbook* wb, CloseChoice choice, std::string& error, bool& cancelled);

// Closes every workbook and ends the process once the current call returns.
bool QuitApplication(std::string& error);

class Application final
    : public common::ComObject<Application, WbDispatch<IWbApplication>,
                               common::ConnectionPointContainer, IProvideClassInfo, IExternalConnection> {
 public:
  Application();

  // IWbApplication
  STDMETHODIMP get_Name(BSTR* name) override;
  STDMETHODIMP get_Visible(VARIANT_BOOL* v) override;
  STDMETHODIMP put_Visible(VARIANT_BOOL v) override;
  STDMETHODIMP get_Workbooks(IWbWorkbooks** out) override;
  STDMETHODIMP get_ActiveWorkbook(IWbWorkbook** out) override;
  STDMETHODIMP get_Calculation(LONG* mode) override;
  STDMETHODIMP put_Calculation(LONG mode) override;
  STDMETHODIMP Calculate() override;
  STDMETHODIMP get_DisplayAlerts(VARIANT_BOOL* v) override;
  STDMETHODIMP put_DisplayAlerts(VARIANT_BOOL v) override;
  STDMETHODIMP Run(VARIANT macro, VARIANT* result) override;
  STDMETHODIMP Quit() override;
  STDMETHODIMP get_ProcessId(LONG* pid) override;

  // IProvideClassInfo: lets script hosts find the event interface (WScript.ConnectObject).
  STDMETHODIMP GetClassInfo(ITypeInfo** out) override;

  // IExternalConnection: strong connections of clients, for ending when the last one goes.
  STDMETHODIMP_(DWORD) AddConnection(DWORD type, DWORD reserved) override;
  STDMETHODIMP_(DWORD) ReleaseConnection(DWORD type, DWORD reserved, BOOL lastReleaseCloses) override;

  // Fires WorkbookBeforeClose; true when a handler cancelled.
  bool FireBeforeClose(Workbook* wb);
  void DropEventSinks() { UnadviseAllPoints(); }

  bool EverConnected() const { return everConnected_; }
  long Connections() const { return connections_; }

  static HRESULT CreateInstance(REFIID riid, void** ppv);

 private:
  common::ConnectionPoint* events_ = nullptr;
  long connections_ = 0;
  bool everConnected_ = false;
};

// Creates the automation object for one workbook (IWbWorkbook), for events and the window.
HRESULT NewWorkbookObject(Workbook* wb, IWbWorkbook** out);

// The VARIANT a cell's value is read as, and the cell value a VARIANT written to a cell makes.
HRESULT CellToVariant(const CellValue& v, VARIANT* out);
// Strings are typed entries ("=A1*2" a formula, "12" a number); false with `error` when the
// variant cannot be a cell value.
bool WriteVariantToCell(Workbook* wb, int sheet, CellPos p, const VARIANT& v, std::string& error);

}  // namespace wbs
