#include "ClientBridge.h"

#include "AutomationBrowser.h"
#include "ClientValues.h"
#include "ToolkitHost.h"
#include "common/Strings.h"
#include "common/Variant.h"

namespace {

// The texts of a one-dimensional array of strings (or of variants holding strings), from its
// lower to its upper bound.
std::optional<std::vector<std::string>> StringsOf(const VARIANT& v) {
  if (!(V_VT(&v) & VT_ARRAY)) return std::nullopt;
  SAFEARRAY* sa = (V_VT(&v) & VT_BYREF) ? (V_ARRAYREF(&v) ? *V_ARRAYREF(&v) : nullptr) : V_ARRAY(&v);
  VARTYPE vt = VT_EMPTY;
  LONG lo = 0, hi = -1;
  if (!sa || SafeArrayGetDim(sa) != 1 || FAILED(SafeArrayGetVartype(sa, &vt)) ||
      FAILED(SafeArrayGetLBound(sa, 1, &lo)) || FAILED(SafeArrayGetUBound(sa, 1, &hi)))
    return std::nullopt;
  std::vector<std::string> out;
  for (LONG i = lo; i <= hi; ++i) {
    common::Variant e;
    if (vt == VT_BSTR) {
      BSTR b = nullptr;
      if (FAILED(SafeArrayGetElement(sa, &i, &b))) return std::nullopt;
      V_VT(e.Ptr()) = VT_BSTR;
      V_BSTR(e.Ptr()) = b;
    } else if (vt != VT_VARIANT || FAILED(SafeArrayGetElement(sa, &i, e.Ptr()))) {
      return std::nullopt;
    }
    common::Variant text;
    if (FAILED(VariantChangeType(text.Ptr(), e.Ptr(), 0, VT_BSTR))) return std::nullopt;
    out.push_back(common::WideToAnsi(common::FromOle(V_BSTR(text.Ptr()))));
  }
  return out;
}

}  // namespace

void ClientBridge::Configure(const ClientSettings& s) {
  ClientNode = s.Node;
  ClientSheet = s.Sheet;
  // An empty setting names no file (a resolved empty path would be the program folder itself).
  ClientDatabaseFile = s.DatabaseKey.empty() ? std::string() : s.Database;
  SetClientOpcServer(s.Server);
  if (ctx_.showSheet) ctx_.showSheet(ClientSheet);
}

void ClientBridge::SetClientOpcServer(const std::string& progId) {
  ClientOpcServer = progId;
  ClientEnabled = !progId.empty();
  serverText_ = progId;
  if (ctx_.showServer) ctx_.showServer(progId, ClientEnabled);
}

void ClientBridge::NewClient() {
  ClientContext c;
  c.log = ctx_.log;
  c.countError = ctx_.countError;
  c.programFolder = ctx_.programFolder ? ctx_.programFolder() : std::string();
  c.createServer = ctx_.createServer;
  gOpcClient = std::make_unique<cOpcClient>(std::move(c));
  // A server that shuts down leaves the bridge as it is: no reconnection, no message.
  gOpcClient->ServerShutdown = [](const std::string&) {};
}

bool ClientBridge::AssignClientSheet(const std::string& name) {
  if (!gOpcClient || !ctx_.findSheet) return false;
  std::shared_ptr<IClientSheet> sheet = ctx_.findSheet(name);
  if (!sheet) return false;
  gOpcClient->SetSheet(std::move(sheet));
  return true;
}

void ClientBridge::Start() {
  NewClient();
  if (ClientSheet.empty()) {
    gOpcClient->Node = ClientNode;
    gOpcClient->Server = ClientOpcServer;
    ClientConnected = gOpcClient->Connect();
  } else if (!AssignClientSheet(ClientSheet)) {
    ctx_.log("Could not assign sheet to client");
    ClientConnected = false;
  } else {
    gOpcClient->Node = ClientNode;
    gOpcClient->Server = ClientOpcServer;
    ClientConnected = gOpcClient->Connect();
    if (!ClientDatabaseFile.empty() && ClientConnected) {
      if (ctx_.fileExists && ctx_.fileExists(ClientDatabaseFile)) {
        ClientTagList list = ctx_.loadTags(ClientDatabaseFile, ClientSheet);
        if (!list.items.empty()) gOpcClient->AddOPCItems(list.items, list.cells, list.writes);
      } else {
        ctx_.log("File " + ClientDatabaseFile + " does not exist");
        ctx_.countError();
      }
    }
  }
  if (!ClientConnected) {
    ctx_.log("Client not connected");
    ctx_.countError();
  }
}

void ClientBridge::ReselectClientServer(const std::string& progId) {
  if (!serverText_.empty()) {
    if (serverText_ == progId) return;
    gOpcClient.reset();  // removes its items and group and disconnects
    // The browser walked the old connection's address space: the tag editor makes a new one.
    gOpcBrowser.Reset();
  }
  SetClientOpcServer(progId);
  NewClient();
  if (ClientSheet.empty()) {
    gOpcClient->Node = ClientNode;
    gOpcClient->Server = progId;
    ClientConnected = gOpcClient->Connect();
    return;
  }
  if (!AssignClientSheet(ClientSheet)) {
    ClientConnected = false;
    return;
  }
  gOpcClient->Node = ClientNode;
  gOpcClient->Server = progId;
  ClientConnected = gOpcClient->Connect();
}

void ClientBridge::WriteClientTag(const OpcIndex&, const std::string& tagName,
                                  const std::string& text) {
  if (!gOpcClient) return;
  try {
    std::optional<TagValue> v =
        ClientWriteValue(gOpcClient->DataTypeByTag(tagName), text,
                         ctx_.trueText ? ctx_.trueText() : "TRUE",
                         ctx_.falseText ? ctx_.falseText() : "FALSE", ctx_.locale);
    if (!v) return;
    VARIANT var = ToVariant(*v);
    gOpcClient->SetItemByTag(tagName, var);
    VariantClear(&var);
  } catch (...) {
    // A failed conversion or write sends nothing.
  }
}

void ClientBridge::DisableAndDisconnect() {
  if (!gOpcClient) return;
  gOpcClient->DisableGroup();
  gOpcClient->Disconnect();
}

void ClientBridge::Disconnect() {
  if (gOpcClient && gOpcClient->ConnectedServer()) gOpcClient->Disconnect();
}

std::optional<std::vector<std::string>> ClientBridge::GetOPCServerList() {
  common::ComPtr<IOPCAutoServer> server;  // m_ThisOpcServer: only for this list
  if (!ctx_.createServer || FAILED(ctx_.createServer(server.ReleaseAndGetAddressOf())) || !server)
    return std::nullopt;
  common::Variant list;
  if (FAILED(server->GetOPCServers(common::Variant::Missing(), list.Ptr()))) return std::nullopt;
  return StringsOf(*list.Ptr());
}

void ClientBridge::SetClientSheet(const std::string& sheet) {
  ClientSheet = sheet;
  if (ctx_.showSheet) ctx_.showSheet(sheet);
}

void ClientBridge::SetClientDatabaseFile(const std::string& path) {
  ClientDatabaseFile = path;
  if (ctx_.showDatabase) ctx_.showDatabase(path);
}

TagEditorContext ClientBridge::TagEditorParts() {
  TagEditorContext t;
  t.serverProgId = ClientOpcServer;
  if (ClientConnected && gOpcClient) {
    gOpcClient->CreateBrowser(gOpcBrowser);
    if (gOpcBrowser) t.browser = std::make_unique<AutomationBrowser>(gOpcBrowser);
  }
  t.validate = [this](const std::string& itemId, long dataType) {
    return gOpcClient ? gOpcClient->ValidateItem(itemId, dataType)
                      : std::string("Not connected to an OPC server: the item cannot be tested");
  };
  t.selectedServer = [this] { return serverText_; };
  t.saved = [this](const std::string& sheet, const std::string& path) {
    SetClientSheet(sheet);
    SetClientDatabaseFile(path);
  };
  // Done takes the sheet for this run only; the frame keeps showing the sheet it showed.
  t.done = [this](const std::string& sheet) { ClientSheet = sheet; };
  return t;
}
