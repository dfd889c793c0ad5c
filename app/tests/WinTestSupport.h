// Helpers for tests that start the real programs under Wine: paths, temporary program folders,
// finding a process's window, reading control texts and saving a screenshot.
#pragma once
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace wintest {

// A Unix path from the build (ctest's environment) as Wine sees it, on drive Z:.
inline std::string FromUnix(const std::string& unixPath) {
  std::string p = "Z:" + unixPath;
  for (char& c : p)
    if (c == '/') c = '\\';
  return p;
}

inline std::string EnvPath(const char* name) {
  const char* v = std::getenv(name);
  return v ? FromUnix(v) : std::string();
}

inline std::string LongPath(const std::string& p) {
  char buf[MAX_PATH * 2];
  DWORD n = GetLongPathNameA(p.c_str(), buf, sizeof buf);
  return n > 0 && n < sizeof buf ? std::string(buf, n) : p;
}

// A fresh, empty folder under the temporary folder; removed (with its files) on destruction.
class TempFolder {
 public:
  explicit TempFolder(const std::string& tag) {
    char tmp[MAX_PATH];
    GetTempPathA(MAX_PATH, tmp);
    path_ = LongPath(tmp) + tag + "_" + std::to_string(GetCurrentProcessId()) + "_" +
            std::to_string(GetTickCount());
    CreateDirectoryA(path_.c_str(), nullptr);
  }
  ~TempFolder() {
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((path_ + "\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
      do {
        std::string n = fd.cFileName;
        if (n != "." && n != "..") DeleteFileA((path_ + "\\" + n).c_str());
      } while (FindNextFileA(h, &fd));
      FindClose(h);
    }
    RemoveDirectoryA(path_.c_str());
  }
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "\\" + name; }
  void Write(const std::string& name, const std::string& content) const {
    std::ofstream(File(name), std::ios::binary) << content;
  }

 private:
  std::string path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Process {
  PROCESS_INFORMATION pi{};
  bool ok = false;
  ~Process() {
    if (!ok) return;
    if (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(pi.hProcess, 99);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  // Exit code, or -1 when it did not end within ms.
  long WaitExit(DWORD ms) {
    if (WaitForSingleObject(pi.hProcess, ms) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    return static_cast<long>(code);
  }
};

// Starts a program with its standard handles on the NUL device: neither it nor anything it
// starts in turn (a COM server, say) can hold the test runner's output pipe open.
inline bool Start(Process& p, const std::string& exe, const std::string& args,
                  const std::string& dir) {
  std::string cmd = "\"" + exe + "\"" + (args.empty() ? "" : " " + args);
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE nul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           &sa, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  if (nul != INVALID_HANDLE_VALUE) {
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = si.hStdOutput = si.hStdError = nul;
  }
  p.ok = CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, nul != INVALID_HANDLE_VALUE, 0,
                        nullptr, dir.empty() ? nullptr : dir.c_str(), &si, &p.pi) != FALSE;
  if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
  return p.ok;
}

// Runs a program to its end with its output (stdout and stderr) captured; exit code or -1 on a
// time-out (the program is then ended).
inline long RunCapture(const std::string& exe, const std::string& args, std::string& output,
                       DWORD ms = 60000) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &sa, 0)) return -1;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  std::string cmd = "\"" + exe + "\"" + (args.empty() ? "" : " " + args);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = writeEnd;
  si.hStdError = writeEnd;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION pi{};
  BOOL ok = CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                           &pi);
  CloseHandle(writeEnd);
  if (!ok) {
    CloseHandle(readEnd);
    return -1;
  }
  output.clear();
  char buf[4096];
  DWORD n = 0;
  DWORD until = GetTickCount() + ms;
  for (;;) {
    DWORD avail = 0;
    if (!PeekNamedPipe(readEnd, nullptr, 0, nullptr, &avail, nullptr)) break;  // closed
    if (avail) {
      if (!::ReadFile(readEnd, buf, sizeof buf, &n, nullptr) || n == 0) break;
      output.append(buf, n);
    } else if (WaitForSingleObject(pi.hProcess, 20) == WAIT_OBJECT_0) {
      while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &avail, nullptr) && avail &&
             ::ReadFile(readEnd, buf, sizeof buf, &n, nullptr) && n)
        output.append(buf, n);
      break;
    }
    if (GetTickCount() > until) {
      TerminateProcess(pi.hProcess, 99);
      break;
    }
  }
  CloseHandle(readEnd);
  DWORD code = 0;
  long rc = -1;
  if (WaitForSingleObject(pi.hProcess, 5000) == WAIT_OBJECT_0 && GetExitCodeProcess(pi.hProcess, &code))
    rc = static_cast<long>(code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return rc;
}

// Starts a program with its output (stdout and stderr) going to a file.
inline bool StartToFile(Process& p, const std::string& exe, const std::string& args,
                        const std::string& outFile) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE f = CreateFileA(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  std::string cmd = "\"" + exe + "\"" + (args.empty() ? "" : " " + args);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = f;
  si.hStdError = f;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  p.ok = CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                        &p.pi) != FALSE;
  CloseHandle(f);
  return p.ok;
}

// The first visible top-level window of the given class owned by the process, waiting up to ms.
inline HWND FindProcessWindow(DWORD pid, const char* cls, DWORD ms) {
  struct Q {
    DWORD pid;
    const char* cls;
    HWND found;
  } q{pid, cls, nullptr};
  DWORD until = GetTickCount() + ms;
  while (!q.found && GetTickCount() < until) {
    EnumWindows(
        [](HWND h, LPARAM lp) -> BOOL {
          auto* q = reinterpret_cast<Q*>(lp);
          DWORD owner = 0;
          GetWindowThreadProcessId(h, &owner);
          char c[128];
          if (owner == q->pid && IsWindowVisible(h) && GetClassNameA(h, c, sizeof c) &&
              lstrcmpA(c, q->cls) == 0) {
            q->found = h;
            return FALSE;
          }
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&q));
    if (!q.found) Sleep(50);
  }
  return q.found;
}

inline std::string Text(HWND h) {
  char buf[4096];
  LRESULT n = SendMessageA(h, WM_GETTEXT, sizeof buf, reinterpret_cast<LPARAM>(buf));
  return std::string(buf, static_cast<std::size_t>(n));
}
inline std::string ItemText(HWND parent, int id) { return Text(GetDlgItem(parent, id)); }

// Waits until pred() holds, checking every 50 ms; true when it did within ms.
template <class Pred>
bool WaitFor(Pred pred, DWORD ms) {
  DWORD start = GetTickCount();
  for (;;) {
    if (pred()) return true;
    if (GetTickCount() - start >= ms) return false;
    Sleep(50);
  }
}

// Waits until a control's text satisfies pred; returns the last text seen.
template <class Pred>
std::string WaitText(HWND parent, int id, Pred pred, DWORD ms) {
  DWORD until = GetTickCount() + ms;
  std::string t = ItemText(parent, id);
  while (!pred(t) && GetTickCount() < until) {
    Sleep(50);
    t = ItemText(parent, id);
  }
  return t;
}

// The visible top-level windows of class `cls` of the process owned by `owner`, in z-order.
inline std::vector<HWND> OwnedWindows(DWORD pid, HWND owner, const char* cls) {
  struct Q {
    DWORD pid;
    HWND owner;
    const char* cls;
    std::vector<HWND> found;
  } q{pid, owner, cls, {}};
  EnumWindows(
      [](HWND h, LPARAM lp) -> BOOL {
        auto* q = reinterpret_cast<Q*>(lp);
        DWORD p = 0;
        GetWindowThreadProcessId(h, &p);
        char c[64];
        if (p == q->pid && IsWindowVisible(h) && GetWindow(h, GW_OWNER) == q->owner &&
            GetClassNameA(h, c, sizeof c) && lstrcmpiA(c, q->cls) == 0)
          q->found.push_back(h);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&q));
  return q.found;
}

// The visible dialog-class windows (dialogs, message boxes) of the process owned by `owner`.
inline std::vector<HWND> OwnedDialogs(DWORD pid, HWND owner) {
  return OwnedWindows(pid, owner, "#32770");
}

inline HWND WaitOwnedDialog(DWORD pid, HWND owner, DWORD ms = 15000) {
  HWND found = nullptr;
  WaitFor(
      [&] {
        std::vector<HWND> d = OwnedDialogs(pid, owner);
        found = d.empty() ? nullptr : d.front();
        return found != nullptr;
      },
      ms);
  return found;
}

// What a message box says: the texts of its static controls.
inline std::string BoxText(HWND box) {
  std::string text;
  EnumChildWindows(
      box,
      [](HWND h, LPARAM lp) -> BOOL {
        char c[32];
        if (GetClassNameA(h, c, sizeof c) && lstrcmpiA(c, "Static") == 0)
          *reinterpret_cast<std::string*>(lp) += Text(h);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&text));
  return text;
}

// A button click as the control reports it to its parent.
inline void Click(HWND parent, int id) {
  PostMessageA(parent, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(parent, id)));
}

// A message box answered with one of its buttons; true once it has gone.
inline bool Answer(HWND box, int button) {
  PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
  return WaitFor([&] { return !IsWindow(box); }, 10000);
}

inline RECT ClientRectOf(HWND parent, int id) {
  RECT r;
  GetWindowRect(GetDlgItem(parent, id), &r);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

// Saves what the screen shows of the window as a 24-bit BMP; true on success.
inline bool SaveScreenshot(HWND hwnd, const std::string& path) {
  SetForegroundWindow(hwnd);
  RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  Sleep(300);
  RECT r;
  GetWindowRect(hwnd, &r);
  int w = r.right - r.left, h = r.bottom - r.top;
  if (w <= 0 || h <= 0) return false;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 24;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(mem, bmp);
  BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  GdiFlush();
  SelectObject(mem, old);
  DWORD stride = ((w * 3 + 3) & ~3u);
  DWORD size = stride * h;
  BITMAPFILEHEADER fh{};
  fh.bfType = 0x4D42;
  fh.bfOffBits = sizeof fh + sizeof bi.bmiHeader;
  fh.bfSize = fh.bfOffBits + size;
  bool ok = false;
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    ok = std::fwrite(&fh, sizeof fh, 1, f) == 1 &&
         std::fwrite(&bi.bmiHeader, sizeof bi.bmiHeader, 1, f) == 1 &&
         std::fwrite(bits, 1, size, f) == size;
    std::fclose(f);
  }
  DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  return ok;
}

// Saves a screenshot of the window as a test artifact, when the run keeps artifacts
// (TESSAREL_ARTIFACTS); true when saved or not asked for.
inline bool SaveArtifact(HWND w, const std::string& name) {
  std::string folder = EnvPath("TESSAREL_ARTIFACTS");
  if (folder.empty()) return true;
  CreateDirectoryA(folder.c_str(), nullptr);
  return SaveScreenshot(w, folder + "\\" + name);
}

}  // namespace wintest
