// Shared state of the runtime's implementation files. Qt types live here and in the
// runtime's .cpp files only; the player sees runtime.h.
#pragma once

#include <QFont>
#include <QImage>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "runtime/rt_shared.h"
#include "runtime/runtime.h"

class QPlainTextEdit;
class QPushButton;
class QProgressBar;

namespace rt {

QString ToQ(const std::string& s);
std::string FromQ(const QString& s);
QColor RgbColor(uint32_t rgb);

enum class GadgetKind { Text, Button, Canvas, Progress, String, List };

class RtCanvas;
class RtWindow;

struct Gadget {
  GadgetKind kind = GadgetKind::Canvas;
  QPointer<QWidget> widget;
  std::string text;  // text as last set (text and button controls)
  int64_t background = -1, foreground = -1;
  int font = 0;
};

// Makes `widget` control `gadget` of `window` at the rectangle, replacing one of that
// number; nullptr (and the widget deleted) when the window is missing.
Gadget* AddGadget(int window, int gadget, GadgetKind kind, QWidget* widget, int x, int y, int width, int height);
// The list control's share of SetGadgetColors and SetGadgetFont (rt_list.cpp).
void ApplyListColors(Gadget& g);
void ApplyListFont(Gadget& g);

struct WindowRecord {
  int number = 0;
  QPointer<RtWindow> widget;
  WindowCallback callback = nullptr;
  std::map<int, Gadget> gadgets;
  std::map<int, QTimer*> timers;     // owned by the widget
  std::map<int, bool> timerPending;  // a tick is queued and not yet taken
  std::map<int, int> shortcuts;      // key|modifiers -> menu command
  float scale = 1.0f;
  int dpi = 96;
};

// Window table; main thread only.
extern std::map<int, WindowRecord> gWindows;
WindowRecord* FindWindow(int window);
Gadget* FindGadget(int window, int gadget);
// The window record whose widget is (or contains) w; nullptr otherwise.
WindowRecord* WindowOfWidget(const QWidget* w);

// Delivers a message to a window's callback; returns the callback's answer (0 without one).
int SendWindowMessage(int window, WindowMessage message);

void TimerTick(int window, int timerId);

// Images; the table is guarded by gImageLock; images are shared so that a drawing or a
// reader keeps its copy alive while another thread frees the number.
struct ImageRecord {
  std::shared_ptr<QImage> image;
  int depth = 24;
};
std::shared_ptr<QImage> GetImage(int image, int* depth = nullptr);
QFont GetFont(int font, bool* found = nullptr);

// Canvas control with its persistent image.
class RtCanvas : public QWidget {
 public:
  RtCanvas(QWidget* parent, int window, int gadget, bool takesFocus);
  QImage surface;
  int window = 0, gadget = 0;
  void EnsureSurface();

 protected:
  void paintEvent(QPaintEvent*) override;
  void resizeEvent(QResizeEvent*) override;
  void mousePressEvent(QMouseEvent*) override;
  void mouseReleaseEvent(QMouseEvent*) override;
  void mouseDoubleClickEvent(QMouseEvent*) override;
  void mouseMoveEvent(QMouseEvent*) override;
  void wheelEvent(QWheelEvent*) override;
  void enterEvent(QEnterEvent*) override;
  void leaveEvent(QEvent*) override;
  void focusInEvent(QFocusEvent*) override;
  void focusOutEvent(QFocusEvent*) override;

 private:
  int wheelRemainder = 0;
};

// Top-level window with its persistent surface behind the controls.
class RtWindow : public QWidget {
 public:
  RtWindow(int number, QWidget* owner, Qt::WindowFlags flags);
  QImage surface;
  QColor background{0, 0, 0};
  int number = 0;
  bool closing = false;  // CloseWindow in progress: accept the close
  bool inPaint = false;
  bool dpiHooked = false;
  QMetaObject::Connection dpiConnection;
  QTimer* sizeMoveTimer = nullptr;
  void EnsureSurface();
  void HookScreen();
  void CheckDpi();

 protected:
  void paintEvent(QPaintEvent*) override;
  void resizeEvent(QResizeEvent*) override;
  void moveEvent(QMoveEvent*) override;
  void closeEvent(QCloseEvent*) override;
  void changeEvent(QEvent*) override;
  void showEvent(QShowEvent*) override;
  void mousePressEvent(QMouseEvent*) override;
  void mouseReleaseEvent(QMouseEvent*) override;
  void contextMenuEvent(QContextMenuEvent*) override;
  bool event(QEvent*) override;
};

// Parts of the runtime started by RuntimeInit and stopped by RuntimeTeardown.
void InstallKeyFilter();
void RemoveKeyFilter();
void StartSessionWatch();
void StopSessionWatch();
void StartDesktopWatch();
void StopDesktopWatch();
void StartDialogs();
void TeardownDialogs();
void TeardownMenusAndTray();
void TeardownImagesAndFonts();
void TeardownHotkeys();
void TeardownInstanceMarker();
void TeardownTaskbar();
void TaskbarWindowShown(int window);

// Maps a Qt key to the Windows virtual key the player speaks of; 0 when unknown.
int VirtualKeyOf(int qtKey);

// Thread id of the main (GUI) thread is the QApplication's thread.
bool OnMainThread();

}  // namespace rt
