// The network's state and its watch: the first answer, the one-watch rule, and (on Linux,
// in a network namespace of our own where links can be made without root) the changes a
// link brings when it comes and goes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include "platform/platform.h"
#include "poll_within.h"

namespace {

std::atomic<int> gCalls{0};
std::atomic<int> gLast{-1};
void Remember(int up) {
  gLast = up;
  ++gCalls;
}

}  // namespace

// Catches a watch that says nothing until something changes (the player would not know
// the state it starts in), a second watch beside the first, and a stop that leaves the
// thread behind (a restart would then fail).
TEST(NetworkWatch, TellsTheStateAtOnceAndRunsOnce) {
  gCalls = 0;
  gLast = -1;
  ASSERT_EQ(StartNetworkWatch(Remember), 1);
  EXPECT_TRUE(Within(5000, [] { return gCalls.load() >= 1; }));
  EXPECT_EQ(gLast.load(), NetworkIsUp());
  EXPECT_EQ(StartNetworkWatch(Remember), 0);
  StopNetworkWatch();
  const int calls = gCalls.load();
  ASSERT_EQ(StartNetworkWatch(Remember), 1);
  EXPECT_TRUE(Within(5000, [&] { return gCalls.load() > calls; }));
  StopNetworkWatch();
  EXPECT_EQ(StartNetworkWatch(nullptr), 0);
}

#ifndef _WIN32

namespace {

int Shell(const std::string& command) { return std::system(command.c_str()); }

}  // namespace

// Runs inside a fresh user and network namespace (started by the test below): only a
// loopback there, so the network is down; a veth pair with an address brings it up, and
// taking the link down takes it away again.
TEST(NetworkWatchInNamespace, FollowsALinkComingAndGoing) {
  if (!std::getenv("CORVALE_NETWORK_NAMESPACE")) GTEST_SKIP() << "runs only inside the namespace test";
  gCalls = 0;
  gLast = -1;
  ASSERT_EQ(NetworkIsUp(), 0) << "a fresh namespace has only its loopback";
  ASSERT_EQ(StartNetworkWatch(Remember), 1);
  ASSERT_TRUE(Within(5000, [] { return gCalls.load() == 1; }));
  EXPECT_EQ(gLast.load(), 0);
  ASSERT_EQ(Shell("ip link add v0 type veth peer name v1 && ip addr add 10.9.9.9/24 dev v0 && ip link set v1 up && "
                  "ip link set v0 up"),
            0);
  EXPECT_TRUE(Within(5000, [] { return gLast.load() == 1; })) << "the link's coming was not told";
  ASSERT_EQ(Shell("ip link set v0 down"), 0);
  EXPECT_TRUE(Within(5000, [] { return gLast.load() == 0; })) << "the link's going was not told";
  // A change that leaves the state as it was is not told again.
  const int calls = gCalls.load();
  ASSERT_EQ(Shell("ip link set v1 down"), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_EQ(gCalls.load(), calls);
  StopNetworkWatch();
}

// Starts this test program again in a namespace of its own (unshare -rn needs no root),
// running only the test above.
TEST(NetworkWatch, FollowsTheKernelsChangesInANamespace) {
  if (std::getenv("CORVALE_NETWORK_NAMESPACE")) GTEST_SKIP();
  if (Shell("unshare -rn ip link add v0 type veth peer name v1 >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "no user and network namespaces with veth links here";
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = 0;
  std::vector<std::string> args = {"/usr/bin/unshare", "-rn", self,
                                   "--gtest_filter=NetworkWatchInNamespace.FollowsALinkComingAndGoing"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.push_back(*e);
  env.push_back("CORVALE_NETWORK_NAMESPACE=1");
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the test inside the namespace failed";
}

#endif
