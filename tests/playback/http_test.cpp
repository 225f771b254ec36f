// The HTTP fetch into memory: every result code, the buffer limit, redirects, time-outs
// and the progress callback's contract, against a loopback server.
#include <gtest/gtest.h>

#include "loopback_server.h"
#include "station_sim_fixture.h"
#include "playback_test_util.h"

using namespace playtest;

namespace {

struct Fetched {
  int result;
  int64_t size;
  std::string body;
};

Fetched Fetch(const std::string& url, int64_t capacity = 65536, int64_t chunk = 1024, int64_t timeoutMs = 10000) {
  std::vector<char> buffer(size_t(capacity) + 1);
  int64_t size = capacity;
  int r = DownloadToMemory(url, "Corvale Player/5.4", chunk, buffer.data(), size, nullptr, nullptr, timeoutMs);
  return {r, size, std::string(buffer.data(), size_t(size > 0 ? size : 0))};
}

}  // namespace

// Catches wrong result codes for each way a fetch can end.
TEST(DownloadToMemoryTest, ResultCodes) {
  LoopbackServer server;
  server.Ok("/ok", "hello");
  server.Ok("/empty", "");
  server.Ok("/fits", std::string(65536, 'f'));
  server.Ok("/big", std::string(65537, 'b'));
  server.Status("/gone", 404, "Not Found");
  server.Status("/error", 500, "Internal Server Error");
  server.Route("/icy", {"ICY 200 OK\r\nicy-name: Test\r\n\r\nicy body"});
  server.Route("/icy404", {"ICY 404 Resource Not Found\r\n\r\n"});
  server.Route("/redirect", {"HTTP/1.1 302 Found\r\nLocation: /ok\r\nContent-Length: 0\r\n\r\n"});
  server.Route("/redirect-file", {"HTTP/1.1 302 Found\r\nLocation: file:///etc/passwd\r\nContent-Length: 0\r\n\r\n"});
  server.Route("/redirect-ftp", {"HTTP/1.1 302 Found\r\nLocation: ftp://127.0.0.1/x\r\nContent-Length: 0\r\n\r\n"});
  server.Route("/loop", {"HTTP/1.1 302 Found\r\nLocation: /loop\r\nContent-Length: 0\r\n\r\n"});
  server.Route("/nolength", {"HTTP/1.0 200 OK\r\n\r\nuntil the end"});
  struct Case {
    std::string url;
    int result;
    std::string body;
  } cases[] = {
      {server.Url("/ok"), 0, "hello"},
      {server.Url("/empty"), 0, ""},
      {server.Url("/fits"), 0, std::string(65536, 'f')},
      {server.Url("/gone"), kDownloadStatusNot200, ""},
      {server.Url("/error"), kDownloadStatusNot200, ""},
      {server.Url("/icy"), 0, "icy body"},
      {server.Url("/icy404"), kDownloadOpenFailed, ""},
      {server.Url("/redirect"), 0, "hello"},
      {server.Url("/redirect-file"), kDownloadStatusNot200, ""},
      {server.Url("/redirect-ftp"), kDownloadStatusNot200, ""},
      {server.Url("/loop"), kDownloadOpenFailed, ""},
      {server.Url("/nolength"), 0, "until the end"},
      {"HTTP://127.0.0.1:" + std::to_string(server.Port()) + "/ok", 0, "hello"},
      {"http://127.0.0.1:1/refused", kDownloadOpenFailed, ""},
      {"ftp://127.0.0.1/x", kDownloadBadProtocol, ""},
      {"file:///etc/passwd", kDownloadBadProtocol, ""},
      {"", kDownloadBadProtocol, ""},
  };
  for (const Case& c : cases) {
    Fetched f = Fetch(c.url);
    EXPECT_EQ(f.result, c.result) << c.url;
    EXPECT_EQ(f.body, c.body) << c.url;
  }
  Fetched big = Fetch(server.Url("/big"));
  EXPECT_EQ(big.result, kDownloadTooLarge);
  EXPECT_LE(big.size, 65536);
  EXPECT_EQ(Fetch(server.Url("/ok"), 65536, 0).result, kDownloadNoMemory);
}

// Catches a fetch that hangs on a server that stops sending, or reports it as success.
TEST(DownloadToMemoryTest, StallsEndWithinTheTimeout) {
  LoopbackServer server;
  server.Route("/stall", {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789", 20000});
  server.Route("/silent", {"", 20000, true});
  Fetched stall = Fetch(server.Url("/stall"), 65536, 1024, 1000);
  EXPECT_EQ(stall.result, kDownloadReadFailed);
  EXPECT_EQ(stall.body, "0123456789");
  Fetched silent = Fetch(server.Url("/silent"), 65536, 1024, 1000);
  EXPECT_EQ(silent.result, kDownloadOpenFailed);
  EXPECT_EQ(silent.size, 0);
}

// Catches a fetch without an overall deadline: a server that sends a byte every so
// often never trips the idle check and would hold the caller for minutes.
TEST(DownloadToMemoryTest, TrickleEndsAtTheDeadline) {
  LoopbackServer server;
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 60\r\n\r\n";
  LoopbackServer::Reply trickle{head + std::string(60, 'x')};
  // The head and the first byte at once, so the fetch sees data flowing; then a byte every
  // 300 ms, about 18 s for the body, each gap well under the time-out.
  trickle.trickleAfter = head.size() + 1;
  trickle.trickleMs = 300;
  server.Route("/trickle", trickle);
  Fetched f = Fetch(server.Url("/trickle"), 65536, 1024, 1500);
  EXPECT_NE(f.result, 0);
  EXPECT_LT(f.size, 60);
}

// Catches an https fetch that follows a redirect to clear text; an https-to-https
// redirect is still followed.
TEST(DownloadToMemoryTest, HttpsNeverRedirectsToHttp) {
  StationSim sim;
  ASSERT_TRUE(sim.Start()) << sim.startError;
  setenv("SSL_CERT_FILE", sim.caFile.c_str(), 1);
#ifdef _WIN32
  // Windows' certificate checks match a host name, not an address: the fetch and the
  // redirect's target go by name.
  const std::string site = "https://localhost:" + std::to_string(sim.port);
  Fetched same = Fetch(site + "/info.json?fault=redirect&to=" + site + "/info.json");
  Fetched down = Fetch(site + "/info.json?fault=redirect-http");
#else
  Fetched same = Fetch(sim.HttpsUrl("/info.json?fault=redirect"));
  Fetched down = Fetch(sim.HttpsUrl("/info.json?fault=redirect-http"));
#endif
  unsetenv("SSL_CERT_FILE");
  EXPECT_EQ(same.result, 0);
  EXPECT_NE(down.result, 0);
  EXPECT_EQ(down.size, 0);
}

namespace {

struct Progress {
  std::vector<int64_t> totals, offsets, counts;
  int64_t stopAtBlock = -1;  // return fewer bytes at this block
  int64_t shortBy = 0;
};

int64_t OnBlock(int64_t total, int64_t received, int64_t count, const void*, void* user) {
  auto& p = *static_cast<Progress*>(user);
  p.totals.push_back(total);
  p.offsets.push_back(received);
  p.counts.push_back(count);
  if (int64_t(p.counts.size()) - 1 == p.stopAtBlock) return count - p.shortBy;
  return count;
}

}  // namespace

// Catches blocks larger than chunkSize, gaps in the offsets, a wrong total, and an abort
// that stores too much or reports success.
TEST(DownloadToMemoryTest, CallbackContract) {
  LoopbackServer server;
  std::string body;
  for (int i = 0; i < 5000; ++i) body += char('a' + i % 26);
  server.Ok("/body", body);
  server.Route("/nolength", {"HTTP/1.0 200 OK\r\n\r\n" + body});

  Progress all;
  std::vector<char> buffer(65536);
  int64_t size = int64_t(buffer.size());
  EXPECT_EQ(DownloadToMemory(server.Url("/body"), "ua", 1024, buffer.data(), size, OnBlock, &all, 10000), 0);
  EXPECT_EQ(size, 5000);
  EXPECT_EQ(std::string(buffer.data(), 5000), body);
  int64_t next = 0;
  for (size_t i = 0; i < all.counts.size(); ++i) {
    EXPECT_LE(all.counts[i], 1024);
    EXPECT_GT(all.counts[i], 0);
    EXPECT_EQ(all.offsets[i], next);
    EXPECT_EQ(all.totals[i], 5000);
    next += all.counts[i];
  }
  EXPECT_EQ(next, 5000);

  Progress unknown;
  size = int64_t(buffer.size());
  EXPECT_EQ(DownloadToMemory(server.Url("/nolength"), "ua", 1024, buffer.data(), size, OnBlock, &unknown, 10000), 0);
  ASSERT_FALSE(unknown.totals.empty());
  EXPECT_EQ(unknown.totals[0], 0);

  Progress abort;
  abort.stopAtBlock = 1;
  abort.shortBy = 24;
  size = int64_t(buffer.size());
  EXPECT_EQ(DownloadToMemory(server.Url("/body"), "ua", 1024, buffer.data(), size, OnBlock, &abort, 10000),
            kDownloadAborted);
  EXPECT_EQ(size, abort.counts[0] + abort.counts[1] - 24);
  EXPECT_EQ(abort.counts.size(), 2u);
}
