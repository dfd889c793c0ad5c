// Whether this machine keeps each 32-bit thread's own thread block across an exception, as every
// x86 processor does. Wine's 32-bit code finds the current thread through the %fs segment, and it
// loads %fs afresh whenever it resumes a thread after an exception (which COM's remote calls raise
// and catch on their error and retry paths). Under an emulator that keeps one descriptor table for
// all threads (qemu's user mode, which scripts/setup registers where the kernel cannot run 32-bit
// code), that reload gives the thread the block of the thread started last: it then runs on
// another thread's stack limits, exception chain and message queue, and soon crashes.
//
// Prints "thread blocks (TEB): kept" (exit 0) or "thread blocks (TEB): NOT kept ..." (exit 1). The process is
// ended at once after a failed check, since its main thread is no longer itself.
#include <windows.h>

#include <cstdio>

namespace {

constexpr DWORD kProbeCode = 0xE0544850;  // a made-up, continuable exception

HANDLE gRelease;

DWORD WINAPI Waiter(void*) {
  WaitForSingleObject(gRelease, INFINITE);
  return 0;
}

LONG CALLBACK Resume(EXCEPTION_POINTERS* p) {
  return p->ExceptionRecord->ExceptionCode == kProbeCode ? EXCEPTION_CONTINUE_EXECUTION
                                                         : EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

int main() {
  gRelease = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD other = 0;
  HANDLE waiter = CreateThread(nullptr, 0, Waiter, nullptr, 0, &other);
  if (!gRelease || !waiter) {
    std::printf("thread blocks (TEB): probe could not start a thread (error %lu)\n", GetLastError());
    return 2;
  }
  Sleep(100);  // the second thread has set up its own block
  const DWORD self = GetCurrentThreadId();
  PVOID handler = AddVectoredExceptionHandler(1, Resume);
  RaiseException(kProbeCode, 0, 0, nullptr);
  const DWORD after = GetCurrentThreadId();
  if (after != self) {
    std::printf("thread blocks (TEB): NOT kept: the main thread (%lu) resumed after an exception as "
                "thread %lu, the one started last\n", self, after);
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 1);
  }
  RemoveVectoredExceptionHandler(handler);
  SetEvent(gRelease);
  WaitForSingleObject(waiter, 10000);
  CloseHandle(waiter);
  CloseHandle(gRelease);
  std::printf("thread blocks (TEB): kept\n");
  return 0;
}
