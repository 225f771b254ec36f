// The event queue, window timers, threads and the DPI/font rules.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "runtime_env.h"

namespace {

struct ScaleCase {
  double dpi;
  float scale;
};

// Catches a scale that is not round(DPI)/96 (Qt's fractional DPI leaking into layouts).
TEST(Scale, FromDpiRounds) {
  const ScaleCase cases[] = {{96, 1.0f},  {120, 1.25f}, {144, 1.5f}, {143.6, 1.5f},
                             {192, 2.0f}, {0, 1.0f},    {-5, 1.0f},  {95.5, 1.0f}};
  for (const auto& c : cases) EXPECT_FLOAT_EQ(ScaleFromDpi(c.dpi), c.scale) << c.dpi;
}

// Catches 0.75 instead of 0.72, or truncation instead of rounding half away from zero.
TEST(Fonts, UiFontPixelHeightRule) {
  struct Case {
    float size;
    int px;
  };
  const Case cases[] = {{10, 14}, {9, 13}, {12, 17}, {11, 15}, {7.2f, 10}, {16.5f, 23}, {15, 21}, {0, 0}};
  for (const auto& c : cases) EXPECT_EQ(UiFontPixelHeight(c.size), c.px) << c.size;
}

// Catches CreateUiFont ignoring the rule or the face, and FreeFont leaving the handle valid.
TEST(Fonts, CreateUiFontUsesPixelHeight) {
  int f = CreateUiFont("Source Sans Pro", 15.0f);
  ASSERT_GT(f, 0);
  EXPECT_EQ(FontPixelSize(f), 21);
  int g = CreateUiFont("Source Sans Pro", 10.0f);
  EXPECT_NE(f, g);
  EXPECT_GT(MeasureTextWidth(f, "Corvale Player"), MeasureTextWidth(g, "Corvale Player"));
  EXPECT_EQ(FreeFont(f), 1);
  EXPECT_EQ(FontPixelSize(f), 0);
  EXPECT_EQ(FreeFont(0), 1);
  FreeFont(g);
}

// Catches lost or reordered events when several threads post at once.
TEST(EventQueue, KeepsPostingOrderPerThread) {
  constexpr int kThreads = 4, kPerThread = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t]() {
      for (int i = 0; i < kPerThread; ++i) PostEvent(EventCustomFirst + 7, 1, i, 0, t);
    });
  for (auto& th : threads) th.join();
  std::vector<int> next(kThreads, 0);
  int total = 0;
  while (int ev = WaitWindowEvent(0)) {
    if (ev != EventCustomFirst + 7) continue;
    int t = EventData();
    ASSERT_GE(t, 0);
    ASSERT_LT(t, kThreads);
    EXPECT_EQ(EventObject(), next[t]) << "thread " << t;
    next[t] = EventObject() + 1;
    ++total;
  }
  EXPECT_EQ(total, kThreads * kPerThread);
}

// Catches a wait that sleeps through a post from another thread until its time-out.
TEST(EventQueue, PostFromThreadWakesTheWait) {
  while (WaitWindowEvent(0)) {
  }
  std::thread poster([]() {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    PostEvent(EventCustomFirst + 9, 3, 42);
  });
  auto start = std::chrono::steady_clock::now();
  int ev = WaitWindowEvent(20000);
  auto waited = std::chrono::steady_clock::now() - start;
  poster.join();
  EXPECT_EQ(ev, EventCustomFirst + 9);
  EXPECT_EQ(EventWindow(), 3);
  EXPECT_EQ(EventObject(), 42);
  // Woken by the post, not by the end of the 20 s wait.
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(), 10000);
}

// Catches a wait that returns 0 before its time or an event that was never posted.
TEST(EventQueue, EmptyWaitReturnsZero) {
  while (WaitWindowEvent(0)) {
  }
  EXPECT_EQ(WaitWindowEvent(0), 0);
  EXPECT_EQ(WaitWindowEvent(20), 0);
  EXPECT_EQ(PendingEventCount(), 0);
}

// Catches a wait that comes back a fraction of a millisecond early: the loop, which
// then finds nothing due, asks again for the same moment and spins until it comes.
TEST(EventQueue, WaitNeverEndsBeforeItsTime) {
  while (WaitWindowEvent(0)) {
  }
  for (int ms = 1; ms <= 4; ++ms) {
    for (int i = 0; i < 5; ++i) {
      const auto start = std::chrono::steady_clock::now();
      ASSERT_EQ(WaitWindowEvent(ms), 0);
      EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(ms));
    }
  }
}

// Catches timers that do not fire, carry the wrong id, or keep firing after removal.
TEST(Timers, DeliverIdAndStopOnRemoval) {
  ASSERT_EQ(OpenWindow(9, 0, 0, 40, 40, "timers", WindowInvisible), 1);
  ASSERT_EQ(AddWindowTimer(9, 3, 10), 1);
  EXPECT_EQ(WaitForEvent(EventTimer, 9, 3), 1);
  EXPECT_EQ(EventType(), 0);
  RemoveWindowTimer(9, 3);
  int stray = 0;
  for (int i = 0; i < 10; ++i)
    if (WaitWindowEvent(10) == EventTimer && EventWindow() == 9) ++stray;
  EXPECT_EQ(stray, 0);
  // A timer of a missing window is refused.
  EXPECT_EQ(AddWindowTimer(33, 1, 10), 0);
  CloseWindow(9);
}

std::atomic<int> gThreadArg{0};
std::atomic<int> gThreadNumberSeen{0};
void StoreArgument(int arg) {
  gThreadArg = arg;
  gThreadNumberSeen = CurrentThread();
}

std::atomic<int> gLoops{0};
void RunUntilStopped(int) {
  while (!ThreadStopRequested()) {
    ++gLoops;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Catches a thread that does not get its argument, or is reported running after it ended.
TEST(Threads, RunWithArgumentAndEnd) {
  int t = CreateThread(StoreArgument, 1234);
  ASSERT_GT(t, 0);
  EXPECT_EQ(WaitThread(t, -1), 1);
  EXPECT_EQ(gThreadArg.load(), 1234);
  EXPECT_EQ(gThreadNumberSeen.load(), t);
  EXPECT_EQ(IsThread(t), 0);
  EXPECT_EQ(IsThread(0), 0);
  int u = CreateThread(StoreArgument, 1);
  EXPECT_NE(u, t);  // numbers are not reused
  WaitThread(u, -1);
}

// Catches a stop request that never reaches the thread (the teardown would hang).
TEST(Threads, CooperativeStop) {
  int t = CreateThread(RunUntilStopped, 0);
  ASSERT_GT(t, 0);
  EXPECT_EQ(IsThread(t), 1);
  EXPECT_EQ(WaitThread(t, 20), 0);  // still running
  RequestThreadStop(t);
  EXPECT_EQ(WaitThread(t, -1), 1);
  EXPECT_EQ(IsThread(t), 0);
  EXPECT_EQ(ThreadStopRequested(), 0);  // the main thread is not asked to stop
}

}  // namespace

namespace {

// Catches the private font not registered, so every window would fall back to another face.
TEST(Fonts, PrivateFontResolves) {
  EXPECT_EQ(RegisterPrivateFont("/nonexistent/font.otf"), 0);
  // The program data folder beside the executables, as the player finds it.
  const char* env = getenv("CORVALE_DATA_DIR");
  std::string data = env && *env ? std::string(env) + "/" : ExecutableFolder() + "data/";
  ASSERT_EQ(RegisterPrivateFont(data + "SourceSansPro-Regular.otf"), 1) << data;
  int f = CreateUiFont("Source Sans Pro", 10.0f);
  EXPECT_EQ(FontFamily(f), "Source Sans Pro");
  FreeFont(f);
}

}  // namespace
