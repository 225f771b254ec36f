// The list control that keeps no texts (a list view with LVS_OWNERDATA: the control asks
// for the cells of the rows it paints through LVN_GETDISPINFO) and the single-line text
// field (an EDIT control; its change notices come through rt_window.cpp's WM_COMMAND).
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <vector>

#include "runtime/win/rt_win.h"

namespace rt {

namespace {

constexpr UINT_PTR kListSubclass = 0x4C495354;  // "LIST"

Gadget* ListOf(int window, int gadget) {
  Gadget* g = FindGadget(window, gadget);
  return g && g->kind == GadgetKind::List ? g : nullptr;
}

COLORREF ColorOf(int64_t rgb) {
  const auto v = static_cast<uint32_t>(rgb);
  return RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
}

COLORREF MixColors(COLORREF a, COLORREF b, int percentB) {
  auto ch = [&](int shift) {
    const int x = (a >> shift) & 0xFF, y = (b >> shift) & 0xFF;
    return static_cast<COLORREF>((x * (100 - percentB) + y * percentB + 50) / 100) << shift;
  };
  return ch(0) | ch(8) | ch(16);
}

// Changes the states of many rows without repainting each one (the list view would
// invalidate every row it touches: seconds for 100 000 rows), then repaints once.
class BulkChange {
 public:
  explicit BulkChange(HWND hwnd) : hwnd_(hwnd) { SendMessageW(hwnd_, WM_SETREDRAW, FALSE, 0); }
  ~BulkChange() {
    SendMessageW(hwnd_, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(hwnd_, nullptr, TRUE);
  }
  BulkChange(const BulkChange&) = delete;
  BulkChange& operator=(const BulkChange&) = delete;

 private:
  HWND hwnd_;
};

// The list view selects everything on Ctrl+A only when the program does it; its
// background is the player's colour wherever it erases (the themed control under Wine
// erases with the theme's).
LRESULT CALLBACK ListKeys(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR id) {
  if (msg == WM_ERASEBKGND) {
    Gadget* g = FindGadget(static_cast<int>(id >> 16), static_cast<int>(id & 0xFFFF));
    if (g && g->brush) {
      RECT r{};
      GetClientRect(hwnd, &r);
      FillRect(reinterpret_cast<HDC>(wp), &r, g->brush);
      return 1;
    }
  }
  if (msg == WM_KEYDOWN && wp == 'A' && (GetKeyState(VK_CONTROL) & 0x8000) && !(GetKeyState(VK_MENU) & 0x8000)) {
    BulkChange bulk(hwnd);
    ListView_SetItemState(hwnd, -1, LVIS_SELECTED, LVIS_SELECTED);
    return 0;
  }
  // The header in the player's colours too: its items drawn here, its empty rest filled.
  if (msg == WM_NOTIFY && reinterpret_cast<const NMHDR*>(lp)->hwndFrom == ListView_GetHeader(hwnd) &&
      reinterpret_cast<const NMHDR*>(lp)->code == NM_CUSTOMDRAW) {
    Gadget* g = FindGadget(static_cast<int>(id >> 16), static_cast<int>(id & 0xFFFF));
    if (g && g->brush && g->foreground >= 0) {
      auto* draw = reinterpret_cast<NMCUSTOMDRAW*>(lp);
      if (draw->dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW | CDRF_NOTIFYPOSTPAINT;
      if (draw->dwDrawStage == CDDS_POSTPAINT) {
        // Right of the last column: the system would leave its own colour there.
        RECT rest{};
        GetClientRect(draw->hdr.hwndFrom, &rest);
        const int count = Header_GetItemCount(draw->hdr.hwndFrom);
        RECT last{};
        if (count > 0 && Header_GetItemRect(draw->hdr.hwndFrom, count - 1, &last)) rest.left = last.right;
        if (rest.left < rest.right) FillRect(draw->hdc, &rest, g->brush);
        return CDRF_DODEFAULT;
      }
      if (draw->dwDrawStage == CDDS_ITEMPREPAINT) {
        wchar_t text[256] = {};
        HDITEMW item{};
        item.mask = HDI_TEXT | HDI_FORMAT;
        item.pszText = text;
        item.cchTextMax = 255;
        Header_GetItem(draw->hdr.hwndFrom, static_cast<int>(draw->dwItemSpec), &item);
        RECT r = draw->rc;
        FillRect(draw->hdc, &r, g->brush);
        const COLORREF fg = ColorOf(g->foreground);
        HBRUSH line = CreateSolidBrush(MixColors(ColorOf(g->background), fg, 40));
        RECT edge{r.right - 1, r.top + 2, r.right, r.bottom - 2};
        FillRect(draw->hdc, &edge, line);
        RECT bottom{r.left, r.bottom - 1, r.right, r.bottom};
        FillRect(draw->hdc, &bottom, line);
        DeleteObject(line);
        SetBkMode(draw->hdc, TRANSPARENT);
        SetTextColor(draw->hdc, fg);
        InflateRect(&r, -6, 0);
        const UINT align = (item.fmt & HDF_JUSTIFYMASK) == HDF_RIGHT    ? DT_RIGHT
                           : (item.fmt & HDF_JUSTIFYMASK) == HDF_CENTER ? DT_CENTER
                                                                        : DT_LEFT;
        DrawTextW(draw->hdc, text, -1, &r, align | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);
        return CDRF_SKIPDEFAULT;
      }
    }
  }
  // Enter activates the current row here: not every system's list view reports it.
  if (msg == WM_KEYDOWN && wp == VK_RETURN) {
    const int focused = ListView_GetNextItem(hwnd, -1, LVNI_FOCUSED);
    if (focused >= 0)
      PushEvent(EventGadget, static_cast<int>(id >> 16), static_cast<int>(id & 0xFFFF), GadgetLeftDoubleClick, focused,
                0, 0, false);
    return 0;
  }
  // The characters of Ctrl+A and Enter would beep.
  if (msg == WM_CHAR && (wp == 1 || wp == L'\r')) return 0;
  return DefSubclassProc(hwnd, msg, wp, lp);
}

void PushList(int window, int gadget, int type, int data, int x, int y) {
  PushEvent(EventGadget, window, gadget, type, data, x, y, false);
}

int RowHeight(HWND hwnd) {
  RECT r{};
  if (ListView_GetItemCount(hwnd) > 0 && ListView_GetItemRect(hwnd, 0, &r, LVIR_BOUNDS)) return r.bottom - r.top;
  return 0;
}

}  // namespace

void ApplyListColors(Gadget& g) {
  if (g.background >= 0) {
    ListView_SetBkColor(g.hwnd, ColorOf(g.background));
    ListView_SetTextBkColor(g.hwnd, ColorOf(g.background));
  }
  if (g.foreground >= 0) ListView_SetTextColor(g.hwnd, ColorOf(g.foreground));
  InvalidateRect(g.hwnd, nullptr, TRUE);
}

bool HandleListNotify(int window, const NMHDR* header, LRESULT* result) {
  WindowRecord* w = FindWindow(window);
  if (!w || !header) return false;
  int gadget = 0;
  Gadget* g = nullptr;
  for (auto& [n, candidate] : w->gadgets) {
    if (candidate.hwnd == header->hwndFrom && candidate.kind == GadgetKind::List) {
      gadget = n;
      g = &candidate;
      break;
    }
  }
  if (!g) return false;
  switch (header->code) {
    case LVN_GETDISPINFOW: {
      auto* info = reinterpret_cast<NMLVDISPINFOW*>(const_cast<NMHDR*>(header));
      LVITEMW& item = info->item;
      if ((item.mask & LVIF_TEXT) && item.pszText && item.cchTextMax > 0) {
        const std::wstring text = g->cellText ? Wide(g->cellText(window, gadget, item.iItem, item.iSubItem)) : L"";
        const size_t n = std::min(text.size(), static_cast<size_t>(item.cchTextMax - 1));
        std::copy_n(text.data(), n, item.pszText);
        item.pszText[n] = L'\0';
      }
      *result = 0;
      return true;
    }
    case LVN_ITEMCHANGED: {
      const auto* change = reinterpret_cast<const NMLISTVIEW*>(header);
      if (!g->quiet && (change->uChanged & LVIF_STATE) && ((change->uOldState ^ change->uNewState) & LVIS_SELECTED))
        PushList(window, gadget, GadgetSelectionChange, 0, 0, 0);
      *result = 0;
      return true;
    }
    case LVN_ODSTATECHANGED: {
      const auto* change = reinterpret_cast<const NMLVODSTATECHANGE*>(header);
      if (!g->quiet && ((change->uOldState ^ change->uNewState) & LVIS_SELECTED))
        PushList(window, gadget, GadgetSelectionChange, 0, 0, 0);
      *result = 0;
      return true;
    }
    case NM_CLICK: {
      const auto* click = reinterpret_cast<const NMITEMACTIVATE*>(header);
      PushList(window, gadget, GadgetLeftClick, click->iItem, click->ptAction.x, click->ptAction.y);
      *result = 0;
      return true;
    }
    case NM_RCLICK: {
      const auto* click = reinterpret_cast<const NMITEMACTIVATE*>(header);
      PushList(window, gadget, GadgetRightClick, click->iItem, click->ptAction.x, click->ptAction.y);
      // Handled: no second request as the window's context menu.
      *result = 1;
      return true;
    }
    case LVN_ITEMACTIVATE: {
      const auto* activate = reinterpret_cast<const NMITEMACTIVATE*>(header);
      if (activate->iItem >= 0) PushList(window, gadget, GadgetLeftDoubleClick, activate->iItem, 0, 0);
      *result = 0;
      return true;
    }
    case NM_CUSTOMDRAW: {
      auto* draw = reinterpret_cast<NMLVCUSTOMDRAW*>(const_cast<NMHDR*>(header));
      if (g->background < 0 || g->foreground < 0) return false;
      if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) {
        *result = CDRF_NOTIFYITEMDRAW;
        return true;
      }
      if (draw->nmcd.dwDrawStage == CDDS_ITEMPREPAINT) {
        const int row = static_cast<int>(draw->nmcd.dwItemSpec);
        // Selected rows in a mix of the player's two colours instead of the system's.
        if (ListView_GetItemState(g->hwnd, row, LVIS_SELECTED) & LVIS_SELECTED) {
          draw->nmcd.uItemState &= ~(CDIS_SELECTED | CDIS_FOCUS);
          draw->clrTextBk = MixColors(ColorOf(g->background), ColorOf(g->foreground), 25);
        } else {
          draw->clrTextBk = ColorOf(g->background);
        }
        draw->clrText = ColorOf(g->foreground);
        *result = CDRF_NEWFONT;
        return true;
      }
      return false;
    }
    default:
      return false;
  }
}

}  // namespace rt

using namespace rt;

int StringGadget(int window, int gadget, int x, int y, int width, int height, const std::string& text) {
  Gadget* g = CreateGadgetWindow(window, gadget, GadgetKind::String, L"EDIT", ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP,
                                 L"", x, y, width, height);
  if (!g) return 0;
  SendMessageW(g->hwnd, EM_SETLIMITTEXT, kStringGadgetMaxLength, 0);
  SetGadgetText(window, gadget, text);
  return 1;
}

int ListGadget(int window, int gadget, int x, int y, int width, int height, ListCellText cellText) {
  static bool classes = false;
  if (!classes) {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_LISTVIEW_CLASSES};
    classes = InitCommonControlsEx(&icc) != FALSE;
  }
  Gadget* g =
      CreateGadgetWindow(window, gadget, GadgetKind::List, WC_LISTVIEWW,
                         LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER | WS_TABSTOP | WS_BORDER,
                         L"", x, y, width, height);
  if (!g) return 0;
  g->cellText = cellText;
  ListView_SetExtendedListViewStyle(g->hwnd, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
  SetWindowSubclass(g->hwnd, ListKeys, kListSubclass, (static_cast<DWORD_PTR>(window) << 16) | gadget);
  return 1;
}

int AddListColumn(int window, int gadget, const std::string& title, int width, int flags) {
  Gadget* g = ListOf(window, gadget);
  if (!g) return -1;
  std::wstring text = Wide(title);
  LVCOLUMNW column{};
  column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
  column.fmt = flags == ListAlignRight ? LVCFMT_RIGHT : flags == ListAlignCenter ? LVCFMT_CENTER : LVCFMT_LEFT;
  column.cx = std::max(width, 0);
  column.pszText = text.data();
  const int index = static_cast<int>(
      SendMessageW(g->hwnd, LVM_INSERTCOLUMNW, static_cast<WPARAM>(g->listColumns), reinterpret_cast<LPARAM>(&column)));
  if (index < 0) return -1;
  ++g->listColumns;
  return index;
}

void SetListColumnWidth(int window, int gadget, int column, int width) {
  Gadget* g = ListOf(window, gadget);
  if (g && column >= 0 && column < g->listColumns) ListView_SetColumnWidth(g->hwnd, column, std::max(width, 0));
}

int ListColumnWidth(int window, int gadget, int column) {
  Gadget* g = ListOf(window, gadget);
  if (!g || column < 0 || column >= g->listColumns) return 0;
  return ListView_GetColumnWidth(g->hwnd, column);
}

int ListColumnAt(int window, int gadget, int x) {
  Gadget* g = ListOf(window, gadget);
  if (!g || x < 0) return -1;
  // Columns are never reordered: their widths from the left, past the horizontal scroll.
  int left = -GetScrollPos(g->hwnd, SB_HORZ);
  for (int column = 0; column < g->listColumns; ++column) {
    const int width = ListView_GetColumnWidth(g->hwnd, column);
    if (x >= left && x < left + width) return column;
    left += width;
  }
  return -1;
}

void SetListRowCount(int window, int gadget, int count) {
  Gadget* g = ListOf(window, gadget);
  if (!g) return;
  g->quiet = true;
  {
    BulkChange bulk(g->hwnd);
    ListView_SetItemState(g->hwnd, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
    ListView_SetItemCountEx(g->hwnd, std::max(count, 0), 0);
  }
  if (count > 0) ListView_EnsureVisible(g->hwnd, 0, FALSE);
  g->quiet = false;
}

int ListRowCount(int window, int gadget) {
  Gadget* g = ListOf(window, gadget);
  return g ? ListView_GetItemCount(g->hwnd) : 0;
}

void InsertListRows(int window, int gadget, int row, int count) {
  Gadget* g = ListOf(window, gadget);
  if (!g || count <= 0) return;
  HWND hwnd = g->hwnd;
  const int total = ListView_GetItemCount(hwnd);
  row = std::clamp(row, 0, total);
  // The control keeps its states by index: they move by hand.
  std::vector<int> selected;
  for (int i = ListView_GetNextItem(hwnd, -1, LVNI_SELECTED); i >= 0; i = ListView_GetNextItem(hwnd, i, LVNI_SELECTED))
    selected.push_back(i);
  const int focus = ListView_GetNextItem(hwnd, -1, LVNI_FOCUSED);
  const int top = ListView_GetTopIndex(hwnd);
  g->quiet = true;
  {
    BulkChange bulk(hwnd);
    ListView_SetItemState(hwnd, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
    ListView_SetItemCountEx(hwnd, total + count, LVSICF_NOSCROLL);
    for (int i : selected) ListView_SetItemState(hwnd, i >= row ? i + count : i, LVIS_SELECTED, LVIS_SELECTED);
    if (focus >= 0) ListView_SetItemState(hwnd, focus >= row ? focus + count : focus, LVIS_FOCUSED, LVIS_FOCUSED);
  }
  if (top > 0 && row <= top) {
    // Wherever the control put its top row, the one shown before comes back.
    const int height = RowHeight(hwnd);
    const int now = ListView_GetTopIndex(hwnd);
    if (height > 0 && now != top + count) ListView_Scroll(hwnd, 0, (top + count - now) * height);
  }
  InvalidateRect(hwnd, nullptr, FALSE);
  if (Gadget* again = ListOf(window, gadget)) again->quiet = false;
}

void RefreshListRows(int window, int gadget) {
  Gadget* g = ListOf(window, gadget);
  if (!g) return;
  const int top = ListView_GetTopIndex(g->hwnd);
  const int shown = ListView_GetCountPerPage(g->hwnd);
  ListView_RedrawItems(g->hwnd, top, top + shown);
  InvalidateRect(g->hwnd, nullptr, FALSE);
}

int ListSelectedRows(int window, int gadget, std::vector<int>* rows) {
  if (rows) rows->clear();
  Gadget* g = ListOf(window, gadget);
  if (!g) return 0;
  // Every row selected (Ctrl+A): no walk through the control.
  const int total = ListView_GetItemCount(g->hwnd);
  if (total > 0 && ListView_GetSelectedCount(g->hwnd) == static_cast<UINT>(total)) {
    if (rows)
      for (int i = 0; i < total; ++i) rows->push_back(i);
    return total;
  }
  int count = 0;
  for (int i = ListView_GetNextItem(g->hwnd, -1, LVNI_SELECTED); i >= 0;
       i = ListView_GetNextItem(g->hwnd, i, LVNI_SELECTED)) {
    if (rows) rows->push_back(i);
    ++count;
  }
  return count;
}

void SetListRowSelected(int window, int gadget, int row, int selected) {
  Gadget* g = ListOf(window, gadget);
  if (!g || row < -1 || row >= ListView_GetItemCount(g->hwnd)) return;
  g->quiet = true;
  if (row == -1) {
    BulkChange bulk(g->hwnd);
    ListView_SetItemState(g->hwnd, row, selected ? LVIS_SELECTED : 0, LVIS_SELECTED);
  } else {
    ListView_SetItemState(g->hwnd, row, selected ? LVIS_SELECTED : 0, LVIS_SELECTED);
  }
  if (Gadget* again = ListOf(window, gadget)) again->quiet = false;
}

int ListCurrentRow(int window, int gadget) {
  Gadget* g = ListOf(window, gadget);
  return g ? ListView_GetNextItem(g->hwnd, -1, LVNI_FOCUSED) : -1;
}

void SetListCurrentRow(int window, int gadget, int row) {
  Gadget* g = ListOf(window, gadget);
  if (!g || row < 0 || row >= ListView_GetItemCount(g->hwnd)) return;
  g->quiet = true;
  {
    BulkChange bulk(g->hwnd);
    ListView_SetItemState(g->hwnd, -1, 0, LVIS_SELECTED);
    ListView_SetItemState(g->hwnd, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  }
  ListView_SetSelectionMark(g->hwnd, row);
  ListView_EnsureVisible(g->hwnd, row, FALSE);
  if (Gadget* again = ListOf(window, gadget)) again->quiet = false;
}

int ListTopRow(int window, int gadget) {
  Gadget* g = ListOf(window, gadget);
  return g ? ListView_GetTopIndex(g->hwnd) : 0;
}

int ListVisibleRows(int window, int gadget) {
  Gadget* g = ListOf(window, gadget);
  return g ? ListView_GetCountPerPage(g->hwnd) : 0;
}
