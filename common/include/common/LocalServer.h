// Out-of-process (local) servers: command line, class object registration and lifetime.
//
//   int WINAPI wWinMain(HINSTANCE h, HINSTANCE, LPWSTR cmd, int) {
//     common::Module::SetHandle(h);
//     return common::LocalServerMain(kClasses, cmd);
//   }
//
// "/regserver" or "-regserver" registers (LocalServer32 = this exe, plus its type library and
// AppIDs) and exits; "/unregserver" unregisters; "-Embedding" (COM's launch) or "/Automation"
// registers the class objects REGCLS_MULTIPLEUSE and serves until the last object and the last
// server lock are gone. Switches are case-insensitive and may start with '/' or '-'.
#pragma once

#include "common/ClassFactory.h"
#include "common/ComObject.h"
#include "common/Strings.h"

#include <functional>
#include <span>
#include <vector>

namespace common {

enum class ServerCommand { None, RegServer, UnregServer, Embedding };

// The path COM should start this program by: Module::FileName(), except in a Winelib program,
// whose module name is "x.exe" while the file that Wine's CreateProcess can start is "x.exe.so"
// beside it (the "x.exe" there is a shell wrapper).
WString ServerModulePath();

// The first switch of the command line that says what to do (None when there is none).
// "unregserver" wins over "regserver" when both are given.
ServerCommand ParseServerCommandLine(const OLECHAR* commandLine) noexcept;

class LocalServer {
 public:
  explicit LocalServer(std::span<const ClassEntry> classes) noexcept : classes_(classes) {}
  LocalServer(const LocalServer&) = delete;
  LocalServer& operator=(const LocalServer&) = delete;
  ~LocalServer() { Revoke(); }

  // Registry entries for every class with LocalServer32 = exePath (ServerModulePath() by default),
  // their AppIDs and, when typeLib, the exe's embedded type library. Undone on failure.
  HRESULT Register(const WString& exePath = WString(), bool typeLib = true) noexcept;
  HRESULT Unregister(bool typeLib = true) noexcept;

  // Makes the class objects available to other processes (CoRegisterClassObject,
  // CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE) from this thread's apartment. COM must be
  // initialised on this thread. All or none: on failure those registered are revoked.
  HRESULT Start() noexcept;
  // Withdraws them again (idempotent).
  void Revoke() noexcept;

  // Pumps messages on this thread (calls into an STA arrive as messages) until Quit() or until
  // the module count falls to zero, or stays zero for `idleTimeoutMs` after the start (a launch
  // that no client ever used). At zero it lingers kLingerMs, so that a client coming back at once
  // is served here; then the class objects are withdrawn and calls already on their way are
  // served for kLeaveGraceMs. An object made meanwhile keeps the server (its class objects
  // registered again). Returns the wParam of WM_QUIT.
  int RunUntilIdle(DWORD idleTimeoutMs = 60000) noexcept;
  // Ends RunUntilIdle from any thread.
  void Quit() noexcept;

 private:
  static constexpr DWORD kLingerMs = 1000, kLeaveGraceMs = 1000;
  static void OnZero(void* self) noexcept;
  // True when the server should end (code set from a WM_QUIT met meanwhile).
  bool LeaveIfStillIdle(int& code) noexcept;
  std::span<const ClassEntry> classes_;
  std::vector<DWORD> cookies_;
  DWORD thread_ = 0;
};

// The main of a local server (see the top of this file). `run` is what a start without any of
// the switches does (e.g. show the program's window); when it is empty such a start serves as
// with -Embedding. Initialises COM (apartment-threaded) around it all.
int LocalServerMain(std::span<const ClassEntry> classes, const OLECHAR* commandLine,
                    const std::function<int()>& run = {}) noexcept;

}  // namespace common
