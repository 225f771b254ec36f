// The song log window (window 7): every title the listener heard, newest first, in a
// list that reads its rows from the song log a page at a time as they are scrolled into
// view, with a filter applied as the listener types, a favourites-only switch, hearts
// that toggle a favourite, Ctrl+C for the selected rows and an export to CSV or JSON.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "data/data.h"
#include "platform/platform.h"
#include "playback/playback.h"
#include "ui/ui.h"

namespace {

constexpr int kFilterField = 1;
constexpr int kFavouritesButton = 2;
constexpr int kExportButton = 3;
constexpr int kSongList = 4;
constexpr int kRefreshTimer = 2;
constexpr int kRefreshMs = 1000;
constexpr int kVkC = 0x43;
constexpr int kVkD = 0x44;
constexpr int kVkF = 0x46;

// Window state; main thread only.
struct SongLogWindowState {
  float scale = 1.0f;
  int font = 0;
  SongLogQuery applied;     // what the list shows
  int rows = 0;             // rows of that query
  uint64_t generation = 0;  // of the song log when the rows were counted
  int selected = 0;
  int exporting = 0;   // an export runs on its worker
  std::string notice;  // shown instead of the counts until the rows or the selection change
  SongLogPageCache cache;
};
SongLogWindowState gLog;

// The export's hand-over: written by the worker before it posts its answer; guarded by lock.
struct ExportSlot {
  std::mutex lock;
  std::string path, error;
};
ExportSlot gExport;

const char* const kHeart = "\xE2\x99\xA5";  // U+2665
const char* const kNoHeart = "\xC2\xB7";    // U+00B7, a quiet dot where no heart is

std::string FavouritesCaption(int only) { return only ? "\xE2\x99\xA5 Favourites" : "All Songs"; }

std::string CellText(int window, int gadget, int row, int column) {
  if (window != WinSongLog || gadget != kSongList) return "";
  const SongRow* r = gLog.cache.Row(gLog.applied, row);
  return r ? SongLogCellText(*r, column, TimeZoneBias()) : "";
}

// Window layout: a bar of the filter, the favourites switch and the export button above
// the list; a status line under it.
struct Layout {
  int margin, barHeight, buttonWidth, exportWidth, labelWidth, statusHeight;
};
Layout LayoutFor(float s) {
  Layout l;
  l.margin = UiRound(6 * s);
  l.barHeight = std::max(UiRound(26 * s), FontLineSpacing(gLog.font) + UiRound(8 * s));
  l.buttonWidth = UiRound(100 * s);
  l.exportWidth = UiRound(80 * s);
  l.labelWidth = UiRound(40 * s);
  l.statusHeight = FontLineSpacing(gLog.font) + UiRound(6 * s);
  return l;
}

void PaintLabels() {
  if (!IsWindow(WinSongLog) || !StartDrawingWindow(WinSongLog)) return;
  const Layout l = LayoutFor(gLog.scale);
  const int W = WindowClientWidth(WinSongLog), H = WindowClientHeight(WinSongLog);
  DrawingFont(gLog.font);
  DrawBox(0, 0, l.margin + l.labelWidth, l.margin + l.barHeight, kColorBackground);
  DrawTextRect(l.margin, l.margin, l.labelWidth, l.barHeight, "Filter", TextSingleLine | TextVCenter | TextNoPrefix,
               kColorText);
  const int y = H - l.statusHeight;
  DrawBox(0, y, W, l.statusHeight, kColorBackground);
  DrawTextRect(l.margin, y, W - 2 * l.margin, l.statusHeight,
               gLog.notice.empty() ? SongLogStatusText(gLog.rows, gLog.selected, SongLogReady()) : gLog.notice,
               TextSingleLine | TextVCenter | TextNoPrefix | TextEndEllipsis, kColorText);
  StopDrawing();
}

void LayoutSongLogWindow() {
  const float s = gLog.scale;
  if (Logging()) Log("Song log DPI scale = " + FormatScale(s));
  FreeFont(gLog.font);
  gLog.font = CreateUiFont("Source Sans Pro", static_cast<float>(UiRound(11 * s)));
  const Layout l = LayoutFor(s);
  const int W = WindowClientWidth(WinSongLog), H = WindowClientHeight(WinSongLog);
  const int m = l.margin;
  const int exportX = W - m - l.exportWidth;
  const int toggleX = exportX - m - l.buttonWidth;
  const int fieldX = m + l.labelWidth;
  ResizeGadget(WinSongLog, kFilterField, fieldX, m, std::max(toggleX - m - fieldX, 0), l.barHeight);
  ResizeGadget(WinSongLog, kFavouritesButton, toggleX, m, l.buttonWidth, l.barHeight);
  ResizeGadget(WinSongLog, kExportButton, exportX, m, l.exportWidth, l.barHeight);
  const int listY = m + l.barHeight + m;
  const int listW = W - 2 * m;
  ResizeGadget(WinSongLog, kSongList, m, listY, listW, std::max(H - l.statusHeight - listY, 0));
  for (int g : {kFilterField, kFavouritesButton, kExportButton, kSongList}) {
    SetGadgetFont(WinSongLog, g, gLog.font);
    SetGadgetColors(WinSongLog, g, kColorBackground, kColorText);
  }
  std::vector<int> widths = SongLogColumnWidths(listW, s, gLog.font);
  for (int c = 0; c < static_cast<int>(widths.size()); ++c) SetListColumnWidth(WinSongLog, kSongList, c, widths[c]);
  PaintLabels();
  ShowWindowNoActivate(WinSongLog);
}

// Counts the rows of the query and shows them from the top.
void ApplyQuery(const SongLogQuery& query) {
  gLog.applied = query;
  gLog.cache.Clear();
  gLog.generation = SongLogGeneration();
  gLog.rows = std::max(SongLogCount(query.filter, query.favouritesOnly), 0);
  gLog.selected = 0;
  gLog.notice.clear();
  SetListRowCount(WinSongLog, kSongList, gLog.rows);
  PaintLabels();
}

SongLogQuery WantedQuery() {
  SongLogQuery q;
  q.filter = GetGadgetText(WinSongLog, kFilterField);
  q.favouritesOnly = gLog.applied.favouritesOnly;
  return q;
}

// A new batch, a favourite or the start-up changed the log: new titles come in at the top
// (the selection and the place stay); anything else shows the rows again.
void CheckForNewRows() {
  const uint64_t now = SongLogGeneration();
  if (now == gLog.generation) return;
  gLog.generation = now;
  gLog.cache.Clear();
  const int rows = std::max(SongLogCount(gLog.applied.filter, gLog.applied.favouritesOnly), 0);
  if (rows > gLog.rows) {
    InsertListRows(WinSongLog, kSongList, 0, rows - gLog.rows);
  } else if (rows < gLog.rows) {
    SetListRowCount(WinSongLog, kSongList, rows);
  }
  gLog.rows = rows;
  gLog.selected = ListSelectedRows(WinSongLog, kSongList, nullptr);
  RefreshListRows(WinSongLog, kSongList);
  PaintLabels();
}

std::vector<SongRow> SelectedSongRows() {
  std::vector<int> rows;
  ListSelectedRows(WinSongLog, kSongList, &rows);
  return gLog.cache.Fetch(gLog.applied, rows);
}

// Ctrl+D: the selected rows all become favourites, or, when they all are, none is.
void ToggleSelectedFavourites() {
  std::vector<SongRow> rows = SelectedSongRows();
  if (rows.empty()) return;
  const int to = std::all_of(rows.begin(), rows.end(), [](const SongRow& r) { return r.favourite != 0; }) ? 0 : 1;
  for (const SongRow& r : rows)
    if (r.favourite != to) SongLogSetFavourite(r.id, to);
  CheckForNewRows();
}

void ToggleRowFavourite(int row) {
  const SongRow* r = gLog.cache.Row(gLog.applied, row);
  if (!r) return;
  SongLogSetFavourite(r->id, r->favourite ? 0 : 1);
  CheckForNewRows();
}

void ExportWorker(int) {
  std::string path;
  {
    std::lock_guard<std::mutex> lock(gExport.lock);
    path = gExport.path;
  }
  std::string error;
  const int ok = ExportSongLog(path, &error);
  {
    std::lock_guard<std::mutex> lock(gExport.lock);
    gExport.error = ok ? std::string() : (error.empty() ? std::string("Unknown error.") : error);
  }
  PostEvent(EventSongLogExported, WinSongLog, ok);
}

// The save dialog, then the export on a worker: a large log on a slow disk never holds
// the window.
void StartExport() {
  if (gLog.exporting) return;
  std::string folder = GetKnownFolder(KnownFolder::kDocuments);
  const std::string chosen =
      SaveFileRequester("Export Song Log", folder + "Song Log.csv", "CSV (comma-separated)|*.csv|JSON|*.json", 0);
  if (chosen.empty()) return;
  const std::string path = SongLogExportPath(chosen);
  {
    std::lock_guard<std::mutex> lock(gExport.lock);
    gExport.path = path;
    gExport.error.clear();
  }
  if (!CreateThread(ExportWorker, 0)) {
    ShowMessageBox(kProgramName, "The song log could not be exported:\r\nno thread could be started.",
                   MbOk | MbIconError, WinSongLog);
    return;
  }
  gLog.exporting = 1;
  DisableGadget(WinSongLog, kExportButton, 1);
  if (Logging()) Log("Song log export to " + path);
}

void ExportFinished(int ok) {
  gLog.exporting = 0;
  if (IsWindow(WinSongLog)) DisableGadget(WinSongLog, kExportButton, 0);
  std::string path, error;
  {
    std::lock_guard<std::mutex> lock(gExport.lock);
    path = gExport.path;
    error = gExport.error;
  }
  if (Logging()) Log(ok ? "Song log exported." : "Song log export failed: " + error);
  if (ok && IsWindow(WinSongLog)) {
    // A finished export says where it went; the next click or change shows the counts again.
    gLog.notice = "Exported to " + path;
    PaintLabels();
  }
  if (!ok)
    ShowMessageBox(kProgramName, "The song log could not be exported to\r\n" + path + "\r\n\r\n" + error,
                   MbOk | MbIconError, IsWindow(WinSongLog) ? WinSongLog : 0);
}

const ToolWindow kSongLogTool = {
    .window = WinSongLog,
    .caption = "Corvale Player Song Log",
    .style = WindowSizeable | WindowMinimizeBox | WindowMaximizeBox,
    .scale = &gLog.scale,
    .storedX = &gSettings.songLogX,
    .storedY = &gSettings.songLogY,
    // Nothing stored yet: the default size at the scale the window opens on.
    .clientSize =
        [](float s, int* w, int* h) { SongLogWindowSize(gSettings.songLogW.load(), gSettings.songLogH.load(), s, w, h); },
    .callback = SongLogWindowCallback,
    .shortcuts = {{ShortcutControl | kVkC, MenuCopy},
                  {ShortcutControl | kVkD, kSongLogToggleFavourite},
                  {ShortcutControl | kVkF, kSongLogFindCommand}},
    .relayout = [] { OpenSongLogWindow(kOpenWindow, kRelayout); },
    .paint = PaintLabels,
};

int CreateSongLogWindow() {
  int w = 0;
  if (!OpenToolWindow(kSongLogTool, &w)) return 0;
  StringGadget(WinSongLog, kFilterField, 0, 0, 0, 0, "");
  ButtonGadget(WinSongLog, kFavouritesButton, 0, 0, 0, 0, FavouritesCaption(0));
  ButtonGadget(WinSongLog, kExportButton, 0, 0, 0, 0, "Export...");
  ListGadget(WinSongLog, kSongList, 0, 0, 0, 0, CellText);
  const std::vector<std::string> titles = SongLogColumnTitles();
  const std::vector<int> widths = SongLogColumnWidths(w, gLog.scale, gLog.font);
  for (size_t c = 0; c < titles.size(); ++c)
    AddListColumn(WinSongLog, kSongList, titles[c], widths[c], SongLogColumnAlignment(static_cast<int>(c)));
  gLog.applied = SongLogQuery{};
  gLog.exporting = 0;
  gLog.cache.reads = 0;
  AddWindowTimer(WinSongLog, kRefreshTimer, kRefreshMs);
  return 1;
}

void CloseSongLogWindow() {
  if (IsWindow(WinSongLog)) CloseWindow(WinSongLog);
  FreeFont(gLog.font);
  gLog.font = 0;
  gLog.cache.Clear();
  gLog.rows = gLog.selected = 0;
  gLog.notice.clear();
}

}  // namespace

// --- The rules of the window, on plain values ------------------------------------------------

const SongRow* SongLogPageCache::Row(const SongLogQuery& query, int row) {
  if (row < 0) return nullptr;
  const int page = row / kSongLogPageRows;
  const int index = row % kSongLogPageRows;
  for (auto it = pages.begin(); it != pages.end(); ++it) {
    if (it->first != page) continue;
    // The most recently used page goes first.
    if (it != pages.begin()) pages.splice(pages.begin(), pages, it);
    return index < static_cast<int>(pages.front().second.size()) ? &pages.front().second[index] : nullptr;
  }
  std::vector<SongRow> rows;
  ++reads;
  if (!SongLogRows(query.filter, query.favouritesOnly, page * kSongLogPageRows, kSongLogPageRows, &rows)) rows.clear();
  pages.emplace_front(page, std::move(rows));
  while (pages.size() > static_cast<size_t>(kSongLogCachedPages)) pages.pop_back();
  return index < static_cast<int>(pages.front().second.size()) ? &pages.front().second[index] : nullptr;
}

std::vector<SongRow> SongLogPageCache::Fetch(const SongLogQuery& query, const std::vector<int>& rows) {
  std::vector<SongRow> out;
  out.reserve(rows.size());
  // Runs of neighbouring rows are read in one go, past the cache (Ctrl+A can select all).
  size_t i = 0;
  while (i < rows.size()) {
    size_t j = i + 1;
    while (j < rows.size() && rows[j] == rows[j - 1] + 1) ++j;
    const int first = rows[i], count = static_cast<int>(j - i);
    if (count <= kSongLogPageRows) {
      for (size_t k = i; k < j; ++k)
        if (const SongRow* r = Row(query, rows[k])) out.push_back(*r);
    } else {
      std::vector<SongRow> run;
      ++reads;
      if (SongLogRows(query.filter, query.favouritesOnly, first, count, &run))
        out.insert(out.end(), run.begin(), run.end());
    }
    i = j;
  }
  return out;
}

void SongLogPageCache::Clear() { pages.clear(); }

std::vector<std::string> SongLogColumnTitles() {
  return {"Time", "Artist - Title", "Length", "Loudness", "\xE2\x99\xA5"};
}

int SongLogColumnAlignment(int column) {
  if (column == kSongLogLengthColumn || column == kSongLogLoudnessColumn) return ListAlignRight;
  if (column == kSongLogHeartColumn) return ListAlignCenter;
  return ListAlignLeft;
}

std::vector<int> SongLogColumnWidths(int listWidth, float s, int font) {
  // Room for the widest text each column shows in the font, and a margin each side.
  const int pad = UiRound(14 * s);
  const int time = MeasureTextWidth(font, "0000-00-00 00:00") + pad;
  const int length = MeasureTextWidth(font, "0:00:00") + pad;
  const int loudness = MeasureTextWidth(font, "-00.0 dB RMS") + pad;
  const int heart = UiRound(32 * s);
  // The title takes what is left, less room for the scroll bar and the frame.
  const int rest = listWidth - time - length - loudness - heart - UiRound(24 * s);
  return {time, std::max(rest, UiRound(120 * s)), length, loudness, heart};
}

std::string SongLogTimeText(const std::string& startedUtc, int64_t bias) {
  const int64_t utc = ParseDate("%yyyy-%mm-%ddT%hh:%ii:%ssZ", startedUtc);
  if (utc == 0) return startedUtc;
  return FormatDate("%yyyy-%mm-%dd %hh:%ii", utc + bias);
}

std::string SongLogLengthText(double seconds) {
  if (!(seconds >= 0.5)) return "0:00";
  return TrackDuration(0, static_cast<int64_t>(std::llround(seconds)));
}

std::string SongLogLoudnessText(const SongRow& row) {
  if (std::isfinite(row.lufs)) return FormatFixed(row.lufs, 1) + " LUFS";
  if (std::isfinite(row.rms) && row.rms > -200) return FormatFixed(row.rms, 1) + " dB RMS";
  return "";
}

std::string SongLogTitleText(const SongRow& row) {
  if (!row.artist.empty() && !row.title.empty()) return row.artist + " - " + row.title;
  if (!row.title.empty()) return row.title;
  if (!row.artist.empty()) return row.artist;
  return row.streamTitle;
}

std::string SongLogCellText(const SongRow& row, int column, int64_t bias) {
  switch (column) {
    case kSongLogTimeColumn:
      return SongLogTimeText(row.started, bias);
    case kSongLogTitleColumn:
      return SongLogTitleText(row);
    case kSongLogLengthColumn:
      return SongLogLengthText(row.seconds);
    case kSongLogLoudnessColumn:
      return SongLogLoudnessText(row);
    case kSongLogHeartColumn:
      return row.favourite ? kHeart : kNoHeart;
    default:
      return "";
  }
}

std::string SongLogStatusText(int rows, int selected, int ready) {
  // The writer opens the database a moment after the start (or could not open it).
  if (!ready && rows == 0) return "The song log is not open.";
  std::string text = std::to_string(rows) + (rows == 1 ? " song" : " songs");
  if (selected > 0) text += ", " + std::to_string(selected) + " selected";
  return text;
}

std::string SongLogExportPath(const std::string& chosen) {
  const size_t slash = chosen.find_last_of("/\\");
  const std::string name = slash == std::string::npos ? chosen : chosen.substr(slash + 1);
  const size_t dot = name.rfind('.');
  const std::string ext = dot == std::string::npos ? "" : LowerAscii(name.substr(dot));
  if (ext == ".csv" || ext == ".json") return chosen;
  return chosen + ".csv";
}

void SongLogWindowSize(int storedWidth, int storedHeight, float scale, int* width, int* height) {
  const bool usable = storedWidth >= 300 && storedHeight >= 200 && storedWidth < 32000 && storedHeight < 32000;
  *width = usable ? storedWidth : UiRound(720 * scale);
  *height = usable ? storedHeight : UiRound(460 * scale);
}

// --- The window --------------------------------------------------------------------------------

int OpenSongLogWindow(int open, int relayout) {
  if (!open) {
    CloseSongLogWindow();
    return 0;
  }
  bool created = false;
  if (!IsWindow(WinSongLog)) {
    if (!CreateSongLogWindow()) return 0;
    created = true;
    relayout = 1;
  }
  if (relayout) LayoutSongLogWindow();
  if (created) ApplyQuery(WantedQuery());
  return 1;
}

int SongLogWindowCallback(const WindowMessage& message) { return ToolWindowMessage(kSongLogTool, message); }

void SongLogWindowEvent(int kind, int object, int type) {
  if (kind == EventSongLogExported) {
    ExportFinished(object);
    return;
  }
  // A tick or a click still queued when the window closed must not open it again.
  if (!IsWindow(WinSongLog)) return;
  switch (kind) {
    case EventGadget:
      if (object == kSongList) {
        if (type == GadgetLeftClick && EventData() >= 0 &&
            ListColumnAt(WinSongLog, kSongList, EventMouseX()) == kSongLogHeartColumn)
          ToggleRowFavourite(EventData());
        if (type == GadgetRightClick) ShowTrayMenu();
        if (type == GadgetSelectionChange || type == GadgetLeftClick) {
          gLog.selected = ListSelectedRows(WinSongLog, kSongList, nullptr);
          gLog.notice.clear();
          PaintLabels();
        }
      } else if (object == kFilterField && type == GadgetChange) {
        // Typing stays smooth: the filter applies once the keys pause.
        AddWindowTimer(WinSongLog, kSongLogFilterTimer, kSongLogFilterDelayMs);
      } else if (object == kFavouritesButton && type == GadgetLeftClick) {
        SongLogQuery q = WantedQuery();
        q.favouritesOnly = gLog.applied.favouritesOnly ? 0 : 1;
        SetGadgetText(WinSongLog, kFavouritesButton, FavouritesCaption(q.favouritesOnly));
        ApplyQuery(q);
      } else if (object == kExportButton && type == GadgetLeftClick) {
        StartExport();
      }
      break;
    case EventMenu:
      if (object == MenuShowTrayMenu) ShowTrayMenu();
      if (object == MenuCopy) {
        std::vector<SongRow> rows = SelectedSongRows();
        if (!rows.empty()) SetClipboardText(SongRowsAsText(rows));
      }
      if (object == kSongLogToggleFavourite) ToggleSelectedFavourites();
      if (object == kSongLogFindCommand) SetActiveGadget(WinSongLog, kFilterField);
      break;
    case EventTimer:
      if (object == kSongLogFilterTimer) {
        RemoveWindowTimer(WinSongLog, kSongLogFilterTimer);
        SongLogQuery q = WantedQuery();
        if (!(q == gLog.applied)) ApplyQuery(q);
      } else if (object == kRefreshTimer) {
        CheckForNewRows();
      }
      break;
    case EventRightClick:
      ShowTrayMenu();
      break;
    case EventMoveWindow:
    case EventSizeWindow:
      StoreWindowPosition(WinSongLog, gSettings.songLogX, gSettings.songLogY);
      if (GetWindowState(WinSongLog) == WindowNormal) {
        gSettings.songLogW.store(WindowClientWidth(WinSongLog));
        gSettings.songLogH.store(WindowClientHeight(WinSongLog));
      }
      if (kind == EventSizeWindow) LayoutSongLogWindow();
      break;
    case EventRestoreWindow:
      LayoutSongLogWindow();
      break;
    case EventCloseWindow:
      OpenSongLogWindow(kCloseWindow, kKeepLayout);
      break;
    default:
      break;
  }
}

int SongLogShownRows() { return IsWindow(WinSongLog) ? gLog.rows : 0; }
SongLogQuery SongLogShownQuery() { return gLog.applied; }
int SongLogPageReads() { return gLog.cache.reads; }
std::string SongLogShownStatus() {
  return gLog.notice.empty() ? SongLogStatusText(gLog.rows, gLog.selected, SongLogReady()) : gLog.notice;
}
