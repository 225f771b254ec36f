// Numbered windows and their controls, keyboard shortcuts, screens and the mouse.
#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollBar>
#include <QWindow>

#include <atomic>
#include <cmath>
#include <set>

#include "runtime/rt_internal.h"

namespace rt {

std::map<int, WindowRecord> gWindows;

namespace {


int RoundDpi(double dpi) { return dpi > 0 ? static_cast<int>(std::lround(dpi)) : 96; }

QScreen* ScreenForRect(const QRect& r) {
  QScreen* best = nullptr;
  long long bestArea = -1;
  for (QScreen* s : QGuiApplication::screens()) {
    QRect i = s->geometry().intersected(r);
    long long area = i.isEmpty() ? 0 : static_cast<long long>(i.width()) * i.height();
    if (area > bestArea) {
      bestArea = area;
      best = s;
    }
  }
  if (bestArea > 0) return best;
  // Nothing overlaps: the screen whose area is nearest to the rectangle's centre.
  QPoint c = r.center();
  long long bestDist = -1;
  for (QScreen* s : QGuiApplication::screens()) {
    QRect g = s->geometry();
    long long dx = c.x() < g.left() ? g.left() - c.x() : (c.x() > g.right() ? c.x() - g.right() : 0);
    long long dy = c.y() < g.top() ? g.top() - c.y() : (c.y() > g.bottom() ? c.y() - g.bottom() : 0);
    long long d = dx * dx + dy * dy;
    if (bestDist < 0 || d < bestDist) {
      bestDist = d;
      best = s;
    }
  }
  return best ? best : QGuiApplication::primaryScreen();
}

QScreen* ScreenOfWidget(QWidget* w) {
  if (w && w->windowHandle() && w->windowHandle()->screen()) return w->windowHandle()->screen();
  if (w) return ScreenForRect(w->frameGeometry());
  return QGuiApplication::primaryScreen();
}

void ApplyGadgetColors(Gadget& g) {
  QWidget* w = g.widget;
  if (!w) return;
  QPalette pal = w->palette();
  if (g.background >= 0) {
    QColor c = RgbColor(static_cast<uint32_t>(g.background));
    pal.setColor(QPalette::Base, c);
    pal.setColor(QPalette::Window, c);
    pal.setColor(QPalette::Button, c);
  }
  if (g.foreground >= 0) {
    QColor c = RgbColor(static_cast<uint32_t>(g.foreground));
    pal.setColor(QPalette::Text, c);
    pal.setColor(QPalette::WindowText, c);
    pal.setColor(QPalette::ButtonText, c);
  }
  w->setPalette(pal);
  w->setAutoFillBackground(g.background >= 0);
  if (auto* te = qobject_cast<QPlainTextEdit*>(w)) {
    te->viewport()->setPalette(pal);
    te->viewport()->setAutoFillBackground(g.background >= 0);
  }
}

// Line ends as the player writes them (CR LF) become plain line breaks on screen.
QString DisplayText(const std::string& s) {
  QString q = ToQ(s);
  q.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  q.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return q;
}

// Windows draws "&x" in buttons as an underlined x; Qt the same with its mnemonic, so
// the texts pass through unchanged.

}  // namespace

WindowRecord* FindWindow(int window) {
  auto it = gWindows.find(window);
  if (it == gWindows.end() || !it->second.widget) return nullptr;
  return &it->second;
}

Gadget* FindGadget(int window, int gadget) {
  WindowRecord* w = FindWindow(window);
  if (!w) return nullptr;
  auto it = w->gadgets.find(gadget);
  if (it == w->gadgets.end() || !it->second.widget) return nullptr;
  return &it->second;
}

WindowRecord* WindowOfWidget(const QWidget* w) {
  if (!w) return nullptr;
  const QWidget* top = w->window();
  for (auto& [n, rec] : gWindows)
    if (rec.widget && rec.widget == top) return &rec;
  return nullptr;
}

int SendWindowMessage(int window, WindowMessage message) {
  WindowRecord* w = FindWindow(window);
  if (!w || !w->callback) return 0;
  message.window = window;
  return w->callback(message);
}

// --- RtWindow ---------------------------------------------------------------------------

RtWindow::RtWindow(int n, QWidget* owner, Qt::WindowFlags flags) : QWidget(owner, flags), number(n) {
  setAttribute(Qt::WA_DeleteOnClose, false);
  setAttribute(Qt::WA_OpaquePaintEvent, true);
  sizeMoveTimer = new QTimer(this);
  sizeMoveTimer->setSingleShot(true);
  // There is no "move ended" notice on X11; a short quiet spell after the last move or
  // resize stands in for it.
  QObject::connect(sizeMoveTimer, &QTimer::timeout, this, [this]() {
    WindowMessage m;
    m.kind = MsgExitSizeMove;
    SendWindowMessage(number, m);
  });
}

void RtWindow::EnsureSurface() {
  QSize sz = size().expandedTo(QSize(1, 1));
  if (surface.size() == sz) return;
  QImage next(sz, QImage::Format_RGB32);
  next.fill(background);
  if (!surface.isNull()) {
    QPainter p(&next);
    p.drawImage(0, 0, surface);
  }
  surface = std::move(next);
}

void RtWindow::HookScreen() {
  if (dpiHooked || !windowHandle()) return;
  dpiHooked = true;
  auto follow = [this](QScreen* s) {
    // One DPI watch at a time: the screen the window is on now.
    QObject::disconnect(dpiConnection);
    if (s) dpiConnection = QObject::connect(s, &QScreen::logicalDotsPerInchChanged, this, [this]() { CheckDpi(); });
  };
  QObject::connect(windowHandle(), &QWindow::screenChanged, this, [this, follow](QScreen* s) {
    follow(s);
    CheckDpi();
  });
  follow(windowHandle()->screen());
}

void RtWindow::CheckDpi() {
  WindowRecord* rec = FindWindow(number);
  if (!rec) return;
  QScreen* s = ScreenOfWidget(this);
  int dpi = RoundDpi(s ? s->logicalDotsPerInch() : 96.0);
  if (dpi == rec->dpi) return;
  float oldScale = rec->scale;
  rec->dpi = dpi;
  rec->scale = ScaleFromDpi(dpi);
  WindowMessage m;
  m.kind = MsgDpiChanged;
  m.dpi = dpi;
  QRect fg = frameGeometry();
  m.x = fg.x();
  m.y = fg.y();
  float ratio = oldScale > 0 ? rec->scale / oldScale : 1.0f;
  m.width = static_cast<int>(std::lround(width() * ratio));
  m.height = static_cast<int>(std::lround(height() * ratio));
  SendWindowMessage(number, m);
}

void RtWindow::paintEvent(QPaintEvent* e) {
  EnsureSurface();
  QPainter p(this);
  // Only the parts asked for: the meter refreshes two narrow bands 20 times a second.
  for (const QRect& r : e->region()) p.drawImage(r.topLeft(), surface, r);
}

void RtWindow::resizeEvent(QResizeEvent*) {
  EnsureSurface();
  if (isVisible()) {
    PushEvent(EventSizeWindow, number, 0, 0, 0, 0, 0, true);
    sizeMoveTimer->start(300);
  }
}

void RtWindow::moveEvent(QMoveEvent*) {
  if (isVisible()) {
    PushEvent(EventMoveWindow, number, 0, 0, 0, 0, 0, true);
    sizeMoveTimer->start(300);
  }
  CheckDpi();
}

void RtWindow::closeEvent(QCloseEvent* e) {
  if (closing) {
    e->accept();
    return;
  }
  // The player decides: a close request is an event, the window stays until CloseWindow.
  e->ignore();
  WindowMessage m;
  m.kind = MsgSysCommand;
  m.param = SysCmdClose;
  if (SendWindowMessage(number, m)) return;
  PushEvent(EventCloseWindow, number, 0, 0, 0, 0, 0, true);
}

void RtWindow::changeEvent(QEvent* e) {
  if (e->type() == QEvent::WindowStateChange) {
    auto* sc = static_cast<QWindowStateChangeEvent*>(e);
    Qt::WindowStates old = sc->oldState();
    Qt::WindowStates now = windowState();
    if ((now & Qt::WindowMaximized) && !(old & Qt::WindowMaximized)) {
      WindowMessage m;
      m.kind = MsgSysCommand;
      m.param = SysCmdMaximize;
      if (SendWindowMessage(number, m)) {
        // Swallowed: back to where it was, after Qt has finished this change.
        QTimer::singleShot(0, this, [this]() { setWindowState(windowState() & ~Qt::WindowMaximized); });
        QWidget::changeEvent(e);
        return;
      }
    }
    if ((now & Qt::WindowMinimized) && !(old & Qt::WindowMinimized)) {
      PushEvent(EventMinimizeWindow, number, 0, 0, 0, 0, 0, false);
    } else if (!(now & (Qt::WindowMinimized | Qt::WindowMaximized)) &&
               (old & (Qt::WindowMinimized | Qt::WindowMaximized))) {
      PushEvent(EventRestoreWindow, number, 0, 0, 0, 0, 0, false);
    }
  }
  QWidget::changeEvent(e);
}

void RtWindow::showEvent(QShowEvent* e) {
  HookScreen();
  CheckDpi();
  QWidget::showEvent(e);
  TaskbarWindowShown(number);
  // A window shown anew may have been drawn while hidden; the callback repaints if it
  // keeps nothing of its own.
  QTimer::singleShot(0, this, [n = number]() {
    WindowMessage m;
    m.kind = MsgPaint;
    SendWindowMessage(n, m);
  });
}

void RtWindow::mousePressEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton) {
    WindowMessage m;
    m.kind = MsgLeftButtonDown;
    m.x = static_cast<int>(e->position().x());
    m.y = static_cast<int>(e->position().y());
    SendWindowMessage(number, m);
  }
  QWidget::mousePressEvent(e);
}

void RtWindow::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() == Qt::RightButton)
    PushEvent(EventRightClick, number, 0, 0, 0, static_cast<int>(e->position().x()),
              static_cast<int>(e->position().y()), false);
  QWidget::mouseReleaseEvent(e);
}

void RtWindow::contextMenuEvent(QContextMenuEvent* e) {
  WindowMessage m;
  m.kind = MsgContextMenu;
  m.x = e->globalPos().x();
  m.y = e->globalPos().y();
  SendWindowMessage(number, m);
  e->accept();
}

bool RtWindow::event(QEvent* e) {
  if (e->type() == QEvent::WinIdChange) {
    dpiHooked = false;
    HookScreen();
  }
  return QWidget::event(e);
}

// --- RtCanvas -----------------------------------------------------------------------------

RtCanvas::RtCanvas(QWidget* parent, int w, int g, bool takesFocus) : QWidget(parent), window(w), gadget(g) {
  setAttribute(Qt::WA_OpaquePaintEvent, true);
  setFocusPolicy(takesFocus ? Qt::StrongFocus : Qt::NoFocus);
  setMouseTracking(false);
}

void RtCanvas::EnsureSurface() {
  QSize sz = size().expandedTo(QSize(1, 1));
  if (surface.size() == sz) return;
  QImage next(sz, QImage::Format_RGB32);
  next.fill(Qt::white);
  if (!surface.isNull()) {
    QPainter p(&next);
    p.drawImage(0, 0, surface);
  }
  surface = std::move(next);
}

void RtCanvas::paintEvent(QPaintEvent*) {
  EnsureSurface();
  QPainter p(this);
  p.drawImage(0, 0, surface);
}

void RtCanvas::resizeEvent(QResizeEvent*) { EnsureSurface(); }

static void CanvasEvent(RtCanvas* c, int type, QPointF pos, int data = 0) {
  PushEvent(EventGadget, c->window, c->gadget, type, data, static_cast<int>(std::floor(pos.x())),
            static_cast<int>(std::floor(pos.y())), false);
}

void RtCanvas::mousePressEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton) CanvasEvent(this, GadgetLeftButtonDown, e->position());
  e->accept();
}

void RtCanvas::mouseReleaseEvent(QMouseEvent* e) {
  QPointF p = e->position();
  if (e->button() == Qt::LeftButton) {
    CanvasEvent(this, GadgetLeftButtonUp, p);
    if (rect().contains(p.toPoint())) CanvasEvent(this, GadgetLeftClick, p);
  } else if (e->button() == Qt::RightButton) {
    CanvasEvent(this, GadgetRightClick, p);
  }
  e->accept();
}

void RtCanvas::mouseDoubleClickEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton) CanvasEvent(this, GadgetLeftDoubleClick, e->position());
  e->accept();
}

void RtCanvas::mouseMoveEvent(QMouseEvent* e) {
  if (e->buttons() & Qt::LeftButton) {
    // Only the newest position matters while dragging.
    PushEvent(EventGadget, window, gadget, GadgetMouseMove, 0, static_cast<int>(std::floor(e->position().x())),
              static_cast<int>(std::floor(e->position().y())), false);
  }
  e->accept();
}

void RtCanvas::wheelEvent(QWheelEvent* e) {
  // Whole notches of 120 units; touchpads send smaller steps that add up.
  wheelRemainder += e->angleDelta().y();
  int notches = wheelRemainder / 120;
  wheelRemainder -= notches * 120;
  if (notches != 0) CanvasEvent(this, GadgetMouseWheel, e->position(), notches);
  e->accept();
}

void RtCanvas::enterEvent(QEnterEvent* e) {
  CanvasEvent(this, GadgetMouseEnter, e->position());
  QWidget::enterEvent(e);
}

void RtCanvas::leaveEvent(QEvent* e) {
  wheelRemainder = 0;
  CanvasEvent(this, GadgetMouseLeave, QPointF(-1, -1));
  QWidget::leaveEvent(e);
}

void RtCanvas::focusInEvent(QFocusEvent* e) {
  CanvasEvent(this, GadgetFocus, QPointF(0, 0));
  QWidget::focusInEvent(e);
}

void RtCanvas::focusOutEvent(QFocusEvent* e) {
  CanvasEvent(this, GadgetLostFocus, QPointF(0, 0));
  QWidget::focusOutEvent(e);
}

}  // namespace rt

using namespace rt;

float ScaleFromDpi(double dpi) {
  if (!(dpi > 0)) return 1.0f;
  return static_cast<float>(std::lround(dpi)) / 96.0f;
}

int OpenWindow(int window, int x, int y, int width, int height, const std::string& title, int flags, int owner) {
  if (!RuntimeReady() || window < 1 || window > 63 || FindWindow(window)) return 0;
  QWidget* ownerWidget = nullptr;
  if (owner) {
    if (WindowRecord* o = FindWindow(owner)) ownerWidget = o->widget;
  }
  Qt::WindowFlags wf = Qt::Window;
  if (flags & WindowToolWindow) wf = Qt::Tool;
  if (flags & WindowBorderless) {
    wf |= Qt::FramelessWindowHint;
  } else {
    wf |= Qt::CustomizeWindowHint;
    if (flags & (WindowCaption | WindowSystemMenu)) wf |= Qt::WindowTitleHint;
    if (flags & WindowSystemMenu) wf |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (flags & WindowMinimizeBox) wf |= Qt::WindowMinimizeButtonHint;
    if (flags & WindowMaximizeBox) wf |= Qt::WindowMaximizeButtonHint;
  }
  WindowRecord& rec = gWindows[window];
  rec = WindowRecord{};
  rec.number = window;
  auto* w = new RtWindow(window, ownerWidget, wf);
  rec.widget = w;
  w->setWindowTitle(ToQ(title));
  w->setObjectName(QStringLiteral("corvale-window-%1").arg(window));
  int cw = std::max(width, 0), ch = std::max(height, 0);
  if (flags & WindowSizeable) {
    w->resize(cw, ch);
  } else {
    w->setFixedSize(cw, ch);
  }
  w->setProperty("corvaleSizeable", (flags & WindowSizeable) != 0);
  w->move(x, y);
  w->EnsureSurface();
  QScreen* s = ScreenForRect(QRect(x, y, std::max(cw, 1), std::max(ch, 1)));
  rec.dpi = RoundDpi(s ? s->logicalDotsPerInch() : 96.0);
  rec.scale = ScaleFromDpi(rec.dpi);
  MarkWindow(window, true);
  if (!(flags & WindowInvisible)) w->show();
  return 1;
}

void CloseWindow(int window) {
  auto it = gWindows.find(window);
  if (it == gWindows.end()) return;
  MarkWindow(window, false);
  ForgetGadgetsOf(window);
  RemoveInstanceMarker(window);
  QPointer<RtWindow> w = it->second.widget;
  // Owned windows die with their owner in Qt; take them out of the table first.
  for (auto& [n, rec] : gWindows) {
    if (n != window && rec.widget && w && rec.widget->parentWidget() == w) {
      bool visible = rec.widget->isVisible();
      rec.widget->setParent(nullptr, rec.widget->windowFlags());
      if (visible) rec.widget->show();
    }
  }
  for (auto& [id, t] : it->second.timers)
    if (t) t->stop();
  gWindows.erase(it);
  if (w) {
    w->closing = true;
    w->hide();
    w->deleteLater();
  }
}

int GetWindowState(int window) {
  WindowRecord* w = FindWindow(window);
  if (!w) return WindowNormal;
  Qt::WindowStates s = w->widget->windowState();
  if (s & Qt::WindowMinimized) return WindowMinimized;
  if (s & Qt::WindowMaximized) return WindowMaximized;
  return WindowNormal;
}

void SetWindowState(int window, int state) {
  WindowRecord* w = FindWindow(window);
  if (!w) return;
  RtWindow* wid = w->widget;
  switch (state) {
    case WindowMinimized:
      wid->showMinimized();
      break;
    case WindowMaximized:
      wid->showMaximized();
      break;
    default:
      if (wid->isVisible())
        wid->setWindowState(wid->windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized));
      else
        wid->setWindowState(Qt::WindowNoState);
      if (wid->isVisible()) wid->showNormal();
      break;
  }
}

int GetWindowRect(int window, int* x, int* y, int* width, int* height) {
  WindowRecord* w = FindWindow(window);
  if (!w) return 0;
  QRect r = w->widget->frameGeometry();
  if (x) *x = r.x();
  if (y) *y = r.y();
  if (width) *width = r.width();
  if (height) *height = r.height();
  return 1;
}

int WindowClientWidth(int window) {
  WindowRecord* w = FindWindow(window);
  return w ? w->widget->width() : 0;
}

int WindowClientHeight(int window) {
  WindowRecord* w = FindWindow(window);
  return w ? w->widget->height() : 0;
}

void ResizeWindow(int window, int x, int y, int width, int height) {
  WindowRecord* w = FindWindow(window);
  if (!w) return;
  RtWindow* wid = w->widget;
  QRect fg = wid->frameGeometry();
  int nx = x == -1 ? fg.x() : x, ny = y == -1 ? fg.y() : y;
  int nw = width == -1 ? wid->width() : std::max(width, 0);
  int nh = height == -1 ? wid->height() : std::max(height, 0);
  if (wid->property("corvaleSizeable").toBool())
    wid->resize(nw, nh);
  else
    wid->setFixedSize(nw, nh);
  if (nx != fg.x() || ny != fg.y()) wid->move(nx, ny);
  wid->EnsureSurface();
  wid->update();
}

void SetWindowTitle(int window, const std::string& title) {
  if (WindowRecord* w = FindWindow(window)) w->widget->setWindowTitle(ToQ(title));
}

std::string GetWindowTitle(int window) {
  WindowRecord* w = FindWindow(window);
  return w ? FromQ(w->widget->windowTitle()) : std::string();
}

void SetWindowColor(int window, uint32_t rgb) {
  WindowRecord* w = FindWindow(window);
  if (!w) return;
  w->widget->background = RgbColor(rgb);
  w->widget->EnsureSurface();
  w->widget->surface.fill(w->widget->background);
  QPalette pal = w->widget->palette();
  pal.setColor(QPalette::Window, w->widget->background);
  w->widget->setPalette(pal);
  w->widget->update();
}

void StickyWindow(int window, int onTop) {
  WindowRecord* w = FindWindow(window);
  if (!w) return;
  RtWindow* wid = w->widget;
  bool has = wid->windowFlags() & Qt::WindowStaysOnTopHint;
  if (has == (onTop != 0)) return;
  bool visible = wid->isVisible();
  // Changing a flag re-creates the native window on X11; show it again as it was.
  wid->setWindowFlag(Qt::WindowStaysOnTopHint, onTop != 0);
  if (visible) {
    wid->setAttribute(Qt::WA_ShowWithoutActivating, true);
    wid->show();
    wid->setAttribute(Qt::WA_ShowWithoutActivating, false);
  }
}

void ShowWindowNoActivate(int window) {
  WindowRecord* w = FindWindow(window);
  if (!w) return;
  RtWindow* wid = w->widget;
  if (wid->isVisible() && !wid->isMinimized()) return;
  wid->setAttribute(Qt::WA_ShowWithoutActivating, true);
  wid->show();
  wid->setAttribute(Qt::WA_ShowWithoutActivating, false);
}

void HideWindow(int window, int hide) {
  WindowRecord* w = FindWindow(window);
  if (!w) return;
  if (hide)
    w->widget->hide();
  else
    w->widget->show();
}

int IsWindowHidden(int window) {
  WindowRecord* w = FindWindow(window);
  return w && w->widget && !w->widget->isVisible() ? 1 : 0;
}

void ActivateWindowNumber(int window) {
  WindowRecord* w = FindWindow(window);
  if (!w) return;
  RtWindow* wid = w->widget;
  if (wid->isMinimized()) wid->showNormal();
  if (!wid->isVisible()) wid->show();
  wid->raise();
  wid->activateWindow();
}

int IsActiveWindow(int window) {
  WindowRecord* w = FindWindow(window);
  return w && w->widget->isActiveWindow() ? 1 : 0;
}

int StartWindowDrag(int window) {
  WindowRecord* w = FindWindow(window);
  if (!w || !w->widget->windowHandle()) return 0;
  return w->widget->windowHandle()->startSystemMove() ? 1 : 0;
}

float WindowScale(int window) {
  WindowRecord* w = FindWindow(window);
  return w ? w->scale : SystemScale();
}

float ScaleForRect(int x, int y, int width, int height) {
  if (!RuntimeReady()) return 1.0f;
  QScreen* s = ScreenForRect(QRect(x, y, std::max(width, 1), std::max(height, 1)));
  return s ? ScaleFromDpi(s->logicalDotsPerInch()) : 1.0f;
}

float SystemScale() {
  if (!RuntimeReady()) return 1.0f;
  QScreen* s = QGuiApplication::primaryScreen();
  return s ? ScaleFromDpi(s->logicalDotsPerInch()) : 1.0f;
}

void SetWindowCallback(int window, WindowCallback callback) {
  if (WindowRecord* w = FindWindow(window)) w->callback = callback;
}

// --- Controls ---------------------------------------------------------------------------

namespace {

Gadget* NewGadget(int window, int gadget, GadgetKind kind, QWidget* widget, int x, int y, int width, int height) {
  WindowRecord* w = FindWindow(window);
  if (!w) {
    delete widget;
    return nullptr;
  }
  auto old = w->gadgets.find(gadget);
  if (old != w->gadgets.end()) {
    if (old->second.widget) old->second.widget->deleteLater();
    w->gadgets.erase(old);
  }
  Gadget& g = w->gadgets[gadget];
  g.kind = kind;
  g.widget = widget;
  MarkGadget(window, gadget, true);
  widget->setGeometry(x, y, std::max(width, 0), std::max(height, 0));
  widget->show();
  return &g;
}

}  // namespace

Gadget* rt::AddGadget(int window, int gadget, GadgetKind kind, QWidget* widget, int x, int y, int width, int height) {
  return NewGadget(window, gadget, kind, widget, x, y, width, height);
}

int TextGadget(int window, int gadget, int x, int y, int width, int height, const std::string& text) {
  WindowRecord* w = FindWindow(window);
  if (!w) return 0;
  auto* te = new QPlainTextEdit(w->widget);
  te->setReadOnly(true);
  te->setFrameShape(QFrame::NoFrame);
  te->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  te->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  te->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  te->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  te->document()->setDocumentMargin(1);
  te->setPlainText(DisplayText(text));
  Gadget* g = NewGadget(window, gadget, GadgetKind::Text, te, x, y, width, height);
  if (!g) return 0;
  g->text = text;
  return 1;
}

int ButtonGadget(int window, int gadget, int x, int y, int width, int height, const std::string& text) {
  WindowRecord* w = FindWindow(window);
  if (!w) return 0;
  auto* b = new QPushButton(ToQ(text), w->widget);
  b->setFocusPolicy(Qt::TabFocus);
  QObject::connect(b, &QPushButton::clicked, b,
                   [window, gadget]() { PushEvent(EventGadget, window, gadget, GadgetLeftClick, 0, 0, 0, false); });
  Gadget* g = NewGadget(window, gadget, GadgetKind::Button, b, x, y, width, height);
  if (!g) return 0;
  g->text = text;
  return 1;
}

int CanvasGadget(int window, int gadget, int x, int y, int width, int height, int takesFocus) {
  WindowRecord* w = FindWindow(window);
  if (!w) return 0;
  auto* c = new RtCanvas(w->widget, window, gadget, takesFocus != 0);
  Gadget* g = NewGadget(window, gadget, GadgetKind::Canvas, c, x, y, width, height);
  if (!g) return 0;
  c->EnsureSurface();
  return 1;
}

int ProgressBarGadget(int window, int gadget, int x, int y, int width, int height, int minimum, int maximum) {
  WindowRecord* w = FindWindow(window);
  if (!w) return 0;
  auto* p = new QProgressBar(w->widget);
  p->setRange(minimum, maximum);
  p->setValue(minimum);
  p->setTextVisible(false);
  return NewGadget(window, gadget, GadgetKind::Progress, p, x, y, width, height) ? 1 : 0;
}

void FreeGadget(int window, int gadget) {
  WindowRecord* w = FindWindow(window);
  if (!w) return;
  auto it = w->gadgets.find(gadget);
  if (it == w->gadgets.end()) return;
  if (it->second.widget) it->second.widget->deleteLater();
  w->gadgets.erase(it);
  MarkGadget(window, gadget, false);
}

void ResizeGadget(int window, int gadget, int x, int y, int width, int height) {
  Gadget* g = FindGadget(window, gadget);
  if (!g) return;
  QRect r = g->widget->geometry();
  g->widget->setGeometry(x == -1 ? r.x() : x, y == -1 ? r.y() : y, width == -1 ? r.width() : std::max(width, 0),
                         height == -1 ? r.height() : std::max(height, 0));
  if (auto* c = dynamic_cast<RtCanvas*>(g->widget.data())) c->EnsureSurface();
}

int GadgetX(int window, int gadget) {
  Gadget* g = FindGadget(window, gadget);
  return g ? g->widget->x() : 0;
}
int GadgetY(int window, int gadget) {
  Gadget* g = FindGadget(window, gadget);
  return g ? g->widget->y() : 0;
}
int GadgetWidth(int window, int gadget) {
  Gadget* g = FindGadget(window, gadget);
  return g ? g->widget->width() : 0;
}
int GadgetHeight(int window, int gadget) {
  Gadget* g = FindGadget(window, gadget);
  return g ? g->widget->height() : 0;
}

int TextGadgetMargins(int window, int gadget) {
  Gadget* g = FindGadget(window, gadget);
  auto* te = g ? qobject_cast<QPlainTextEdit*>(g->widget.data()) : nullptr;
  if (!te) return 0;
  // The document margin above the first line and below the last, the frame, and the one
  // pixel the plain-text control keeps free under its last line before it scrolls.
  int margin = static_cast<int>(std::ceil(te->document()->documentMargin()));
  return 2 * margin + 2 * te->frameWidth() + 1;
}

int TextGadgetScrolls(int window, int gadget) {
  Gadget* g = FindGadget(window, gadget);
  auto* te = g ? qobject_cast<QPlainTextEdit*>(g->widget.data()) : nullptr;
  if (!te) return 0;
  // The scroll range follows the control's last layout: settle what is pending first.
  QCoreApplication::sendPostedEvents(te);
  QResizeEvent settle(te->size(), te->size());
  QCoreApplication::sendEvent(te, &settle);
  return te->verticalScrollBar()->maximum() > 0 ? 1 : 0;
}

int FontLineSpacing(int font) {
  bool found = false;
  QFont f = GetFont(font, &found);
  if (!found) f = QApplication::font();
  // The plain-text control lays its lines out this far apart, leading included.
  return static_cast<int>(std::ceil(QFontMetricsF(f).lineSpacing()));
}

static void SetGadgetTextNow(int window, int gadget, const std::string& text) {
  Gadget* g = FindGadget(window, gadget);
  if (!g) return;
  g->text = text;
  if (auto* te = qobject_cast<QPlainTextEdit*>(g->widget)) {
    te->setPlainText(DisplayText(text));
  } else if (auto* b = qobject_cast<QPushButton*>(g->widget)) {
    b->setText(ToQ(text));
  } else if (auto* e = qobject_cast<QLineEdit*>(g->widget)) {
    // setText sends no textEdited: no change event for the player's own text.
    e->setText(ToQ(text));
    g->text = FromQ(e->text());
  }
}

void SetGadgetText(int window, int gadget, const std::string& text) {
  if (!RuntimeReady()) return;
  if (OnMainThread()) {
    SetGadgetTextNow(window, gadget, text);
    return;
  }
  // The debug log's text is set from worker threads; the main thread applies it.
  QMetaObject::invokeMethod(
      qApp, [window, gadget, text]() { SetGadgetTextNow(window, gadget, text); }, Qt::QueuedConnection);
}

std::string GetGadgetText(int window, int gadget) {
  Gadget* g = FindGadget(window, gadget);
  return g ? g->text : std::string();
}

void SetGadgetState(int window, int gadget, int value) {
  Gadget* g = FindGadget(window, gadget);
  if (!g) return;
  if (auto* p = qobject_cast<QProgressBar*>(g->widget)) p->setValue(std::clamp(value, p->minimum(), p->maximum()));
}

int GetGadgetState(int window, int gadget) {
  Gadget* g = FindGadget(window, gadget);
  if (!g) return 0;
  if (auto* p = qobject_cast<QProgressBar*>(g->widget)) return p->value();
  return 0;
}

void SetGadgetColors(int window, int gadget, int64_t background, int64_t text) {
  Gadget* g = FindGadget(window, gadget);
  if (!g) return;
  if (background >= 0) g->background = background & 0xFFFFFF;
  if (text >= 0) g->foreground = text & 0xFFFFFF;
  ApplyGadgetColors(*g);
  if (g->kind == GadgetKind::List) ApplyListColors(*g);
}

void SetGadgetFont(int window, int gadget, int font) {
  Gadget* g = FindGadget(window, gadget);
  if (!g) return;
  g->font = font;
  bool found = false;
  QFont f = GetFont(font, &found);
  g->widget->setFont(found ? f : QApplication::font());
  if (g->kind == GadgetKind::List) ApplyListFont(*g);
}

void DisableGadget(int window, int gadget, int disabled) {
  if (Gadget* g = FindGadget(window, gadget)) g->widget->setEnabled(!disabled);
}

int IsGadgetDisabled(int window, int gadget) {
  Gadget* g = FindGadget(window, gadget);
  return g && !g->widget->isEnabled() ? 1 : 0;
}

void SetGadgetCursor(int window, int gadget, int cursor) {
  Gadget* g = FindGadget(window, gadget);
  if (!g) return;
  if (cursor == CursorHand)
    g->widget->setCursor(Qt::PointingHandCursor);
  else
    g->widget->unsetCursor();
}

void SetActiveGadget(int window, int gadget) {
  WindowRecord* w = FindWindow(window);
  if (!w) return;
  if (gadget == 0) {
    if (QWidget* f = w->widget->focusWidget()) f->clearFocus();
    w->widget->setFocus(Qt::OtherFocusReason);
    return;
  }
  if (Gadget* g = FindGadget(window, gadget)) {
    if (g->widget->focusPolicy() == Qt::NoFocus) g->widget->setFocusPolicy(Qt::ClickFocus);
    g->widget->setFocus(Qt::OtherFocusReason);
  }
}

int GetActiveGadget(int window) {
  WindowRecord* w = FindWindow(window);
  if (!w) return 0;
  QWidget* f = w->widget->focusWidget();
  for (auto& [n, g] : w->gadgets)
    if (g.widget && g.widget == f) return n;
  return 0;
}

int GadgetMouseX(int window, int gadget) {
  Gadget* g = FindGadget(window, gadget);
  return g ? g->widget->mapFromGlobal(QCursor::pos()).x() : 0;
}

int GadgetMouseY(int window, int gadget) {
  Gadget* g = FindGadget(window, gadget);
  return g ? g->widget->mapFromGlobal(QCursor::pos()).y() : 0;
}

// --- Screens and the mouse ------------------------------------------------------------

int WorkAreaForRect(int x, int y, int width, int height, int* ax, int* ay, int* aw, int* ah) {
  if (!RuntimeReady()) return 0;
  QScreen* s = ScreenForRect(QRect(x, y, std::max(width, 1), std::max(height, 1)));
  if (!s) return 0;
  QRect r = s->availableGeometry();
  if (ax) *ax = r.x();
  if (ay) *ay = r.y();
  if (aw) *aw = r.width();
  if (ah) *ah = r.height();
  return 1;
}

int DesktopBounds(int* x, int* y, int* width, int* height) {
  if (!RuntimeReady() || QGuiApplication::screens().isEmpty()) return 0;
  QRect all;
  for (QScreen* s : QGuiApplication::screens()) all = all.united(s->geometry());
  if (x) *x = all.x();
  if (y) *y = all.y();
  if (width) *width = all.width();
  if (height) *height = all.height();
  return 1;
}

void CursorPosition(int* x, int* y) {
  QPoint p = RuntimeReady() ? QCursor::pos() : QPoint(0, 0);
  if (x) *x = p.x();
  if (y) *y = p.y();
}

int WheelScrollLines() {
  int n = RuntimeReady() ? QApplication::wheelScrollLines() : 3;
  return n > 0 ? n : 3;
}
