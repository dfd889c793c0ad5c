// OpcEnum.exe: the OPC server list service as a local server.
//   OpcEnum /regserver | /unregserver | -Embedding
#include "ServerList.h"

namespace {

const GUID kAppId = {0x0cce3644, 0x4d6f, 0x41a6, {0x99, 0x38, 0xde, 0xae, 0xd2, 0x93, 0x29, 0x24}};

const common::ClassEntry kClasses[] = {{
    .clsid = &CLSID_OPCServerList,
    .getFactory = &common::ClassFactory<opc_enum::ServerList>::GetFactory,
    .description = L"OpcEnum Class",
    .progId = L"OPC.ServerList.1",
    .versionIndependentProgId = L"OPC.ServerList",
    .appId = &kAppId,
}};

}  // namespace

int WINAPI wWinMain(HINSTANCE h, HINSTANCE, LPWSTR cmd, int) {
  common::Module::SetHandle(h);
  HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  int code = 0;
  {
    // The service has no type library: its interfaces cross processes through OpcProxy.dll.
    common::LocalServer server(kClasses);
    switch (common::ParseServerCommandLine(cmd)) {
      case common::ServerCommand::RegServer:
        code = FAILED(server.Register(common::WString(), false)) ? 1 : 0;
        break;
      case common::ServerCommand::UnregServer:
        code = FAILED(server.Unregister(false)) ? 1 : 0;
        break;
      case common::ServerCommand::None:
      case common::ServerCommand::Embedding:
        code = FAILED(server.Start()) ? 1 : server.RunUntilIdle();
        break;
    }
  }
  if (SUCCEEDED(init)) CoUninitialize();
  return code;
}
