// The OPC server toolkit as its host program sees it: a tag space the host fills and updates,
// registration, serving, client counting and shutdown requests, and the events the host answers.
// Everything here is called, and every event raised, on the thread that called StartServing
// (apartment-threaded, window timers, no threads of our own); the host's message loop drives it.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <memory>
#include <string>

namespace opc_toolkit {

// Access rights of a served tag, as OPC defines them.
enum : long { kAccessRead = 1, kAccessReadWrite = 3 };

// Quality codes the host passes (the OPC quality word).
enum : short { kQualityBad = 0, kQualityGood = 192 };

// The stored identity of the served OPC server.
struct ToolkitConfig {
  std::wstring progId = L"Marrowby.Tessarel.1";
  // The class of the server object.
  CLSID clsid = {0x8D605FC4, 0x72C9, 0x44A0, {0xA3, 0x8E, 0x9A, 0x6F, 0xF1, 0xAB, 0x5E, 0x88}};
  // The second identifier: used as the AppID of the local server.
  GUID appId = {0xF0E5DAD3, 0x38F6, 0x4544, {0x87, 0x97, 0x72, 0x80, 0x3C, 0x81, 0x68, 0x5B}};
  std::wstring description = L"Marrowby Tessarel";
  std::wstring vendor = L"Marrowby";
  // The DA 1.0 personality: IOPCAsyncIO and IDataObject streams on groups, no IOPCCommon and no
  // connection points; the server also registers under the DA 1.0 category.
  bool da10 = false;
  // Client writes raise WriteItemsEx (with per-item qualities and time stamps) instead of
  // WriteItems.
  bool writeItemsEx = false;
  // LocalServer32 command; empty means this process's own executable.
  std::wstring serverCommand;
  // Extra switch(es) put into LocalServer32 after the command (e.g. a configuration path).
  std::wstring serverArguments;
};

class IServedTag {
 public:
  virtual ~IServedTag() = default;
  // Gives the tag a new value (nullptr: no value), quality and time stamp (0: now).
  virtual HRESULT UpdateValue(const VARIANT* valueOrNull, short quality, DATE timeStamp) = 0;
  virtual const std::wstring& Name() const = 0;
  virtual long AccessRights() const = 0;
  virtual VARTYPE DataType() const = 0;
  // Copies the current value into *value (the caller clears it), and its quality and time.
  virtual HRESULT Read(VARIANT* value, short* quality, DATE* timeStamp) const = 0;
  // An engineering-unit range (high above low) makes a numeric tag analog: clients' percent
  // deadbands then apply to it.
  virtual HRESULT SetEURange(double low, double high) {
    (void)low;
    (void)high;
    return E_NOTIMPL;
  }
};

class IServedTags {
 public:
  virtual ~IServedTags() = default;
  // Adds a tag; its data type is that of initialValue. E_INVALIDARG for an empty or malformed
  // name or access rights other than 1 or 3, OPC_E_DUPLICATENAME when the name is taken.
  virtual HRESULT Add(const wchar_t* name, long accessRights, const VARIANT& initialValue,
                      short quality, DATE timeStamp) = 0;
  // The tag of that name (names compare without regard to case), or nullptr.
  virtual IServedTag* Item(const wchar_t* name) = 0;
  virtual long Count() const = 0;
};

// Events the host answers. Arrays belong to the toolkit and are valid during the call only.
class IServerToolkitEvents {
 public:
  virtual ~IServerToolkitEvents() = default;
  virtual void ServerClientConnected(long count) = 0;
  virtual void ServerClientDisconnected(long remaining) = 0;
  // A client adds or validates items: errors[i] starts at 0; a non-zero error (an HRESULT)
  // refuses that item. A failing result refuses all.
  virtual void ValidateItems(long count, const wchar_t* const* names, long* errors,
                             long& result) = 0;
  // A client writes: errors[i] start at E_FAIL; the host sets 0 for each item it wrote.
  virtual void WriteItems(long count, const wchar_t* const* names, const VARIANT* values,
                          long* errors, long& result) = 0;
  // As WriteItems, with the written qualities and time stamps.
  virtual void WriteItemsEx(long count, const wchar_t* const* names, const VARIANT* values,
                            const short* qualities, const DATE* timeStamps, long* errors,
                            long& result) = 0;
};

class IServerToolkit {
 public:
  virtual ~IServerToolkit() = default;
  // Writes (removes) LocalServer32, ProgID, AppID, the ProgID's OPC key and the categories.
  virtual HRESULT RegisterServer() = 0;
  virtual HRESULT UnregisterServer() = 0;
  virtual IServedTags& ServedTags() = 0;
  // Registers the class object (REGCLS_MULTIPLEUSE): from now on clients may connect.
  virtual HRESULT StartServing() = 0;
  // Revokes the class object; connected clients keep working until they release.
  virtual void StopServing() = 0;
  virtual bool ClientsConnected() const = 0;
  virtual long ClientCount() const = 0;
  // Calls IOPCShutdown::ShutdownRequest(reason) on every client that advised it.
  virtual HRESULT RequestClientShutdown(const wchar_t* reason) = 0;
};

// events may be nullptr (no host answers: validation accepts, writes fail with E_FAIL).
std::unique_ptr<IServerToolkit> CreateServerToolkit(const ToolkitConfig& config,
                                                    IServerToolkitEvents* events);

// Creates a server object in this process, exactly as a connecting client's would be (it
// counts as a client until released). For hosts' and tests' own use; E_INVALIDARG for a
// toolkit not made by CreateServerToolkit.
HRESULT ConnectInProcess(IServerToolkit& toolkit, REFIID riid, void** ppv);

}  // namespace opc_toolkit
