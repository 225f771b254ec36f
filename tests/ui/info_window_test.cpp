// The information window: its texts and the copy report byte for byte, the size rule,
// the layout at scale 1, the artwork worker against the station simulator (fetched once
// per URL, late answers dropped, a stalled server never blocks the main thread) and the
// placement kept across a restart through the settings file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "data/data.h"
#include "data/data_internal.h"
#include "platform/platform.h"
#include "playback/playback.h"
#include "station_sim_fixture.h"
#include "ui/ui.h"
#include "ui_test_support.h"

namespace {

TrackHistoryEntry Entry(const std::string& artist, const std::string& title, const std::string& album,
                        const std::string& year, int64_t start, int64_t end, float rms = 0, float peak = 0,
                        const std::string& artwork = "") {
  TrackHistoryEntry e;
  e.artist = artist;
  e.title = title;
  e.album = album;
  e.year = year;
  e.start = start;
  e.end = end;
  e.rms = rms;
  e.peak = peak;
  e.artwork = artwork;
  return e;
}

InfoSnapshot Snapshot(std::vector<TrackHistoryEntry> history) {
  InfoSnapshot info;
  info.showName = "Morning Show";
  info.showInfo = "with Ada";
  info.connectId = "mp3";
  info.connectUrl = "http://127.0.0.1/stream/mp3";
  info.codecName = "MP3";
  info.bitrate = 128000;
  info.history = std::move(history);
  return info;
}

void SetHistory(std::vector<TrackHistoryEntry> entries) {
  std::lock_guard<std::mutex> lock(gTrackHistory.lock);
  gTrackHistory.entries = std::move(entries);
}

// Runs the loop's dispatch for up to `rounds` waits of 50 ms or until done() holds.
template <typename Done>
bool PumpUntil(Done done, int rounds = 600) {
  for (int i = 0; i < rounds && !done(); ++i) {
    int kind = WaitWindowEvent(50);
    if (kind) DispatchEvent(kind, EventWindow(), EventObject(), EventType());
  }
  return done();
}

int PathRequests(const StationSim& sim, const std::string& path) {
  SimResponse r = SimGet(sim.port, "/control/stats");
  std::string key = "\"" + path + "\": {\"requests\": ";
  size_t at = r.body.find(key);
  return at == std::string::npos ? 0 : std::atoi(r.body.c_str() + at + key.size());
}

}  // namespace

// --- Texts and the copy report ---------------------------------------------------------------

// Catches lengths written in the wrong unit, hours not split off, or a zero or negative
// length shown as a time.
TEST(InfoTexts, DurationText) {
  struct Case {
    int64_t start, end;
    const char* text;
  } cases[] = {
      {100, 100, "??:??"}, {100, 40, "??:??"},   {0, 59, "0:59"},      {0, 187, "3:07"},
      {0, 3599, "59:59"},  {0, 3600, "1:00:00"}, {0, 3729, "1:02:09"}, {1000, 1000 + 36000 + 61, "10:01:01"},
  };
  for (const Case& c : cases) EXPECT_EQ(TrackDuration(c.start, c.end), c.text) << c.start << " " << c.end;
  EXPECT_EQ(TwoDigitNumber(1), "01");
  EXPECT_EQ(TwoDigitNumber(12), "12");
  EXPECT_EQ(TwoDigitNumber(100), "100");
}

// Catches a wrong separator, a missing programme line break, or the album suffix written
// for an empty album.
TEST(InfoTexts, FieldsFromTheRecords) {
  InfoSnapshot info =
      Snapshot({Entry("Now", "Playing", "Live", "2024", 500, 500), Entry("Ana", "First", "", "2020", 300, 487),
                Entry("Bo", "Second", "Album B", "2021", 0, 300)});
  EXPECT_EQ(InfoProgrammeText(info), "Morning Show\r\nwith Ada");
  EXPECT_EQ(InfoNowPlayingText(info), "Stream: mp3\r\nArtist: Now\r\nSong: Playing\r\nAlbum: Live");
  EXPECT_EQ(InfoPreviousText(info), "Previous 2 songs:\r\n01. Ana - First (3:07)\r\n02. Bo - Second (5:00) - Album B");
  info.showInfo.clear();
  EXPECT_EQ(InfoProgrammeText(info), "Morning Show");
  info.history.resize(1);
  EXPECT_EQ(InfoPreviousText(info), "");
}

// Catches the report's blocks in the wrong order or with lost line breaks: with one
// entry the album line is followed by exactly three CR LF.
TEST(InfoReport, OneEntryEndsWithThreeLineBreaks) {
  InfoSnapshot info = Snapshot({Entry("Now", "Playing", "Live", "2024", 500, 500)});
  EXPECT_EQ(InfoCopyReport(info),
            "Corvale Player Info\r\n\r\nMorning Show\r\nwith Ada\r\n\r\nStream: mp3\r\n"
            "URL: http://127.0.0.1/stream/mp3\r\nCodec: MP3\r\nBitrate: 128000\r\n\r\nArtist: Now\r\n"
            "Song: Playing\r\nAlbum: Live\r\n\r\n\r\n");
}

// Catches the history-less report carrying half a stream block.
TEST(InfoReport, EmptyHistory) {
  InfoSnapshot info = Snapshot({});
  EXPECT_EQ(InfoCopyReport(info), "Corvale Player Info\r\n\r\nMorning Show\r\nwith Ada\r\n\r\n\r\n\r\n\r\n");
}

// Catches single-digit numbering, levels not rounded (or rounded towards zero), the year
// or album left out of the report.
TEST(InfoReport, TwelvePreviousTitlesNumbered01To12) {
  std::vector<TrackHistoryEntry> history = {Entry("Now", "Playing", "Live", "2024", 5000, 5000)};
  for (int i = 1; i <= 12; ++i)
    history.push_back(Entry("A" + std::to_string(i), "T" + std::to_string(i), i == 3 ? "" : "Alb", "1999",
                            5000 - i * 200, i == 12 ? 5000 - i * 200 : 5000 - i * 200 + 187, -14.5f, -0.4f));
  InfoSnapshot info = Snapshot(history);
  std::string report = InfoCopyReport(info);
  std::string expected =
      "Corvale Player Info\r\n\r\nMorning Show\r\nwith Ada\r\n\r\nStream: mp3\r\nURL: http://127.0.0.1/stream/mp3\r\n"
      "Codec: MP3\r\nBitrate: 128000\r\n\r\nArtist: Now\r\nSong: Playing\r\nAlbum: Live\r\n\r\nPrevious 12 songs:";
  for (int i = 1; i <= 12; ++i) {
    std::string n = (i < 10 ? "0" : "") + std::to_string(i);
    expected += "\r\n" + n + ". A" + std::to_string(i) + " - T" + std::to_string(i) + " (" +
                (i == 12 ? "??:??" : "3:07") + ") - " + (i == 3 ? "" : "Alb") + " (1999) - -15dBFS RMS, 0dBFS Peak.";
  }
  expected += "\r\n";
  EXPECT_EQ(report, expected);
  std::string field = InfoPreviousText(info);
  EXPECT_NE(field.find("\r\n01. A1 - T1 (3:07) - Alb"), std::string::npos);
  EXPECT_NE(field.find("\r\n03. A3 - T3 (3:07)\r\n"), std::string::npos);
  EXPECT_NE(field.find("\r\n12. A12 - T12 (??:?\?) - Alb"), std::string::npos);
}

// Catches the size limits applied with the wrong comparison or to one side only.
TEST(InfoTexts, SizeRule) {
  struct Case {
    int w, h, outW, outH;
  } cases[] = {
      {399, 800, 600, 500},   {400, 300, 400, 300},   {800, 299, 600, 500}, {31999, 31999, 31999, 31999},
      {32000, 400, 600, 500}, {500, 32000, 600, 500}, {0, 0, 600, 500},     {-5, 700, 600, 500},
  };
  for (const Case& c : cases) {
    int w = 0, h = 0;
    InfoWindowSize(c.w, c.h, &w, &h);
    EXPECT_EQ(w, c.outW) << c.w << "x" << c.h;
    EXPECT_EQ(h, c.outH) << c.w << "x" << c.h;
  }
}

// --- The window ---------------------------------------------------------------------------------

class InfoWindow : public PlayerEnv {
 protected:
  void SetUp() override {
    UiTestRuntime();
    SetPlayerString(&PlayerState::showName, "Morning Show");
    SetPlayerString(&PlayerState::showInfo, "with Ada");
    SetPlayerString(&PlayerState::connectId, "mp3");
    SetPlayerString(&PlayerState::connectUrl, "http://127.0.0.1/stream/mp3");
    SetPlayerString(&PlayerState::codecName, "MP3");
    gPlayer.bitrate = 128000;
    gSettings.infoX = 40;
    gSettings.infoY = 30;
  }
  void TearDown() override {
    OpenInfoWindow(0, 0, 0, 0);
    // An artwork answer still on its way is taken and dropped.
    WaitThread(ArtworkWorkerThread(), -1);
    while (int kind = WaitWindowEvent(0)) DispatchEvent(kind, EventWindow(), EventObject(), EventType());
  }
  // The canvas pixel in the middle of the artwork, as shown.
  uint32_t ArtworkPixel() {
    int image = GrabWindowImage(WinInfo, ImageAny);
    int x = GadgetX(WinInfo, 5) + 64, y = GadgetY(WinInfo, 5) + 64;
    uint32_t pixel = image ? GetImagePixel(image, x, y) & 0xFFFFFF : 0xDEADBEEF;
    if (image) FreeImage(image);
    return pixel;
  }
};

// Catches a wrong default size, the fields laid out off the layout numbers, the state not
// kept in the settings, or the window left behind on close.
TEST_F(InfoWindow, OpensAtDefaultSizeWithTheLayout) {
  gSettings.infoW = 399;
  gSettings.infoH = 800;
  ASSERT_EQ(OpenInfoWindow(1, 1, 0, 0), 1);
  EXPECT_EQ(gSettings.infoState.load(), 1);
  EXPECT_EQ(GetWindowTitle(WinInfo), "Corvale Player Info");
  int x = 0, y = 0, w = 0, h = 0;
  ASSERT_EQ(GetWindowRect(WinInfo, &x, &y, &w, &h), 1);
  EXPECT_EQ(w, 600);
  EXPECT_EQ(h, 500);
  // The fields fill the client area inside the frame (600 x 500 without one).
  int W = WindowClientWidth(WinInfo), H = WindowClientHeight(WinInfo);
  // The programme field is as high as its font needs; everything below follows it.
  int t = GadgetHeight(WinInfo, 2);
  struct Box {
    int gadget, x, y, w, h;
  } boxes[] = {
      {2, 2, 2, W - 4, t}, {5, 2, t + 4, 128, 128}, {3, 132, t + 4, W - 134, 128}, {4, 2, t + 134, W - 4, H - t - 136}};
  for (const Box& b : boxes) {
    EXPECT_EQ(GadgetX(WinInfo, b.gadget), b.x) << b.gadget;
    EXPECT_EQ(GadgetY(WinInfo, b.gadget), b.y) << b.gadget;
    EXPECT_EQ(GadgetWidth(WinInfo, b.gadget), b.w) << b.gadget;
    EXPECT_EQ(GadgetHeight(WinInfo, b.gadget), b.h) << b.gadget;
  }
  OpenInfoWindow(0, 0, 0, 0);
  EXPECT_EQ(IsWindow(WinInfo), 0);
  EXPECT_EQ(gSettings.infoState.load(), 0);
}

// Catches texts not refreshed from the records, the now-playing field cleared by an empty
// history, and a copy that differs from the report.
TEST_F(InfoWindow, TextsAndCopyFollowTheRecords) {
  SetHistory({Entry("Now", "Playing", "Live", "2024", 500, 500), Entry("Ana", "First", "", "2020", 300, 487)});
  ASSERT_EQ(OpenInfoWindow(1, 1, 0, 0), 1);
  EXPECT_EQ(GetGadgetText(WinInfo, 2), "Morning Show\r\nwith Ada");
  EXPECT_EQ(GetGadgetText(WinInfo, 3), "Stream: mp3\r\nArtist: Now\r\nSong: Playing\r\nAlbum: Live");
  EXPECT_EQ(GetGadgetText(WinInfo, 4), "Previous 1 songs:\r\n01. Ana - First (3:07)");
  DispatchEvent(EventMenu, WinInfo, 3, 0);  // Ctrl+C
  EXPECT_EQ(GetClipboardText(), InfoCopyReport(CurrentInfoSnapshot()));
  ClearTrackHistory();
  OpenInfoWindow(1, 0, 0, 0);
  EXPECT_EQ(GetGadgetText(WinInfo, 3), "Stream: mp3\r\nArtist: Now\r\nSong: Playing\r\nAlbum: Live");
  EXPECT_EQ(GetGadgetText(WinInfo, 4), "");
}

// Catches the artwork not fetched, fetched again for the next title with the same URL,
// or a late answer for an older title shown over the current one.
TEST_F(InfoWindow, ArtworkFetchedOncePerUrlAndLateAnswersDropped) {
  StationSim sim;
  ASSERT_TRUE(sim.Start()) << sim.startError;
  uint32_t fallback = 0;
  SetHistory({Entry("Now", "Playing", "Live", "2024", 500, 500, 0, 0, sim.Url("/art/2.png"))});
  ASSERT_EQ(OpenInfoWindow(1, 1, 0, 0), 1);
  fallback = ArtworkPixel();
  OpenInfoWindow(1, 0, 0, 1);
  ASSERT_TRUE(PumpUntil([&] { return ShownArtworkUrl() == sim.Url("/art/2.png"); }));
  EXPECT_EQ(ImageWidth(kArtworkImage), 240);
  EXPECT_NE(ArtworkPixel(), fallback);
  // The next title brings the same artwork: nothing is fetched.
  SetHistory({Entry("Next", "Title", "Live", "2024", 600, 600, 0, 0, sim.Url("/art/2.png")),
              Entry("Now", "Playing", "Live", "2024", 500, 600)});
  OpenInfoWindow(1, 0, 0, 1);
  EXPECT_EQ(PendingArtworkUrl(), "");
  EXPECT_EQ(PathRequests(sim, "/art/2.png"), 1);

  // A slow answer for one title, then the next title: only the newer artwork is shown.
  SimGet(sim.port, "/control/fault?path=/art/3.jpg&kind=slow&ms=1500");
  SetHistory({Entry("Slow", "One", "", "", 700, 700, 0, 0, sim.Url("/art/3.jpg"))});
  OpenInfoWindow(1, 0, 0, 1);
  EXPECT_EQ(ShownArtworkUrl(), "");  // the default shows meanwhile
  EXPECT_EQ(ArtworkPixel(), fallback);
  while (PathRequests(sim, "/art/3.jpg") == 0) usleep(20000);
  SetHistory({Entry("Fast", "Two", "", "", 800, 800, 0, 0, sim.Url("/art/4.png"))});
  OpenInfoWindow(1, 0, 0, 1);
  // Both answers reach the main thread, the older first; what each leaves shown:
  std::vector<std::string> shown;
  for (int i = 0; i < 600 && shown.size() < 2; ++i) {
    int kind = WaitWindowEvent(50);
    if (!kind) continue;
    DispatchEvent(kind, EventWindow(), EventObject(), EventType());
    if (kind == EventArtworkReady) shown.push_back(ShownArtworkUrl());
  }
  EXPECT_EQ(shown, (std::vector<std::string>{"", sim.Url("/art/4.png")}));
  EXPECT_EQ(ImageWidth(kArtworkImage), 240);
  // Artwork switched off: the default again, nothing fetched.
  gSettings.artwork = 0;
  OpenInfoWindow(1, 0, 0, 1);
  EXPECT_EQ(ShownArtworkUrl(), "");
  EXPECT_EQ(IsImage(kArtworkImage), 0);
  EXPECT_EQ(ArtworkPixel(), fallback);
}

// Catches the artwork fetched on the main thread: with a server that accepts and never
// answers, the call returns with the fetch still running, a posted event is handled while
// it runs, and the window keeps the default artwork.
TEST_F(InfoWindow, StalledArtworkServerLeavesTheLoopRunning) {
  StationSim sim;
  ASSERT_TRUE(sim.Start()) << sim.startError;
  SimGet(sim.port, "/control/fault?path=/art/5.jpg&kind=stall");
  SetHistory({Entry("Now", "Playing", "Live", "2024", 500, 500, 0, 0, sim.Url("/art/5.jpg"))});
  ASSERT_EQ(OpenInfoWindow(1, 1, 0, 0), 1);
  uint32_t fallback = ArtworkPixel();
  OpenInfoWindow(1, 0, 0, 1);
  EXPECT_EQ(PendingArtworkUrl(), sim.Url("/art/5.jpg"));
  constexpr int kMarker = 0x10077;
  PostEvent(kMarker, WinMain, 7);
  bool marker = false, artworkFirst = false;
  for (int i = 0; i < 600 && !marker; ++i) {
    int kind = WaitWindowEvent(50);
    if (kind == kMarker) marker = true;
    if (kind == EventArtworkReady) artworkFirst = true;
  }
  EXPECT_TRUE(marker);
  EXPECT_FALSE(artworkFirst);
  EXPECT_EQ(IsThread(ArtworkWorkerThread()), 1);
  EXPECT_EQ(PendingArtworkUrl(), sim.Url("/art/5.jpg"));
  EXPECT_EQ(ArtworkPixel(), fallback);
  // The server goes away: the worker's failure reaches the window, which keeps the default.
  sim.Stop();
  ASSERT_TRUE(PumpUntil([] { return PendingArtworkUrl().empty(); }));
  EXPECT_EQ(ShownArtworkUrl(), "");
  EXPECT_EQ(ArtworkPixel(), fallback);
}

// Catches the position, the size or the open state lost between two runs: the loop's
// move and size events store them, the settings file keeps them, and the next start
// opens the window where it was.
TEST_F(InfoWindow, PlacementSurvivesARestart) {
  namespace fs = std::filesystem;
  std::string folder = fs::temp_directory_path().string() + "/corvale-info-" + std::to_string(getpid()) + "/";
  fs::create_directories(folder);
  std::string savedFolder = gApp.userFolder;
  gApp.userFolder = folder;

  ASSERT_EQ(OpenInfoWindow(1, 1, 0, 0), 1);
  ASSERT_EQ(OpenStatsWindow(1, 1, 0), 1);
  ResizeWindow(WinInfo, 120, 90, 640, 420);
  ResizeWindow(WinStats, 300, 200, -1, -1);
  DispatchEvent(EventMoveWindow, WinInfo, 0, 0);
  DispatchEvent(EventSizeWindow, WinInfo, 0, 0);
  DispatchEvent(EventMoveWindow, WinStats, 0, 0);
  int x = 0, y = 0, w = 0, h = 0, sx = 0, sy = 0;
  ASSERT_EQ(GetWindowRect(WinInfo, &x, &y, &w, &h), 1);
  ASSERT_EQ(GetWindowRect(WinStats, &sx, &sy, nullptr, nullptr), 1);
  EXPECT_EQ(gSettings.infoW.load(), w);
  // The relayout that follows a resize fills the new client area.
  EXPECT_EQ(GadgetWidth(WinInfo, 4), WindowClientWidth(WinInfo) - 4);
  ASSERT_EQ(SaveSettings(0, 1), 1);
  OpenInfoWindow(0, 0, 0, 0);
  OpenStatsWindow(0, 0, 0);

  // The next run: settings read back from the file, windows reopened by their state.
  ResetSettings();
  int loaded = 0;
  int64_t major = 0, minor = 0;
  ASSERT_EQ(ReadSettingsFile(loaded, major, minor), 1);
  EXPECT_EQ(gSettings.infoState.load(), 1);
  EXPECT_EQ(gSettings.statsState.load(), 1);
  ASSERT_EQ(OpenInfoWindow(1, 1, 0, 0), 1);
  ASSERT_EQ(OpenStatsWindow(1, 1, 0), 1);
  int x2 = 0, y2 = 0, w2 = 0, h2 = 0, sx2 = 0, sy2 = 0;
  ASSERT_EQ(GetWindowRect(WinInfo, &x2, &y2, &w2, &h2), 1);
  ASSERT_EQ(GetWindowRect(WinStats, &sx2, &sy2, nullptr, nullptr), 1);
  EXPECT_EQ(x2, x);
  EXPECT_EQ(y2, y);
  EXPECT_EQ(w2, w);
  EXPECT_EQ(h2, h);
  EXPECT_EQ(sx2, sx);
  EXPECT_EQ(sy2, sy);
  OpenStatsWindow(0, 0, 0);
  gApp.userFolder = savedFolder;
  fs::remove_all(folder);
}

// Catches a DPI change that does not relayout the fields at the new scale.
TEST_F(InfoWindow, DpiChangeRelaysOutAtTheNewScale) {
  ASSERT_EQ(OpenInfoWindow(1, 1, 0, 0), 1);
  WindowMessage m;
  m.kind = MsgDpiChanged;
  m.window = WinInfo;
  m.dpi = 144;
  m.x = 40;
  m.y = 30;
  m.width = 700;
  m.height = 560;
  InfoWindowCallback(m);
  EXPECT_EQ(gApp.infoScale, 1.5f);
  int t = GadgetHeight(WinInfo, 2);
  EXPECT_EQ(GadgetX(WinInfo, 5), 3);
  EXPECT_EQ(GadgetY(WinInfo, 5), 3 + t + 3);
  EXPECT_EQ(GadgetWidth(WinInfo, 5), 192);
  EXPECT_EQ(GadgetX(WinInfo, 3), 3 + 3 + 192);
  EXPECT_EQ(GadgetWidth(WinInfo, 2), WindowClientWidth(WinInfo) - 6);
  EXPECT_EQ(GadgetY(WinInfo, 4), 3 + t + 3 + 192 + 3);
}

// Catches a programme field of a fixed height: with the player's own font the second line
// (the presenter) was cut off and a scroll bar showed, at scale 1 and more so at 1.5, and
// the fields below must move down by what the field grew.
TEST_F(InfoWindow, TwoProgrammeLinesFitAtEveryScale) {
  ASSERT_EQ(RegisterPrivateFont(gApp.dataFolder + "SourceSansPro-Regular.otf"), 1);
  int font = CreateUiFont("Source Sans Pro", 12);
  ASSERT_EQ(FontFamily(font), "Source Sans Pro");
  FreeFont(font);
  SetPlayerString(&PlayerState::showInfo, "with Ada and the Morning Crew");
  for (int dpi : {96, 144}) {
    SCOPED_TRACE(dpi);
    ASSERT_EQ(OpenInfoWindow(1, 1, 0, 0), 1);
    WindowMessage m;
    m.kind = MsgDpiChanged;
    m.window = WinInfo;
    m.dpi = dpi;
    m.x = 40;
    m.y = 30;
    m.width = 700;
    m.height = 560;
    InfoWindowCallback(m);
    EXPECT_EQ(GetGadgetText(WinInfo, 2), "Morning Show\r\nwith Ada and the Morning Crew");
    EXPECT_EQ(TextGadgetScrolls(WinInfo, 2), 0) << "height " << GadgetHeight(WinInfo, 2);
    RecordProperty("height_at_" + std::to_string(dpi) + "_dpi", GadgetHeight(WinInfo, 2));
    EXPECT_EQ(GadgetY(WinInfo, 5), GadgetY(WinInfo, 2) + GadgetHeight(WinInfo, 2) + GadgetX(WinInfo, 2));
    OpenInfoWindow(0, 0, 0, 0);
  }
}
