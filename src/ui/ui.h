// User interface windows: the main window with its VU meter, and the routines every
// window shares (skin images, image buttons, keeping windows on screen).
// This header is the whole surface of the UI subsystem for the others.
#pragma once

#include <cmath>
#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "core/core.h"
#include "data/data.h"
#include "playback/playback.h"
#include "runtime/runtime.h"

// --- Shared rules ------------------------------------------------------------------
// Every layout number v becomes UiRound(v * scale): nearest integer, halves away from zero.
inline int UiRound(double x) { return int(x >= 0 ? std::floor(x + 0.5) : std::ceil(x - 0.5)); }

// --- Skin images -------------------------------------------------------------------
// Every bitmap of the interface is "<name>.png" in the program data folder. The cache
// keeps the unscaled image under its file name for the whole run and one scaled copy per
// cache key ("vumeter_status_muted", "prefs_ui_checkmark_set", "tray_status_normal", ...).
// Main thread only.
struct SkinImageCache {
  std::map<std::string, int> images;  // file name or cache key -> runtime image handle (0 = empty)
  // Reads one skin file; LoadSkinImage unless a test counts the loads.
  int (*load)(const std::string& fileName) = nullptr;
};
extern SkinImageCache gSkinImages;

// Loads gApp.dataFolder + fileName + ".png" into a new image. Returns the handle or 0.
int LoadSkinImage(const std::string& fileName);
// The skin image scaled to width x height, cached under cacheKey; the file is read once.
// The scaled copy is replaced only when another size is asked for. 0 when the file is
// missing or the copy fails (nothing is reported).
int GetSkinImage(const std::string& fileName, const std::string& cacheKey, int width, int height);
// The image cached under a file name or key, 0 when none.
int SkinCacheLookup(const std::string& key);
// Frees every cached image (tests; the final teardown frees them otherwise).
void ClearSkinImageCache();

// Paints canvas control `gadget` of `window`: window colour, the image alpha-blended at
// (0, 0), then the caption centred on one line ("&" literal) when a font is given.
// Nothing is drawn when the image is not valid.
void DrawImageButton(int window, int gadget, int image, int font, uint32_t textColour,
                     const std::string& caption);

// --- Window placement ----------------------------------------------------------------
enum KeepOnScreenResult : int {
  KeepOnScreenDone = 0,        // moved, or already inside the work area
  KeepOnScreenNoRect = 1,      // the window rectangle is unavailable
  KeepOnScreenNoMonitor = 2,   // no screen near the window
  KeepOnScreenNoMonitorInfo = 3,  // the screen gave no usable work area
};
// Where a window opens: at its stored position, or centred on the mouse cursor when
// either coordinate is kNoPosition (nothing stored yet).
void NewWindowPosition(int storedX, int storedY, int width, int height, int* x, int* y);
// Pulls a window that sticks out of the nearest screen's work area back in (right and
// bottom edges first, then left and top, so the top-left corner wins on a small screen).
int KeepWindowOnScreen(int window);
// The rule behind it on plain numbers: 1 when left or top had to change.
int ClampRectToArea(int* left, int* top, int width, int height, int areaX, int areaY, int areaWidth,
                    int areaHeight);
// Stores the window's top-left corner when it exists and is in the normal state.
void StoreWindowPosition(int window, std::atomic<int32_t>& x, std::atomic<int32_t>& y);

// --- Tool windows (src/ui/tool_window.cpp) -------------------------------------------------
// The windows beside the main one (debug log, statistics, information, preferences, song
// log, downloader) open the same way and answer the same window messages; each describes
// itself once in a ToolWindow record.
enum ToolWindowOption : int {
  // A DPI change sizes the window for its new scale at the suggested place, not to the
  // suggested size.
  ToolOwnSize = 1,
  // Sized at the scale of the cursor's screen (it has no stored place, so it opens on the
  // cursor), leaves the main window as it is and stays where the cursor put it.
  ToolAtCursor = 2,
};
struct ToolShortcut {
  int key = 0;      // virtual key with ShortcutControl and the like
  int command = 0;  // the menu command it posts
};
struct ToolWindow {
  int window = 0;
  const char* caption = "";
  int style = 0;    // window flags besides the caption, system menu and invisible ones
  int options = 0;  // ToolWindowOption bits
  float* scale = nullptr;  // the window's DPI scale (gApp); main thread only
  // The place stored in the settings; without one the window opens on the cursor.
  std::atomic<int32_t>* storedX = nullptr;
  std::atomic<int32_t>* storedY = nullptr;
  void (*clientSize)(float scale, int* width, int* height) = nullptr;  // at scale
  WindowCallback callback = nullptr;
  std::vector<ToolShortcut> shortcuts;  // besides the context-menu key, which every one has
  void (*relayout)() = nullptr;         // lays the window out again at *scale
  void (*paint)() = nullptr;            // the window was exposed anew; may be none
};
// Opens the window invisible at its stored place (or on the cursor), at the size of the
// scale of the screen it opened on, with its callback, background colour and shortcuts,
// pulled onto the screen. width, height: the client size it opened with. 1, or 0 when
// the window could not be opened.
int OpenToolWindow(const ToolWindow& tool, int* width = nullptr, int* height = nullptr);
// The messages every tool window answers alike: the tray menu on a right click, the
// play/pause key, keeping on screen after a move, a DPI change. For its callback.
int ToolWindowMessage(const ToolWindow& tool, const WindowMessage& message);

// --- Main window and VU meter ------------------------------------------------------------
constexpr int kVuArtworkImage = 1;  // the pre-drawn meter background (24 bits)

// Main-window state, main thread only. The DPI scale lives in gApp.mainScale (MainScale);
// the poll and draw stamps of the meter are gApp.levelPollStamp and gApp.vuDrawStamp, the
// minimised flag gApp.minimized (kept by the event loop).
struct MainWindowState {
  int width = 0, height = 0;   // client size after scaling
  int mutedImage = 0;          // scaled overlays from the skin cache (0 = none)
  int connectImage = 0;
  float level[2] = {0, 0};     // last left/right peak level, 0 .. 1
  float unlit[2] = {0, 0};     // dark part of each bar in pixels, 0 .. height
  // What the window shows now, so a tick with nothing new does not repaint.
  int shownUnlit[2] = {-1, -1};
  int shownOverlay = -1;
  int hotkeyRegistered = 0;
};
extern MainWindowState gMainWindow;

// The main window's DPI scale (DPI / 96).
inline float& MainScale = gApp.mainScale;

// Client size of the main window at scale s: two bars of 11 and a 1-pixel gap by 128.
inline int MainWindowWidth(float s) { return UiRound(11 * s) + UiRound(1 * s) + UiRound(11 * s); }
inline int MainWindowHeight(float s) { return UiRound(128 * s); }

// open = 1 creates window 1 (or re-applies the scale and repaints it when it exists);
// open = 0 closes it. Returns 1 when the window exists afterwards (open) / 1 (close);
// 0 when it could not be created ("Failed to create main window!" was shown).
int OpenMainWindow(int open);
// (Re)draws the meter background into image 1: four colour bands, scan lines and the
// centre stripe. 1 or 0 ("Failed to create VUMeter artwork!" was shown).
int CreateVuMeterArtwork(int width, int height, float scale);
// Height of the dark top part of a bar for a peak level: one percent of the bar per dB
// below full scale, the whole bar for silence (0 or less, below -100 dB, not a number).
float UnlitHeight(float level, int height);
// The VU meter tick, called by the event loop's idle pass with the multimedia timer's
// now: polls the levels every 25 ms and repaints at most every 50 ms, nothing while the
// window is minimised; while the window is on screen it asks for the pass of its next poll.
void VuMeterTick(uint32_t now);
// Paints window 1 from image 1, the dark parts and the status overlay. force = 1 paints
// even when nothing changed since the last paint.
void DrawVuMeter(int force);
// The main window's callback (installed by OpenMainWindow).
int MainWindowCallback(const WindowMessage& message);
// Registers the media play/pause key as global hotkey 1 of window 1 when Settings hotkey
// is on; on failure turns the setting off and tells the user. 1 registered, 0 not.
int RegisterMainHotkey();
// Lets go of the global hotkey (the preferences switch it off).
void UnregisterMainHotkey();

// --- Taskbar buttons and mute (src/ui/taskbar.cpp) ----------------------------------------------
// Applies Settings muted everywhere (volume, tray image, tray menu, taskbar button).
int ApplyMute();
// Builds the two taskbar buttons anew (the taskbar entry of window 1 was (re)created).
int BuildTaskbarButtons();
// Lets go of the taskbar entry's buttons (the main window closes).
void ReleaseTaskbarButtons();
// Toggles Settings muted and applies it (the play/pause key in any window).
int ToggleMute();
// Applies Settings preset: unmutes, sets the volume factor of the mode, refreshes the
// preferences controls, the tray menu and the volume-mode button.
int ApplyVolumeMode();
// The button buffer: two slots in the shell's layout, reused for every update; an update
// fills mask, id, icon (a runtime image made by IconFromImage) and tooltip only.
constexpr int kThumbMaskIcon = 0x2;
constexpr int kThumbMaskTooltip = 0x4;
constexpr size_t kThumbTooltipUnits = 260;  // UTF-16 units, terminator included
struct ThumbButton {
  int mask = 0;
  int id = 0;
  int bitmap = 0;
  int icon = 0;
  std::string tooltip;
  int flags = 0;
};
extern ThumbButton gThumbButtons[2];
// Stores text as the slot's tooltip, cut to what the shell's buffer holds.
void SetThumbTooltip(ThumbButton& slot, const std::string& text);
// A copy of the image at the system icon size; 0 for no image. Free it with FreeImage.
int IconFromImage(int image);
// The taskbar progress for the state: connecting ProgressError, else muted
// ProgressNormal, else ProgressNone (a full bar in the first two).
int TaskbarProgressFor(int64_t connecting, int64_t muted);
// EventTaskbarState: sets the taskbar progress from the connecting and muted state.
int UpdateTaskbarProgress();
// MsgThumbButtonClick: button 1 posts menu command 8 of window 1, button 2 command 4.
void TaskbarButtonClicked(int id);

// --- Information window (window 3, src/ui/info_window.cpp) --------------------------------
constexpr int kArtworkImage = 33;  // the current title's artwork, or a copy of the default
// The reloadArtwork flag of OpenInfoWindow.
constexpr int kKeepArtwork = 0;
constexpr int kReloadArtwork = 1;
// The artwork worker's answer, posted to window 3: object = the request it answers,
// type = a runtime image handle with the decoded artwork (0 when the fetch or the decode
// failed). The loop hands it to HandleArtworkReady.
constexpr int EventArtworkReady = 0x10006;
constexpr int kArtworkBufferSize = 1 << 20;  // larger artwork is not shown
constexpr int kArtworkTimeoutMs = 10000;

// What the information window shows and copies, read from the shared records at once.
struct InfoSnapshot {
  std::string showName, showInfo;
  std::string connectId, connectUrl, codecName;
  int64_t bitrate = 0;                     // bit/s
  std::vector<TrackHistoryEntry> history;  // newest first; the first entry plays now
  int64_t measure = 0;                     // Settings measure: MeasureR128 adds the LUFS to the report
};
InfoSnapshot CurrentInfoSnapshot();
// A played title's length: "m:ss" under an hour, "h:mm:ss" from an hour on, "??:??" when
// the end is not after the start.
std::string TrackDuration(int64_t start, int64_t end);
// "01", "02", ... "99", "100": at least two digits.
std::string TwoDigitNumber(int64_t number);
// The three text fields: programme and presenter; stream and current title (empty with
// an empty history, when the field keeps its text); the previous titles.
std::string InfoProgrammeText(const InfoSnapshot& info);
std::string InfoNowPlayingText(const InfoSnapshot& info);
std::string InfoPreviousText(const InfoSnapshot& info);
// The text Ctrl+C puts on the clipboard.
std::string InfoCopyReport(const InfoSnapshot& info);
// Outer window size for a stored one: 600 x 500 when either side is under 400 x 300 or
// from 32000 on.
void InfoWindowSize(int storedWidth, int storedHeight, int* width, int* height);

// open = 0 closes window 3 (info state 0). open = 1 creates it when missing (a relayout is
// implied), relayouts, fetches the current title's artwork on a worker (reloadArtwork),
// refreshes the texts and copies the report (copy). 1 when the window exists afterwards.
int OpenInfoWindow(int open, int relayout, int copy, int reloadArtwork);
// Gives the frame's room back from the client area once the window manager has framed
// a newly opened window (its size is stored as the outer one); the loop calls it on the
// window's move and size events. 1 when it resized the window.
int FitInfoWindowToFrame();
int InfoWindowCallback(const WindowMessage& message);
// EventArtworkReady on the main thread: shows the image when it answers the latest
// request, and frees it otherwise.
void HandleArtworkReady(int request, int image);
// The artwork the window holds now ("" for the default) and the one being fetched.
std::string ShownArtworkUrl();
std::string PendingArtworkUrl();
// Runtime thread number of the artwork worker (0 when none was started).
int ArtworkWorkerThread();

// --- Statistics window (window 2, src/ui/stats_window.cpp) ----------------------------------
// The copyright line the statistics window shows under the version.
extern const char* const kCopyrightLine;

// What the value lines are made of, read from the shared records at once.
struct StatsSnapshot {
  uint32_t streamHandle = 0;
  int64_t connecting = 0;
  int64_t connectTime = 0, now = 0;  // dates, seconds
  int64_t connectCount = 0, streamNumber = 0;
  int channelActive = 0;  // the audio library reports the stream as active
  std::string codecName;
  int64_t bitrate = 0;  // bit/s
  double sumSquares = 0, titlePeak = 0, longPeak = 0;
  int64_t sampleCount = 0;
  float volume = 1.0f;
};
StatsSnapshot CurrentStatsSnapshot();
struct StatsLines {
  std::string server, codec, peak, rms, headroom;
};
StatsLines ComputeStatsLines(const StatsSnapshot& stats);
// Time since the connection: "h:mm:ss" under a day, then "1.50 day", "3.00 days".
std::string UptimeText(int64_t start, int64_t now);
std::string StatsCopyReport(const StatsLines& lines, const std::string& version, const std::string& copyright);
// Client size of the statistics window at scale s (262 x 252 at scale 1).
inline int StatsWindowWidth(float s) { return UiRound(2 * s) + UiRound(258 * s) + UiRound(2 * s); }
inline int StatsWindowHeight(float s) { return UiRound(2 * s) + UiRound(248 * s) + UiRound(2 * s); }

// open = 0 closes window 2 (stats state 0). open = 1 creates it when missing, relayouts
// (static part), refreshes the value lines and copies the report (copy). 1 when the
// window exists afterwards.
int OpenStatsWindow(int open, int relayout, int copy);
int StatsWindowCallback(const WindowMessage& message);
// The lines the window shows now (tests, the copy).
StatsLines ShownStatsLines();

// --- Preferences window (window 4, src/ui/prefs_window.cpp) -----------------------------------
// Control numbers of window 4.
enum PrefsControl : int {
  PrefsLabels = 6,      // the six option labels (display only)
  PrefsCheckOnTop = 7,  // "Stay On Top" -> Settings main sticky
  PrefsHeading = 8,     // "Volume" (display only)
  PrefsReadout = 9,     // the volume in dB (display only), under the heading
  PrefsSlider = 10,     // takes the focus for the wheel; disabled in Auto
  PrefsPlus = 11,
  PrefsMinus = 12,
  PrefsMode = 13,             // Auto -> Preset 1 -> Preset 2 -> Auto
  PrefsCheckUpdates = 14,     // "Check For Updates" -> Settings versioncheck
  PrefsUpdate = 15,           // manual version check
  PrefsCheckStreamInfo = 16,  // "Get StreamInfo" -> Settings streaminfo
  PrefsCheckTray = 17,        // "Trayicon" -> Settings trayicon
  PrefsCheckHotkey = 18,      // "Global mute" -> Settings hotkey
  PrefsCheckArtwork = 19,     // "Get Artwork" -> Settings artwork
  PrefsDebug = 20,            // opens the debug log window
  PrefsStream = 21,           // next stream
};
constexpr int kPrefsSliderImage = 28;  // the slider's work image (32 bits)
// The volume scale of the window's controls.
constexpr double kPrefsMinDb = -40.0;
constexpr double kPrefsMaxDb = 0.0;

// Window state, main thread only; the scale is gApp.prefsScale.
struct PrefsWindowState {
  int font = 0;               // "Source Sans Pro" at round(12 * scale)
  int sliderHover = 0;        // the mouse is over the slider
  int hovered = 0;            // the control the mouse entered and has not left; 0 for none
};
extern PrefsWindowState gPrefsWindow;

// Client size at a scale: 2 + 284 + 2 by 2 + 324 + 2, each part rounded.
int PrefsClientWidth(float s);
int PrefsClientHeight(float s);
// open 1 opens window 4 (a new window is always laid out) or, with relayout,
// lays the open one out and repaints it; open 0 closes it. 1 when the window
// exists (open) / 1.
int OpenPrefsWindow(int open, int relayout);
// The mode button's caption and the enabled state and pictures of slider, plus
// and minus after the volume mode changed elsewhere (tray menu); nothing when
// the window is closed.
void RefreshPrefsVolumeMode();
// A control event of window 4 from the event loop; mouseY and data (wheel
// notches) of the event.
void PrefsGadgetEvent(int gadget, int type, int mouseY, int data);
int PrefsWindowCallback(const WindowMessage& message);
// Shows a volume in the readout and the slider (SetVolume's display while the
// window is open); draws only on the main thread.
void ShowPrefsVolume(float level);
// Canvas painters of window 4: the image on the window colour; one centred line
// of text; the slider with the level picture shown from `position` pixels down.
void DrawCanvasImage(int gadget, int image);
void DrawTextLabel(int gadget, int font, uint32_t textColour, const std::string& text);
void DrawVolumeSlider(int levelImage, int position);
// The arithmetic of the volume controls, on the -40 ... 0 dB scale.
double VolumeToDb(float volume);
float DbToVolume(double db);
// Plus, minus and the wheel: the volume moved by stepDb, kept within -40 ... 0
// dB and rounded to the nearest half decibel.
float StepVolume(float volume, double stepDb);
// The slider: 0 dB at its top, -40 dB at its bottom, clamped outside the
// control.
double SliderDb(int mouseY, int sliderHeight);
// Rows of the slider left empty above the level (0 at 0 dB, the height at -40
// dB).
int SliderLevelPosition(float volume, int sliderHeight);
std::string ModeCaption(int64_t mode);
// The stream button after a click on the entry at position (0-based) of count
// entries.
std::string NextStreamCaption(size_t position, size_t count);
// Built by the updater (src/update), which sits above this subsystem: registration
// with the external version-check tool ("/add" when on, "/remove" when off) started in
// the background (1 when started), and the start of a manual version check (1 when
// started).
int VersionToolRegistration(int on);
int StartManualVersionCheck();

// --- Song log window (window 7, src/ui/song_log_window.cpp) ----------------------------------
// The export worker's answer, posted to window 7: object = 1 written, 0 failed.
constexpr int EventSongLogExported = 0x10030;
// Window 7's own shortcut commands: Ctrl+D toggles the selected rows' favourites, Ctrl+F
// goes to the filter.
constexpr int kSongLogToggleFavourite = 0x701;
constexpr int kSongLogFindCommand = 0x702;
// The filter applies this long after the last key, when window 7's timer ticks.
constexpr int kSongLogFilterDelayMs = 200;
constexpr int kSongLogFilterTimer = 1;
// Rows are read a page at a time; a few pages stay cached.
constexpr int kSongLogPageRows = 100;
constexpr int kSongLogCachedPages = 8;
enum SongLogColumn : int {
  kSongLogTimeColumn = 0,
  kSongLogTitleColumn = 1,
  kSongLogLengthColumn = 2,
  kSongLogLoudnessColumn = 3,
  kSongLogHeartColumn = 4,
};

// What the list shows: the filter text and the favourites-only switch.
struct SongLogQuery {
  std::string filter;
  int favouritesOnly = 0;
  bool operator==(const SongLogQuery&) const = default;
};
// Pages of rows of one query, the most recently used first; reads counts the reads of
// the song log (tests and the benchmark).
struct SongLogPageCache {
  std::list<std::pair<int, std::vector<SongRow>>> pages;
  int reads = 0;
  // Row `row` of the query (read with its page when missing); nullptr past the end.
  const SongRow* Row(const SongLogQuery& query, int row);
  // The rows (ascending) in order; long runs are read in one go.
  std::vector<SongRow> Fetch(const SongLogQuery& query, const std::vector<int>& rows);
  void Clear();
};
std::vector<std::string> SongLogColumnTitles();
int SongLogColumnAlignment(int column);
// Column widths for a list of this width at a scale in its font: each column fits its
// widest text, the title column takes the rest.
std::vector<int> SongLogColumnWidths(int listWidth, float scale, int font);
// The cells: local "yyyy-mm-dd hh:ii" of a UTC ISO 8601 start (bias = local minus UTC,
// the text itself when it does not parse), "m:ss" lengths, LUFS when measured else RMS,
// "Artist - Title" (or what there is of them, else the raw stream title), the heart.
std::string SongLogTimeText(const std::string& startedUtc, int64_t bias);
std::string SongLogLengthText(double seconds);
std::string SongLogLoudnessText(const SongRow& row);
std::string SongLogTitleText(const SongRow& row);
std::string SongLogCellText(const SongRow& row, int column, int64_t bias);
// "1 song", "12 songs, 3 selected"; "The song log is not open." while nothing could be
// read because the database is not open.
std::string SongLogStatusText(int rows, int selected, int ready);
// The save dialog's answer with ".csv" added when it names neither a CSV nor a JSON file.
std::string SongLogExportPath(const std::string& chosen);
// Client size for a stored one: 720 x 460 at the scale when either side is under 300 x 200
// or from 32000 on.
void SongLogWindowSize(int storedWidth, int storedHeight, float scale, int* width, int* height);

// open = 0 closes window 7; open = 1 creates it when missing (laid out, the rows of all
// songs shown) or lays it out again (relayout). 1 when the window exists afterwards.
int OpenSongLogWindow(int open, int relayout);
int SongLogWindowCallback(const WindowMessage& message);
// An event of window 7 from the event loop (and EventSongLogExported).
void SongLogWindowEvent(int kind, int object, int type);
// What the window shows now (tests, the benchmark): its row count, its query and how
// many pages it has read.
int SongLogShownRows();
SongLogQuery SongLogShownQuery();
int SongLogPageReads();
// The status line's text: the counts, or where the last export went.
std::string SongLogShownStatus();
