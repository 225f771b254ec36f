// The audio library against a loopback server: connecting, formats, metadata, the end
// of a stream, stalls, failures, DSP, volume, levels, capture of what was played, and
// handles used across threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "media.h"
#include "playback/bass_api.h"
#include "playback/playback.h"
#include "portable.h"
#include "test_server.h"

namespace {

struct Events {
  std::mutex lock;
  std::vector<std::string> metas;
  std::atomic<int> ends{0};
  std::atomic<int> deviceFails{0};
  std::atomic<int64_t> dspCalls{0};
  std::atomic<float> dspPeak{0.0f};
  std::atomic<bool> dspSawNonFinite{false};
};

void OnMeta(HSYNC, DWORD channel, DWORD, void* user) {
  auto* e = static_cast<Events*>(user);
  const char* text = gBass.BASS_ChannelGetTags(channel, BASS_TAG_META);
  std::lock_guard<std::mutex> g(e->lock);
  e->metas.push_back(text ? text : "");
}
void OnEnd(HSYNC, DWORD, DWORD, void* user) { ++static_cast<Events*>(user)->ends; }
void OnDeviceFail(HSYNC, DWORD, DWORD, void* user) { ++static_cast<Events*>(user)->deviceFails; }
void OnDsp(HDSP, DWORD, void* buffer, DWORD length, void* user) {
  auto* e = static_cast<Events*>(user);
  const float* s = static_cast<const float*>(buffer);
  float peak = e->dspPeak;
  for (DWORD i = 0; i < length / 4; ++i) {
    if (!std::isfinite(s[i])) e->dspSawNonFinite = true;
    peak = std::max(peak, std::fabs(s[i]));
  }
  e->dspPeak = peak;
  ++e->dspCalls;
}

StreamRoute Mp3Route(Media media = Media::Mp3Tone) {
  StreamRoute r;
  r.headers = {"content-type:audio/mpeg", "icy-name:Loopback Radio", "icy-br:128"};
  r.body = MediaBytes(media);
  return r;
}

class AudioLib : public ::testing::Test {
 protected:
  void SetUp() override { Start("null"); }
  void TearDown() override {
    if (gBass.BASS_Free) gBass.BASS_Free();
  }
  void Start(const std::string& output) {
    setenv("CORVALE_AUDIO_OUTPUT", output.c_str(), 1);
    if (!AudioLibraryLoaded()) {
      ASSERT_EQ(LoadAudioLibrary(DataDir() + kAudioLibraryFile), 1);
    }
    // The player's own settings.
    gBass.BASS_SetConfig(BASS_CONFIG_BUFFER, 500);
    gBass.BASS_SetConfig(BASS_CONFIG_NET_PREBUF, 0);
    gBass.BASS_SetConfig(BASS_CONFIG_NET_BUFFER, 1000);
    gBass.BASS_SetConfig(BASS_CONFIG_NET_READTIMEOUT, 1000);
    gBass.BASS_SetConfig(BASS_CONFIG_NET_TIMEOUT, 5000);
    gBass.BASS_SetConfig(BASS_CONFIG_FLOATDSP, 1);
    gBass.BASS_SetConfigPtr(BASS_CONFIG_NET_AGENT, "Corvale Player/5.4");
    ASSERT_TRUE(gBass.BASS_Init(-1, 48000, 0, nullptr, nullptr)) << gBass.BASS_ErrorGetCode();
  }
  HSTREAM Connect(const std::string& url) {
    return gBass.BASS_StreamCreateURL(url.c_str(), 0, kStreamConnectFlags, nullptr, nullptr);
  }
  TestServer server;
};

}  // namespace

// Catches a wrong channel type, rate or channel count, missing headers, or requests
// without the metadata header and the configured agent.
TEST_F(AudioLib, Mp3StreamConnectsWithFormatAndHeaders) {
  auto route = Mp3Route();
  route.metaint = 8000;
  server.Route("/mp3", route);
  const HSTREAM h = Connect(server.Url("/mp3"));
  ASSERT_NE(h, 0u) << gBass.BASS_ErrorGetCode();
  BASS_CHANNELINFO info{};
  ASSERT_TRUE(gBass.BASS_ChannelGetInfo(h, &info));
  EXPECT_EQ(info.ctype, DWORD(BASS_CTYPE_STREAM_MP3));
  EXPECT_EQ(info.freq, 44100u);
  EXPECT_EQ(info.chans, 2u);
  float kbps = 0;
  ASSERT_TRUE(gBass.BASS_ChannelGetAttribute(h, BASS_ATTRIB_BITRATE, &kbps));
  EXPECT_NEAR(kbps, 128.0f, 1.0f);

  // ICY status line: both tags give the header lines, status first, ended by "".
  const char* icy = gBass.BASS_ChannelGetTags(h, BASS_TAG_ICY);
  ASSERT_NE(icy, nullptr);
  EXPECT_STREQ(icy, "ICY 200 OK");
  std::vector<std::string> lines;
  for (const char* p = icy; *p; p += std::strlen(p) + 1) lines.push_back(p);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "icy-name:Loopback Radio"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "icy-metaint:8000"), lines.end());
  EXPECT_EQ(gBass.BASS_ChannelGetTags(h, BASS_TAG_HTTP), icy);

  const auto requests = server.Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_NE(requests.back().find("Icy-MetaData: 1\r\n"), std::string::npos);
  EXPECT_NE(requests.back().find("User-Agent: Corvale Player/5.4\r\n"), std::string::npos);

  EXPECT_EQ(gBass.BASS_StreamGetFilePosition(h, BASS_FILEPOS_CONNECTED), 1u);
  EXPECT_EQ(gBass.BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_STOPPED));  // not started yet
  ASSERT_TRUE(gBass.BASS_ChannelPlay(h, FALSE));
  EXPECT_TRUE(WaitFor([&] { return gBass.BASS_ChannelIsActive(h) == BASS_ACTIVE_PLAYING; }, 10));
  EXPECT_TRUE(gBass.BASS_StreamFree(h));
}

// Catches an HTTP response being offered as ICY, or a plain HTTP/1.1 server refused.
TEST_F(AudioLib, HttpResponseHasNoIcyTag) {
  auto route = Mp3Route();
  route.status = "HTTP/1.1 200 OK";
  server.Route("/http", route);
  const HSTREAM h = Connect(server.Url("/http"));
  ASSERT_NE(h, 0u) << gBass.BASS_ErrorGetCode();
  EXPECT_EQ(gBass.BASS_ChannelGetTags(h, BASS_TAG_ICY), nullptr);
  const char* http = gBass.BASS_ChannelGetTags(h, BASS_TAG_HTTP);
  ASSERT_NE(http, nullptr);
  EXPECT_STREQ(http, "HTTP/1.1 200 OK");
  gBass.BASS_StreamFree(h);
}

// Catches lost or repeated titles, text changed on the way, and titles that arrive
// only when the block comes in one piece.
TEST_F(AudioLib, MetadataChangesFireMetaSyncsWithTheExactText) {
  auto route = Mp3Route();
  route.metaint = 4000;
  route.titleEveryBytes = 12000;
  route.metaByteByByte = true;
  route.titles = {"StreamTitle='Guns N'' Roses - Paradise';StreamUrl='';", "StreamTitle='Caf\xC3\xA9 - Two';",
                  "StreamTitle='" + std::string(4000, 'L') + "';"};
  route.titles[2].resize(4080, 'L');  // a full-length block with no NUL
  server.Route("/meta", route);
  const HSTREAM h = Connect(server.Url("/meta"));
  ASSERT_NE(h, 0u) << gBass.BASS_ErrorGetCode();
  Events e;
  ASSERT_NE(gBass.BASS_ChannelSetSync(h, BASS_SYNC_META | BASS_SYNC_MIXTIME, 0, OnMeta, &e), 0u);
  ASSERT_TRUE(gBass.BASS_ChannelPlay(h, FALSE));
  ASSERT_TRUE(WaitFor(
      [&] {
        std::lock_guard<std::mutex> g(e.lock);
        return e.metas.size() >= 3;
      },
      30));
  gBass.BASS_StreamFree(h);
  std::lock_guard<std::mutex> g(e.lock);
  // The first titles may have come before the sync was set; from then on each title
  // follows the one before it in the server's order.
  auto index = [&](const std::string& text) {
    return std::find(route.titles.begin(), route.titles.end(), text) - route.titles.begin();
  };
  const auto first = index(e.metas[0]);
  ASSERT_LT(first, 3) << "unknown text of " << e.metas[0].size() << " bytes: " << e.metas[0].substr(0, 60);
  for (size_t i = 1; i < 3; ++i) {
    EXPECT_EQ(index(e.metas[i]), (first + long(i)) % 3) << i << ": " << e.metas[i].substr(0, 60);
  }
}

// Catches a closed connection that never ends the stream, or END firing twice.
TEST_F(AudioLib, ServerCloseFiresEndOnce) {
  auto route = Mp3Route();
  route.closeAfterMs = 1500;
  server.Route("/close", route);
  const HSTREAM h = Connect(server.Url("/close"));
  ASSERT_NE(h, 0u) << gBass.BASS_ErrorGetCode();
  Events e;
  ASSERT_NE(gBass.BASS_ChannelSetSync(h, BASS_SYNC_END | BASS_SYNC_ONETIME, 0, OnEnd, &e), 0u);
  ASSERT_TRUE(gBass.BASS_ChannelPlay(h, FALSE));
  ASSERT_TRUE(WaitFor([&] { return e.ends.load() > 0; }, 30));
  EXPECT_EQ(gBass.BASS_StreamGetFilePosition(h, BASS_FILEPOS_CONNECTED), 0u);
  EXPECT_EQ(gBass.BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_STOPPED));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(e.ends.load(), 1);
  gBass.BASS_StreamFree(h);
}

// Catches a silent server that is never noticed (the player's watchdog relies on it).
TEST_F(AudioLib, StalledServerDropsConnected) {
  auto route = Mp3Route();
  route.stallAfterMs = 1000;
  server.Route("/stall", route);
  const HSTREAM h = Connect(server.Url("/stall"));
  ASSERT_NE(h, 0u) << gBass.BASS_ErrorGetCode();
  EXPECT_EQ(gBass.BASS_StreamGetFilePosition(h, BASS_FILEPOS_CONNECTED), 1u);
  ASSERT_TRUE(gBass.BASS_ChannelPlay(h, FALSE));
  // NET_READTIMEOUT is 1 s; the bound here is generous for a loaded machine.
  EXPECT_TRUE(WaitFor([&] { return gBass.BASS_StreamGetFilePosition(h, BASS_FILEPOS_CONNECTED) == 0; }, 15));
  gBass.BASS_StreamFree(h);
}

// Catches a server that keeps up but sends in batches further apart than NET_READTIMEOUT
// (Icecast's Ogg pages to an early listener) dropped as silent while the buffer plays on.
TEST_F(AudioLib, BatchesApartLongerThanTheReadTimeoutKeepTheConnection) {
  auto route = Mp3Route();
  route.burstBytes = 28000;  // 1.75 s, less than the download buffer holds
  route.sendEveryMs = 1500;  // 24000 bytes each
  server.Route("/batches", route);
  const HSTREAM h = Connect(server.Url("/batches"));
  ASSERT_NE(h, 0u) << gBass.BASS_ErrorGetCode();
  ASSERT_TRUE(gBass.BASS_ChannelPlay(h, FALSE));
  auto downloaded = [&] { return gBass.BASS_StreamGetFilePosition(h, BASS_FILEPOS_DOWNLOAD); };
  // Two batches, each after a gap longer than the time-out.
  EXPECT_TRUE(WaitFor([&] { return downloaded() >= 28000 + 2 * 24000; }, 15)) << downloaded();
  gBass.BASS_StreamFree(h);
}

// Catches an empty buffer on a live connection reported as playing or as stopped (the
// player's watchdog would reconnect a stream that is merely starved).
TEST_F(AudioLib, StarvedStreamIsStalledThenPlaysOn) {
  auto route = Mp3Route();
  route.burstBytes = 20000;
  route.byteRate = 8000;  // half the stream's rate
  server.Route("/slow", route);
  const HSTREAM h = Connect(server.Url("/slow"));
  ASSERT_NE(h, 0u) << gBass.BASS_ErrorGetCode();
  ASSERT_TRUE(gBass.BASS_ChannelPlay(h, FALSE));
  ASSERT_TRUE(WaitFor([&] { return gBass.BASS_ChannelIsActive(h) == BASS_ACTIVE_PLAYING; }, 20));
  // The burst plays out faster than the server refills it (after a second or two).
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  EXPECT_TRUE(WaitFor([&] { return gBass.BASS_ChannelIsActive(h) == BASS_ACTIVE_STALLED; }, 20));
  EXPECT_EQ(gBass.BASS_StreamGetFilePosition(h, BASS_FILEPOS_CONNECTED), 1u);
  // It resumes only with a buffer to play from, not with every packet that trickles in.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(gBass.BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_STALLED));
  EXPECT_TRUE(WaitFor([&] { return gBass.BASS_ChannelIsActive(h) == BASS_ACTIVE_PLAYING; }, 20));
  EXPECT_GT(gBass.BASS_StreamGetFilePosition(h, BASS_FILEPOS_BUFFER), 8000u);
  gBass.BASS_StreamFree(h);
}

// Catches failures reported with the wrong code (the player logs them and moves on).
TEST_F(AudioLib, ConnectFailuresGiveTheirCodes) {
  server.Route("/html", {.status = "HTTP/1.0 200 OK",
                         .headers = {"Content-Type: text/html"},
                         .body = std::string(20000, 'x'),
                         .loop = false,
                         .byteRate = 0});
  server.Route("/icy404", {.status = "ICY 404 Resource Not Found", .body = MediaBytes(Media::Mp3Tone)});
  server.Route("/noise", {.headers = {"content-type:audio/mpeg"}, .body = std::string(200000, '\x55'), .byteRate = 0});
  server.Route("/redirect-file", {.status = "HTTP/1.0 302 Found", .headers = {"Location: file:///etc/passwd"}});
  struct Case {
    std::string url;
    int error;
  } cases[] = {
      {"http://127.0.0.1:" + std::to_string(TestServer::RefusedPort()) + "/", BASS_ERROR_FILEOPEN},
      {server.Url("/missing"), BASS_ERROR_FILEOPEN},  // 404
      {server.Url("/icy404"), BASS_ERROR_FILEOPEN},
      {server.Url("/redirect-file"), BASS_ERROR_FILEOPEN},
      {server.Url("/html"), BASS_ERROR_FILEFORM},
      {server.Url("/noise"), BASS_ERROR_FILEFORM},
      {"file:///etc/passwd", BASS_ERROR_ILLPARAM},
      {"", BASS_ERROR_ILLPARAM},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Connect(c.url), 0u) << c.url;
    EXPECT_EQ(gBass.BASS_ErrorGetCode(), c.error) << c.url;
  }
  EXPECT_EQ(gBass.BASS_StreamCreateURL(nullptr, 0, 0, nullptr, nullptr), 0u);
  EXPECT_EQ(gBass.BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
}

// Catches a server that never answers hanging the connect beyond NET_TIMEOUT.
TEST_F(AudioLib, SilentServerTimesOut) {
  server.Route("/silent", {.noResponse = true});
  gBass.BASS_SetConfig(BASS_CONFIG_NET_TIMEOUT, 1000);
  EXPECT_EQ(Connect(server.Url("/silent")), 0u);
  EXPECT_EQ(gBass.BASS_ErrorGetCode(), BASS_ERROR_TIMEOUT);
  // The same for a TLS handshake that never gets an answer.
  std::string https = server.Url("/silent");
  https.replace(0, 4, "https");
  EXPECT_EQ(Connect(https), 0u);
  EXPECT_EQ(gBass.BASS_ErrorGetCode(), BASS_ERROR_TIMEOUT);
}

// Catches redirects that are not followed to the stream.
TEST_F(AudioLib, RedirectIsFollowed) {
  server.Route("/mp3", Mp3Route());
  server.Route("/moved", {.status = "HTTP/1.0 302 Found", .headers = {"Location: /mp3"}});
  const HSTREAM h = Connect(server.Url("/moved"));
  ASSERT_NE(h, 0u) << gBass.BASS_ErrorGetCode();
  // Only the final response's headers are kept.
  EXPECT_STREQ(gBass.BASS_ChannelGetTags(h, BASS_TAG_HTTP), "ICY 200 OK");
  gBass.BASS_StreamFree(h);
}

// Catches AAC playing without its add-on, or not playing with it.
TEST_F(AudioLib, AacNeedsItsAddOn) {
  // The add-ons' formats stay on for the life of the library; when an earlier test in
  // this process loaded them, start a fresh copy of the library.
  if (gBass.BASS_GetConfig(BASS_CONFIG_AAC_MP4) != DWORD(-1)) {
    gBass.BASS_Free();
    UnloadAudioLibrary();
    Start("null");
  }
  ASSERT_EQ(gBass.BASS_GetConfig(BASS_CONFIG_AAC_MP4), DWORD(-1));  // add-on not loaded
  server.Route("/aac", {.headers = {"content-type:audio/aac"}, .body = MediaBytes(Media::AacTone)});
  EXPECT_EQ(Connect(server.Url("/aac")), 0u);
  EXPECT_EQ(gBass.BASS_ErrorGetCode(), BASS_ERROR_FILEFORM);

  EXPECT_NE(gBass.BASS_PluginLoad((DataDir() + kAudioAacAddonFile).c_str(), BASS_UNICODE), 0u);
  EXPECT_EQ(gBass.BASS_GetConfig(BASS_CONFIG_AAC_MP4), 1u);
  const HSTREAM h = Connect(server.Url("/aac"));
  ASSERT_NE(h, 0u) << gBass.BASS_ErrorGetCode();
  BASS_CHANNELINFO info{};
  ASSERT_TRUE(gBass.BASS_ChannelGetInfo(h, &info));
  EXPECT_EQ(info.ctype, DWORD(BASS_CTYPE_STREAM_AAC));
  EXPECT_EQ(info.freq, 44100u);
  EXPECT_EQ(info.chans, 2u);
  Events e;
  gBass.BASS_ChannelSetDSP(h, OnDsp, &e, 0);
  ASSERT_TRUE(gBass.BASS_ChannelPlay(h, FALSE));
  EXPECT_TRUE(WaitFor([&] { return e.dspPeak.load() > 0.4f; }, 15));
  EXPECT_LT(e.dspPeak.load(), 0.65f);
  gBass.BASS_StreamFree(h);
}

// Catches the player counting a surround source's samples in the source's six channels:
// the library mixes it down to the output's two before the DSP, and the format the
// player assumes for the DSP (for the delay of a title change) must be that one. The
// tone is on the front left only, so in the DSP's own layout one channel carries it and
// the other is silent; read with any other channel count, the tone shows in several.
TEST_F(AudioLib, SurroundSourceReachesTheDspInTheOutputsChannels) {
  gBass.BASS_PluginLoad((DataDir() + kAudioAacAddonFile).c_str(), BASS_UNICODE);
  server.Route("/surround", {.headers = {"content-type:audio/aac"}, .body = MediaBytes(Media::AacSurround)});
  const HSTREAM h = Connect(server.Url("/surround"));
  ASSERT_NE(h, 0u) << gBass.BASS_ErrorGetCode();
  BASS_CHANNELINFO info{};
  ASSERT_TRUE(gBass.BASS_ChannelGetInfo(h, &info));
  EXPECT_EQ(info.chans, 6u);  // the source's own count, as the connect log shows it
  struct Capture {
    std::mutex lock;
    std::vector<float> samples;
    int calls = 0;
  } capture;
  auto dsp = [](HDSP, DWORD, void* buffer, DWORD length, void* user) {
    auto* c = static_cast<Capture*>(user);
    std::lock_guard<std::mutex> g(c->lock);
    // The first buffers may hold the decoder's start; a later one is steady tone.
    if (++c->calls < 10 || !c->samples.empty()) return;
    const float* s = static_cast<const float*>(buffer);
    c->samples.assign(s, s + length / sizeof(float));
  };
  ASSERT_NE(gBass.BASS_ChannelSetDSP(h, dsp, &capture, 0), 0u);
  ASSERT_TRUE(gBass.BASS_ChannelPlay(h, FALSE));
  ASSERT_TRUE(WaitFor(
      [&] {
        std::lock_guard<std::mutex> g(capture.lock);
        return !capture.samples.empty();
      },
      15));
  double rate = 0;
  int64_t chans = 0;
  DspFormat(h, &rate, &chans);
  EXPECT_EQ(rate, 48000.0);
  ASSERT_GT(chans, 0);
  std::vector<float> samples;
  {
    std::lock_guard<std::mutex> g(capture.lock);
    samples = capture.samples;
  }
  ASSERT_EQ(samples.size() % size_t(chans), 0u);
  std::vector<double> energy(size_t(chans), 0.0);
  for (size_t i = 0; i < samples.size(); ++i) energy[i % size_t(chans)] += double(samples[i]) * samples[i];
  int carrying = 0;
  for (double e : energy) carrying += e > energy[0] * 0.01 ? 1 : 0;
  EXPECT_GT(energy[0], 0.0);
  EXPECT_EQ(carrying, 1) << chans << " channels";
  gBass.BASS_StreamFree(h);
}

// Catches Opus refused with its add-on loaded, or reported at the wrong rate.
TEST_F(AudioLib, OpusPlaysWithItsAddOn) {
  gBass.BASS_PluginLoad((DataDir() + kAudioOpusAddonFile).c_str(), BASS_UNICODE);
  server.Route("/opus", {.headers = {"content-type:audio/ogg"}, .body = MediaBytes(Media::OpusTone), .loop = false});
  const HSTREAM h = Connect(server.Url("/opus"));
  ASSERT_NE(h, 0u) << gBass.BASS_ErrorGetCode();
  BASS_CHANNELINFO info{};
  ASSERT_TRUE(gBass.BASS_ChannelGetInfo(h, &info));
  EXPECT_EQ(info.ctype, DWORD(BASS_CTYPE_STREAM_OPUS));
  EXPECT_EQ(info.freq, 48000u);
  Events e;
  gBass.BASS_ChannelSetDSP(h, OnDsp, &e, 0);
  ASSERT_TRUE(gBass.BASS_ChannelPlay(h, FALSE));
  EXPECT_TRUE(WaitFor([&] { return e.dspPeak.load() > 0.4f; }, 15));
  gBass.BASS_StreamFree(h);
}

// Catches a DSP that sees the volume applied, integer samples or garbage.
TEST_F(AudioLib, DspSeesFloatSamplesBeforeTheVolume) {
  server.Route("/mp3", Mp3Route());
  const HSTREAM h = Connect(server.Url("/mp3"));
  ASSERT_NE(h, 0u) << gBass.BASS_ErrorGetCode();
  Events e;
  ASSERT_NE(gBass.BASS_ChannelSetDSP(h, OnDsp, &e, 0), 0u);
  ASSERT_TRUE(gBass.BASS_ChannelSetAttribute(h, BASS_ATTRIB_VOL, 0.1f));
  ASSERT_TRUE(gBass.BASS_ChannelPlay(h, FALSE));
  ASSERT_TRUE(WaitFor([&] { return e.dspCalls.load() > 25; }, 15));
  EXPECT_GT(e.dspPeak.load(), 0.45f);  // the tone's 0.5, not 0.05
  EXPECT_LT(e.dspPeak.load(), 0.6f);
  EXPECT_FALSE(e.dspSawNonFinite.load());
  gBass.BASS_StreamFree(h);
}

// Catches slides that stop short, overshoot, or keep running after a newer slide.
TEST_F(AudioLib, VolumeSlideReachesItsValue) {
  server.Route("/mp3", Mp3Route());
  const HSTREAM h = Connect(server.Url("/mp3"));
  ASSERT_NE(h, 0u) << gBass.BASS_ErrorGetCode();
  ASSERT_TRUE(gBass.BASS_ChannelSetAttribute(h, BASS_ATTRIB_VOL, 0.0f));
  ASSERT_TRUE(gBass.BASS_ChannelPlay(h, FALSE));
  ASSERT_TRUE(gBass.BASS_ChannelSlideAttribute(h, BASS_ATTRIB_VOL, 0.8f, 300));
  float v = -1;
  EXPECT_TRUE(WaitFor(
      [&] {
        gBass.BASS_ChannelGetAttribute(h, BASS_ATTRIB_VOL, &v);
        return v == 0.8f;
      },
      10))
      << v;
  // A new slide replaces the running one.
  ASSERT_TRUE(gBass.BASS_ChannelSlideAttribute(h, BASS_ATTRIB_VOL, 0.0f, 60000));
  ASSERT_TRUE(gBass.BASS_ChannelSlideAttribute(h, BASS_ATTRIB_VOL, 0.3f, 200));
  EXPECT_TRUE(WaitFor(
      [&] {
        gBass.BASS_ChannelGetAttribute(h, BASS_ATTRIB_VOL, &v);
        return v == 0.3f;
      },
      10))
      << v;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  gBass.BASS_ChannelGetAttribute(h, BASS_ATTRIB_VOL, &v);
  EXPECT_EQ(v, 0.3f);
  gBass.BASS_StreamFree(h);
}

// Catches levels that do not follow the signal, include the volume, or are scaled.
TEST_F(AudioLib, LevelFollowsTheTone) {
  server.Route("/steps", Mp3Route(Media::Mp3Steps));
  const HSTREAM h = Connect(server.Url("/steps"));
  ASSERT_NE(h, 0u) << gBass.BASS_ErrorGetCode();
  ASSERT_TRUE(gBass.BASS_ChannelSetAttribute(h, BASS_ATTRIB_VOL, 0.5f));
  float levels[2];
  EXPECT_FALSE(gBass.BASS_ChannelGetLevelEx(h, levels, 0.025f, BASS_LEVEL_STEREO));  // not playing
  EXPECT_EQ(gBass.BASS_ErrorGetCode(), BASS_ERROR_NOPLAY);
  ASSERT_TRUE(gBass.BASS_ChannelPlay(h, FALSE));
  bool sawLoud = false, sawQuiet = false;
  WaitFor(
      [&] {
        if (gBass.BASS_ChannelGetLevelEx(h, levels, 0.025f, BASS_LEVEL_STEREO)) {
          EXPECT_LT(levels[0], 0.6f);
          EXPECT_NEAR(levels[0], levels[1], 0.02f);
          if (levels[0] > 0.45f) sawLoud = true;
          if (levels[0] > 0.07f && levels[0] < 0.13f) sawQuiet = true;
        }
        return sawLoud && sawQuiet;
      },
      20);
  EXPECT_TRUE(sawLoud);
  EXPECT_TRUE(sawQuiet);
  gBass.BASS_StreamFree(h);
}

namespace {

// The samples of a float WAV file written by the file output.
std::vector<float> ReadFloatWav(const std::string& path, int* rate, int* channels) {
  std::ifstream f(FsPath(path), std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  const std::string data = ss.str();
  if (data.size() < 44 || data.compare(0, 4, "RIFF") != 0) return {};
  uint16_t format, chans;
  uint32_t sampleRate;
  std::memcpy(&format, &data[20], 2);
  std::memcpy(&chans, &data[22], 2);
  std::memcpy(&sampleRate, &data[24], 4);
  if (format != 3) return {};
  *rate = int(sampleRate);
  *channels = chans;
  std::vector<float> samples((data.size() - 44) / 4);
  std::memcpy(samples.data(), data.data() + 44, samples.size() * 4);
  return samples;
}

}  // namespace

// Catches output that is not the stream: wrong pitch (rate conversion), wrong level
// (volume), or a channel that differs. Captures the device output through the file writer, into a file
// whose name is not ASCII (a path the writer must not pass on as 8-bit text).
TEST_F(AudioLib, CapturedOutputIsTheTone) {
  gBass.BASS_Free();
  const std::string path = TempFile("corvale-capture-\xC3\xA9-" + std::to_string(ProcessId()) + ".wav");
  Start("file:" + path);
  server.Route("/mp3", Mp3Route());
  const HSTREAM h = Connect(server.Url("/mp3"));
  ASSERT_NE(h, 0u) << gBass.BASS_ErrorGetCode();
  ASSERT_TRUE(gBass.BASS_ChannelSetAttribute(h, BASS_ATTRIB_VOL, 0.6f));
  ASSERT_TRUE(gBass.BASS_ChannelPlay(h, FALSE));
  // Two and a half seconds of output, counted in what the writer wrote (a loaded machine
  // writes it later, not shorter).
  const uintmax_t wanted = 44 + uintmax_t(48000) * 2 * sizeof(float) * 5 / 2;
  EXPECT_TRUE(WaitFor(
      [&] {
        std::error_code ec;
        const uintmax_t n = std::filesystem::file_size(FsPath(path), ec);
        return !ec && n >= wanted;
      },
      60));
  gBass.BASS_StreamFree(h);
  ASSERT_TRUE(gBass.BASS_Free());
  int rate = 0, chans = 0;
  const std::vector<float> s = ReadFloatWav(path, &rate, &chans);
  std::filesystem::remove(FsPath(path));
  ASSERT_EQ(rate, 48000);
  ASSERT_EQ(chans, 2);
  // The loudest stretch: skip the silent start before the first data arrived.
  size_t first = 0;
  while (first < s.size() && std::fabs(s[first]) < 0.01f) ++first;
  ASSERT_GT(s.size(), first + size_t(rate));  // at least a second of sound
  const size_t frames = std::min<size_t>((s.size() - first) / 2, size_t(rate)) - 4800;
  float peak = 0;
  int crossings = 0;
  size_t sounding = 0;
  for (size_t i = 4800; i < frames; ++i) {
    const float l = s[first + 2 * i], r = s[first + 2 * i + 1];
    // The digital silence the output writes while a starved stream has run dry is the
    // machine's, not the stream's: the pitch is taken over the tone itself.
    if (l == 0.0f && r == 0.0f) continue;
    ++sounding;
    peak = std::max(peak, std::fabs(l));
    EXPECT_NEAR(l, r, 0.01f);
    const float prev = s[first + 2 * (i - 1)];
    if ((prev < 0) != (l < 0)) ++crossings;
  }
  EXPECT_NEAR(peak, 0.3f, 0.03f);  // 0.5 * 0.6
  ASSERT_GT(sounding, size_t(rate) / 2);
  const double seconds = double(sounding) / rate;
  EXPECT_NEAR(crossings / 2.0 / seconds, 440.0, 5.0);
}

// Catches a device failure that leaves streams "playing" into nothing. The file writer
// fails its writes: into a full device, or on Windows into a pipe whose reader has gone.
TEST_F(AudioLib, DeviceFailureFiresDevFail) {
  gBass.BASS_Free();
#ifdef _WIN32
  const std::string pipe = "\\\\.\\pipe\\corvale-full-" + std::to_string(ProcessId());
  const HANDLE reader = CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE, 1, 0, 4096, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  Start("file:" + pipe);
  CloseHandle(reader);
#else
  Start("file:/dev/full");
#endif
  server.Route("/mp3", Mp3Route());
  const HSTREAM h = Connect(server.Url("/mp3"));
  ASSERT_NE(h, 0u) << gBass.BASS_ErrorGetCode();
  Events e;
  gBass.BASS_ChannelSetSync(h, BASS_SYNC_DEV_FAIL | BASS_SYNC_ONETIME, 0, OnDeviceFail, &e);
  ASSERT_TRUE(gBass.BASS_ChannelPlay(h, FALSE));
  ASSERT_TRUE(WaitFor([&] { return e.deviceFails.load() > 0; }, 10));
  EXPECT_EQ(gBass.BASS_ChannelIsActive(h), DWORD(BASS_ACTIVE_STOPPED));
  // New streams fail with -1, which makes the player reopen the output.
  EXPECT_EQ(gBass.BASS_StreamCreate(48000, 2, BASS_SAMPLE_FLOAT, STREAMPROC_DUMMY, nullptr), 0u);
  EXPECT_EQ(gBass.BASS_ErrorGetCode(), BASS_ERROR_UNKNOWN);
  gBass.BASS_StreamFree(h);
}

// Catches stale handles that crash or succeed, and the probe stream failing.
TEST_F(AudioLib, StaleHandlesFailWithHandle) {
  const HSTREAM probe = gBass.BASS_StreamCreate(48000, 2, BASS_SAMPLE_FLOAT, STREAMPROC_DUMMY, nullptr);
  ASSERT_NE(probe, 0u);
  EXPECT_TRUE(gBass.BASS_StreamFree(probe));
  float f[2];
  BASS_CHANNELINFO info;
  for (DWORD h : {probe, DWORD(0), DWORD(0xDEADBEEF)}) {
    EXPECT_FALSE(gBass.BASS_StreamFree(h));
    EXPECT_EQ(gBass.BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
    EXPECT_FALSE(gBass.BASS_ChannelPlay(h, FALSE));
    EXPECT_EQ(gBass.BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
    EXPECT_EQ(gBass.BASS_ChannelIsActive(h), 0u);
    EXPECT_EQ(gBass.BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
    EXPECT_FALSE(gBass.BASS_ChannelGetLevelEx(h, f, 0.02f, BASS_LEVEL_STEREO));
    EXPECT_FALSE(gBass.BASS_ChannelGetInfo(h, &info));
    EXPECT_EQ(gBass.BASS_ChannelGetTags(h, BASS_TAG_META), nullptr);
    EXPECT_EQ(gBass.BASS_StreamGetFilePosition(h, BASS_FILEPOS_CONNECTED), QWORD(-1));
    EXPECT_EQ(gBass.BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
    EXPECT_EQ(gBass.BASS_ChannelSetSync(h, BASS_SYNC_END, 0, OnEnd, nullptr), 0u);
    EXPECT_FALSE(gBass.BASS_ChannelRemoveSync(h, 1));
    EXPECT_FALSE(gBass.BASS_ChannelSlideAttribute(h, BASS_ATTRIB_VOL, 0, 100));
  }
  // Error codes belong to the calling thread.
  std::thread([] {
    EXPECT_TRUE(gBass.BASS_SetConfig(BASS_CONFIG_BUFFER, 500));
    EXPECT_EQ(gBass.BASS_ErrorGetCode(), BASS_OK);
  }).join();
  EXPECT_EQ(gBass.BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
}

// Catches races between freeing a playing stream and other threads using it.
TEST_F(AudioLib, FreeWhileOtherThreadsUseTheStream) {
  server.Route("/mp3", Mp3Route());
  for (int round = 0; round < 3; ++round) {
    const HSTREAM h = Connect(server.Url("/mp3"));
    ASSERT_NE(h, 0u) << gBass.BASS_ErrorGetCode();
    Events e;
    gBass.BASS_ChannelSetDSP(h, OnDsp, &e, 0);
    gBass.BASS_ChannelSetSync(h, BASS_SYNC_META | BASS_SYNC_MIXTIME, 0, OnMeta, &e);
    ASSERT_TRUE(gBass.BASS_ChannelPlay(h, FALSE));
    std::atomic<bool> stop{false};
    std::vector<std::thread> users;
    for (int t = 0; t < 3; ++t) {
      users.emplace_back([&] {
        float f[2];
        while (!stop) {
          gBass.BASS_ChannelIsActive(h);
          gBass.BASS_ChannelGetLevelEx(h, f, 0.025f, BASS_LEVEL_STEREO);
          gBass.BASS_ChannelSlideAttribute(h, BASS_ATTRIB_VOL, 0.5f, 100);
          gBass.BASS_StreamGetFilePosition(h, BASS_FILEPOS_CONNECTED);
          gBass.BASS_ChannelGetTags(h, BASS_TAG_META);
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
      });
    }
    WaitFor([&] { return e.dspCalls.load() > 5; }, 10);
    EXPECT_TRUE(gBass.BASS_StreamFree(h));
    const int64_t calls = e.dspCalls.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(e.dspCalls.load(), calls);  // no DSP call after the free returned
    stop = true;
    for (auto& t : users) t.join();
  }
}

// Catches a free that waits for a download stuck on a full buffer, and BASS_Free
// hanging while another thread is still connecting.
TEST_F(AudioLib, FreeAndShutdownDoNotHang) {
  auto fast = Mp3Route();
  fast.byteRate = 0;  // the buffer fills at once; the download waits
  server.Route("/fast", fast);
  const HSTREAM h = Connect(server.Url("/fast"));
  ASSERT_NE(h, 0u) << gBass.BASS_ErrorGetCode();
  EXPECT_TRUE(WaitFor([&] { return gBass.BASS_StreamGetFilePosition(h, BASS_FILEPOS_BUFFER) > 30000; }, 10));
  EXPECT_TRUE(gBass.BASS_StreamFree(h));

  server.Route("/silent", {.noResponse = true});
  gBass.BASS_SetConfig(BASS_CONFIG_NET_TIMEOUT, 60000);
  std::atomic<int> result{-2}, error{0};
  std::thread connecting([&] {
    result = int(Connect(server.Url("/silent")));
    error = gBass.BASS_ErrorGetCode();
  });
  WaitFor([&] { return server.Requests().size() >= 2; }, 10);
  EXPECT_TRUE(gBass.BASS_Free());
  connecting.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(error.load(), BASS_ERROR_INIT);
}

// Catches unknown options accepted, the read-only float flag writable, add-on options
// known without the add-on, and a second BASS_Init.
TEST_F(AudioLib, ConfigurationAndInit) {
  EXPECT_EQ(gBass.BASS_GetConfig(BASS_CONFIG_FLOAT), 1u);
  EXPECT_FALSE(gBass.BASS_SetConfig(BASS_CONFIG_FLOAT, 0));
  EXPECT_EQ(gBass.BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
  EXPECT_FALSE(gBass.BASS_SetConfig(999, 0));
  EXPECT_EQ(gBass.BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
  EXPECT_TRUE(gBass.BASS_SetConfig(BASS_CONFIG_OPTION29, 1));
  EXPECT_TRUE(gBass.BASS_SetConfig(BASS_CONFIG_UNICODE, 1));
  EXPECT_TRUE(gBass.BASS_SetConfig(BASS_CONFIG_DEV_DEFAULT, 1));
  EXPECT_FALSE(gBass.BASS_Init(-1, 48000, 0, nullptr, nullptr));
  EXPECT_EQ(gBass.BASS_ErrorGetCode(), BASS_ERROR_ALREADY);
  EXPECT_FALSE(gBass.BASS_Init(7, 48000, 0, nullptr, nullptr));
  EXPECT_EQ(gBass.BASS_ErrorGetCode(), BASS_ERROR_ALREADY);
  EXPECT_EQ(gBass.BASS_PluginLoad("/nonexistent/libx.so", BASS_UNICODE), 0u);
  EXPECT_EQ(gBass.BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN);
  EXPECT_EQ(gBass.BASS_GetVersion(), 0x02041100u);
}

#ifndef _WIN32
// Catches an ALSA device that swallows data faster than real time (the file and null
// plugins do) running the stream ahead of the clock, and ALSA output that is not the
// stream. The default device is redirected to a raw file by a private configuration.
TEST_F(AudioLib, AlsaFilePluginIsPacedToRealTime) {
  gBass.BASS_Free();
  const std::string base = "/tmp/corvale-alsa-" + std::to_string(getpid());
  const std::string conf = base + ".conf", raw = base + ".raw";
  {
    std::ofstream f(conf);
    f << "pcm.!default {\n type file\n slave.pcm { type null }\n file \"" << raw << "\"\n format \"raw\"\n}\n";
  }
  setenv("ALSA_CONFIG_PATH", conf.c_str(), 1);
  Start("alsa");
  server.Route("/mp3", Mp3Route());
  const HSTREAM h = Connect(server.Url("/mp3"));
  ASSERT_NE(h, 0u) << gBass.BASS_ErrorGetCode();
  ASSERT_TRUE(gBass.BASS_ChannelPlay(h, FALSE));
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  gBass.BASS_StreamFree(h);
  ASSERT_TRUE(gBass.BASS_Free());
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  unsetenv("ALSA_CONFIG_PATH");
  std::ifstream f(raw, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  const std::string data = ss.str();
  unlink(conf.c_str());
  unlink(raw.c_str());
  // The device takes float here, 48000 Hz stereo.
  const double seconds = double(data.size()) / (48000.0 * 2 * 4);
  EXPECT_GT(seconds, 0.5);
  EXPECT_LT(seconds, wall + 1.0);  // unpaced, 2 s of wall time would write far more
  std::vector<float> s(data.size() / 4);
  std::memcpy(s.data(), data.data(), s.size() * 4);
  float peak = 0;
  for (float v : s) peak = std::max(peak, std::fabs(v));
  EXPECT_NEAR(peak, 0.5f, 0.05f);
}
#endif
