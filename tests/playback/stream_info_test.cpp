// Stream information: the document's fields, the history dates, the one-time history,
// the round of URLs with its bounded start-up pass, the cache and installed fallbacks,
// and the custom-URL mode.
#include <gtest/gtest.h>

#include <thread>

#include "loopback_server.h"
#include "playback_test_util.h"

using namespace playtest;

namespace {

constexpr const char* kMask = "%yyyy-%mm-%ddT%hh:%ii:%ssZ";

int64_t At(const char* text) { return ParseDate(kMask, text); }

std::string Document(const std::string& streams, const std::string& history = "[]",
                     const std::string& date = "2026-03-01T10:02:00Z") {
  return "{\"info\": \"The afternoon\", \"name\": \"Drive Time\", \"live\": 1, \"status\": 2.9, \"date\": \"" + date +
         "\", \"stream\": " + streams + ", \"history\": " + history + "}";
}

const char* kTwoStreams =
    "[{\"id\": \"128\", \"url\": \"http://127.0.0.1:9/a.mp3\", \"bitrate\": 128, \"codec\": \"mp3\"},"
    " {\"id\": \"64\", \"url\": \"http://127.0.0.1:9/b.aac\", \"codec\": \"aac\"},"
    " {\"id\": \"nourl\", \"bitrate\": 5}]";

// Folders for one test, put back at the end.
class StreamInfoEnv : public PlayerEnv {
 protected:
  void InstalledStreams(const std::string& streams) {
    WriteFile(folders_.data.Path() + "station.json",
              "{\"stationlist\": [{\"name\": \"S\", \"info\": \"x\"}], \"stream\": " + streams + "}");
  }
  void CachedStreams(const std::string& streams) {
    WriteFile(folders_.user.Path() + "streams.json", "{\"stream\": " + streams + "}");
  }
  std::string CachePath() const { return folders_.user.Path() + "streams.json"; }

 private:
  ScratchPlayerFolders folders_;
};
class StreamInfoDocument : public StreamInfoEnv {};
class StreamInfoWorkerTest : public StreamInfoEnv {};

std::vector<std::string> Urls(const std::vector<StreamEntry>& list) {
  std::vector<std::string> urls;
  for (const auto& e : list) urls.push_back(e.url);
  return urls;
}

}  // namespace

// Catches wrong history dates: each title ends where the next newer one starts.
TEST_F(StreamInfoDocument, HistoryDates) {
  std::string history =
      "[{\"date\": \"2026-03-01T10:00:00Z\", \"artist\": \"A\", \"title\": \"One\", \"album\": \"X\", \"year\": "
      "\"1999\", \"artwork\": \"http://127.0.0.1/1.png\"},"
      " {\"date\": \"2026-03-01T09:55:00Z\", \"artist\": \"B\", \"title\": \"Two\"},"
      " {\"date\": \"2026-03-01T09:50:00Z\", \"artist\": \"C\", \"title\": \"Three\"}]";
  std::string doc = Document(kTwoStreams, history);
  std::vector<StreamEntry> streams;
  ASSERT_EQ(ReadStreamInfoDocument(doc.data(), doc.size(), &streams), 1);
  std::vector<TrackHistoryEntry> h = GetTrackHistory();
  ASSERT_EQ(h.size(), 3u);
  struct Want {
    const char* start;
    const char* end;
  } want[] = {{"2026-03-01T10:00:00Z", "2026-03-01T10:02:00Z"},
              {"2026-03-01T09:55:00Z", "2026-03-01T10:00:00Z"},
              {"2026-03-01T09:50:00Z", "2026-03-01T09:55:00Z"}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(h[i].start, At(want[i].start)) << i;
    EXPECT_EQ(h[i].end, At(want[i].end)) << i;
    EXPECT_FLOAT_EQ(h[i].rms, 0.0f);
  }
  EXPECT_EQ(h[0].album, "X");
  EXPECT_EQ(h[0].year, "1999");
  EXPECT_EQ(h[0].artwork, "http://127.0.0.1/1.png");
  NowPlaying now = GetTrackInfo();
  EXPECT_EQ(now.artist, "A");
  EXPECT_EQ(now.title, "One");
  EXPECT_EQ(now.album, "");
  EXPECT_EQ(PlayerString(&PlayerState::showName), "Drive Time");
  EXPECT_EQ(PlayerString(&PlayerState::showInfo), "The afternoon");
  // A stream without url is not taken; one without bitrate gets 0.
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0].bitrate, 128);
  EXPECT_EQ(streams[1].bitrate, 0);
  EXPECT_EQ(streams[1].codec, "aac");
}

// Catches skipped items moving the end time, and a second run touching history or title.
TEST_F(StreamInfoDocument, SkippedItemsAndSecondRun) {
  std::string history =
      "[{\"date\": \"2026-03-01T10:00:00Z\", \"artist\": \"A\", \"title\": \"One\"},"
      " {\"date\": \"2026-03-01T09:58:00Z\", \"title\": \"No artist\"},"
      " \"not an object\","
      " {\"date\": \"2026-03-01T09:55:00Z\", \"artist\": \"B\", \"title\": \"\"},"
      " {\"date\": \"\", \"artist\": \"C\", \"title\": \"Undated\"}]";
  std::string doc = Document("[]", history);
  ASSERT_EQ(ReadStreamInfoDocument(doc.data(), doc.size(), nullptr), 1);
  std::vector<TrackHistoryEntry> h = GetTrackHistory();
  ASSERT_EQ(h.size(), 2u);
  EXPECT_EQ(h[1].title, "Undated");
  EXPECT_EQ(h[1].end, At("2026-03-01T10:00:00Z"));
  EXPECT_EQ(h[1].start, At("2026-03-01T10:02:00Z"));  // no date: the document's time

  SetTrackInfo(NowPlaying{"From", "Metadata", ""});
  std::string second = Document("[]", "[{\"date\": \"2026-03-01T11:00:00Z\", \"artist\": \"Z\", \"title\": \"Z\"}]");
  ASSERT_EQ(ReadStreamInfoDocument(second.data(), second.size(), nullptr), 1);
  EXPECT_EQ(GetTrackHistory().size(), 2u);
  EXPECT_EQ(GetTrackInfo().title, "Metadata");
}

// Catches missing log lines or wrong formats for the document's fields and its errors.
TEST_F(StreamInfoDocument, LogLines) {
  struct Case {
    std::string doc;
    int ok;
    std::vector<std::string> lines;
  } cases[] = {
      {Document(kTwoStreams, "[]"), 1, {"Info = The afternoon", "Show = Drive Time", "Live = 1", "Status = 2"}},
      {"{\"name\": 5, \"info\": [], \"live\": \"yes\"}",
       1,
       {"Streaminfo stream array not found.", "Streaminfo history array not found."}},
      {"{\"stream\": [}", 0, {}},
      {"null", 0, {"Streaminfo empty."}},
  };
  for (const Case& c : cases) {
    ClearTrackHistory();
    LogCapture log;
    EXPECT_EQ(ReadStreamInfoDocument(c.doc.data(), c.doc.size(), nullptr), c.ok) << c.doc;
    std::vector<std::string> lines = log.Lines();
    if (c.lines.empty()) {
      ASSERT_EQ(lines.size(), 1u) << c.doc;
      EXPECT_EQ(lines[0].rfind("Streaminfo JSON error: ", 0), 0u) << lines[0];
      EXPECT_NE(lines[0].find(", line 1 pos "), std::string::npos) << lines[0];
      EXPECT_EQ(lines[0].back(), '.');
    } else {
      EXPECT_EQ(lines, c.lines) << c.doc;
    }
  }
}

// Catches a fetch that does not fill the list, log the count or refresh the cache.
TEST_F(StreamInfoWorkerTest, FetchFillsListAndCache) {
  LoopbackServer server;
  server.Ok("/info.json", Document(kTwoStreams), "application/json");
  gStation.infoUrls = {server.Url("/info.json")};
  LogCapture log;
  StreamInfoWorker(kStreamInfoStartup);
  size_t current = 99;
  std::vector<StreamEntry> list = GetStreamList(&current);
  EXPECT_EQ(Urls(list), (std::vector<std::string>{"http://127.0.0.1:9/a.mp3", "http://127.0.0.1:9/b.aac"}));
  EXPECT_EQ(current, 0u);
  std::vector<std::string> lines = log.Lines();
  int fetch = FindLine(lines, "Getting stream info from " + server.Url("/info.json"));
  int show = FindLine(lines, "Show = Drive Time");
  int count = FindLine(lines, "2 entries in playlist.");
  EXPECT_GE(fetch, 0);
  EXPECT_GT(show, fetch);
  EXPECT_GT(count, show);
  EXPECT_NE(ReadFile(CachePath()).find("http://127.0.0.1:9/b.aac"), std::string::npos);
}

// Catches a start-up that waits forever for a dead service instead of using the cache,
// and the wrong order of cache and installed list.
TEST_F(StreamInfoWorkerTest, ServiceDownFallsBack) {
  LoopbackServer server;
  server.Status("/info.json", 503, "Service Unavailable");
  gStation.infoUrls = {"http://127.0.0.1:1/info.json", server.Url("/info.json")};
  InstalledStreams("[{\"id\": \"i\", \"url\": \"http://127.0.0.1:9/installed.mp3\"}]");

  LogCapture log;
  StreamInfoWorker(kStreamInfoStartup);
  EXPECT_EQ(Urls(GetStreamList()), (std::vector<std::string>{"http://127.0.0.1:9/installed.mp3"}));
  EXPECT_EQ(server.Requests(), 1);  // one pass round the URLs
  std::vector<std::string> lines = log.Lines();
  EXPECT_GE(FindLine(lines, "Loading backup streamlist."), 0);
  EXPECT_GE(FindLine(lines, "1 entries in playlist."), 0);

  CachedStreams("[{\"id\": \"c\", \"url\": \"http://127.0.0.1:9/cached.mp3\"}]");
  SetStreamList({});
  StreamInfoWorker(kStreamInfoStartup);
  EXPECT_EQ(Urls(GetStreamList()), (std::vector<std::string>{"http://127.0.0.1:9/cached.mp3"}));
}

// Catches an empty stream array in the document not falling back, and a station without
// any information URL not reaching the fallback at all.
TEST_F(StreamInfoWorkerTest, EmptyArrayAndNoUrls) {
  LoopbackServer server;
  server.Ok("/info.json", Document("[]"));
  InstalledStreams("[{\"id\": \"i\", \"url\": \"http://127.0.0.1:9/installed.mp3\"}]");
  gStation.infoUrls = {server.Url("/info.json")};
  StreamInfoWorker(kStreamInfoStartup);
  EXPECT_EQ(Urls(GetStreamList()), (std::vector<std::string>{"http://127.0.0.1:9/installed.mp3"}));
  EXPECT_EQ(PlayerString(&PlayerState::showName), "Drive Time");

  SetStreamList({});
  gStation.infoUrls.clear();
  StreamInfoWorker(kStreamInfoStartup);
  EXPECT_EQ(StreamListSize(), 1u);
}

// Catches the worker thread giving up (it must go round the URLs until one answers) and
// a retry loop that cannot be ended at exit.
TEST_F(StreamInfoWorkerTest, ThreadRetriesRoundTheUrls) {
  LoopbackServer server;
  server.Ok("/good.json", Document(kTwoStreams));
  server.Status("/bad.json", 500, "Internal Server Error");
  StreamInfoWorker(kStreamInfoStartup);  // the start-up run is over: later runs are the thread's

  gStation.infoUrls = {server.Url("/bad.json"), server.Url("/bad.json"), server.Url("/good.json")};
  StreamInfoWorker(kStreamInfoThread);
  EXPECT_EQ(server.Requests(), 3);
  EXPECT_EQ(StreamListSize(), 2u);

  gStation.infoUrls = {server.Url("/bad.json")};
  std::thread worker([] { StreamInfoWorker(kStreamInfoThread); });
  for (int i = 0; i < 300 && server.Requests() < 6; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_GE(server.Requests(), 6);  // still trying after the pass a start-up run would make
  PlaybackShutdown();
  worker.join();
}

// Catches the custom-URL mode fetching the station's document or missing its log lines.
TEST_F(StreamInfoWorkerTest, CustomUrl) {
  LoopbackServer server;
  server.Ok("/list.pls", "[playlist]\nFile1=http://127.0.0.1:9/one\nFile2=http://127.0.0.1:9/two\n");
  gStation.infoUrls = {server.Url("/info.json")};
  struct Case {
    std::string url;
    size_t entries;
    const char* line;
  } cases[] = {{server.Url("/live.mp3"), 1, "Using custom playlist."},
               {server.Url("/list.pls"), 2, "Using custom playlist."},
               {server.Url("/missing.m3u"), 0, "Unable to get custom playlist."}};
  for (const Case& c : cases) {
    SetPlayerString(&PlayerState::customUrl, c.url);
    LogCapture log;
    StreamInfoWorker(kStreamInfoThread);
    EXPECT_EQ(StreamListSize(), c.entries) << c.url;
    EXPECT_EQ(log.Lines().back(), c.line) << c.url;
  }
  EXPECT_EQ(server.Requests(), 2);  // the playlists only; never the document
  std::vector<StreamEntry> list;
  SetPlayerString(&PlayerState::customUrl, server.Url("/live.mp3"));
  StreamInfoWorker(kStreamInfoThread);
  list = GetStreamList();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].id, "Custom Url");
}
