// The OPC client bridge's connection to one other OPC server, through the OPC automation objects
// (Veltrane's OPCServer, reached only through COM): one group, the items of the client tag file,
// the last value and quality of each, values of read items written into cells of the client
// sheet as they change, and single values written back to the server.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <OPCAutomation.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ClientTag.h"
#include "KeyedCollection.h"
#include "common/ComPtr.h"
#include "common/Variant.h"

// The worksheet that receives the client's values. Writes is one notification's worth of cells
// and values, in notification order; the sheet may write neighbouring cells in one call. The
// result is the number of cells written (a refused cell does not stop the others).
struct CellWrite {
  std::string cell;      // A1
  const VARIANT* value;  // borrowed for the call
};
class IClientSheet {
 public:
  virtual ~IClientSheet() = default;
  virtual std::size_t SetValues(const std::vector<CellWrite>& writes) = 0;
};

struct ClientContext {
  std::function<void(const std::string&)> log;  // the program's log
  std::function<void()> countError;             // one more start-up error
  std::string programFolder;                    // where ServerAlias.ini is
  // A new OPCServer object of the automation wrapper.
  std::function<HRESULT(IOPCAutoServer**)> createServer;
};

class cOpcClient {
 public:
  static constexpr float kNotFound = -999.0f;
  static constexpr short kDataSourceDevice = 2;  // OPCDevice

  explicit cOpcClient(ClientContext context);
  ~cOpcClient();  // removes items and group and disconnects (the group is not disabled first)
  cOpcClient(const cOpcClient&) = delete;
  cOpcClient& operator=(const cOpcClient&) = delete;

  std::string Server;
  std::string Node = "localhost";

  const std::string& ServerAlias() const { return serverAlias_; }
  // A non-empty alias loads Server and Node from ServerAlias.ini in the program folder.
  void SetServerAlias(const std::string& alias);
  const std::string& Status() const { return status_; }
  void SetSheet(std::shared_ptr<IClientSheet> sheet) { sheet_ = std::move(sheet); }
  IClientSheet* Sheet() const { return sheet_.get(); }
  long UpdateRateSec() const { return updateRateSec_; }
  void SetUpdateRateSec(long seconds);  // clamped to 1..3600
  float DeadbandPercentage() const { return deadband_; }
  void SetDeadbandPercentage(float percent);  // 0 <= percent < 100, else ignored
  const std::string& GroupName() const { return groupName_; }

  bool Connect();
  void AddOPCItems(const std::vector<std::string>& strItems,
                   const std::vector<std::string>& strCells, const std::vector<bool>& bWrite);
  void Disconnect();
  void DisableGroup();

  // Cached value, or -999.0 (single) for an unknown item ID / index out of range.
  common::Variant ItemByTag(const std::string& strTagName) const;
  common::Variant ItemValue(long nIndex) const;  // 0-based
  // Writes the value to the server in the item's canonical data type (single when unknown);
  // nothing for an unknown item or a value that does not convert.
  void SetItemByTag(const std::string& strTagName, const VARIANT& value);
  void SetItemValue(long nIndex, const VARIANT& value);
  long ItemQuality(long nIndex) const;
  long QualityByTag(const std::string& strTagName) const;
  long DataTypeByTag(const std::string& strTagName) const;
  std::string CellByTag(const std::string& strTagName) const;
  std::string CellByIndex(long nIndex) const;
  std::string ItemStateText(long nIndex) const;  // "Good", "Bad", or the add error in hex
  long NumItems() const { return numItems_; }

  // ProgIDs of the OPC servers of this computer, as a string array in a variant (empty on error).
  common::Variant OPCServerList();
  // A new browser of the connected server's address space.
  common::ComPtr<OPCBrowser> OpcBrowserObject();
  // Sets browser from the connected server once; an existing browser is kept.
  void CreateBrowser(common::ComPtr<OPCBrowser>& browser);

  // Checks an item ID against the connected server without adding it (a scratch group, its
  // OPCItems' Validate with the requested variant type unless 0, the group removed again) and
  // says what the server answered, for the tag editor's report.
  std::string ValidateItem(const std::string& itemId, long requestedType);

  // Raised when the server announces it is shutting down.
  std::function<void(const std::string& reason)> ServerShutdown;

  // The group's DataChange; public so a notification can be delivered by the event sink and by
  // the tests alike. Arrays may come by value or by reference.
  void OnDataChange(long numItems, const VARIANT& clientHandles, const VARIANT& values,
                    const VARIANT& qualities);

  IOPCAutoServer* ConnectedServer() const { return server_.Get(); }
  IOPCGroup* ConnectedGroup() const { return group_.Get(); }

 private:
  struct Sink {
    common::ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
  };
  void AddGroup();
  void SyncReadAll();
  void RemoveItems();
  void RemoveGroup();
  void DisconnectServer();
  void AsyncWriteItem(long index, const VARIANT& value);
  void WriteIndex(long index, const VARIANT& value);
  // Caches one reported value; a good or uncertain one is queued for its cell.
  void Store(long handle, const VARIANT& value, long quality, std::vector<CellWrite>& cells);
  long IndexOf(const std::string& tag) const;  // 1-based, 0 when unknown
  void LogClientError(const std::string& context, long number);
  HRESULT Advise(IUnknown* source, REFIID events, IDispatch* sink, Sink& into);
  static void Unadvise(Sink& sink);

  ClientContext ctx_;
  std::string serverAlias_, status_;
  std::shared_ptr<IClientSheet> sheet_;
  std::string groupName_ = "Group1";
  long updateRateSec_ = 1;
  float deadband_ = 0.0f;

  common::ComPtr<IOPCAutoServer> server_;  // m_ConnectedOPCServer
  common::ComPtr<IOPCGroups> groups_;
  common::ComPtr<IOPCGroup> group_;        // m_ConnectedGroup
  common::ComPtr<OPCItems> items_;
  Sink serverSink_, groupSink_;

  long numItems_ = 0;
  // Indexed 1..numItems_ by client handle (element 0 unused).
  std::vector<std::string> itemIds_;
  std::vector<long> clientHandles_, srvHandles_, addErrors_, qualityCache_, dataTypes_;
  std::vector<common::Variant> valueCache_;
  std::vector<std::string> itemStateTexts_, cells_;
  std::vector<bool> writeFlags_;
  KeyedCollection<ClientTag> tags_;
};
