// Interrupts on Windows: the console's Ctrl-C and Ctrl-Break events set a flag.
#include "platform/interrupt.h"

#include <windows.h>

#include <atomic>

namespace ostrin::platform {

namespace {

std::atomic<bool> g_interrupted{false};

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  g_interrupted = true;
  return TRUE;
}

}  // namespace

void CatchInterrupts() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

void ReleaseInterrupts() { SetConsoleCtrlHandler(OnConsoleControl, FALSE); }

bool InterruptRequested() { return g_interrupted; }

}  // namespace ostrin::platform
