// Tessarel's side of the OPC server toolkit: the operations the program calls, the tag
// collection the database loader fills, and the toolkit's events turned into program actions.
#pragma once
#include <windows.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <opc_toolkit/ServerToolkit.h>

#include "AppPorts.h"
#include "DdeLink.h"
#include "ServerTagDatabase.h"

// VARIANT for a tag value (strings from the ANSI code page); the caller clears it.
VARIANT ToVariant(const TagValue& value);
// A written value in the program's terms (unknown types as their text).
TagValue FromVariant(const VARIANT& v);
// Text of an HRESULT for the log: the system's message, else its hexadecimal code.
std::string ErrorDescription(HRESULT hr);

class ToolkitHost : public IToolkitPort,
                    public IServedTagsPort,
                    public IServedTagUpdatePort,
                    public opc_toolkit::IServerToolkitEvents {
 public:
  struct Callbacks {
    std::function<void(long)> clientCount;  // shows the connected client count
    std::function<void()> lastClientGone;   // orderly shutdown and end
    // A client write: names and values in, per-item errors out, overall result returned.
    std::function<long(const std::vector<std::string>&, const std::vector<TagValue>&,
                       std::vector<long>&)>
        write;
  };

  explicit ToolkitHost(const opc_toolkit::ToolkitConfig& config = {});
  void SetCallbacks(Callbacks cb) { cb_ = std::move(cb); }
  opc_toolkit::IServerToolkit& Toolkit() { return *toolkit_; }

  // IToolkitPort
  void RegisterServer() override;
  void UnregisterServer() override;
  void StartServing() override;
  bool ClientsConnected() override;
  void RequestClientShutdown(const std::string& reason) override;

  // IServedTagsPort
  std::optional<std::string> Add(const std::string& name, long accessRights,
                                 const TagValue& initialValue, short quality,
                                 OleDate timeStamp) override;

  // IServedTagUpdatePort
  void UpdateValue(const std::string& tag, const std::optional<TagValue>& value,
                   short quality) override;

  // IServerToolkitEvents
  void ServerClientConnected(long count) override;
  void ServerClientDisconnected(long remaining) override;
  void ValidateItems(long count, const wchar_t* const* names, long* errors,
                     long& result) override;
  void WriteItems(long count, const wchar_t* const* names, const VARIANT* values, long* errors,
                  long& result) override;
  void WriteItemsEx(long count, const wchar_t* const* names, const VARIANT* values,
                    const short* qualities, const DATE* timeStamps, long* errors,
                    long& result) override;

 private:
  std::unique_ptr<opc_toolkit::IServerToolkit> toolkit_;
  Callbacks cb_;
};

std::wstring Widen(const std::string& ansi);
