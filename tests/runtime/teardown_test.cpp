// The final teardown with work still going on, and a runtime started again after it.
#ifdef _WIN32
#include <windows.h>
#else
#include <QApplication>
#include <QMessageBox>
#endif

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "runtime_env.h"

namespace {

std::atomic<int> gBoxAnswer{0};
void AskQuestion(int) {
  gBoxAnswer = ShowMessageBox("Corvale Player Downloader", "Do you wish to update?", MbYesNo, 0);
}

std::atomic<int> gSpins{0};
void SpinUntilStopped(int) {
  while (!ThreadStopRequested()) {
    ++gSpins;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool BoxShown() {
#ifdef _WIN32
  HWND box = FindWindowW(L"#32770", L"Corvale Player Downloader");
  return box && IsWindowVisible(box);
#else
  for (QWidget* w : QApplication::topLevelWidgets())
    if (qobject_cast<QMessageBox*>(w) && w->isVisible()) return true;
  return false;
#endif
}

// Catches a teardown that hangs on a worker waiting for its box, or on a worker that
// only stops when asked, and a runtime that cannot start again afterwards.
TEST(Teardown, AnswersBoxesStopsWorkersAndRestarts) {
  setenv("CORVALE_DIALOGS", "show", 1);
  ASSERT_EQ(OpenWindow(1, 0, 0, 23, 128, "Corvale Player", WindowBorderless), 1);
  gBoxAnswer = 0;
  int asker = CreateThread(AskQuestion, 0);
  int spinner = CreateThread(SpinUntilStopped, 0);
  ASSERT_GT(asker, 0);
  ASSERT_GT(spinner, 0);
  for (int i = 0; i < 2000 && !BoxShown(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    WaitWindowEvent(1);
  }
  EXPECT_TRUE(BoxShown());
  RuntimeTeardown();
  EXPECT_EQ(RuntimeReady(), 0);
  EXPECT_EQ(gBoxAnswer.load(), IdNo);  // a question nobody answered is a No
  EXPECT_EQ(IsThread(asker), 0);
  EXPECT_EQ(IsThread(spinner), 0);
  EXPECT_EQ(IsWindow(1), 0);
  // A box asked for after the teardown is answered at once.
  setenv("CORVALE_DIALOGS", "stderr", 1);
  static char arg0[] = "test_runtime";
  static char* argv[] = {arg0, nullptr};
  ASSERT_EQ(RuntimeInit(1, argv), 1);
  ASSERT_EQ(OpenWindow(1, 0, 0, 23, 128, "Corvale Player", WindowBorderless | WindowInvisible), 1);
  PostEvent(EventCustomFirst, 1, 0);
  EXPECT_EQ(WaitForEvent(EventCustomFirst, 1), 1);
  CloseWindow(1);
  PumpEvents(2);
}

}  // namespace
