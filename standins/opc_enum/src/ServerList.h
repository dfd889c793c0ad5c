// The OPC server list service: IOPCServerList and IOPCServerList2 answered from the component
// categories registered on this machine (the DA servers register theirs), so that clients can
// find OPC servers without reading the registry themselves.
#pragma once

#include <windows.h>
#include <OpcCommon.h>

#include "common/Kit.h"

#include <vector>

namespace opc_enum {

// The classes, registered under HKCR\CLSID, that implement one of `implemented` and need no
// category outside `required` (the component-category rules; a count of (ULONG)-1 leaves that
// test out).
HRESULT ClassesOfCategories(ULONG cImplemented, const CATID* implemented, ULONG cRequired,
                            const CATID* required, std::vector<CLSID>& out);

class ServerList final
    : public common::ComObject<ServerList, IOPCServerList, IOPCServerList2> {
 public:
  // IOPCServerList
  STDMETHODIMP EnumClassesOfCategories(ULONG cImplemented, CATID rgcatidImpl[], ULONG cRequired,
                                       CATID rgcatidReq[], IEnumGUID** ppenumClsid) override;
  STDMETHODIMP GetClassDetails(REFCLSID clsid, LPOLESTR* ppszProgID,
                               LPOLESTR* ppszUserType) override;
  STDMETHODIMP CLSIDFromProgID(LPCOLESTR szProgId, LPCLSID clsid) override;
  // IOPCServerList2
  STDMETHODIMP EnumClassesOfCategories(ULONG cImplemented, CATID rgcatidImpl[], ULONG cRequired,
                                       CATID rgcatidReq[], IOPCEnumGUID** ppenumClsid) override;
  STDMETHODIMP GetClassDetails(REFCLSID clsid, LPOLESTR* ppszProgID, LPOLESTR* ppszUserType,
                               LPOLESTR* ppszVerIndProgID) override;
};

}  // namespace opc_enum
