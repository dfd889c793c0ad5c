#include "ClientBridge.h"

#include "ClientValues.h"
#include "ToolkitHost.h"

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
