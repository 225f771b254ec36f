// Faults on request and the control endpoint: each fault must do exactly what it says,
// since the player's tests rely on them to reproduce real network trouble.
#include <atomic>
#include <functional>
#include <thread>

#include "sim_test_util.h"

namespace {

class StationSimFaultTest : public ::testing::Test {
 protected:
  StationSim sim;
  void SetUp() override { ASSERT_TRUE(sim.Start()) << sim.startError; }
};

struct FaultCase {
  const char* target;
  const char* headers;
  size_t maxBody;
  int idleMs;
  std::function<void(const SimResponse&, const StationSim&)> check;
};

// Catches a fault kind that answers differently from its description.
TEST_F(StationSimFaultTest, EachFaultDoesWhatItSays) {
  const FaultCase cases[] = {
      {"/info.json?fault=404", "", 1 << 20, 5000,
       [](const SimResponse& r, const StationSim&) { EXPECT_EQ(r.status, 404); }},
      {"/info.json?fault=500", "", 1 << 20, 5000,
       [](const SimResponse& r, const StationSim&) { EXPECT_EQ(r.status, 500); }},
      {"/stream/mp3?fault=status&code=503", "", 1 << 20, 5000,
       [](const SimResponse& r, const StationSim&) { EXPECT_EQ(r.status, 503); }},
      {"/stream/mp3?fault=icy404", "", 1 << 20, 5000,
       [](const SimResponse& r, const StationSim&) { EXPECT_EQ(r.statusLine, "ICY 404 Resource Not Found"); }},
      {"/stream/aac?fault=icy", "", 1 << 20, 5000,
       [](const SimResponse& r, const StationSim&) { EXPECT_EQ(r.statusLine, "ICY 401 Service Unavailable"); }},
      {"/stream/mp3?fault=close&ms=300", "", 64u << 20, 5000,
       [](const SimResponse& r, const StationSim&) {
         EXPECT_EQ(r.status, 200);
         EXPECT_GT(Mp3Frames(r.body), 10);  // the burst, then the end
         EXPECT_TRUE(r.eof);
       }},
      {"/info.json?fault=reset", "", 1 << 20, 5000,
       [](const SimResponse& r, const StationSim&) {
         EXPECT_EQ(r.status, 0);
         EXPECT_TRUE(r.body.empty());
         EXPECT_TRUE(r.eof);
       }},
      {"/info.json?fault=close&n=100", "", 1 << 20, 5000,
       [](const SimResponse& r, const StationSim&) {
         EXPECT_EQ(r.status, 200);
         EXPECT_GT(atol(r.headers.at("content-length").c_str()), 100);
         EXPECT_EQ(r.body.size(), 100u);
         EXPECT_TRUE(r.eof);
       }},
      {"/stream/mp3?fault=close&n=5000", "", 1 << 20, 5000,
       [](const SimResponse& r, const StationSim&) {
         EXPECT_EQ(r.body.size(), 5000u);
         EXPECT_TRUE(r.eof);
       }},
      {"/info.json?fault=nolength", "", 1 << 20, 5000,
       [](const SimResponse& r, const StationSim&) {
         EXPECT_EQ(r.headers.count("content-length"), 0u);
         Json j;
         EXPECT_TRUE(ParseJson(r.body, j));
         EXPECT_TRUE(r.eof);
       }},
      {"/info.json?fault=redirect&history=3", "", 1 << 20, 5000,
       [](const SimResponse& r, const StationSim& s) {
         EXPECT_EQ(r.status, 302);
         EXPECT_EQ(r.headers.at("location"), s.Url("/info.json?history=3"));
       }},
      {"/stream/aac?fault=redirect-https", "", 1 << 20, 5000,
       [](const SimResponse& r, const StationSim& s) {
         EXPECT_EQ(r.headers.at("location"), s.HttpsUrl("/stream/aac"));
       }},
      {"/info.json?fault=redirect-loop", "", 1 << 20, 5000,
       [](const SimResponse& r, const StationSim& s) {
         EXPECT_EQ(r.headers.at("location"), s.Url("/info.json?fault=redirect-loop"));
       }},
      {"/info.json?fault=redirect-file", "", 1 << 20, 5000,
       [](const SimResponse& r, const StationSim&) { EXPECT_EQ(r.headers.at("location"), "file:///etc/passwd"); }},
      {"/info.json?fault=type", "", 1 << 20, 5000,
       [](const SimResponse& r, const StationSim&) {
         EXPECT_EQ(r.headers.at("content-type").compare(0, 9, "text/html"), 0);
       }},
      {"/stream/mp3?fault=type&ctype=application/json", "", 20000, 5000,
       [](const SimResponse& r, const StationSim&) { EXPECT_EQ(r.headers.at("content-type"), "application/json"); }},
      {"/stream/mp3?fault=garbage", "", 20000, 5000,
       [](const SimResponse& r, const StationSim&) {
         EXPECT_EQ(r.status, 200);
         EXPECT_EQ(r.body.size(), 20000u);
         EXPECT_EQ(Mp3Frames(r.body), -1);  // not MP3 frames
       }},
      {"/stream/mp3?fault=garbage&metaint=1000", "Icy-MetaData: 1\r\n", 20000, 5000,
       [](const SimResponse& r, const StationSim&) {
         std::string audio;
         std::vector<IcyBlock> blocks;
         ASSERT_TRUE(SplitIcy(r.body, 1000, audio, blocks));  // metadata stays intact
         ASSERT_FALSE(blocks.empty());
         EXPECT_NE(StreamTitleOf(blocks[0].text), "");
         EXPECT_EQ(Mp3Frames(audio), -1);
       }},
      {"/stream/mp3?fault=storm&metaint=1000", "Icy-MetaData: 1\r\n", 30000, 5000,
       [](const SimResponse& r, const StationSim&) {
         std::string audio;
         std::vector<IcyBlock> blocks;
         ASSERT_TRUE(SplitIcy(r.body, 1000, audio, blocks));
         ASSERT_GE(blocks.size(), 10u);
         for (size_t i = 1; i < blocks.size(); i++) {
           EXPECT_NE(StreamTitleOf(blocks[i].text), "");
           EXPECT_NE(blocks[i].text, blocks[i - 1].text);
         }
         EXPECT_GT(Mp3Frames(audio), 10);
       }},
      {"/info.json?fault=endless", "", 1 << 20, 5000,
       [](const SimResponse& r, const StationSim&) {
         EXPECT_EQ(r.headers.count("content-length"), 0u);
         EXPECT_EQ(r.body.size(), 1u << 20);
         EXPECT_FALSE(r.eof);
       }},
      // A stall sends nothing: the read below gives up after 1.5 s with the connection open.
      {"/info.json?fault=stall", "", 1 << 20, 1500,
       [](const SimResponse& r, const StationSim&) {
         EXPECT_EQ(r.error, -1);
         EXPECT_FALSE(r.eof);
       }},
      {"/info.json?fault=stall&n=10", "", 1 << 20, 1500,
       [](const SimResponse& r, const StationSim&) {
         EXPECT_EQ(r.status, 200);
         EXPECT_EQ(r.body.size(), 10u);
         EXPECT_FALSE(r.eof);
       }},
      {"/stream/opus?fault=stall&n=3000", "", 1 << 20, 1500,
       [](const SimResponse& r, const StationSim&) {
         EXPECT_EQ(r.body.size(), 3000u);
         EXPECT_FALSE(r.eof);
       }},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.target);
    const SimResponse r = SimGet(sim.port, c.target, c.headers, c.maxBody, c.idleMs);
    c.check(r, sim);
  }
  // The simulator is still healthy after all of them.
  EXPECT_EQ(SimGet(sim.port, "/info.json").status, 200);
}

// Catches a slow-first-byte fault that answers early (a lower bound only: never flaky).
TEST_F(StationSimFaultTest, SlowFirstByteWaitsBeforeAnswering) {
  const auto t0 = std::chrono::steady_clock::now();
  const SimResponse r = SimGet(sim.port, "/info.json?fault=slow&ms=800");
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(r.status, 200);
  EXPECT_GE(ms, 800);
}

// Catches a rate limit that sends faster than asked (a lower bound only: never flaky).
TEST_F(StationSimFaultTest, RateLimitedDownloadTakesItsTime) {
  const auto t0 = std::chrono::steady_clock::now();
  const SimResponse r = SimGet(sim.port, "/download/setup-small.bin?rate=2048");
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(r.body.size(), 1024u);
  EXPECT_EQ(r.body, SimGet(sim.port, "/download/setup-small.bin").body);
  EXPECT_GE(ms, 400);  // 1024 bytes at 2048 bytes/s, sent in tenths of a second
}

// Catches a fault given on the command line that is not in force from the start.
TEST(StationSimOptions, FaultFromTheCommandLine) {
  StationSim sim;
  ASSERT_TRUE(sim.Start({"--fault", "/info.json=500&times=1", "--no-tls"})) << sim.startError;
  EXPECT_TRUE(sim.caFile.empty());
  EXPECT_EQ(SimGet(sim.port, "/info.json").status, 500);
  EXPECT_EQ(SimGet(sim.port, "/info.json").status, 200);
}

// Catches option checks that let a nonsense value through.
TEST(StationSimOptions, RejectsBadOptionsAndDocumentsThemAll) {
  const std::string bin = StationSimBinary();
  const std::string help = RunCommand("'" + bin + "' --help");
  for (const char* opt : {"--port", "--title-seconds", "--burst", "--metaint", "--variants", "--name", "--legacy",
                          "--fault", "--no-tls", "--tls-dir", "--verbose", "--help"})
    EXPECT_NE(help.find(opt), std::string::npos) << opt;
  for (const char* bad : {"--port 70000", "--title-seconds 0", "--metaint 0", "--variants 9", "--bogus"})
    EXPECT_NE(system(("'" + bin + "' " + bad + " >/dev/null 2>&1").c_str()), 0) << bad;
}

// Catches control-set faults that ignore their path, their count, or being cleared.
TEST_F(StationSimFaultTest, ControlFaultFollowsPathAndCount) {
  ASSERT_EQ(SimGet(sim.port, "/control/fault?path=/info2.json&kind=500&times=2").status, 200);
  EXPECT_EQ(SimGet(sim.port, "/info.json").status, 200);  // another path is untouched
  EXPECT_EQ(SimGet(sim.port, "/info2.json").status, 500);
  EXPECT_EQ(SimGet(sim.port, "/info2.json").status, 500);
  EXPECT_EQ(SimGet(sim.port, "/info2.json").status, 200);

  ASSERT_EQ(SimGet(sim.port, "/control/fault?path=/stream/mp3&kind=close&n=1234").status, 200);
  EXPECT_EQ(SimGet(sim.port, "/stream/mp3").body.size(), 1234u);
  EXPECT_EQ(SimGet(sim.port, "/stream/mp3").body.size(), 1234u);  // until cleared
  ASSERT_EQ(SimGet(sim.port, "/control/fault?path=/stream/mp3&kind=none").status, 200);
  EXPECT_GT(SimGet(sim.port, "/stream/mp3", "", 20000, 5000).body.size(), 1234u);
  EXPECT_EQ(SimGet(sim.port, "/control/fault?path=nopath&kind=500").status, 400);
}

// Catches a flaky fault that fails on the wrong requests.
TEST_F(StationSimFaultTest, FlakyFailsEveryNthRequest) {
  std::vector<int> got;
  for (int i = 0; i < 6; i++) got.push_back(SimGet(sim.port, "/info.json?fault=flaky&n=3").status);
  EXPECT_EQ(got, (std::vector<int>{200, 200, 500, 200, 200, 500}));
}

// Catches a refuse request that leaves the port open, or never reopens it.
TEST_F(StationSimFaultTest, RefuseClosesThePortForAWhile) {
  ASSERT_EQ(SimGet(sim.port, "/control/refuse?ms=1500").status, 200);
  EXPECT_EQ(SimGet(sim.port, "/info.json").error, ECONNREFUSED);
  int status = 0;
  for (int i = 0; i < 200 && status != 200; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    status = SimGet(sim.port, "/info.json").status;
  }
  EXPECT_EQ(status, 200);
}

// Catches a drop that misses a listener, and stats that miscount them.
TEST_F(StationSimFaultTest, DropClosesEveryListener) {
  std::atomic<int> ended{0};
  std::vector<std::thread> listeners;
  for (const char* p : {"/stream/mp3", "/stream/opus", "/live.aac"})
    listeners.emplace_back([&, p] {
      if (SimGet(sim.port, p, "Icy-MetaData: 1\r\n", 64u << 20, 30000).eof) ended++;
    });
  // Wait until all three have audio flowing.
  int flowing = 0;
  for (int i = 0; i < 400 && flowing < 3; i++) {
    const Json s = SimStats(sim.port);
    flowing = 0;
    if (const Json* st = s.Get("streams"))
      for (const Json& l : st->arr) flowing += l.Get("bytes")->num > 10000;
    if (flowing < 3) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(flowing, 3);
  EXPECT_EQ(SimStats(sim.port).Get("listeners")->num, 3);
  Json drop;
  ASSERT_TRUE(ParseJson(SimGet(sim.port, "/control/drop").body, drop));
  EXPECT_EQ(drop.Get("dropped")->num, 3);
  for (auto& t : listeners) t.join();
  EXPECT_EQ(ended, 3);
  const Json after = SimStats(sim.port);
  EXPECT_EQ(after.Get("listeners")->num, 0);
  EXPECT_GT(after.Get("paths")->Get("/stream/mp3")->Get("bytes")->num, 10000);
}

// Catches a listener that stops reading holding up the others.
TEST_F(StationSimFaultTest, SlowListenerDoesNotHoldUpOthers) {
  const int stuck = socket(AF_INET, SOCK_STREAM, 0);
  int small = 4096;
  setsockopt(stuck, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons((uint16_t)sim.port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(stuck, (sockaddr*)&a, sizeof a), 0);
  const std::string req = "GET /stream/mp3 HTTP/1.0\r\n\r\n";
  send(stuck, req.data(), req.size(), MSG_NOSIGNAL);
  // Others still get their burst.
  for (const char* p : {"/stream/mp3", "/stream/aac", "/stream/vorbis"}) {
    const SimResponse r = SimGet(sim.port, p, "", 25000, 10000);
    EXPECT_EQ(r.body.size(), 25000u) << p;
  }
  EXPECT_EQ(SimGet(sim.port, "/info.json").status, 200);
  close(stuck);
}

// Catches a next-title request that does not reach the schedule every listener shares.
TEST_F(StationSimFaultTest, ControlNextChangesTitleForEveryone) {
  Json before = SimStats(sim.port);
  Json next;
  ASSERT_TRUE(ParseJson(SimGet(sim.port, "/control/next").body, next));
  Json after = SimStats(sim.port);
  EXPECT_EQ(after.Get("title")->Get("index")->num, before.Get("title")->Get("index")->num + 1);
  EXPECT_EQ(after.Get("title")->Str("title"), next.Str("title"));
  EXPECT_EQ(after.Get("title")->Str("streamtitle"), next.Str("artist") + " - " + next.Str("title"));
}

}  // namespace
