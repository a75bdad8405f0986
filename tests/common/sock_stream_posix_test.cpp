// The socket stream under POSIX signals: a signal that interrupts a wait does not end it.
#include <pthread.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common/sock_stream.h"
#include "tests/common/loopback_pair.h"

namespace {

std::atomic<int> g_signalsSeen{0};

void CountSignal(int) { g_signalsSeen.fetch_add(1); }

TEST(SockStreamPosixTest, SignalsDoNotCutAWaitShort) {
  // A handler without SA_RESTART: every signal makes a blocked poll return EINTR.
  struct sigaction action {};
  action.sa_handler = CountSignal;
  sigemptyset(&action.sa_mask);
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

  CLoopbackPair pair;
  pair.client.timeoutSeconds = 5;
  std::atomic<bool> reading{false};
  uint32_t value = 0;
  int32_t error = 0;
  std::thread reader([&] {
    reading = true;
    error = SockErrorOf([&] { value = pair.client.ReadU32(); });
  });
  while (!reading) std::this_thread::yield();
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pthread_kill(reader.native_handle(), SIGUSR1);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  pair.service->WriteU32(0x600DF00D);
  reader.join();
  sigaction(SIGUSR1, &previous, nullptr);

  EXPECT_EQ(error, 0);
  EXPECT_EQ(value, 0x600DF00Du);
  EXPECT_GE(g_signalsSeen.load(), 1);
}

}  // namespace
