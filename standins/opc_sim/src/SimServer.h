// SimServer: one program, two served personalities of the same simulated item tree.
//   "Sim.OPCDA.2"  OPC DA 2.0 (IOPCCommon, connection points, IOPCAsyncIO2, item properties)
//   "Sim.OPCDA.1"  OPC DA 1.0 (IOPCAsyncIO and IDataObject streams, no IOPCCommon)
// Both share the version-independent ProgID "Sim.OPCDA" (current version: DA 2.0).
#pragma once

#include "SimItems.h"

#include <opc_toolkit/ServerToolkit.h>

#include <functional>
#include <memory>
#include <string>

namespace opc_sim {

extern const CLSID CLSID_SimServerDA20;
extern const CLSID CLSID_SimServerDA10;
extern const GUID APPID_SimServer;
extern const wchar_t kVersionIndependentProgId[];

opc_toolkit::ToolkitConfig SimConfig(bool da10);

// Registers (install) or removes both personalities: the toolkit's keys, the
// version-independent ProgID with its OPC key, and for the DA 1.0 class only the DA 1.0
// category (the toolkit would also list it as DA 2.0, which it is not). LocalServer32 is
// serverExe (empty: this program).
HRESULT RegisterSimServer(bool install, const std::wstring& serverExe = std::wstring());

// One personality: a toolkit serving an item tree, answering the toolkit's events.
class SimPersonality : public opc_toolkit::IServerToolkitEvents {
 public:
  SimPersonality(bool da10, uint32_t seed);
  ~SimPersonality() override;

  HRESULT Populate() { return items_->Populate(); }
  opc_toolkit::IServerToolkit& Toolkit() { return *toolkit_; }
  SimItems& Items() { return *items_; }
  bool Da10() const { return da10_; }

  // Called with the reason when a client writes Control.Shutdown (from the write itself: the
  // owner should ask the clients later, from its loop, not inside the client's call).
  std::function<void(const std::wstring&)> onShutdownWrite;
  // Called with the remaining count when a client goes.
  std::function<void(long)> onClientsChanged;

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
  bool da10_;
  std::unique_ptr<opc_toolkit::IServerToolkit> toolkit_;
  std::unique_ptr<SimItems> items_;
};

}  // namespace opc_sim
