// Reads that their caller can give up on: a device that stops answering (a disk that hangs, a network
// block device whose server has gone) never returns from its read, so the read runs on a reader
// thread, into memory of that thread, and the caller waits for it in slices, asking between them
// whether to give up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace ostrin::platform {

// A read that has not answered within a slice is given up on as soon as the caller's check says so;
// one that answers within it never is.
inline constexpr int32_t READ_WAIT_SLICE_MS = 100;

// While an object of this class lives, reads of volume devices made on this thread are bounded: they
// run on their device's reader thread and are given up on once a slice ends without their result and
// check (called on this thread) returns true. Reads on other threads go straight to the device.
class CReadGiveUp {
 public:
  explicit CReadGiveUp(std::function<bool()> check);
  ~CReadGiveUp();
  CReadGiveUp(const CReadGiveUp&) = delete;
  CReadGiveUp& operator=(const CReadGiveUp&) = delete;

  // This thread's check, or null when its reads are not bounded.
  static const std::function<bool()>* Current();

 private:
  std::function<bool()> m_check;
  const std::function<bool()>* m_outer;
};

// One reader thread with its memory. A read given up on goes on into that memory alone, which the
// thread keeps until the read returns; the thread then ends if its owner has gone, or takes the next
// read. The owner's destructor never waits for the thread.
class CBoundedReader {
 public:
  // A blocking read of up to length bytes into buffer: true with *bytesRead, or false with *error
  // (the system's error code). It runs on the reader thread, so it must hold what it reads from (a
  // descriptor or a source) by value or shared ownership, never through its caller.
  using Read = std::function<bool(void* buffer, size_t length, size_t* bytesRead, uint32_t* error)>;

  CBoundedReader();
  ~CBoundedReader();
  CBoundedReader(const CBoundedReader&) = delete;
  CBoundedReader& operator=(const CBoundedReader&) = delete;

  // Runs read on the reader thread (after the read before it, if that one still runs) and copies what
  // arrived into buffer. Returns read's result with the system's last error set from *error on
  // failure. Given up on (giveUp true at the end of a slice), it returns false with the error
  // ErrorReadGivenUp() (platform/system_error.h) and leaves buffer as it was. Memory that buffer needs is aligned to alignment
  // (a power of two; the device's sector size) on the reader's side too.
  bool Run(Read read, void* buffer, size_t length, size_t alignment, size_t* bytesRead,
           const std::function<bool()>& giveUp);

 private:
  struct State;
  // The reader thread's loop: takes each read handed over until the owner has gone.
  static void ServeReads(const std::shared_ptr<State>& shared);

  std::shared_ptr<State> m_state;
};

}  // namespace ostrin::platform
