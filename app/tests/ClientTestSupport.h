// For tests of the OPC client bridge against the registered automation wrapper (Veltrane.dll,
// created through COM as Tessarel creates it) and SimServer.
#pragma once
#include <windows.h>
#include <objbase.h>

#include <OPCAutomation.h>

#include <string>

#include "common/ComPtr.h"

struct ComScope {
  ComScope() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  ~ComScope() { CoUninitialize(); }
};

inline HRESULT CreateServer(IOPCAutoServer** server) {
  return CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCAutoServer,
                          reinterpret_cast<void**>(server));
}

// Whether the wrapper and SimServer are registered; why not, when they are not.
inline bool Prerequisites(std::string& why) {
  ComScope com;
  common::ComPtr<IOPCAutoServer> s;
  if (FAILED(CreateServer(s.GetAddressOf()))) why = "Veltrane.dll is not registered";
  CLSID clsid;
  if (FAILED(CLSIDFromProgID(L"Sim.OPCDA.2", &clsid))) why = "SimServer is not registered";
  return why.empty();
}
