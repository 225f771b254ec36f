// Popup menus and the tray icon.
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>

#include "runtime/rt_internal.h"

namespace rt {

namespace {

struct MenuRecord {
  QMenu* menu = nullptr;
  int window = 1;  // the window the last display was owned by
};
std::map<int, MenuRecord> gMenus;

struct TrayRecord {
  QSystemTrayIcon* icon = nullptr;
  int window = 1;
};
std::map<int, TrayRecord> gTrays;

QAction* FindItem(int menu, int command) {
  auto it = gMenus.find(menu);
  if (it == gMenus.end() || !it->second.menu) return nullptr;
  for (QAction* a : it->second.menu->actions())
    if (!a->isSeparator() && a->data().toInt() == command) return a;
  return nullptr;
}

QIcon IconOf(int image) {
  auto img = GetImage(image);
  if (!img) return QIcon();
  return QIcon(QPixmap::fromImage(*img));
}

}  // namespace

void TeardownMenusAndTray() {
  for (auto& [n, t] : gTrays) {
    if (t.icon) {
      t.icon->hide();
      delete t.icon;
    }
  }
  gTrays.clear();
  for (auto& [n, m] : gMenus) delete m.menu;
  gMenus.clear();
}

}  // namespace rt

using namespace rt;

int CreatePopupMenu(int menu) {
  if (!RuntimeReady() || menu < 1 || menu > 63) return 0;
  FreeMenu(menu);
  auto* m = new QMenu();
  gMenus[menu] = MenuRecord{m, 1};
  QObject::connect(m, &QMenu::triggered, [menu](QAction* a) {
    auto it = gMenus.find(menu);
    int window = it != gMenus.end() ? it->second.window : 1;
    PushEvent(EventMenu, window, a->data().toInt(), 0, 0, 0, 0, false);
  });
  return 1;
}

int IsMenu(int menu) { return gMenus.count(menu) ? 1 : 0; }

void FreeMenu(int menu) {
  auto it = gMenus.find(menu);
  if (it == gMenus.end()) return;
  if (it->second.menu) it->second.menu->deleteLater();
  gMenus.erase(it);
}

void MenuItem(int menu, int command, const std::string& text) {
  auto it = gMenus.find(menu);
  if (it == gMenus.end()) return;
  QAction* a = it->second.menu->addAction(ToQ(text));
  a->setData(command);
}

void MenuBar(int menu) {
  auto it = gMenus.find(menu);
  if (it != gMenus.end()) it->second.menu->addSeparator();
}

void SetMenuItemState(int menu, int command, int checked) {
  QAction* a = FindItem(menu, command);
  if (!a) return;
  // An unchecked item shows no box at all, as in a Windows menu.
  a->setCheckable(checked != 0);
  a->setChecked(checked != 0);
}

int GetMenuItemState(int menu, int command) {
  QAction* a = FindItem(menu, command);
  return a && a->isChecked() ? 1 : 0;
}

void SetMenuItemEnabled(int menu, int command, int enabled) {
  if (QAction* a = FindItem(menu, command)) a->setEnabled(enabled != 0);
}

int GetMenuItemEnabled(int menu, int command) {
  QAction* a = FindItem(menu, command);
  return a && a->isEnabled() ? 1 : 0;
}

int DisplayPopupMenu(int menu, int window, int x, int y) {
  auto it = gMenus.find(menu);
  if (it == gMenus.end() || !FindWindow(window)) return 0;
  it->second.window = window;
  it->second.menu->popup(QPoint(x, y));
  return 1;
}

int MenuItemCount(int menu) {
  auto it = gMenus.find(menu);
  return it == gMenus.end() ? 0 : static_cast<int>(it->second.menu->actions().size());
}

int MenuItemCommand(int menu, int index) {
  auto it = gMenus.find(menu);
  if (it == gMenus.end()) return 0;
  auto actions = it->second.menu->actions();
  if (index < 0 || index >= actions.size() || actions[index]->isSeparator()) return 0;
  return actions[index]->data().toInt();
}

std::string MenuItemText(int menu, int index) {
  auto it = gMenus.find(menu);
  if (it == gMenus.end()) return std::string();
  auto actions = it->second.menu->actions();
  if (index < 0 || index >= actions.size()) return std::string();
  return FromQ(actions[index]->text());
}

int ChooseMenuItem(int menu, int window, int command) {
  auto it = gMenus.find(menu);
  QAction* a = FindItem(menu, command);
  if (!a || it == gMenus.end() || !a->isEnabled()) return 0;
  it->second.window = window;
  a->trigger();
  return 1;
}

// --- Tray -------------------------------------------------------------------------------

int SysTrayAvailable() { return RuntimeReady() && QSystemTrayIcon::isSystemTrayAvailable() ? 1 : 0; }

int AddSysTrayIcon(int tray, int window, int image) {
  if (!RuntimeReady() || !FindWindow(window)) return 0;
  RemoveSysTrayIcon(tray);
  QIcon icon = IconOf(image);
  if (icon.isNull() || !QSystemTrayIcon::isSystemTrayAvailable()) return 0;
  auto* t = new QSystemTrayIcon(icon);
  gTrays[tray] = TrayRecord{t, window};
  QObject::connect(t, &QSystemTrayIcon::activated, [tray](QSystemTrayIcon::ActivationReason reason) {
    auto it = gTrays.find(tray);
    if (it == gTrays.end()) return;
    int type = -1;
    switch (reason) {
      case QSystemTrayIcon::Trigger:
        type = TrayLeftUp;
        break;
      case QSystemTrayIcon::Context:
        type = TrayRightUp;
        break;
      case QSystemTrayIcon::DoubleClick:
        type = TrayLeftDoubleClick;
        break;
      default:
        break;
    }
    if (type >= 0) PushEvent(EventSysTray, it->second.window, tray, type, 0, 0, 0, false);
  });
  t->show();
  return 1;
}

int IsSysTrayIcon(int tray) { return gTrays.count(tray) ? 1 : 0; }

void ChangeSysTrayIcon(int tray, int image) {
  auto it = gTrays.find(tray);
  if (it == gTrays.end()) return;
  QIcon icon = IconOf(image);
  if (!icon.isNull()) it->second.icon->setIcon(icon);
}

void SysTrayIconToolTip(int tray, const std::string& text) {
  auto it = gTrays.find(tray);
  if (it != gTrays.end()) it->second.icon->setToolTip(ToQ(text));
}

void RemoveSysTrayIcon(int tray) {
  auto it = gTrays.find(tray);
  if (it == gTrays.end()) return;
  // At once, not later: a re-added icon must not meet the old one still docked. The
  // icon's signals reach the player only through the queue, so none is running now.
  QSystemTrayIcon* icon = it->second.icon;
  gTrays.erase(it);
  icon->hide();
  delete icon;
}
