// Reads of a volume that stop answering: a device read on a thread with a give-up check runs on the
// device's reader thread and is given up on when the check says so, without a late answer ever
// reaching the caller's memory, even after the device itself has gone.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/bounded_read.h"
#include "platform/system_error.h"
#include "platform/volume_device.h"

namespace {

using ostrin::platform::CReadGiveUp;
using ostrin::platform::CVolumeDevice;
using ostrin::platform::IVolumeSource;

constexpr uint8_t FILL = 0xAB;

// A volume whose reads wait until they are let go (or answer at once), then fill what they were given.
class CStallingSource : public IVolumeSource {
 public:
  explicit CStallingSource(bool stalls) : m_stalls(stalls) {}

  bool ReadAt(uint64_t /*offset*/, void* buffer, size_t length, size_t* bytesRead) const override {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_readThread = std::this_thread::get_id();
    ++m_entered;
    m_changed.notify_all();
    m_changed.wait(lock, [this] { return !m_stalls || m_letGo; });
    std::memset(buffer, FILL, length);
    *bytesRead = length;
    ++m_answered;
    m_changed.notify_all();
    return true;
  }

  void WaitEntered(int count) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [&] { return m_entered >= count; });
  }
  void LetGoAndWaitAnswered(int count) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_letGo = true;
    m_changed.notify_all();
    m_changed.wait(lock, [&] { return m_answered >= count; });
  }
  std::thread::id ReadThread() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_readThread;
  }

 private:
  const bool m_stalls;
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  mutable int m_entered = 0;
  mutable int m_answered = 0;
  mutable std::thread::id m_readThread;
  bool m_letGo = false;
};

TEST(BoundedReadTest, AReadThatStopsAnsweringIsGivenUpOnAndItsLateAnswerGoesNowhere) {
  struct Case {
    const char* name;
    bool stalls;             // the read waits until it is let go
    bool bounded;            // the reading thread has a give-up check
    bool deviceGoesFirst;    // the device is closed and destroyed while its read still waits
    bool kept;               // the buffer lies in memory that the check's owner keeps
    bool read;               // what ReadAt answers
  };
  const std::vector<Case> cases = {
      {"a bounded read that answers gets its answer", false, true, false, false, true},
      {"a stalled read is given up on", true, true, false, false, false},
      {"a stalled read outlives its device", true, true, true, false, false},
      {"a stalled read into kept memory lands there late, kept alive", true, true, false, true, false},
      {"without a check the read is the caller's own", false, false, false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto source = std::make_shared<CStallingSource>(c.stalls);
    auto device = std::make_unique<CVolumeDevice>();
    device->OpenSource(source);
    std::atomic<bool> stop{false};
    const auto memory = std::make_shared<std::vector<uint8_t>>(4096, 0);
    std::vector<uint8_t>& buffer = *memory;
    size_t got = 1;
    bool read = false;
    uint32_t error = 0;
    std::thread::id readerId;
    std::thread reader([&] {
      readerId = std::this_thread::get_id();
      std::unique_ptr<CReadGiveUp> check;
      if (c.bounded && c.kept) {
        check = std::make_unique<CReadGiveUp>([&stop] { return stop.load(); }, memory, memory->data(), memory->size());
      } else if (c.bounded) {
        check = std::make_unique<CReadGiveUp>([&stop] { return stop.load(); });
      }
      read = device->ReadAt(0, buffer.data(), buffer.size(), &got);
      error = ostrin::platform::LastSystemError();
    });
    if (c.stalls) {
      source->WaitEntered(1);
      stop = true;
    }
    reader.join();
    EXPECT_EQ(read, c.read);
    if (!c.read) {
      EXPECT_EQ(error, ostrin::platform::ErrorReadGivenUp());
      EXPECT_EQ(got, 0u);
      if (c.deviceGoesFirst) device.reset();
      // The late answer lands in the reader's own memory, or straight in kept memory, which the
      // reader holds until then and no longer.
      EXPECT_EQ(memory.use_count() > 1, c.kept);
      source->LetGoAndWaitAnswered(1);
      EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [&c](uint8_t b) { return b == (c.kept ? FILL : 0); }));
      for (int wait = 0; wait < 100 && memory.use_count() > 1; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      EXPECT_EQ(memory.use_count(), 1);
      if (device) {
        // The reader is free again: the next read gets its answer.
        const CReadGiveUp check([] { return false; });
        EXPECT_TRUE(device->ReadAt(0, buffer.data(), buffer.size(), &got));
        EXPECT_EQ(got, buffer.size());
      }
    } else {
      EXPECT_EQ(got, buffer.size());
      EXPECT_EQ(source->ReadThread() != readerId, c.bounded) << "only a bounded read runs elsewhere";
    }
    if (device) {
      EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == FILL; }));
    }
  }
}

}  // namespace
