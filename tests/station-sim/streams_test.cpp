// The simulator's streams and documents: codecs, loudness, ICY framing, titles in step
// with the stream-information document, playlists, artwork, version list, clean stop.
#include <curl/curl.h>
#include <openssl/evp.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "sim_test_util.h"

namespace {

class StationSimTest : public ::testing::Test {
 protected:
  StationSim sim;
  void SetUp() override { ASSERT_TRUE(sim.Start()) << sim.startError; }
  // A fresh title, so a short capture lies inside one title.
  void NextTitle() { ASSERT_EQ(SimGet(sim.port, "/control/next").status, 200); }
};

struct CodecCase {
  const char* key;
  const char* probe;  // ffprobe codec_name
  const char* mime;
  int kbps;
};
const CodecCase kCodecs[] = {
    {"mp3", "mp3", "audio/mpeg", 128},
    {"aac", "aac", "audio/aac", 128},
    {"opus", "opus", "audio/ogg", 96},
    {"vorbis", "vorbis", "audio/ogg", 128},
};

// Catches a stream that is not the codec it claims, is silent, or has the wrong loudness.
TEST_F(StationSimTest, EveryCodecProbesAsItselfAndHasTheTitlesLoudness) {
  for (const CodecCase& c : kCodecs) {
    SCOPED_TRACE(c.key);
    NextTitle();
    const Json stats = SimStats(sim.port);
    const Json* loud = stats.Get("title") ? stats.Get("title")->Get("loudness") : nullptr;
    ASSERT_TRUE(loud);
    // The burst: about 2 s of the new title.
    const SimResponse r =
        SimGet(sim.port, std::string("/stream/") + c.key, "", (size_t)c.kbps * 1000 / 8 * 3 / 2, 5000);
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.headers.at("content-type"), c.mime);
    EXPECT_EQ(r.headers.at("icy-br"), std::to_string(c.kbps));
    EXPECT_EQ(r.headers.count("icy-metaint"), 0u);  // not asked for
    EXPECT_EQ(r.headers.at("icy-name"), "Corvale Demo Radio");
    ASSERT_GT(r.body.size(), 10000u);
    EXPECT_GT(ChainUnits(c.key, r.body), 4);
    EXPECT_EQ(ProbeCodec(r.body), c.probe);
    // volumedetect's mean is the plain mean square: 3.01 dB below the sine-referred RMS.
    const double mean = MeanVolume(r.body);
    EXPECT_NEAR(mean, loud->num - 3.01, 2.5);
  }
}

// Catches metadata blocks that drift from the announced interval or break the audio framing.
TEST_F(StationSimTest, MetadataBlocksSitExactlyEveryMetaintBytes) {
  struct Case {
    const char* codec;
    const char* query;
    size_t metaint;
  } cases[] = {
      {"mp3", "", 16000},
      {"mp3", "?metaint=1000", 1000},
      {"aac", "?metaint=777", 777},
      {"opus", "?metaint=8192", 8192},
      {"vorbis", "?metaint=4096&legacy=1", 4096},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.codec) + c.query);
    const SimResponse r =
        SimGet(sim.port, std::string("/stream/") + c.codec + c.query, "Icy-MetaData: 1\r\n", 36000, 5000);
    ASSERT_EQ(r.headers.count("icy-metaint"), 1u);
    EXPECT_EQ((size_t)atol(r.headers.at("icy-metaint").c_str()), c.metaint);
    std::string audio;
    std::vector<IcyBlock> blocks;
    ASSERT_TRUE(SplitIcy(r.body, c.metaint, audio, blocks));
    ASSERT_GE(blocks.size(), 2u);
    for (size_t i = 0; i < blocks.size(); i++) {
      EXPECT_EQ(blocks[i].audioOffset, (i + 1) * c.metaint);
      if (!blocks[i].text.empty()) {
        EXPECT_NE(StreamTitleOf(blocks[i].text), "") << blocks[i].text;
      }
    }
    EXPECT_NE(StreamTitleOf(blocks[0].text), "");  // the first block names the title
    EXPECT_GT(ChainUnits(c.codec, audio), 5);      // audio framing intact after removing the blocks
  }
}

// Catches hostile metadata that is not sent byte for byte as the player's tests expect.
TEST_F(StationSimTest, HostileMetadataIsSentVerbatim) {
  struct Case {
    const char* name;
    std::string text;
  } cases[] = {
      {"noquote", "StreamTitle='Unclosed Artist - Unclosed Title"},
      {"quote", "StreamTitle='Jane';Doe - It's ';here';StreamUrl='';"},
      {"nul", std::string("StreamTitle='Null") + '\0' + "Byte - Title';StreamUrl='';"},
      {"badutf8", "StreamTitle='Bad \xC3\x28 UTF-8 - Overlong \xE0\x80\xAF \xF0\x28\x8C\x28';StreamUrl='';"},
      {"latin1",
       "StreamTitle='Caf\xE9 M\xFCller - Fran\xE7"
       "ais \xE0 la carte';StreamUrl='';"},
      {"empty", "StreamTitle='';StreamUrl='';"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SimResponse r =
        SimGet(sim.port, std::string("/stream/mp3?metaint=500&meta=") + c.name, "Icy-MetaData: 1\r\n", 2000, 5000);
    ASSERT_GT(r.body.size(), 501u);
    const size_t len = (unsigned char)r.body[500] * 16u;
    ASSERT_EQ(len, (c.text.size() + 15) / 16 * 16);
    ASSERT_GE(r.body.size(), 501 + len);
    EXPECT_EQ(r.body.substr(501, c.text.size()), c.text);
  }
  // The longest block: length byte 255, 4080 bytes, no NUL at its end.
  const SimResponse lng = SimGet(sim.port, "/stream/aac?metaint=500&meta=long", "Icy-MetaData: 1\r\n", 5000, 5000);
  ASSERT_GT(lng.body.size(), 501u + 4080u);
  EXPECT_EQ((unsigned char)lng.body[500], 255);
  EXPECT_EQ(lng.body.compare(501, 13, "StreamTitle='"), 0);
  EXPECT_EQ(lng.body.substr(501, 4080).find('\0'), std::string::npos);
  // Written a few bytes at a time, the framing is unchanged.
  const SimResponse bits = SimGet(sim.port, "/stream/mp3?metaint=300&chunk=7", "Icy-MetaData: 1\r\n", 8000, 5000);
  std::string audio;
  std::vector<IcyBlock> blocks;
  ASSERT_TRUE(SplitIcy(bits.body, 300, audio, blocks));
  EXPECT_NE(StreamTitleOf(blocks.at(0).text), "");
  EXPECT_GT(Mp3Frames(audio), 5);
}

// Catches bogus icy-metaint headers that come with metadata the header cannot describe.
TEST_F(StationSimTest, BogusMetaintHeadersComeWithoutMetadata) {
  for (const char* bad : {"0", "-1", "abc", "99999999999"}) {
    SCOPED_TRACE(bad);
    const SimResponse r =
        SimGet(sim.port, std::string("/stream/mp3?badmetaint=") + bad, "Icy-MetaData: 1\r\n", 20000, 5000);
    EXPECT_EQ(r.headers.at("icy-metaint"), bad);
    EXPECT_GT(Mp3Frames(r.body), 10);  // pure audio
  }
  const SimResponse dup =
      SimGet(sim.port, "/stream/mp3?badmetaint=dup&metaint=1000", "Icy-MetaData: 1\r\n", 5000, 5000);
  EXPECT_NE(dup.head.find("icy-metaint: 8192\r\nicy-metaint: 1000\r\n"), std::string::npos);
  std::string audio;
  std::vector<IcyBlock> blocks;
  ASSERT_TRUE(SplitIcy(dup.body, 1000, audio, blocks));  // the later header is the real one
  EXPECT_NE(StreamTitleOf(blocks.at(0).text), "");
  EXPECT_GT(Mp3Frames(audio), 5);
}

// Catches a document whose newest history item is not the title the stream announces.
TEST_F(StationSimTest, DocumentMatchesTheAnnouncedTitleAcrossAChange) {
  NextTitle();
  std::atomic<bool> sawFirst{false};
  std::vector<std::string> titles;
  std::thread reader([&] {
    // Read the stream until two different titles were announced (bounded by the idle time).
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)sim.port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (sockaddr*)&a, sizeof a) != 0) {
      close(fd);
      sawFirst = true;
      return;
    }
    const std::string req = "GET /stream/mp3?metaint=2000 HTTP/1.0\r\nIcy-MetaData: 1\r\n\r\n";
    send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    std::string data;
    timeval tv{15, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    for (;;) {
      char buf[16384];
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      data.append(buf, (size_t)n);
      const size_t he = data.find("\r\n\r\n");
      if (he == std::string::npos) continue;
      std::string audio;
      std::vector<IcyBlock> blocks;
      SplitIcy(data.substr(he + 4), 2000, audio, blocks);
      titles.clear();
      for (auto& b : blocks)
        if (!b.text.empty()) titles.push_back(StreamTitleOf(b.text));
      if (!titles.empty()) sawFirst = true;
      if (titles.size() >= 2) break;
    }
    close(fd);
    sawFirst = true;
  });
  for (int i = 0; i < 300 && !sawFirst; i++) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  Json doc;
  ASSERT_TRUE(ParseJson(SimGet(sim.port, "/info.json").body, doc));
  NextTitle();
  reader.join();
  ASSERT_EQ(titles.size(), 2u);
  const Json* hist = doc.Get("history");
  ASSERT_TRUE(hist && hist->kind == Json::Array && !hist->arr.empty());
  EXPECT_EQ(hist->arr[0].Str("artist") + " - " + hist->arr[0].Str("title"), titles[0]);
  Json doc2;
  ASSERT_TRUE(ParseJson(SimGet(sim.port, "/info.json").body, doc2));
  const Json& now = doc2.Get("history")->arr[0];
  EXPECT_EQ(now.Str("artist") + " - " + now.Str("title"), titles[1]);
  EXPECT_NE(titles[0], titles[1]);
  // The title that just ended is second now.
  EXPECT_EQ(doc2.Get("history")->arr[1].Str("title"), hist->arr[0].Str("title"));
}

// Catches members of the wrong type or order problems in the stream-information document.
TEST_F(StationSimTest, DocumentHasThePlayersMembers) {
  Json doc;
  ASSERT_TRUE(ParseJson(SimGet(sim.port, "/info2.json").body, doc));
  ASSERT_EQ(doc.kind, Json::Object);
  EXPECT_EQ(doc.Get("info")->kind, Json::String);
  EXPECT_EQ(doc.Get("name")->kind, Json::String);
  EXPECT_EQ(doc.Get("live")->kind, Json::Number);
  EXPECT_EQ(doc.Get("status")->kind, Json::Number);
  const std::string date = doc.Str("date");
  ASSERT_EQ(date.size(), 20u);
  EXPECT_EQ(date[4], '-');
  EXPECT_EQ(date[10], 'T');
  EXPECT_EQ(date[19], 'Z');
  const Json* streams = doc.Get("stream");
  ASSERT_TRUE(streams && streams->kind == Json::Array);
  ASSERT_EQ(streams->arr.size(), 4u);
  for (size_t i = 0; i < 4; i++) {
    const Json& s = streams->arr[i];
    EXPECT_EQ(s.Str("url"), sim.Url(std::string("/stream/") + kCodecs[i].key));
    EXPECT_EQ(s.Get("bitrate")->kind, Json::Number);
    EXPECT_EQ((int)s.Get("bitrate")->num, kCodecs[i].kbps);
    EXPECT_FALSE(s.Str("id").empty());
    EXPECT_FALSE(s.Str("codec").empty());
  }
  const Json* hist = doc.Get("history");
  ASSERT_TRUE(hist && hist->arr.size() >= 5);
  for (size_t i = 0; i < hist->arr.size(); i++) {
    const Json& h = hist->arr[i];
    for (const char* m : {"date", "artist", "title", "year", "artwork", "album"})
      EXPECT_EQ(h.Get(m) ? h.Get(m)->kind : Json::Null, Json::String) << m;
    if (i > 0) {
      EXPECT_LE(h.Str("date"), hist->arr[i - 1].Str("date"));  // newest first
    }
    EXPECT_LE(h.Str("date"), date);
  }
  // The stream list can be chosen and reordered.
  Json picked;
  ASSERT_TRUE(ParseJson(SimGet(sim.port, "/info.json?streams=dead,opus&scheme=https").body, picked));
  ASSERT_EQ(picked.Get("stream")->arr.size(), 2u);
  EXPECT_EQ(picked.Get("stream")->arr[1].Str("url"), sim.HttpsUrl("/stream/opus"));
  EXPECT_EQ(SimGet(sim.port, "/stream/dead").status, 404);
}

// Catches a legacy server reply that the player could not recognise, or UTF-8 metadata from it.
TEST_F(StationSimTest, LegacyServerAnswersIcyWithLatin1Metadata) {
  // Move to the title with accents ("Café Müller", variant 1).
  for (int i = 0; i < 8; i++) {
    const Json s = SimStats(sim.port);
    if (s.Get("title") && (int)s.Get("title")->Get("variant")->num == 1) break;
    NextTitle();
  }
  const SimResponse legacy = SimGet(sim.port, "/stream/mp3?legacy=1&metaint=1000", "Icy-MetaData: 1\r\n", 3000, 5000);
  EXPECT_EQ(legacy.statusLine, "ICY 200 OK");
  EXPECT_NE(legacy.head.find("\r\nicy-notice2:SHOUTcast Distributed Network Audio Server/posix v1.9.8<BR>\r\n"),
            std::string::npos);
  EXPECT_EQ(legacy.headers.at("icy-br"), "128");
  std::string audio;
  std::vector<IcyBlock> blocks;
  ASSERT_TRUE(SplitIcy(legacy.body, 1000, audio, blocks));
  ASSERT_FALSE(blocks.empty());
  EXPECT_EQ(StreamTitleOf(blocks[0].text), "Mara Lindqvist - Caf\xE9 M\xFCller");

  const SimResponse modern = SimGet(sim.port, "/stream/mp3?metaint=1000", "Icy-MetaData: 1\r\n", 3000, 5000);
  EXPECT_EQ(modern.statusLine, "HTTP/1.1 200 OK");
  audio.clear();
  blocks.clear();
  ASSERT_TRUE(SplitIcy(modern.body, 1000, audio, blocks));
  ASSERT_FALSE(blocks.empty());
  EXPECT_EQ(StreamTitleOf(blocks[0].text), "Mara Lindqvist - Café Müller");
}

// Catches titles that do not cycle through the four loudness steps.
TEST_F(StationSimTest, TitlesCycleThroughFourLoudnessSteps) {
  const double steps[4] = {-14, -18, -23, -28};
  for (int i = 0; i < 8; i++) {
    const Json s = SimStats(sim.port);
    const Json* t = s.Get("title");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->Get("loudness")->num, steps[(int)t->Get("variant")->num % 4]);
    NextTitle();
  }
}

// Catches playlists that miss a stream or are not in their format.
TEST_F(StationSimTest, PlaylistsListEveryStream) {
  struct Case {
    const char* path;
    const char* marker;
  } cases[] = {
      {"/playlist.m3u", "#EXTM3U\n"},
      {"/playlist.m3u8", "#EXTM3U\n"},
      {"/playlist.pls", "[playlist]\nNumberOfEntries=4\nFile1="},
      {"/listen.pls?sid=1", "[playlist]\nNumberOfEntries=4\nFile1="},
      {"/playlist.xspf", "<playlist version=\"1\""},
      {"/playlist.vclt", "StreamUrl="},
      {"/playlist.jspf", "\"location\": [\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const SimResponse r = SimGet(sim.port, c.path);
    ASSERT_EQ(r.status, 200);
    EXPECT_NE(r.body.find(c.marker), std::string::npos);
    for (const CodecCase& k : kCodecs)
      EXPECT_NE(r.body.find(sim.Url(std::string("/stream/") + k.key)), std::string::npos);
    EXPECT_EQ((size_t)atol(r.headers.at("content-length").c_str()), r.body.size());
  }
  Json jspf;
  EXPECT_TRUE(ParseJson(SimGet(sim.port, "/playlist.jspf").body, jspf));
  // Hostile sizes are exact, around the player's 64 KiB limit.
  for (size_t n : {65535u, 65536u, 65537u})
    EXPECT_EQ(SimGet(sim.port, "/hostile/size.m3u?bytes=" + std::to_string(n)).body.size(), n);
  EXPECT_EQ(SimGet(sim.port, "/hostile/no-such-thing").status, 404);
}

// Catches artwork that is not the image format its URL names.
TEST_F(StationSimTest, ArtworkIsRealPngAndJpeg) {
  const SimResponse png = SimGet(sim.port, "/art/2.png");
  ASSERT_EQ(png.status, 200);
  EXPECT_EQ(png.headers.at("content-type"), "image/png");
  EXPECT_EQ(png.body.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0);
  EXPECT_EQ(ProbeCodec(png.body), "png");
  const SimResponse jpg = SimGet(sim.port, "/art/3.jpg");
  ASSERT_EQ(jpg.status, 200);
  EXPECT_EQ(jpg.headers.at("content-type"), "image/jpeg");
  ASSERT_GT(jpg.body.size(), 4u);
  EXPECT_EQ((unsigned char)jpg.body[0], 0xFF);
  EXPECT_EQ((unsigned char)jpg.body[1], 0xD8);
  EXPECT_EQ(ProbeCodec(jpg.body), "mjpeg");
  // Every history item's artwork can be fetched.
  Json doc;
  ASSERT_TRUE(ParseJson(SimGet(sim.port, "/info.json").body, doc));
  for (const Json& h : doc.Get("history")->arr) {
    const std::string url = h.Str("artwork");
    ASSERT_EQ(url.compare(0, sim.Url("").size(), sim.Url("")), 0);
    EXPECT_EQ(SimGet(sim.port, url.substr(sim.Url("").size())).status, 200) << url;
  }
}

std::string Digest(const std::string& data, const EVP_MD* md) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  EVP_Digest(data.data(), data.size(), out, &len, md, nullptr);
  std::string hex;
  char b[3];
  for (unsigned i = 0; i < len; i++) {
    snprintf(b, sizeof b, "%02x", out[i]);
    hex += b;
  }
  return hex;
}

// Catches a version list whose digest does not match the installer it points at.
TEST_F(StationSimTest, VersionListDigestsMatchTheInstallers) {
  struct Case {
    const char* query;
    const char* algo;
    bool bom;
  } cases[] = {
      {"", "sha-256", false},
      {"?algo=sha-512&number=5.5&bom=1", "sha-512", true},
      {"?file=corvale-setup-big.bin", "sha-256", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    std::string body = SimGet(sim.port, std::string("/versionlist.json") + c.query).body;
    EXPECT_EQ(body.compare(0, 3, "\xEF\xBB\xBF") == 0, c.bom);
    if (c.bom) body.erase(0, 3);
    Json doc;
    ASSERT_TRUE(ParseJson(body, doc));
    const Json& e = doc.Get("versionlist")->arr.at(0);
    EXPECT_EQ(e.Str("id"), "{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}");
    EXPECT_EQ(e.Str("publisher"), "Corvale Productions");
    EXPECT_EQ(e.Str("name"), "Corvale Player");
    const std::string hash = e.Str("hash");
    const size_t colon = hash.find(':');
    ASSERT_NE(colon, std::string::npos);
    EXPECT_EQ(hash.substr(0, colon), c.algo);
    const std::string url = e.Str("download");
    ASSERT_EQ(url.compare(0, sim.Url("/download/").size(), sim.Url("/download/")), 0);
    const std::string path = url.substr(sim.Url("").size());
    const SimResponse dl = SimGet(sim.port, path);
    ASSERT_EQ(dl.status, 200);
    EXPECT_EQ((size_t)atol(dl.headers.at("content-length").c_str()), dl.body.size());
    EXPECT_EQ(hash.substr(colon + 1), Digest(dl.body, std::string(c.algo) == "sha-512" ? EVP_sha512() : EVP_sha256()));
    // Without Content-Length the same bytes arrive.
    const SimResponse nolen = SimGet(sim.port, path + "?fault=nolength");
    EXPECT_EQ(nolen.headers.count("content-length"), 0u);
    EXPECT_TRUE(nolen.eof);
    EXPECT_EQ(nolen.body, dl.body);
  }
  Json none;
  ASSERT_TRUE(ParseJson(SimGet(sim.port, "/versionlist.json?download=0").body, none));
  EXPECT_EQ(none.Get("versionlist")->arr.at(0).Str("download"), "");
}

size_t CurlSink(char* p, size_t s, size_t n, void* u) {
  static_cast<std::string*>(u)->append(p, s * n);
  return s * n;
}

// Catches an HTTPS side that a client trusting only the test CA cannot use.
TEST_F(StationSimTest, HttpsWorksWithTheTestCertificateAuthority) {
  ASSERT_FALSE(sim.caFile.empty());
  CURL* c = curl_easy_init();
  std::string body;
  curl_easy_setopt(c, CURLOPT_URL, sim.Url("/info.json?fault=redirect-https").c_str());
  curl_easy_setopt(c, CURLOPT_CAINFO, sim.caFile.c_str());
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, CurlSink);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, 20L);
  ASSERT_EQ(curl_easy_perform(c), CURLE_OK);
  long code = 0;
  char* effective = nullptr;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
  curl_easy_getinfo(c, CURLINFO_EFFECTIVE_URL, &effective);
  EXPECT_EQ(code, 200);
  EXPECT_EQ(std::string(effective), sim.HttpsUrl("/info.json"));
  Json doc;
  EXPECT_TRUE(ParseJson(body, doc));
  // A TLS stream carries ICY headers too.
  body.clear();
  curl_easy_setopt(c, CURLOPT_URL, sim.HttpsUrl("/stream/opus").c_str());
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, 1500L);
  curl_easy_perform(c);
  EXPECT_GT(body.size(), 10000u);
  EXPECT_EQ(OggPages(body) > 3, true);
  curl_easy_cleanup(c);
}

// Catches a simulator that hangs or crashes on SIGTERM with listeners connected.
TEST_F(StationSimTest, StopsCleanlyOnSigtermWithListeners) {
  std::atomic<bool> eof{false};
  std::thread listener([&] { eof = SimGet(sim.port, "/stream/vorbis", "Icy-MetaData: 1\r\n", 64u << 20, 20000).eof; });
  for (int i = 0; i < 100; i++) {
    const Json s = SimStats(sim.port);
    if (s.Get("listeners") && s.Get("listeners")->num >= 1) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(sim.Stop(), 0);
  listener.join();
  EXPECT_TRUE(eof);
}

}  // namespace
