// The harness runs Windows test programs under Wine with the project's prefix and a display.
#include <gtest/gtest.h>
#include <windows.h>
#include <mutex>
#include <string>
#include <thread>

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
