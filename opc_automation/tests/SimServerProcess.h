// What the Veltrane tests against SimServer share: a message pump for the apartment (events and
// callbacks arrive through it), the path of a program beside the tests, and SimServer started
// by the test itself with its own options.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <cstdlib>
#include <functional>
#include <string>

namespace simserver {

// Pumps this thread's messages until done() or ms have passed.
inline void Pump(DWORD ms, const std::function<bool()>& done) {
  DWORD start = GetTickCount();
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (done()) return;
    if (GetTickCount() - start >= ms) return;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
}

inline std::wstring BinPath(const wchar_t* file) {
  const char* bin = std::getenv("TESSAREL_BIN_DIR");
  std::string p = std::string("Z:") + (bin ? bin : ".") + "/";
  for (auto& c : p)
    if (c == '/') c = '\\';
  return std::wstring(p.begin(), p.end()) + file;
}

// True once no SimServer.exe runs; false if one is still there after ms.
inline bool NoSimServerRunning(DWORD ms) {
  DWORD start = GetTickCount();
  for (;;) {
    bool found = false;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap != INVALID_HANDLE_VALUE) {
      PROCESSENTRY32W pe{};
      pe.dwSize = sizeof pe;
      for (BOOL ok = Process32FirstW(snap, &pe); ok && !found; ok = Process32NextW(snap, &pe))
        found = _wcsicmp(pe.szExeFile, L"SimServer.exe") == 0;
      CloseHandle(snap);
    }
    if (!found) return true;
    if (GetTickCount() - start > ms) return false;
    Sleep(100);
  }
}

// SimServer started by the test with its own options, ready once it printed "ready".
struct StartedServer {
  PROCESS_INFORMATION pi{};
  HANDLE out = nullptr;
  std::string text;
  bool ready = false;

  explicit StartedServer(const std::wstring& args) {
    if (!NoSimServerRunning(30000)) {
      text = "another SimServer.exe is still running";
      return;
    }
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE wr = nullptr;
    if (!CreatePipe(&out, &wr, &sa, 0)) return;
    SetHandleInformation(out, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = wr;
    si.hStdError = wr;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::wstring cmd = L"\"" + BinPath(L"SimServer.exe") + L"\" " + args;
    BOOL ok = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(wr);
    if (!ok) return;
    char c;
    DWORD n = 0;
    while (!ready && ReadFile(out, &c, 1, &n, nullptr) && n == 1) {
      if (c != '\r') text += c;
      ready = text.find("ready\n") != std::string::npos;
    }
  }
  long WaitExit(DWORD ms) {
    if (!pi.hProcess || WaitForSingleObject(pi.hProcess, ms) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    return static_cast<long>(code);
  }
  ~StartedServer() {
    if (pi.hProcess) {
      // The server leaves by itself once its clients have gone. Killing it while its class
      // objects are registered leaves Wine's COM with a stale registration, and every later
      // activation of the class in the prefix fails with REGDB_E_CLASSNOTREG.
      if (WaitForSingleObject(pi.hProcess, 5000) == WAIT_TIMEOUT) TerminateProcess(pi.hProcess, 99);
      CloseHandle(pi.hProcess);
      CloseHandle(pi.hThread);
    }
    if (out) CloseHandle(out);
  }
};

}  // namespace simserver
