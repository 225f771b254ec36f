// Windows, controls, menus, the clipboard, the dialogs' unattended mode and the
// instance marker, through the runtime's own functions.
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

#ifndef _WIN32
#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QSessionManager>
#endif

#include "platform/platform.h"
#include "runtime_env.h"

namespace {

// Catches windows that keep their number after closing, or sizes applied to the frame.
TEST(Windows, OpenResizeTitleClose) {
  EXPECT_EQ(OpenWindow(0, 0, 0, 10, 10, "bad", 0), 0);
  EXPECT_EQ(OpenWindow(64, 0, 0, 10, 10, "bad", 0), 0);
  ASSERT_EQ(OpenWindow(2, 50, 60, 120, 80, "Stats", WindowCaption | WindowSystemMenu | WindowInvisible, 0), 1);
  EXPECT_EQ(OpenWindow(2, 0, 0, 10, 10, "again", 0), 0);  // number in use
  EXPECT_EQ(IsWindow(2), 1);
  EXPECT_EQ(WindowClientWidth(2), 120);
  EXPECT_EQ(WindowClientHeight(2), 80);
  EXPECT_EQ(GetWindowTitle(2), "Stats");
  SetWindowTitle(2, "Artist - Title - Corvale Player");
  EXPECT_EQ(GetWindowTitle(2), "Artist - Title - Corvale Player");
  ResizeWindow(2, -1, -1, 200, 90);
  EXPECT_EQ(WindowClientWidth(2), 200);
  EXPECT_EQ(WindowClientHeight(2), 90);
  EXPECT_EQ(GetWindowState(2), WindowNormal);
  int x = 0, y = 0, w = 0, h = 0;
  EXPECT_EQ(GetWindowRect(2, &x, &y, &w, &h), 1);
  EXPECT_GE(w, 200);
  EXPECT_GE(h, 90);
  EXPECT_GT(WindowScale(2), 0.0f);
  CloseWindow(2);
  EXPECT_EQ(IsWindow(2), 0);
  EXPECT_EQ(GetWindowRect(2, &x, &y, &w, &h), 0);
  PumpEvents(2);
}

// Catches a closed owner taking its owned window's widget with it (a dangling entry).
TEST(Windows, OwnedWindowSurvivesOwnerClose) {
  ASSERT_EQ(OpenWindow(1, 0, 0, 23, 128, "Corvale Player", WindowBorderless | WindowSystemMenu | WindowMinimizeBox), 1);
  ASSERT_EQ(OpenWindow(6, 10, 10, 100, 50, "Debug", WindowCaption | WindowSystemMenu, 1), 1);
  CloseWindow(1);
  PumpEvents(3);
  EXPECT_EQ(IsWindow(6), 1);
  EXPECT_EQ(WindowClientWidth(6), 100);
  int img = GrabWindowImage(6, ImageAny);  // still a live window that can be drawn
  EXPECT_GT(img, 0);
  FreeImage(img);
  CloseWindow(6);
  PumpEvents(3);
}

// Catches text controls that alter the text they were given, and progress bars that
// accept values outside their range.
TEST(Gadgets, TextButtonProgress) {
  ASSERT_EQ(OpenWindow(6, 0, 0, 454, 296, "Corvale Player Debug Log", WindowCaption | WindowInvisible), 1);
  ASSERT_EQ(TextGadget(6, 22, 2, 2, 450, 260, "Debug"), 1);
  ASSERT_EQ(ButtonGadget(6, 23, 187, 264, 80, 30, "Savepath"), 1);
  ASSERT_EQ(ProgressBarGadget(6, 24, 0, 0, 100, 20, 0, 100), 1);
  EXPECT_EQ(GetGadgetText(6, 22), "Debug");
  SetGadgetText(6, 22, "line 1\r\nline 2\r\n");
  EXPECT_EQ(GetGadgetText(6, 22), "line 1\r\nline 2\r\n");
  EXPECT_EQ(GetGadgetText(6, 23), "Savepath");
  SetGadgetState(6, 24, 250);
  EXPECT_EQ(GetGadgetState(6, 24), 100);
  SetGadgetState(6, 24, 42);
  EXPECT_EQ(GetGadgetState(6, 24), 42);
  ResizeGadget(6, 23, 10, -1, 90, -1);
  EXPECT_EQ(GadgetX(6, 23), 10);
  EXPECT_EQ(GadgetY(6, 23), 264);
  EXPECT_EQ(GadgetWidth(6, 23), 90);
  EXPECT_EQ(GadgetHeight(6, 23), 30);
  DisableGadget(6, 23, 1);
  EXPECT_EQ(IsGadgetDisabled(6, 23), 1);
  DisableGadget(6, 23, 0);
  EXPECT_EQ(IsGadgetDisabled(6, 23), 0);
  FreeGadget(6, 24);
  EXPECT_EQ(IsGadget(6, 24), 0);
  EXPECT_EQ(IsGadget(6, 22), 1);
  EXPECT_EQ(IsGadget(5, 22), 0);  // numbers belong to their window
  CloseWindow(6);
  PumpEvents(2);
}

// Catches the debug log's text set from a worker thread being lost or applied off the
// main thread (the log window is written from every thread).
TEST(Gadgets, TextFromWorkerThreadArrives) {
  ASSERT_EQ(OpenWindow(6, 0, 0, 100, 100, "log", WindowInvisible), 1);
  ASSERT_EQ(TextGadget(6, 22, 0, 0, 100, 100, "Debug"), 1);
  std::thread t([]() { SetGadgetText(6, 22, "from a worker\r\n"); });
  t.join();
  for (int i = 0; i < 50 && GetGadgetText(6, 22) != "from a worker\r\n"; ++i) WaitWindowEvent(5);
  EXPECT_EQ(GetGadgetText(6, 22), "from a worker\r\n");
  CloseWindow(6);
  PumpEvents(2);
}

// Catches canvas drawings that are not kept, or not shown in the window's picture.
TEST(Gadgets, CanvasKeepsWhatIsDrawn) {
  ASSERT_EQ(OpenWindow(4, 0, 0, 60, 40, "canvas", WindowCaption), 1);
  SetWindowColor(4, 0x2C1C3C);
  ASSERT_EQ(CanvasGadget(4, 10, 10, 10, 20, 20), 1);
  ASSERT_EQ(StartDrawingCanvas(4, 10), 1);
  EXPECT_EQ(OutputWidth(), 20);
  DrawBox(0, 0, 20, 20, 0x00FF00);
  StopDrawing();
  ASSERT_EQ(StartDrawingWindow(4), 1);
  DrawBox(0, 0, 5, 5, 0xFF0000);
  StopDrawing();
  PumpEvents(3);
  int img = GrabWindowImage(4, ImageAny);
  ASSERT_GT(img, 0);
  EXPECT_EQ(GetImagePixel(img, 15, 15) & 0xFFFFFF, 0x00FF00u);
  EXPECT_EQ(GetImagePixel(img, 2, 2) & 0xFFFFFF, 0xFF0000u);
  EXPECT_EQ(GetImagePixel(img, 50, 35) & 0xFFFFFF, 0x2C1C3Cu);
  FreeImage(img);
  // Growing the canvas keeps the old picture at the top left.
  ResizeGadget(4, 10, -1, -1, 30, 30);
  ASSERT_EQ(StartDrawingCanvas(4, 10), 1);
  EXPECT_EQ(OutputWidth(), 30);
  StopDrawing();
  PumpEvents(3);
  img = GrabWindowImage(4, ImageAny);
  EXPECT_EQ(GetImagePixel(img, 12, 12) & 0xFFFFFF, 0x00FF00u);
  FreeImage(img);
  CloseWindow(4);
  PumpEvents(2);
}

// Catches menus that lose items or check marks, or deliver the command to the wrong window.
TEST(Menus, ItemsChecksAndChoice) {
  ASSERT_EQ(OpenWindow(1, 0, 0, 23, 128, "Corvale Player", WindowBorderless | WindowInvisible), 1);
  ASSERT_EQ(CreatePopupMenu(1), 1);
  MenuItem(1, 8, "Mute Stream");
  MenuBar(1);
  MenuItem(1, 5, "Volume Auto");
  MenuItem(1, 14, "Quit Player");
  EXPECT_EQ(MenuItemCount(1), 4);
  EXPECT_EQ(MenuItemCommand(1, 0), 8);
  EXPECT_EQ(MenuItemCommand(1, 1), 0);
  EXPECT_EQ(MenuItemText(1, 3), "Quit Player");
  SetMenuItemState(1, 5, 1);
  EXPECT_EQ(GetMenuItemState(1, 5), 1);
  EXPECT_EQ(GetMenuItemState(1, 8), 0);
  SetMenuItemState(1, 5, 0);
  EXPECT_EQ(GetMenuItemState(1, 5), 0);
  while (WaitWindowEvent(0)) {
  }
  ASSERT_EQ(ChooseMenuItem(1, 1, 14), 1);
  EXPECT_EQ(WaitForEvent(EventMenu, 1, 14), 1);
  EXPECT_EQ(ChooseMenuItem(1, 1, 99), 0);
  EXPECT_EQ(DisplayPopupMenu(2, 1, 0, 0), 0);   // no such menu
  EXPECT_EQ(DisplayPopupMenu(1, 17, 0, 0), 0);  // no such window
  CreatePopupMenu(1);                           // re-creation starts empty
  EXPECT_EQ(MenuItemCount(1), 0);
  FreeMenu(1);
  EXPECT_EQ(IsMenu(1), 0);
  CloseWindow(1);
  PumpEvents(2);
}

// Catches a greyed-out item that can still be chosen, or that stays grey once enabled,
// and a state that leaks to the item beside it.
TEST(Menus, DisabledItemCannotBeChosen) {
  ASSERT_EQ(OpenWindow(1, 0, 0, 23, 128, "Corvale Player", WindowBorderless | WindowInvisible), 1);
  ASSERT_EQ(CreatePopupMenu(1), 1);
  MenuItem(1, 17, "Save This Song");
  MenuItem(1, 18, "Record Every Song");
  EXPECT_EQ(GetMenuItemEnabled(1, 17), 1);
  SetMenuItemEnabled(1, 17, 0);
  EXPECT_EQ(GetMenuItemEnabled(1, 17), 0);
  EXPECT_EQ(GetMenuItemEnabled(1, 18), 1);
  EXPECT_EQ(GetMenuItemEnabled(1, 99), 0);
  while (WaitWindowEvent(0)) {
  }
  EXPECT_EQ(ChooseMenuItem(1, 1, 17), 0);
  SetMenuItemEnabled(1, 17, 1);
  EXPECT_EQ(GetMenuItemEnabled(1, 17), 1);
  ASSERT_EQ(ChooseMenuItem(1, 1, 17), 1);
  EXPECT_EQ(WaitForEvent(EventMenu, 1, 17), 1);
  FreeMenu(1);
  CloseWindow(1);
  PumpEvents(2);
}

// Catches a clipboard that drops CR LF or non-ASCII text.
TEST(Clipboard, TextRoundTrip) {
  const std::string text = "Corvale Player Debug Log Window\r\nZo\xC3\xAB \xE2\x80\x93 Caf\xC3\xA9";
  ASSERT_EQ(SetClipboardText(text), 1);
  EXPECT_EQ(GetClipboardText(), text);
}

// Catches escaping that loses CR LF or changes other characters of the line.
TEST(Dialogs, LineEscapesLineEnds) {
  EXPECT_EQ(DialogLine("Abort Debugging?", "Closing the debug window will also\r\nabort."),
            "dialog: Abort Debugging?: Closing the debug window will also\\r\\nabort.");
  EXPECT_EQ(DialogLine("A", "x\ny"), "dialog: A: x\\ny");
}

// Catches answers other than the default button, or CORVALE_DIALOG_ANSWER being ignored.
TEST(Dialogs, StderrModeAnswers) {
  setenv("CORVALE_DIALOGS", "stderr", 1);
  unsetenv("CORVALE_DIALOG_ANSWER");
  struct Case {
    int flags;
    const char* answer;
    int expected;
  };
  const Case cases[] = {
      {MbOk | MbIconError, nullptr, IdOk},
      {MbYesNo | MbIconQuestion, nullptr, IdYes},
      {MbYesNo | MbDefButton2, nullptr, IdNo},
      {MbOkCancel, nullptr, IdOk},
      {MbYesNo, "No", IdNo},
      {MbYesNo, "yes", IdYes},
      {MbYesNoCancel, "cancel", IdCancel},
      {MbOk, "No", IdOk},  // a box without No cannot answer No
      {MbYesNo, "maybe", IdYes},
  };
  for (const auto& c : cases) {
    if (c.answer)
      setenv("CORVALE_DIALOG_ANSWER", c.answer, 1);
    else
      unsetenv("CORVALE_DIALOG_ANSWER");
    testing::internal::CaptureStderr();
    int got = ShowMessageBox("Corvale Player Error!", "line one\r\nline two", c.flags, 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(got, c.expected) << c.flags << " " << (c.answer ? c.answer : "-");
    EXPECT_EQ(err, "dialog: Corvale Player Error!: line one\\r\\nline two\n");
  }
  unsetenv("CORVALE_DIALOG_ANSWER");
}

// Catches a worker's box that blocks forever or answers differently from the main thread's.
TEST(Dialogs, StderrModeFromWorker) {
  setenv("CORVALE_DIALOGS", "stderr", 1);
  setenv("CORVALE_DIALOG_ANSWER", "No", 1);
  int answer = 0;
  testing::internal::CaptureStderr();
  std::thread t([&]() { answer = ShowMessageBox("Corvale Player Version Check", "Go?", MbYesNo, 1); });
  t.join();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(answer, IdNo);
  EXPECT_EQ(err, "dialog: Corvale Player Version Check: Go?\n");
  unsetenv("CORVALE_DIALOG_ANSWER");
}

// Catches the save dialog ignoring CORVALE_DIALOG_FILE or answering a path on cancel.
TEST(Dialogs, SaveFileStderrMode) {
  setenv("CORVALE_DIALOGS", "stderr", 1);
  setenv("CORVALE_DIALOG_FILE", "/tmp/logs/Debug 2026-01-01 00-00-00.txt", 1);
  testing::internal::CaptureStderr();
  std::string path =
      SaveFileRequester("Savepath for debug logs:", "/home/u/Documents/Debug x.txt", "Debug log (*.txt)|*.txt", 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(path, "/tmp/logs/Debug 2026-01-01 00-00-00.txt");
  EXPECT_EQ(err, "dialog: Savepath for debug logs:: /home/u/Documents/Debug x.txt\n");
  setenv("CORVALE_DIALOG_FILE", "", 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(SaveFileRequester("Corvale Player Downloader", "x.exe", "Program Installer|*.exe;*.msi", 0), "");
  testing::internal::GetCapturedStderr();
  unsetenv("CORVALE_DIALOG_FILE");
  testing::internal::CaptureStderr();
  EXPECT_EQ(SaveFileRequester("t", "f", "", 0), "");
  testing::internal::GetCapturedStderr();
}

// Catches a raise request from another start that does not restore the marked window.
TEST(InstanceMarker, RaiseRequestRestoresWindow) {
  std::string dir =
      std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/corvale-marker-" + std::to_string(getpid());
  CreateFolder(dir);
  setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
  const std::string name = "{marker-test}";
  ASSERT_EQ(OpenWindow(1, 0, 0, 23, 128, "Corvale Player", WindowBorderless | WindowMinimizeBox), 1);
  EXPECT_EQ(FindInstanceWindow(name, 1), 0);  // no marker yet: a start exits silently
  ASSERT_EQ(SetInstanceMarker(1, name), 1);
  SetWindowState(1, WindowMinimized);
  PumpEvents(5);
  ASSERT_EQ(GetWindowState(1), WindowMinimized);
  int handle = FindInstanceWindow(name, 1);
  ASSERT_GT(handle, 0);
  EXPECT_EQ(ActivateWindow(handle), 1);
  for (int i = 0; i < 200 && GetWindowState(1) != WindowNormal; ++i) WaitWindowEvent(5);
  EXPECT_EQ(GetWindowState(1), WindowNormal);
  RemoveInstanceMarker(1);
  EXPECT_EQ(FindInstanceWindow(name, 1), 0);
  EXPECT_FALSE(FileExists(InstanceSocketPath(name)));
  CloseWindow(1);
  PumpEvents(2);
  rmdir(dir.c_str());
}

// Catches screen queries that fail on a single-screen desktop.
TEST(Screens, WorkAreaAndCursor) {
  int x = 0, y = 0, w = 0, h = 0;
  ASSERT_EQ(WorkAreaForRect(10, 10, 20, 20, &x, &y, &w, &h), 1);
  EXPECT_GT(w, 0);
  EXPECT_GT(h, 0);
  // A rectangle far off every screen still finds the nearest one.
  EXPECT_EQ(WorkAreaForRect(-100000, -100000, 20, 20, &x, &y, &w, &h), 1);
  EXPECT_EQ(DesktopBounds(&x, &y, &w, &h), 1);
  EXPECT_GT(w, 0);
  CursorPosition(&x, &y);
  EXPECT_GT(WheelScrollLines(), 0);
  EXPECT_GT(SystemScale(), 0.0f);
}

}  // namespace

// The end of the session as Linux delivers it: signals and the session manager's requests.
#ifndef _WIN32
namespace {

int gQueries = 0, gEnds = 0;
int CountSessionEnd(const WindowMessage& m) {
  if (m.kind == MsgQueryEndSession) ++gQueries;
  if (m.kind == MsgEndSession) {
    ++gEnds;
    return 1;
  }
  return 0;
}

// Catches SIGTERM killing the player without the save and shutdown path, and a
// termination during start-up (no callback yet) being lost.
TEST(Session, SignalsBecomeEndOfSession) {
  ASSERT_EQ(OpenWindow(1, 0, 0, 23, 128, "Corvale Player", WindowBorderless | WindowInvisible), 1);
  SetWindowCallback(1, CountSessionEnd);
  gQueries = gEnds = 0;
  raise(SIGTERM);
  for (int i = 0; i < 200 && !gEnds; ++i) WaitWindowEvent(5);
  EXPECT_EQ(gQueries, 1);
  EXPECT_EQ(gEnds, 1);
  SetWindowCallback(1, nullptr);
  while (WaitWindowEvent(0)) {
  }
  raise(SIGHUP);
  EXPECT_EQ(WaitForEvent(EventCloseWindow, 1, 0, 200, 5), 1);
  CloseWindow(1);
  PumpEvents(2);
}

// Catches a session manager's save request (a checkpoint, or a log-out the user may still
// cancel) ending the player: it is only the question step, answered by saving; the real
// end of the session (the toolkit's quit request) still ends it.
TEST(Session, SaveRequestIsNotTheEnd) {
  ASSERT_EQ(OpenWindow(1, 0, 0, 23, 128, "Corvale Player", WindowBorderless | WindowInvisible), 1);
  SetWindowCallback(1, CountSessionEnd);
  gQueries = gEnds = 0;
  // The request's manager object is not looked at by the player; any storage stands in.
  alignas(QSessionManager) static unsigned char manager[sizeof(QSessionManager)] = {};
  QSessionManager& stand = *reinterpret_cast<QSessionManager*>(manager);
  ASSERT_TRUE(QMetaObject::invokeMethod(qApp, "commitDataRequest", Qt::DirectConnection,
                                        QArgument<QSessionManager&>("QSessionManager&", stand)));
  PumpEvents(5);
  EXPECT_EQ(gQueries, 1);
  EXPECT_EQ(gEnds, 0) << "a save request ended the session";
  QEvent quit(QEvent::Quit);
  QCoreApplication::sendEvent(qApp, &quit);
  for (int i = 0; i < 200 && !gEnds; ++i) WaitWindowEvent(5);
  EXPECT_EQ(gQueries, 2);
  EXPECT_EQ(gEnds, 1);
  EXPECT_EQ(IsWindow(1), 1) << "the quit request closed the windows behind the player's back";
  SetWindowCallback(1, nullptr);
  CloseWindow(1);
  PumpEvents(2);
}

}  // namespace
#endif

namespace {

// Catches a tray icon reported as added while no tray host is there to show it.
TEST(Tray, NoHostNoIcon) {
  ASSERT_EQ(OpenWindow(1, 0, 0, 23, 128, "Corvale Player", WindowBorderless | WindowInvisible), 1);
  ASSERT_EQ(CreateImage(40, 64, 64, 32, 0x2C1C3C), 40);
  if (!SysTrayAvailable()) {
    EXPECT_EQ(AddSysTrayIcon(1, 1, 40), 0);
    EXPECT_EQ(IsSysTrayIcon(1), 0);
  }
  EXPECT_EQ(AddSysTrayIcon(2, 7, 40), 0);  // no such window
  EXPECT_EQ(AddSysTrayIcon(2, 1, 41), 0);  // no such image
  RemoveSysTrayIcon(1);
  EXPECT_EQ(IsSysTrayIcon(1), 0);
  FreeImage(40);
  CloseWindow(1);
  PumpEvents(2);
}

}  // namespace

namespace {

// Catches a box on the offscreen platform that waits for a click nobody can give.
TEST(Dialogs, OffscreenAnswersUnattended) {
  if (RuntimePlatformName() != "offscreen") GTEST_SKIP() << "only on the offscreen platform";
  unsetenv("CORVALE_DIALOGS");
  unsetenv("CORVALE_DIALOG_ANSWER");
  testing::internal::CaptureStderr();
  int answer = ShowMessageBox("Abort Debugging?", "Sure?", MbYesNo | MbIconQuestion, 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(answer, IdYes);
  EXPECT_EQ(err, "dialog: Abort Debugging?: Sure?\n");
  setenv("CORVALE_DIALOGS", "stderr", 1);
}

}  // namespace
