// WorkbookServer: a spreadsheet program standing in for Excel. Started by a user (optionally
// with workbook files to open) it shows its window; started by COM ("-Embedding") it serves one
// client's "Excel.Application" object. Either way it offers the DDE service "Excel" and registers
// its application object in the running object table.
//
//   WorkbookServer.exe.so /regserver | /unregserver | -Embedding | [file ...]
#include <windows.h>
#include <dlfcn.h>

#include <common/Kit.h>

#include <cstdio>
#include <string>
#include <vector>

#include "AnsiText.h"
#include "Automation.h"
#include "SheetWindow.h"

namespace wbs {

ServerState& State() {
  static ServerState* s = new ServerState;  // lives until the process ends
  return *s;
}

namespace {

WideText Wide(const std::string& s) { return Utf8ToWideText(s); }

// This program's own file as Wine shows it to Windows programs (Z:\...\WorkbookServer.exe.so).
std::string OwnSoPath() {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&OwnSoPath), &info) || !info.dli_fname) return "";
  std::string unixPath = info.dli_fname;
  if (!unixPath.empty() && unixPath[0] != '/') {
    char buf[4096];
    if (realpath(unixPath.c_str(), buf)) unixPath = buf;
  }
  WCHAR* dos = wine_get_dos_file_name(unixPath.c_str());
  if (!dos) return "";
  std::string r = WideToUtf8Text(FromWinStr(dos));
  HeapFree(GetProcessHeap(), 0, dos);
  return r;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

const common::ClassEntry kClasses[] = {{
    .clsid = &CLSID_Application,
    .getFactory = &common::ClassFactory<Application>::GetFactory,
    .description = reinterpret_cast<const OLECHAR*>(u"WorkbookServer Application"),
    .progId = reinterpret_cast<const OLECHAR*>(u"Excel.Application"),
    .typeLib = &LIBID_WorkbookServerLib,
    .typeLibVersion = reinterpret_cast<const OLECHAR*>(u"1.0"),
}};

int Register(bool install) {
  const std::string exe = OwnSoPath();
  if (exe.empty()) {
    std::fprintf(stderr, "WorkbookServer: cannot find its own file\n");
    return 1;
  }
  const common::WString exeW = common::Utf8ToWide(exe);
  const common::WString tlbW = common::Utf8ToWide(FolderOf(exe) + "WorkbookServer.tlb");
  HRESULT hr;
  if (install) {
    hr = common::RegisterComClass(kClasses[0], common::ServerKind::LocalServer, exeW);
    if (SUCCEEDED(hr)) hr = common::RegisterTypeLibOf(tlbW);
  } else {
    common::UnregisterTypeLibOf(tlbW);
    hr = common::UnregisterComClass(kClasses[0]);
  }
  if (FAILED(hr)) {
    std::fprintf(stderr, "WorkbookServer: %s failed: %s\n", install ? "/regserver" : "/unregserver",
                 common::HResultToString(hr).c_str());
    return 1;
  }
  return 0;
}

DWORD g_rot = 0;
DWORD g_factory = 0;

void WithdrawFromOthers() {
  if (g_rot) {
    RevokeActiveObject(g_rot, nullptr);
    g_rot = 0;
  }
  if (g_factory) {
    CoRevokeClassObject(g_factory);
    g_factory = 0;
  }
}

// A process that COM started for a client ends when that client has let go of everything and
// nobody is looking at the window, as the spreadsheet does.
void CALLBACK IdleCheck(HWND, UINT, UINT_PTR, DWORD) {
  ServerState& st = State();
  if (!st.embedding || st.visible || st.quitting || !st.app) return;
  if (st.app->EverConnected() && st.app->Connections() == 0 && common::Module::Count() <= 1) {
    st.quitting = true;
    if (st.requestExit) st.requestExit();
  }
}

int Serve(const std::vector<std::string>& files, bool embedding) {
  HRESULT hr = OleInitialize(nullptr);
  if (FAILED(hr)) return 1;
  int rc = 0;
  {
    ServerState& st = State();
    st.embedding = embedding;
    st.requestExit = [] {
      WithdrawFromOthers();
      PostQuitMessage(0);
    };
    common::ComPtr<Application> app = common::Make<Application>();
    st.app = app.Get();
    SheetWindow window(st);
    if (!st.dde.Start()) std::fprintf(stderr, "WorkbookServer: the DDE service could not start\n");
    RegisterActiveObject(app->Unknown(), CLSID_Application, ACTIVEOBJECT_WEAK, &g_rot);
    if (embedding) {
      common::ComPtr<IClassFactory> factory;
      hr = common::ClassFactory<Application>::GetFactory(IID_IClassFactory, factory.PutVoid());
      if (SUCCEEDED(hr))
        hr = CoRegisterClassObject(CLSID_Application, factory.Get(), CLSCTX_LOCAL_SERVER, REGCLS_SINGLEUSE, &g_factory);
      if (FAILED(hr)) {
        std::fprintf(stderr, "WorkbookServer: CoRegisterClassObject failed: %s\n", common::HResultToString(hr).c_str());
        rc = 1;
      }
    } else {
      st.visible = true;
      window.Show(true);
      for (const auto& f : files) {
        std::string error;
        if (!st.books.Open(ToFilePath(f), ToFullWindowsPath(f), false, error))
          window.Tell("WorkbookServer", error);
      }
    }
    UINT_PTR idle = SetTimer(nullptr, 0, 1000, IdleCheck);
    if (rc == 0) {
      MSG m;
      while (GetMessageW(&m, nullptr, 0, 0) > 0) {
        if (window.PreTranslate(m)) continue;
        TranslateMessage(&m);
        DispatchMessageW(&m);
      }
    }
    KillTimer(nullptr, idle);
    WithdrawFromOthers();
    st.dde.Stop();
    st.books.CloseAll();
    app->DropEventSinks();
    CoDisconnectObject(app->Unknown(), 0);
    st.app = nullptr;
    window.Destroy();
  }
  OleUninitialize();
  return rc;
}

}  // namespace

std::string ToFullWindowsPath(const std::string& windowsPath) {
  WideText in = Wide(windowsPath);
  WCHAR buf[MAX_PATH * 4];
  DWORD n = GetFullPathNameW(WinStr(in), MAX_PATH * 4, buf, nullptr);
  if (n == 0 || n >= MAX_PATH * 4) return windowsPath;
  return WideToUtf8Text(FromWinStr(buf, n));
}

std::string ToFilePath(const std::string& windowsPath) {
  WideText full = Wide(ToFullWindowsPath(windowsPath));
  char* unixPath = wine_get_unix_file_name(WinStr(full));
  if (!unixPath) return windowsPath;
  std::string r = unixPath;
  HeapFree(GetProcessHeap(), 0, unixPath);
  return r;
}

}  // namespace wbs

int main(int argc, char** argv) {
  using namespace wbs;
  bool embedding = false;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    std::string sw = (a.size() > 1 && (a[0] == '/' || a[0] == '-')) ? Lower(a.substr(1)) : std::string();
    if (sw == "regserver") return Register(true);
    if (sw == "unregserver") return Register(false);
    if (sw == "embedding" || sw == "automation") {
      embedding = true;
      continue;
    }
    if (!sw.empty()) continue;  // other switches are ignored, as the spreadsheet does
    files.push_back(AnsiToUtf8(a));
  }
  try {
    return Serve(files, embedding);
  } catch (...) {
    return 1;
  }
}
