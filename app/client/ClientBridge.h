// The OPC client bridge as the main window runs it: the client settings, the client start-up
// (sheet, connection, client tag file), the write cells' texts sent to the server, choosing
// another server, and the bridge's part in closing down. Owns gOpcClient.
#pragma once
#include <functional>
#include <memory>
#include <string>

#include "AppPorts.h"
#include "CellText.h"
#include "ClientTagFile.h"
#include "OpcIndex.h"
#include "cOpcClient.h"
#include "frmAddItem.h"

struct ClientBridgeContext {
  std::function<void(const std::string&)> log;
  std::function<void()> countError;
  std::function<std::string()> programFolder;
  std::function<HRESULT(IOPCAutoServer**)> createServer;
  // AssignClientSheet's look-up: the open workbook's worksheet of that name, or nothing.
  std::function<std::shared_ptr<IClientSheet>(const std::string&)> findSheet;
  std::function<bool(const std::string&)> fileExists;
  // Reads the client tag file, registering its write tags for the DDE link.
  std::function<ClientTagList(const std::string& path, const std::string& sheet)> loadTags;
  // The "OPC Client" frame: the server (and whether the tag editor button is enabled), the sheet.
  std::function<void(const std::string& server, bool enabled)> showServer;
  std::function<void(const std::string&)> showSheet;
  std::function<void(const std::string&)> showDatabase;
  std::function<std::string()> trueText, falseText;
  LocaleConversions locale = NeutralConversions();
};

class ClientBridge : public IClientBridgePort {
 public:
  explicit ClientBridge(ClientBridgeContext context) : ctx_(std::move(context)) {}
  ~ClientBridge() override = default;

  // IClientBridgePort
  void Configure(const ClientSettings& settings) override;
  bool ServerConfigured() override { return ClientEnabled; }
  void Start() override;
  void DisableAndDisconnect() override;
  void Disconnect() override;
  void Release() override { gOpcClient.reset(); }

  void SetClientOpcServer(const std::string& progId);
  // The Server text box; setting another ProgID connects to that server instead.
  std::string SelectedOpcServer() override { return serverText_; }
  void SetSelectedOpcServer(const std::string& progId) override { ReselectClientServer(progId); }
  void ReselectClientServer(const std::string& progId);
  std::optional<std::vector<std::string>> GetOPCServerList() override;

  bool AssignClientSheet(const std::string& name);
  // The client sheet and tag file for the next start, shown in the "OPC Client" frame.
  void SetClientSheet(const std::string& sheet);
  void SetClientDatabaseFile(const std::string& path);
  // The tag editor's part of the client: the server's name, a browser of its address space when
  // the client is connected (gOpcBrowser, made once), the item check, and what Save and Done
  // change.
  TagEditorContext TagEditorParts();
  // A write cell's text (as the DDE link delivers it) sent to its item on the server.
  void WriteClientTag(const OpcIndex& entry, const std::string& tagName, const std::string& text);

  std::string ClientOpcServer, ClientNode, ClientSheet, ClientDatabaseFile;
  bool ClientEnabled = false, ClientConnected = false;
  std::unique_ptr<cOpcClient> gOpcClient;
  common::ComPtr<OPCBrowser> gOpcBrowser;

 private:
  void NewClient();
  ClientBridgeContext ctx_;
  std::string serverText_;
};
