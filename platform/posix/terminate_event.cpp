// The terminate event on POSIX: a flag guarded by a mutex, with a condition variable to wait on.
#include "platform/terminate_event.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace ostrin::platform {

struct CTerminateEvent::State {
  std::mutex lock;
  std::condition_variable changed;
  bool signalled = false;
};

CTerminateEvent::CTerminateEvent() = default;

CTerminateEvent::~CTerminateEvent() = default;

bool CTerminateEvent::Create(const WString& /*name*/) {
  m_state = std::make_unique<State>();
  return true;
}

void CTerminateEvent::Signal() {
  if (!m_state) return;
  {
    std::lock_guard<std::mutex> lock(m_state->lock);
    m_state->signalled = true;
  }
  m_state->changed.notify_all();
}

bool CTerminateEvent::Wait(uint32_t timeoutMs) {
  if (!m_state) return false;
  std::unique_lock<std::mutex> lock(m_state->lock);
  // A spurious wake-up goes back to waiting for the rest of the time.
  return m_state->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_state->signalled; });
}

void CTerminateEvent::Close() { m_state.reset(); }

}  // namespace ostrin::platform
