// Halting playback and the exit's bounded wait for the workers (core/halt.cpp).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core_env.h"

namespace {

std::atomic<int> gReleaseStubborn{0};

// A worker that ends as soon as it is asked to stop.
void PoliteWorker(int) {
  while (!ThreadStopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

// A worker stuck in a long operation that does not look at the stop request.
void StubbornWorker(int) {
  while (!gReleaseStubborn.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

}  // namespace

// Halting asks the workers to stop instead of freezing them; they end on their own.
TEST_F(Halt, HaltAsksWorkersToStop) {
  int thread = CreateThread(PoliteWorker, 0);
  ASSERT_GT(thread, 0);
  gApp.versionCheckThread = thread;
  HaltPlayback();
  EXPECT_EQ(gPlayer.shutdown.load(), 1);
  EXPECT_EQ(WaitForWorkers(60000), 1);
  EXPECT_EQ(IsThread(thread), 0);
}

// The exit never waits without bound: a worker that does not stop is reported, not awaited.
TEST_F(Halt, ExitWaitIsBounded) {
  gReleaseStubborn = 0;
  int thread = CreateThread(StubbornWorker, 0);
  ASSERT_GT(thread, 0);
  gPlayer.workerThread = thread;
  HaltPlayback();
  EXPECT_EQ(WaitForWorkers(20), 0);
  gReleaseStubborn = 1;
  EXPECT_EQ(WaitForWorkers(60000), 1);
}
