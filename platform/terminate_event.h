// The event that ends the service's cleanup thread: manual-reset, signalled once when the service stops.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/types.h"

namespace ostrin::platform {

// Windows: a named manual-reset event of the kernel. Elsewhere: a flag under a condition variable
// (the name is not used; nothing outside the process waits on it).
class CTerminateEvent {
 public:
  CTerminateEvent();
  ~CTerminateEvent();
  CTerminateEvent(const CTerminateEvent&) = delete;
  CTerminateEvent& operator=(const CTerminateEvent&) = delete;

  // Creates the event, not signalled. Returns false with the system's last error set on failure.
  bool Create(const WString& name);
  // Signals the event; it stays signalled, every present and later wait returns at once.
  void Signal();
  // Waits at most timeoutMs milliseconds; true when the event is signalled, false on time-out (or when
  // the event was never created).
  bool Wait(uint32_t timeoutMs);
  void Close();

 private:
  struct State;
  std::unique_ptr<State> m_state;
};

}  // namespace ostrin::platform
