// The audio library against the station simulator: chained Ogg streams that continue
// across titles, HTTPS with the station's own authority, the legacy ICY server and
// hostile metadata.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "media.h"
#include "playback/bass_api.h"
#include "portable.h"
#include "station_sim_fixture.h"

namespace {

struct Titles {
  std::mutex lock;
  std::vector<std::string> texts;
  size_t Count() {
    std::lock_guard<std::mutex> g(lock);
    return texts.size();
  }
};

// HTTPS by name: Windows' certificate checks (libcurl's against a file of authorities,
// and the system's) match a host name, not an address, against a certificate.
std::string HttpsUrl(const StationSim& sim, const std::string& path) {
#ifdef _WIN32
  return "https://localhost:" + std::to_string(sim.port) + path;
#else
  return sim.HttpsUrl(path);
#endif
}

void OnEnd(HSYNC, DWORD, DWORD, void* user) { ++*static_cast<std::atomic<int>*>(user); }

void OnMeta(HSYNC, DWORD channel, DWORD, void* user) {
  auto* t = static_cast<Titles*>(user);
  const char* text = gBass.BASS_ChannelGetTags(channel, BASS_TAG_META);
  std::lock_guard<std::mutex> g(t->lock);
  t->texts.push_back(text ? text : "");
}

class StationStreams : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim.Start({"--title-seconds", "2", "--burst", "1"})) << sim.startError;
    setenv("CORVALE_AUDIO_OUTPUT", "null", 1);
    if (!AudioLibraryLoaded()) {
      ASSERT_EQ(LoadAudioLibrary(DataDir() + kAudioLibraryFile), 1);
    }
    gBass.BASS_SetConfig(BASS_CONFIG_NET_PREBUF, 0);
    gBass.BASS_SetConfig(BASS_CONFIG_NET_BUFFER, 1000);
    gBass.BASS_SetConfig(BASS_CONFIG_NET_READTIMEOUT, 1000);
    gBass.BASS_SetConfig(BASS_CONFIG_NET_TIMEOUT, 5000);
    ASSERT_TRUE(gBass.BASS_Init(-1, 48000, 0, nullptr, nullptr));
    gBass.BASS_PluginLoad((DataDir() + kAudioAacAddonFile).c_str(), BASS_UNICODE);
    gBass.BASS_PluginLoad((DataDir() + kAudioOpusAddonFile).c_str(), BASS_UNICODE);
  }
  void TearDown() override {
    if (gBass.BASS_Free) gBass.BASS_Free();
    unsetenv("SSL_CERT_FILE");
  }
  HSTREAM Connect(const std::string& url) {
    return gBass.BASS_StreamCreateURL(url.c_str(), 0, kStreamConnectFlags, nullptr, nullptr);
  }
  // Plays until `titles` new titles have arrived; checks it is still playing sound.
  void PlayThroughTitles(HSTREAM h, size_t titles) {
    Titles t;
    ASSERT_NE(gBass.BASS_ChannelSetSync(h, BASS_SYNC_META | BASS_SYNC_MIXTIME, 0, OnMeta, &t), 0u);
    ASSERT_TRUE(gBass.BASS_ChannelPlay(h, FALSE));
    EXPECT_TRUE(WaitFor([&] { return t.Count() >= titles; }, 30)) << t.Count();
    // The titles have been downloaded; play on until the last change is heard, then
    // the stream must still be sounding, not stopped at a chain boundary.
    float peak = 0;
    WaitFor(
        [&] {
          float levels[2];
          if (gBass.BASS_ChannelGetLevelEx(h, levels, 0.1f, BASS_LEVEL_STEREO))
            peak = std::max(peak, std::max(levels[0], levels[1]));
          return false;
        },
        4.0);
    EXPECT_EQ(gBass.BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_PLAYING));
    EXPECT_GT(peak, 0.01f);
    std::lock_guard<std::mutex> g(t.lock);
    for (const std::string& text : t.texts) EXPECT_EQ(text.rfind("StreamTitle='", 0), 0u) << text;
  }
  StationSim sim;
};

}  // namespace

// Catches playback that stops when an Ogg stream starts a new logical stream per title.
TEST_F(StationStreams, ChainedOggContinuesAcrossTitles) {
  for (const char* path : {"/stream/vorbis", "/stream/opus"}) {
    SCOPED_TRACE(path);
    const HSTREAM h = Connect(sim.Url(path));
    ASSERT_NE(h, 0u) << gBass.BASS_ErrorGetCode();
    PlayThroughTitles(h, 3);
    gBass.BASS_StreamFree(h);
  }
}

// Catches HTTPS that is refused with a trusted authority, or accepted without one.
TEST_F(StationStreams, HttpsChecksTheCertificate) {
  ASSERT_FALSE(sim.caFile.empty());
  EXPECT_EQ(Connect(HttpsUrl(sim, "/stream/mp3")), 0u);  // the test CA is not trusted yet
  EXPECT_EQ(gBass.BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN);
  setenv("SSL_CERT_FILE", sim.caFile.c_str(), 1);
  const HSTREAM h = Connect(HttpsUrl(sim, "/stream/aac"));
  ASSERT_NE(h, 0u) << gBass.BASS_ErrorGetCode();
  BASS_CHANNELINFO info{};
  gBass.BASS_ChannelGetInfo(h, &info);
  EXPECT_EQ(info.ctype, DWORD(BASS_CTYPE_STREAM_AAC));
  PlayThroughTitles(h, 2);
  gBass.BASS_StreamFree(h);
}

// Catches an https stream that follows a redirect to clear text (and, as a control, an
// https-to-https redirect that must still be followed).
TEST_F(StationStreams, HttpsNeverRedirectsToHttp) {
  setenv("SSL_CERT_FILE", sim.caFile.c_str(), 1);
  EXPECT_EQ(Connect(HttpsUrl(sim, "/stream/mp3?fault=redirect-http")), 0u);
  // (Redirected by name: the simulator's own redirects name its address.)
  const HSTREAM h = Connect(HttpsUrl(sim, "/stream/mp3?fault=redirect&to=" + HttpsUrl(sim, "/stream/mp3")));
  ASSERT_NE(h, 0u) << gBass.BASS_ErrorGetCode();
  gBass.BASS_StreamFree(h);
}

// Catches a TLS stream cut without its close notify (Schannel reports a receive error)
// that is not taken for the end of the stream, or ends it twice.
TEST_F(StationStreams, HttpsCutWithoutCloseNotifyEnds) {
  setenv("SSL_CERT_FILE", sim.caFile.c_str(), 1);
  const HSTREAM h = Connect(HttpsUrl(sim, "/stream/mp3"));
  ASSERT_NE(h, 0u) << gBass.BASS_ErrorGetCode();
  std::atomic<int> ends{0};
  ASSERT_NE(gBass.BASS_ChannelSetSync(h, BASS_SYNC_END, 0, OnEnd, &ends), 0u);
  ASSERT_TRUE(gBass.BASS_ChannelPlay(h, FALSE));
  ASSERT_TRUE(WaitFor([&] { return gBass.BASS_ChannelIsActive(h) == BASS_ACTIVE_PLAYING; }, 10));
  EXPECT_EQ(SimGet(sim.port, "/control/drop").status, 200);
  EXPECT_TRUE(WaitFor([&] { return ends.load() > 0; }, 30));
  EXPECT_EQ(gBass.BASS_StreamGetFilePosition(h, BASS_FILEPOS_CONNECTED), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(ends.load(), 1);
  gBass.BASS_StreamFree(h);
}

// Catches a metadata pointer that the download thread rewrites while the caller reads
// it: a storm of titles (one per 16-byte block) runs while another thread reads through
// its pointer (a race under ThreadSanitizer, a changed text under any build).
TEST_F(StationStreams, MetaTagPointerStaysValidUntilTheNextCall) {
  // Three titles: a text that is overwritten is never overwritten by itself.
  StationSim three;
  ASSERT_TRUE(three.Start({"--variants", "3", "--no-tls"})) << three.startError;
  const HSTREAM h = Connect(three.Url("/stream/mp3?fault=storm&metaint=16"));
  ASSERT_NE(h, 0u) << gBass.BASS_ErrorGetCode();
  Titles t;
  ASSERT_NE(gBass.BASS_ChannelSetSync(h, BASS_SYNC_META | BASS_SYNC_MIXTIME, 0, OnMeta, &t), 0u);
  ASSERT_TRUE(gBass.BASS_ChannelPlay(h, FALSE));
  ASSERT_TRUE(WaitFor([&] { return gBass.BASS_ChannelGetTags(h, BASS_TAG_META) != nullptr; }, 10));
  std::thread reader([&] {
    for (int round = 0; round < 20; ++round) {
      const char* p = gBass.BASS_ChannelGetTags(h, BASS_TAG_META);
      ASSERT_NE(p, nullptr);
      const std::string first = p;
      // Many new titles arrive meanwhile; this thread's pointer must not change.
      const size_t seen = t.Count();
      WaitFor([&] { return t.Count() >= seen + 40; }, 10);
      EXPECT_EQ(std::string(p), first) << round;
      EXPECT_EQ(std::strncmp(p, "StreamTitle='", 13), 0);
    }
  });
  reader.join();
  EXPECT_GE(t.Count(), 100u);
  gBass.BASS_StreamFree(h);
}

// Catches the legacy "ICY 200 OK" server refused, or its header lines lost.
TEST_F(StationStreams, LegacyServer) {
  const HSTREAM h = Connect(sim.Url("/stream/mp3?legacy=1"));
  ASSERT_NE(h, 0u) << gBass.BASS_ErrorGetCode();
  const char* icy = gBass.BASS_ChannelGetTags(h, BASS_TAG_ICY);
  ASSERT_NE(icy, nullptr);
  EXPECT_STREQ(icy, "ICY 200 OK");
  bool notice = false;
  for (const char* p = icy; *p; p += std::strlen(p) + 1)
    notice |= std::strstr(p, "icy-notice2:SHOUTcast") == p && std::strstr(p, " v1.9.8<BR>") != nullptr;
  EXPECT_TRUE(notice);
  PlayThroughTitles(h, 2);
  gBass.BASS_StreamFree(h);
}

// Catches crashes or lost sync on hostile metadata: full-length blocks, blocks split
// into single bytes, and absurd or repeated icy-metaint headers.
TEST_F(StationStreams, HostileMetadataKeepsPlaying) {
  struct Case {
    const char* path;
    size_t length;  // of the metadata text, 0 = any
  } cases[] = {{"/stream/mp3?meta=long", 4080},
               {"/stream/mp3?chunk=1", 0},
               {"/stream/mp3?meta=nul&chunk=7", 0},
               {"/stream/mp3?badmetaint=dup", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const HSTREAM h = Connect(sim.Url(c.path));
    ASSERT_NE(h, 0u) << gBass.BASS_ErrorGetCode();
    ASSERT_TRUE(gBass.BASS_ChannelPlay(h, FALSE));
    // A server that repeats one fixed text gives one title; it may come with the burst.
    ASSERT_TRUE(WaitFor([&] { return gBass.BASS_ChannelGetTags(h, BASS_TAG_META) != nullptr; }, 15));
    const std::string text = gBass.BASS_ChannelGetTags(h, BASS_TAG_META);
    EXPECT_EQ(text.rfind("StreamTitle=", 0), 0u) << text.substr(0, 80);
    if (c.length) {
      EXPECT_EQ(text.size(), c.length);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(gBass.BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_PLAYING));
    gBass.BASS_StreamFree(h);
  }
  for (const char* path : {"/stream/mp3?badmetaint=0", "/stream/mp3?badmetaint=-1", "/stream/mp3?badmetaint=abc",
                           "/stream/mp3?badmetaint=99999999999"}) {
    SCOPED_TRACE(path);
    const HSTREAM h = Connect(sim.Url(path));
    ASSERT_NE(h, 0u) << gBass.BASS_ErrorGetCode();
    ASSERT_TRUE(gBass.BASS_ChannelPlay(h, FALSE));
    EXPECT_TRUE(WaitFor([&] { return gBass.BASS_ChannelIsActive(h) == BASS_ACTIVE_PLAYING; }, 10));
    EXPECT_EQ(gBass.BASS_ChannelGetTags(h, BASS_TAG_META), nullptr);  // no metadata at all
    gBass.BASS_StreamFree(h);
  }
}
