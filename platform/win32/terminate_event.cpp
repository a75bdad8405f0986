// The terminate event on Windows: a named manual-reset event object.
#include "platform/terminate_event.h"

#include <windows.h>

#include "platform/win32/unique_handle.h"

namespace ostrin::platform {

struct CTerminateEvent::State {
  UniqueHandle event;
};

CTerminateEvent::CTerminateEvent() = default;

CTerminateEvent::~CTerminateEvent() = default;

bool CTerminateEvent::Create(const WString& name) {
  auto state = std::make_unique<State>();
  state->event.Reset(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
  if (!state->event.IsValid()) return false;
  m_state = std::move(state);
  return true;
}

void CTerminateEvent::Signal() {
  if (m_state) ::SetEvent(m_state->event.Get());
}

bool CTerminateEvent::Wait(uint32_t timeoutMs) {
  if (!m_state) return false;
  return ::WaitForSingleObject(m_state->event.Get(), timeoutMs) == WAIT_OBJECT_0;
}

void CTerminateEvent::Close() { m_state.reset(); }

}  // namespace ostrin::platform
