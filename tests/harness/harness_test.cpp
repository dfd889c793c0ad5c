// The harness runs Windows test programs under Wine with the project's prefix and a display.
#include <gtest/gtest.h>
#include <windows.h>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

TEST(Harness, RunsUnderWineWithADisplayAndPosixThreads) {
  // DDE and windows both need a display; a top-level window must be creatable.
  HWND w = CreateWindowExA(0, "STATIC", "probe", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                           GetModuleHandleA(nullptr), nullptr);
  ASSERT_NE(w, nullptr);
  DestroyWindow(w);
  std::mutex m;
  int n = 0;
  std::thread t([&] { std::lock_guard<std::mutex> l(m); ++n; });
  t.join();
  EXPECT_EQ(n, 1);
}

TEST(Harness, LaunchesAWinelibProgramByItsSoPath) {
  const char* bin = std::getenv("TESSAREL_BIN_DIR");
  ASSERT_NE(bin, nullptr);
  // Paths from the build are Unix paths; Wine maps them through drive Z:.
  std::string cmd = std::string("Z:") + bin + "/winelib_probe.exe.so 5";
  for (auto& c : cmd) if (c == '/') c = '\\';
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (GetFileAttributesA((std::string("Z:") + bin + "/winelib_probe.exe.so").c_str()) ==
      INVALID_FILE_ATTRIBUTES)
    FAIL() << "winelib_probe.exe.so is missing from " << bin;
  ASSERT_TRUE(CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &si, &pi))
      << GetLastError();
  ASSERT_EQ(WaitForSingleObject(pi.hProcess, 20000), WAIT_OBJECT_0);
  DWORD code = 99;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  EXPECT_EQ(code, 0u);
}

namespace {
// Reads a small Unix file through drive Z: ("" when it cannot be read). Wine opens files in the
// wineserver, so /proc/self would be the server's: processes are named by their Unix ids.
std::string ReadUnixFile(const std::string& path) {
  std::string win = "Z:" + path;
  for (auto& c : win)
    if (c == '/') c = '\\';
  HANDLE f = CreateFileA(win.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return {};
  std::string text;
  char buf[4096];
  DWORD n = 0;
  while (ReadFile(f, buf, sizeof buf, &n, nullptr) && n) text.append(buf, n);
  CloseHandle(f);
  return text;
}

struct UnixProcess {
  std::string id, argv0, args;
  unsigned long personality;
};

// Every process of this Wine prefix in /proc whose first argument ends with one of the names
// (case-insensitive). Wine gives its processes the Windows command line as their Unix one.
std::vector<UnixProcess> WineProcesses(const std::vector<std::string>& names) {
  std::vector<UnixProcess> found;
  const char* prefix = std::getenv("WINEPREFIX");
  std::string ours = std::string("WINEPREFIX=") + (prefix ? prefix : "") + '\0';
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA("Z:\\proc\\*", &fd);
  if (h == INVALID_HANDLE_VALUE) return found;
  auto lower = [](std::string s) {
    for (auto& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
  };
  do {
    std::string id = fd.cFileName;
    if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos) continue;
    // Wine writes the Windows command line over the Unix arguments, one argument each.
    std::string line = ReadUnixFile("/proc/" + id + "/cmdline");
    std::string argv0 = lower(line.substr(0, line.find('\0')));
    std::string args = line.size() > argv0.size() ? line.substr(argv0.size() + 1) : "";
    for (auto& c : args)
      if (c == '\0') c = ' ';
    args.erase(args.find_last_not_of(' ') + 1);
    for (const auto& name : names) {
      if (argv0.size() < name.size() || argv0.compare(argv0.size() - name.size(), name.size(), name))
        continue;
      if (ReadUnixFile("/proc/" + id + "/environ").find(ours) == std::string::npos) continue;
      std::string flags = ReadUnixFile("/proc/" + id + "/personality");
      if (flags.empty()) continue;  // ended meanwhile
      found.push_back({id, argv0, args, std::stoul(flags, nullptr, 16)});
    }
  } while (FindNextFileA(h, &fd));
  FindClose(h);
  return found;
}
}  // namespace

// Wine 8.0 cannot start a process whose randomly placed first heap covers 0x7ffe0000; the
// harness runs Wine without address randomisation, which every process Wine starts inherits.
TEST(Harness, WineProcessesRunWithoutAddressRandomisation) {
  if (std::getenv("TESSAREL_WINE_RANDOMISED"))
    GTEST_SKIP() << "the kernel refused setarch -R here; Wine runs with randomised addresses";
  constexpr unsigned long kAddrNoRandomize = 0x0040000;
  // A process started from this one, alive while /proc is read.
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  char sys[MAX_PATH];
  GetSystemDirectoryA(sys, MAX_PATH);
  std::string cmd = std::string(sys) + "\\cmd.exe /c ping -n 4 127.0.0.1 >nul";
  ASSERT_TRUE(CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                             nullptr, nullptr, &si, &pi))
      << GetLastError();
  std::vector<UnixProcess> procs;
  bool self = false, child = false, session = false;
  for (DWORD until = GetTickCount() + 3000; !child && GetTickCount() < until;) {
    procs = WineProcesses({"harness_tests.exe", "\\cmd.exe", "\\rpcss.exe", "\\services.exe"});
    for (const auto& p : procs) {
      if (p.argv0.find("harness_tests.exe") != std::string::npos) self = true;
      if (p.args.find("ping -n 4") != std::string::npos) child = true;
      if (p.argv0.find("rpcss") != std::string::npos || p.argv0.find("services") != std::string::npos)
        session = true;
    }
  }
  TerminateProcess(pi.hProcess, 0);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  for (const auto& p : procs)
    EXPECT_TRUE(p.personality & kAddrNoRandomize)
        << p.argv0 << " " << p.args << " (Unix process " << p.id << ") has personality "
        << std::hex << p.personality;
  EXPECT_TRUE(self) << "this test program was not found in /proc";
  EXPECT_TRUE(child) << "the process it started was not found in /proc";
  EXPECT_TRUE(session) << "Wine's session processes were not found in /proc";
}
