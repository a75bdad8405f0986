// Interrupts on POSIX: SIGINT sets a flag.
#include "platform/interrupt.h"

#include <csignal>

namespace ostrin::platform {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) { g_interrupted = 1; }

}  // namespace

void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // A blocking receive that the signal interrupts is restarted: the flag is looked at when the next
  // message has arrived.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
}

void ReleaseInterrupts() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}

bool InterruptRequested() { return g_interrupted != 0; }

}  // namespace ostrin::platform
