// The OPC servers of a node, and ProgID resolution on a node. One per OPCServer object; every
// activation and registry access goes through CurrentNodeServices().
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "portable/ProgIdSet.h"

namespace veltrane {

class ServerEnumerator {
 public:
  // Rebuilds the list of the node's OPC servers (node: ANSI name, null or "" for this
  // computer) and returns it as a new VT_BSTR SAFEARRAY, lower bound 1, in case-insensitive
  // order, each ProgID once (*out set to null first; out null: E_POINTER). Sources: the class
  // keys of the node's registry that have an "OPC" subkey (listed under their class's own
  // ProgID), then the node's server list service for the DA 1.0 and 2.0 categories. What those
  // sources cannot give is left out, never reported: the result is S_OK whenever the array can
  // be built (E_OUTOFMEMORY / E_FAIL as for every output array).
  HRESULT ListServers(const char* node, SAFEARRAY** out) noexcept;

  // The CLSID for `progId` on the node (out null: E_POINTER; progId null: E_INVALIDARG):
  // first the node's server list service (CLSIDFromProgID), then the node's registry
  // "<ProgID>\CLSID" default value through CLSIDFromString. Registry failures come back in the
  // FACILITY_WIN32 form (a missing key: 0x80070002); CLSIDFromString's failure as is.
  HRESULT ResolveProgId(const OLECHAR* progId, const char* node, CLSID* out) noexcept;

  // The set as the last ListServers left it; Clear empties it (the server object's final release).
  const ProgIdSet& Servers() const noexcept { return set_; }
  void Clear() noexcept { set_.Clear(); }

 private:
  void ScanRegistry(const char* node);
  void WalkCategories(const char* node);
  ProgIdSet set_;
};

}  // namespace veltrane
