// Reads that their caller can give up on: the reader thread and the sliced wait (portable).
#include "platform/bounded_read.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/system_error.h"

namespace ostrin::platform {

namespace {

thread_local CReadGiveUp* t_giveUp = nullptr;

}  // namespace

CReadGiveUp::CReadGiveUp(std::function<bool()> check) : CReadGiveUp(std::move(check), nullptr, nullptr, 0) {}

CReadGiveUp::CReadGiveUp(std::function<bool()> check, std::shared_ptr<void> owner, const void* begin, size_t size)
    : m_check(std::move(check)),
      m_owner(std::move(owner)),
      m_begin(static_cast<const unsigned char*>(begin)),
      m_size(m_owner != nullptr ? size : 0),
      m_outer(t_giveUp) {
  t_giveUp = this;
}

CReadGiveUp::~CReadGiveUp() { t_giveUp = m_outer; }

CReadGiveUp* CReadGiveUp::Current() { return t_giveUp; }

bool CReadGiveUp::Read(CBoundedReader::Read read, void* buffer, size_t length, size_t alignment, size_t* bytesRead) {
  const auto* at = static_cast<const unsigned char*>(buffer);
  const bool direct = m_size != 0 && at >= m_begin && length <= m_size && static_cast<size_t>(at - m_begin) <= m_size - length;
  return m_reader.Run(std::move(read), buffer, length, alignment, bytesRead, m_check, direct ? m_owner : nullptr);
}

// What the owner and the reader thread share. A read moves from Idle to Pending (the owner hands it
// over), Running (the thread has taken it), Done (its result is there) and back to Idle when its owner
// takes the result; a read given up on stays Done, abandoned, until the next one finds it so.
struct CBoundedReader::State {
  enum class EPhase { Idle, Pending, Running, Done };

  std::mutex mutex;
  std::condition_variable changed;
  EPhase phase = EPhase::Idle;
  bool abandoned = false;
  bool ownerGone = false;
  bool threadStarted = false;

  Read read;
  size_t length = 0;
  // A read straight into its caller's memory: where, and what keeps that memory while the read runs.
  uint8_t* direct = nullptr;
  std::shared_ptr<void> directOwner;
  // The thread's memory: reads go there and nowhere else, so that one given up on may still write.
  std::unique_ptr<uint8_t[]> memory;
  size_t capacity = 0;
  uint8_t* data = nullptr;

  bool result = false;
  size_t bytes = 0;
  uint32_t error = 0;

  void Reserve(size_t wanted, size_t alignment) {
    const size_t needed = wanted + alignment;
    if (data != nullptr && capacity >= needed && reinterpret_cast<uintptr_t>(data) % alignment == 0) return;
    memory.reset(new uint8_t[needed]);
    capacity = needed;
    const uintptr_t address = reinterpret_cast<uintptr_t>(memory.get());
    data = memory.get() + (alignment - address % alignment) % alignment;
  }
};

CBoundedReader::CBoundedReader() : m_state(std::make_shared<State>()) {}

CBoundedReader::~CBoundedReader() {
  // The thread ends at once when it is idle, or after the read it is in returns.
  const std::lock_guard<std::mutex> lock(m_state->mutex);
  m_state->ownerGone = true;
  m_state->changed.notify_all();
}

bool CBoundedReader::Run(Read read, void* buffer, size_t length, size_t alignment, size_t* bytesRead,
                         const std::function<bool()>& giveUp, std::shared_ptr<void> directOwner) {
  *bytesRead = 0;
  if (alignment == 0) alignment = 1;
  State& state = *m_state;
  std::unique_lock<std::mutex> lock(state.mutex);
  const auto waitOrGiveUp = [&](auto ready) {
    while (!ready()) {
      if (state.changed.wait_for(lock, std::chrono::milliseconds(READ_WAIT_SLICE_MS), ready)) break;
      if (giveUp()) return false;
    }
    return true;
  };
  // A read given up on before may still run; this one waits for it as for its own.
  const bool free = waitOrGiveUp([&state] {
    if (state.phase == State::EPhase::Done && state.abandoned) {
      state.phase = State::EPhase::Idle;
      state.abandoned = false;
    }
    return state.phase == State::EPhase::Idle;
  });
  if (!free) {
    SetLastSystemError(ErrorReadGivenUp());
    return false;
  }
  if (directOwner == nullptr) state.Reserve(length, alignment);
  if (!state.threadStarted) {
    try {
      std::thread(ServeReads, m_state).detach();
      state.threadStarted = true;
    } catch (const std::system_error&) {
      // No thread to be had: this read goes straight to the device, unbounded.
      lock.unlock();
      uint32_t error = 0;
      const bool result = read(buffer, length, bytesRead, &error);
      if (!result) SetLastSystemError(error);
      return result;
    }
  }
  state.read = std::move(read);
  state.length = length;
  state.direct = directOwner != nullptr ? static_cast<uint8_t*>(buffer) : nullptr;
  state.directOwner = std::move(directOwner);
  state.phase = State::EPhase::Pending;
  state.changed.notify_all();
  if (!waitOrGiveUp([&state] { return state.phase == State::EPhase::Done; })) {
    // The read goes on into the thread's memory; nothing of it reaches buffer.
    state.abandoned = true;
    SetLastSystemError(ErrorReadGivenUp());
    return false;
  }
  state.phase = State::EPhase::Idle;
  if (state.bytes > 0 && state.direct == nullptr) std::memcpy(buffer, state.data, state.bytes);
  *bytesRead = state.bytes;
  if (!state.result) SetLastSystemError(state.error);
  return state.result;
}

void CBoundedReader::ServeReads(const std::shared_ptr<State>& shared) {
  using EPhase = State::EPhase;
  State& state = *shared;
  std::unique_lock<std::mutex> lock(state.mutex);
  for (;;) {
    state.changed.wait(lock, [&state] { return state.phase == EPhase::Pending || state.ownerGone; });
    if (state.phase != EPhase::Pending) return;  // the owner has gone and nothing is asked
    state.phase = EPhase::Running;
    Read read = std::move(state.read);
    uint8_t* const into = state.direct != nullptr ? state.direct : state.data;
    std::shared_ptr<void> directOwner = std::move(state.directOwner);
    const size_t length = state.length;
    lock.unlock();
    size_t bytes = 0;
    uint32_t error = 0;
    const bool result = read(into, length, &bytes, &error);
    read = nullptr;  // what the read held (a descriptor, a source, the memory) goes with it
    directOwner.reset();
    lock.lock();
    state.result = result;
    state.bytes = bytes < length ? bytes : length;
    state.error = error;
    state.phase = EPhase::Done;
    state.changed.notify_all();
  }
}

}  // namespace ostrin::platform
