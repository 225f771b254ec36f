// The list control that keeps no texts and the single-line text field, through the
// runtime's functions on both systems; typing goes through the toolkit (Qt) or as window
// messages (Win32).
#ifdef _WIN32
#include <windows.h>

#include <commctrl.h>

#include "runtime/win/rt_win.h"
#else
#include <QApplication>
#include <QKeyEvent>
#include <QTableView>

#include "runtime/rt_internal.h"
#endif

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "runtime_env.h"

namespace {

constexpr int kWin = 7;
constexpr int kList = 3;
constexpr int kField = 2;

// Every cell the list asked for, as (row, column).
std::vector<std::pair<int, int>> gAsked;
std::string CellText(int window, int gadget, int row, int column) {
  if (window == kWin && gadget == kList) gAsked.push_back({row, column});
  return "row " + std::to_string(row) + " col " + std::to_string(column);
}

int MaxRowAsked() {
  int most = -1;
  for (auto [row, column] : gAsked) most = std::max(most, row);
  return most;
}
int MinRowAsked() {
  int least = 1 << 30;
  for (auto [row, column] : gAsked) least = std::min(least, row);
  return least;
}

// Paints the window as the screen would (the list asks for its cells while painting).
void Paint() {
  PumpEvents(3);
  const int image = GrabWindowImage(kWin, ImageAny);
  if (image) FreeImage(image);
}

// Counts the events of a kind for the list or the field that the loop delivers now.
int CountGadgetEvents(int gadget, int type, int waits = 10) {
  int count = 0;
  for (int i = 0; i < waits; ++i) {
    if (WaitWindowEvent(5) == EventGadget && EventWindow() == kWin && EventObject() == gadget && EventType() == type)
      ++count;
  }
  return count;
}

class ListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gAsked.clear();
    ASSERT_EQ(OpenWindow(kWin, 20, 20, 420, 300, "Song Log", WindowCaption | WindowSystemMenu | WindowSizeable), 1);
    ASSERT_EQ(ListGadget(kWin, kList, 0, 40, 400, 240, CellText), 1);
    ASSERT_EQ(AddListColumn(kWin, kList, "Time", 100), 0);
    ASSERT_EQ(AddListColumn(kWin, kList, "Title", 50), 1);
    ASSERT_EQ(AddListColumn(kWin, kList, "Length", 80, ListAlignRight), 2);
  }
  void TearDown() override {
    CloseWindow(kWin);
    PumpEvents(3);
  }
};

// Catches a list that fetches every row's text up front (100 000 database reads on
// opening) or that does not ask for the rows scrolled into view.
TEST_F(ListTest, AsksOnlyForTheRowsShown) {
  SetListRowCount(kWin, kList, 100000);
  EXPECT_EQ(ListRowCount(kWin, kList), 100000);
  Paint();
  ASSERT_FALSE(gAsked.empty());
  EXPECT_EQ(MinRowAsked(), 0);
  EXPECT_LT(MaxRowAsked(), 60);
  EXPECT_GT(ListVisibleRows(kWin, kList), 3);
  EXPECT_LT(ListVisibleRows(kWin, kList), 60);
  gAsked.clear();
  SetListCurrentRow(kWin, kList, 60000);
  Paint();
  ASSERT_FALSE(gAsked.empty());
  EXPECT_GE(MinRowAsked(), 60000 - 60);
  EXPECT_LE(MaxRowAsked(), 60000 + 60);
  const int top = ListTopRow(kWin, kList);
  EXPECT_LE(top, 60000);
  EXPECT_GT(top + ListVisibleRows(kWin, kList), 60000);
  EXPECT_EQ(ListCurrentRow(kWin, kList), 60000);
}

// Catches a refresh that leaves stale texts on screen (a favourite toggled, not shown).
TEST_F(ListTest, RefreshAsksAgain) {
  SetListRowCount(kWin, kList, 5);
  Paint();
  gAsked.clear();
  Paint();
  const size_t idle = gAsked.size();
  gAsked.clear();
  RefreshListRows(kWin, kList);
  Paint();
  EXPECT_GE(gAsked.size(), idle);
  EXPECT_GE(gAsked.size(), 5u);
}

// Catches selections that are counted wrongly (ranges of Ctrl+A), that survive a new row
// count, or that the player's own changes report as the user's.
TEST_F(ListTest, SelectionBySetAndCount) {
  SetListRowCount(kWin, kList, 100000);
  PumpEvents(3);
  SetListRowSelected(kWin, kList, -1, 1);
  std::vector<int> rows;
  EXPECT_EQ(ListSelectedRows(kWin, kList, nullptr), 100000);
  EXPECT_EQ(ListSelectedRows(kWin, kList, &rows), 100000);
  ASSERT_EQ(rows.size(), 100000u);
  EXPECT_EQ(rows.front(), 0);
  EXPECT_EQ(rows.back(), 99999);
  SetListRowSelected(kWin, kList, 7, 0);
  EXPECT_EQ(ListSelectedRows(kWin, kList, &rows), 99999);
  EXPECT_EQ(std::count(rows.begin(), rows.end(), 7), 0);
  SetListRowCount(kWin, kList, 50);
  EXPECT_EQ(ListSelectedRows(kWin, kList, &rows), 0);
  SetListRowSelected(kWin, kList, 4, 1);
  SetListRowSelected(kWin, kList, 2, 1);
  SetListRowSelected(kWin, kList, 50, 1);  // past the end: nothing
  EXPECT_EQ(ListSelectedRows(kWin, kList, &rows), 2);
  EXPECT_EQ(rows, (std::vector<int>{2, 4}));
  EXPECT_EQ(CountGadgetEvents(kList, GadgetSelectionChange), 0);
}

// Catches rows coming in at the top that take the selection, the current row or the
// place the listener scrolled to with them to other titles.
TEST_F(ListTest, InsertedRowsKeepSelectionAndPlace) {
  SetListRowCount(kWin, kList, 10);
  SetListCurrentRow(kWin, kList, 5);
  SetListRowSelected(kWin, kList, 3, 1);
  InsertListRows(kWin, kList, 0, 2);
  std::vector<int> rows;
  EXPECT_EQ(ListRowCount(kWin, kList), 12);
  EXPECT_EQ(ListSelectedRows(kWin, kList, &rows), 2);
  EXPECT_EQ(rows, (std::vector<int>{5, 7}));
  EXPECT_EQ(ListCurrentRow(kWin, kList), 7);

  SetListRowCount(kWin, kList, 1000);
  SetListCurrentRow(kWin, kList, 500);
  Paint();
  const int top = ListTopRow(kWin, kList);
  ASSERT_GT(top, 0);
  InsertListRows(kWin, kList, 0, 3);
  Paint();
  EXPECT_EQ(ListTopRow(kWin, kList), top + 3);
  EXPECT_EQ(ListCurrentRow(kWin, kList), 503);
  // At the top the new rows show.
  SetListCurrentRow(kWin, kList, 0);
  Paint();
  ASSERT_EQ(ListTopRow(kWin, kList), 0);
  InsertListRows(kWin, kList, 0, 1);
  Paint();
  EXPECT_EQ(ListTopRow(kWin, kList), 0);
}

// Catches a click's x mapped to the wrong column (the heart would toggle from any column).
TEST_F(ListTest, ColumnsAndHitColumn) {
  EXPECT_EQ(ListColumnWidth(kWin, kList, 0), 100);
  EXPECT_EQ(ListColumnWidth(kWin, kList, 1), 50);
  EXPECT_EQ(ListColumnWidth(kWin, kList, 2), 80);
  EXPECT_EQ(ListColumnWidth(kWin, kList, 3), 0);
  EXPECT_EQ(ListColumnAt(kWin, kList, 10), 0);
  EXPECT_EQ(ListColumnAt(kWin, kList, 120), 1);
  EXPECT_EQ(ListColumnAt(kWin, kList, 160), 2);
  EXPECT_EQ(ListColumnAt(kWin, kList, 300), -1);
  SetListColumnWidth(kWin, kList, 1, 150);
  EXPECT_EQ(ListColumnAt(kWin, kList, 160), 1);
  EXPECT_EQ(ListColumnAt(kWin, kList, 260), 2);
  EXPECT_EQ(AddListColumn(kWin, 99, "none", 10), -1);  // no such list
}

// Catches a list that ignores the station's colours (white rows on the dark window).
TEST_F(ListTest, TakesTheWindowColours) {
  SetWindowColor(kWin, 0x2C1C3C);
  SetGadgetColors(kWin, kList, 0x2C1C3C, 0xCFCFCF);
  SetListRowCount(kWin, kList, 1);
  PumpEvents(3);
  const int image = GrabWindowImage(kWin, ImageAny);
  ASSERT_GT(image, 0);
  // Well below the one row, inside the list.
  EXPECT_EQ(GetImagePixel(image, 200, 40 + 200) & 0xFFFFFF, 0x2C1C3Cu);
  FreeImage(image);
}

#ifdef _WIN32
HWND FieldHandle() {
  rt::Gadget* g = rt::FindGadget(kWin, kField);
  return g ? g->hwnd : nullptr;
}
void Type(const std::string& text) {
  for (char c : text) SendMessageW(FieldHandle(), WM_CHAR, static_cast<WPARAM>(c), 1);
}
#else
void Type(const std::string& text) {
  QWidget* field = rt::FindGadget(kWin, kField)->widget;
  for (char c : text) {
    QKeyEvent key(QEvent::KeyPress, Qt::Key_A + (c - 'a'), Qt::NoModifier, QString(QChar(c)));
    QApplication::sendEvent(field, &key);
  }
}
#endif

#ifdef _WIN32
HWND ListHandle() {
  rt::Gadget* g = rt::FindGadget(kWin, kList);
  return g ? g->hwnd : nullptr;
}
// A key pressed on the list, Ctrl held down as the thread's key state shows it.
void ListKey(int vk, bool control = false) {
  BYTE keys[256];
  GetKeyboardState(keys);
  keys[VK_CONTROL] = control ? 0x80 : 0;
  SetKeyboardState(keys);
  SendMessageW(ListHandle(), WM_KEYDOWN, static_cast<WPARAM>(vk), 1);
  SendMessageW(ListHandle(), WM_KEYUP, static_cast<WPARAM>(vk), (LPARAM(1) << 30) | (LPARAM(1) << 31) | 1);
  keys[VK_CONTROL] = 0;
  SetKeyboardState(keys);
}
#else
void ListKey(int vk, bool control = false) {
  QWidget* list = rt::FindGadget(kWin, kList)->widget;
  const int key = vk == 'A'  ? Qt::Key_A
                  : vk == 40 ? Qt::Key_Down
                  : vk == 34 ? Qt::Key_PageDown
                  : vk == 35 ? Qt::Key_End
                             : Qt::Key_Return;
  QKeyEvent press(QEvent::KeyPress, key, control ? Qt::ControlModifier : Qt::NoModifier,
                  vk == 'A' ? QStringLiteral("a") : QString());
  QApplication::sendEvent(list, &press);
}
#endif
constexpr int kVkDown = 40, kVkPageDown = 34, kVkEnd = 35, kVkReturn = 13;

// Catches a list the keyboard cannot drive: arrows and pages that do not move the
// current row, Ctrl+A that selects nothing (the system's list view leaves it to the
// program), a moved selection the window never hears of, Enter that activates nothing.
TEST_F(ListTest, KeyboardMovesSelectsAndActivates) {
  SetListRowCount(kWin, kList, 100000);
  SetListCurrentRow(kWin, kList, 0);
  SetActiveGadget(kWin, kList);
  Paint();
  PumpEvents(3);
  ListKey(kVkDown);
  EXPECT_EQ(ListCurrentRow(kWin, kList), 1);
  std::vector<int> rows;
  EXPECT_EQ(ListSelectedRows(kWin, kList, &rows), 1);
  EXPECT_EQ(rows, std::vector<int>{1});
  EXPECT_GE(CountGadgetEvents(kList, GadgetSelectionChange), 1);
  ListKey(kVkPageDown);
  EXPECT_GT(ListCurrentRow(kWin, kList), 3);
  EXPECT_LT(ListCurrentRow(kWin, kList), 60);
  gAsked.clear();
  ListKey(kVkEnd);
  EXPECT_EQ(ListCurrentRow(kWin, kList), 99999);
  Paint();
  EXPECT_GE(MinRowAsked(), 99999 - 60);
  ListKey(kVkReturn);
  bool activated = false;
  for (int i = 0; i < 20 && !activated; ++i)
    activated = WaitWindowEvent(5) == EventGadget && EventObject() == kList && EventType() == GadgetLeftDoubleClick &&
                EventData() == 99999;
  EXPECT_TRUE(activated);
  ListKey('A', true);
  EXPECT_EQ(ListSelectedRows(kWin, kList, nullptr), 100000);
  EXPECT_GE(CountGadgetEvents(kList, GadgetSelectionChange), 1);
}

// Catches a field that reports the player's own text as the user's (a filter applied
// twice on opening), that misses typed text, or that keeps more than its limit.
TEST_F(ListTest, StringFieldReportsTheUsersChanges) {
  ASSERT_EQ(StringGadget(kWin, kField, 0, 0, 200, 24, "abc"), 1);
  EXPECT_EQ(GetGadgetText(kWin, kField), "abc");
  SetGadgetText(kWin, kField, "queen");
  EXPECT_EQ(GetGadgetText(kWin, kField), "queen");
  EXPECT_EQ(CountGadgetEvents(kField, GadgetChange), 0);
  SetGadgetText(kWin, kField, "");
  SetActiveGadget(kWin, kField);
  Type("abba");
  EXPECT_EQ(GetGadgetText(kWin, kField), "abba");
  EXPECT_EQ(CountGadgetEvents(kField, GadgetChange), 4);
  SetGadgetText(kWin, kField, std::string(kStringGadgetMaxLength + 40, 'x'));
  EXPECT_EQ(GetGadgetText(kWin, kField).size(), static_cast<size_t>(kStringGadgetMaxLength));
  SetGadgetText(kWin, kField, "\xC3\xA9t\xC3\xA9");  // UTF-8 kept as it was given
  EXPECT_EQ(GetGadgetText(kWin, kField), "\xC3\xA9t\xC3\xA9");
}

}  // namespace
