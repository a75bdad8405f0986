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
  // With directOwner set, buffer lies in memory that directOwner keeps: the read goes straight into
  // it, with no copy, and the reader thread holds directOwner until the read returns. A read given up
  // on may then still write into buffer after Run has returned.
  bool Run(Read read, void* buffer, size_t length, size_t alignment, size_t* bytesRead,
           const std::function<bool()>& giveUp, std::shared_ptr<void> directOwner = nullptr);

 private:
  struct State;
  // The reader thread's loop: takes each read handed over until the owner has gone.
  static void ServeReads(const std::shared_ptr<State>& shared);

  std::shared_ptr<State> m_state;
};

// While an object of this class lives, reads of volume devices made on this thread are bounded: they
// run on a reader thread of this object's own (so that reads of several threads never wait for one
// another) and are given up on once a slice ends without their result and check (called on this
// thread) returns true. Reads on other threads go straight to the device.
class CReadGiveUp {
 public:
  explicit CReadGiveUp(std::function<bool()> check);
  // Reads into [begin, begin + size), memory that owner keeps, go straight there (the reader thread
  // keeps owner until a read given up on returns); others go through the reader's own memory.
  CReadGiveUp(std::function<bool()> check, std::shared_ptr<void> owner, const void* begin, size_t size);
  ~CReadGiveUp();
  CReadGiveUp(const CReadGiveUp&) = delete;
  CReadGiveUp& operator=(const CReadGiveUp&) = delete;

  // This thread's innermost object, or null when its reads are not bounded.
  static CReadGiveUp* Current();
  const std::function<bool()>& Check() const { return m_check; }

  // Runs read (of up to length bytes into buffer) on this object's reader thread, as
  // CBoundedReader::Run does.
  bool Read(CBoundedReader::Read read, void* buffer, size_t length, size_t alignment, size_t* bytesRead);

 private:
  std::function<bool()> m_check;
  std::shared_ptr<void> m_owner;
  const unsigned char* m_begin = nullptr;
  size_t m_size = 0;
  CBoundedReader m_reader;
  CReadGiveUp* m_outer;
};

}  // namespace ostrin::platform
