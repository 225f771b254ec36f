// The player's executable through sleep, network outages and failing rounds: a private
// dbus-daemon is its system bus, a stand-in plays logind and NetworkManager on it, the
// station simulator marks each second of its audio with a tone, and the audio goes to a
// file. What the listener would hear, the simulator's listeners and the debug log tell
// whether the player stopped before the sleep, came back at once to the same stream with
// nothing stale, waited out an outage without walking its list, and spaced its rounds.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <thread>

#include "playback_test_util.h"
#include "station_sim_fixture.h"

#if defined(PLAYER_BINARY) && defined(STAND_IN_BINARY)

extern char** environ;

using namespace playtest;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kTitleSeconds = 5.0;
constexpr int kMarkerSeconds = 40;  // the marker programme's tones repeat after 40 s

struct Child {
  pid_t pid = -1;
  int in = -1;   // its standard input, when piped
  int out = -1;  // its standard output, when piped
  std::string unread;

  ~Child() { Stop(); }
  void Stop() {
    if (in >= 0) close(in);
    in = -1;
    if (pid > 0) {
      kill(pid, SIGTERM);
      int status = 0;
      bool ended = false;
      for (int i = 0; i < 200 && !ended; ++i) {
        ended = waitpid(pid, &status, WNOHANG) == pid;
        if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(25));
      }
      if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
      }
    }
    pid = -1;
    if (out >= 0) close(out);
    out = -1;
  }
  void Send(const std::string& line) {
    ASSERT_EQ(write(in, (line + "\n").data(), line.size() + 1), ssize_t(line.size() + 1));
  }
  // Waits at most ms for a line of its output that starts with prefix.
  bool WaitLine(const std::string& prefix, int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      size_t eol;
      while ((eol = unread.find('\n')) != std::string::npos) {
        std::string line = unread.substr(0, eol);
        unread.erase(0, eol + 1);
        if (line.rfind(prefix, 0) == 0) return true;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p{out, POLLIN, 0};
      if (poll(&p, 1, int(left)) <= 0) continue;
      char b[512];
      ssize_t n = read(out, b, sizeof b);
      if (n <= 0) return false;
      unread.append(b, size_t(n));
    }
  }
};

// Starts a program; with pipes its standard input and output are ours.
bool Spawn(Child& c, const std::vector<std::string>& args, const std::vector<std::string>& env, bool pipes,
           const std::string& errFile = "/dev/null") {
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  int in[2] = {-1, -1}, out[2] = {-1, -1};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (pipes) {
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  } else {
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&fa, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  int r = posix_spawn(&c.pid, argv[0], &fa, nullptr, argv.data(), envp.empty() ? environ : envp.data());
  posix_spawn_file_actions_destroy(&fa);
  if (pipes) {
    close(in[0]);
    close(out[1]);
    c.in = in[1];
    c.out = out[0];
  }
  return r == 0;
}

// A dbus-daemon of our own, with the system bus's name and a policy that lets anyone own
// and call anything.
struct PrivateBus {
  Child daemon;
  std::string address;
  bool Start(const std::string& folder, const std::string& name = "system") {
    const std::string socket = folder + name + "_bus";
    WriteFile(folder + name + ".conf",
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig><type>" +
                  name + "</type><listen>unix:path=" + socket +
                  "</listen><auth>EXTERNAL</auth>"
                  "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
                  "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n");
    if (!Spawn(daemon, {"/usr/bin/dbus-daemon", "--config-file=" + folder + name + ".conf", "--nofork", "--nopidfile"},
               {}, false))
      return false;
    for (int i = 0; i < 200 && !fs::exists(socket); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    address = "unix:path=" + socket;
    return fs::exists(socket);
  }
};

// The programme second the simulator is playing now (the marker's number).
int ProgrammeSecond(int port) {
  SimResponse r = SimGet(port, "/control/stats");
  std::smatch v, e;
  if (!std::regex_search(r.body, v, std::regex("\"variant\": ([0-9]+)")) ||
      !std::regex_search(r.body, e, std::regex("\"elapsed\": ([0-9.]+)")))
    return -1;
  const int perTitle = int(std::ceil(kTitleSeconds));
  return (std::stoi(v[1]) * perTitle + int(std::stod(e[1]))) % kMarkerSeconds;
}

int Listeners(int port) {
  SimResponse r = SimGet(port, "/control/stats");
  std::smatch m;
  if (!std::regex_search(r.body, m, std::regex("\"listeners\": ([0-9]+)"))) return -1;
  return std::stoi(m[1]);
}

// Polls a condition every 20 ms for at most ms.
template <typename F>
bool Within(int ms, F condition) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  do {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (Clock::now() < end);
  return condition();
}

// The marker seconds heard in a capture from frame `first` on: each 20 ms stretch of
// tone whose zero crossings name one marker within a quarter step (a crossing more or
// less is 25 Hz); quiet or uneven stretches (silence, a start, a fade) and stretches
// across a change of second are left out.
std::vector<int> MarkersHeard(const std::string& capture, size_t first) {
  const std::vector<float> s = ReadFrames(capture, first);
  constexpr size_t kWindow = 960;  // 20 ms at 48 kHz
  std::vector<int> heard;
  for (size_t at = 0; at + kWindow <= s.size() / 2; at += kWindow) {
    // The player steers the level towards -23 dBFS, so anything well above silence counts;
    // but a stretch where the sound starts, stops or fades (its halves differ) reads a
    // lower tone than it holds, and is left out.
    const double first = Level(s, at, at + kWindow / 2), second = Level(s, at + kWindow / 2, at + kWindow);
    if (first < -45.0 || second < -45.0 || std::fabs(first - second) > 3.0) continue;
    int crossings = 0;
    for (size_t f = at + 1; f < at + kWindow; ++f) crossings += (s[f * 2] >= 0.0f) != (s[f * 2 - 2] >= 0.0f);
    const double hz = crossings / 2.0 / 0.02;
    const int n = int(std::lround((hz - 500.0) / 100.0));
    if (n < 0 || n >= kMarkerSeconds || std::fabs(hz - (500.0 + 100.0 * n)) > 25.0) continue;
    heard.push_back(n);
  }
  return heard;
}

// Distance from a to b forward round the marker programme.
int Ahead(int a, int b) { return ((b - a) % kMarkerSeconds + kMarkerSeconds) % kMarkerSeconds; }

struct PlayerUnderTest {
  ScratchFolder root;
  PrivateBus bus;
  PrivateBus session;  // the media controls' bus
  Child standIn;
  Child player;
  std::string capture;

  // The player with a station of two streams on the simulator, debug log on.
  bool Start(int port, const std::string& busAddress, const std::string& info) {
    if (!session.Start(root.Path(), "session")) return false;
    InstallPlayer(root.Path(), {{"station.json", OneStationFile(info)}});
    capture = root.Path() + "out.raw";
    std::vector<std::string> env = PlayerEnvironment(root.Path(), "file:" + capture);
    env.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + busAddress);
    env.push_back("DBUS_SESSION_BUS_ADDRESS=" + session.address);
    return Spawn(player, {root.Path() + "app/corvale-player"}, env, false, root.Path() + "stderr.txt");
  }

  std::vector<std::string> Log() const { return LogFolderLines(root.Path() + "logs"); }
  int Count(const std::string& prefix) const {
    int n = 0;
    for (const auto& l : Log()) n += l.rfind(prefix, 0) == 0;
    return n;
  }
  std::string LogText() const {
    std::string all;
    for (const auto& l : Log()) all += l + "\n";
    return all;
  }
  // The title the media controls show now ("" when the player is not on the bus).
  std::string MediaTitle() const {
    std::string command = "gdbus call --address '" + session.address +
                          "' --dest org.mpris.MediaPlayer2.corvaleplayer --object-path /org/mpris/MediaPlayer2 "
                          "--method org.freedesktop.DBus.Properties.Get org.mpris.MediaPlayer2.Player Metadata "
                          "2>/dev/null";
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
      char b[4096];
      size_t n;
      while ((n = fread(b, 1, sizeof b, p)) > 0) out.append(b, n);
      pclose(p);
    }
    std::smatch m;
    if (!std::regex_search(out, m, std::regex("'xesam:title': <'([^']*)'>"))) return "";
    return m[1];
  }
  // The id of the stream the last "Connecting to" line names.
  std::string LastConnect() const {
    std::string id;
    for (const auto& l : Log())
      if (l.rfind("Connecting to \"", 0) == 0) id = l.substr(15, l.find('"', 15) - 15);
    return id;
  }
};

// Brings up bus, stand-in, simulator and player, and waits until it plays. The player is
// given `playerBus` as its system bus instead when one is named.
void BringUp(PlayerUnderTest& t, StationSim& sim, const std::vector<std::string>& standInArgs,
             const std::string& playerBus = "") {
  ASSERT_TRUE(sim.Start({"--title-seconds", "5", "--no-tls", "--marker"})) << sim.startError;
  ASSERT_TRUE(t.bus.Start(t.root.Path()));
  std::vector<std::string> args = {STAND_IN_BINARY, t.bus.address};
  args.insert(args.end(), standInArgs.begin(), standInArgs.end());
  ASSERT_TRUE(Spawn(t.standIn, args, {}, true));
  ASSERT_TRUE(t.standIn.WaitLine("ready", 10000));
  ASSERT_TRUE(t.Start(sim.port, playerBus.empty() ? t.bus.address : playerBus, sim.Url("/info.json?streams=mp3,aac")));
  ASSERT_TRUE(Within(30000, [&] { return t.Count("Playing.") >= 1 && Listeners(sim.port) == 1; })) << t.LogText();
}

}  // namespace

// Catches a player that sleeps with its stream open (or holds the sleep up), comes back
// late, on another stream, with audio from before the sleep, or counts the sleep against
// the stream.
TEST(PlaybackRecovery, SleepStopsTheStreamAndResumeTakesTheSameStreamFresh) {
  StationSim sim;
  PlayerUnderTest t;
  BringUp(t, sim, {});
  if (HasFatalFailure()) return;
  ASSERT_TRUE(t.standIn.WaitLine("inhibit 1", 5000)) << "no delay lock taken at start";
  const std::string before = t.LastConnect();

  t.standIn.Send("sleep");
  EXPECT_TRUE(Within(1000, [&] { return Listeners(sim.port) == 0; })) << "still connected 1 s after the sleep signal";
  EXPECT_TRUE(t.standIn.WaitLine("released 1", 3000)) << "the delay lock was not given up";
  // Asleep: the watchdog's ticks (every 3 s) must not connect anything.
  std::this_thread::sleep_for(std::chrono::seconds(6));
  EXPECT_EQ(Listeners(sim.port), 0) << "connected while asleep";

  const int resumedAt = ProgrammeSecond(sim.port);
  const size_t heardBefore = CapturedFrames(t.capture);
  t.standIn.Send("wake");
  EXPECT_TRUE(Within(1000, [&] { return Listeners(sim.port) == 1; })) << "not reconnected 1 s after the resume";
  EXPECT_TRUE(t.standIn.WaitLine("inhibit 2", 5000)) << "no new delay lock after the resume";
  ASSERT_TRUE(Within(10000, [&] { return t.Count("Playing.") >= 2; })) << t.LogText();
  ASSERT_TRUE(WaitForFrames(t.capture, heardBefore + 3 * 48000));

  EXPECT_EQ(t.LastConnect(), before) << "the resume moved to another stream";
  const std::vector<int> heard = MarkersHeard(t.capture, heardBefore);
  ASSERT_GT(heard.size(), 50u) << "too little tone after the resume to judge";
  // Everything after the resume is from the resume on: the burst runs ahead, never back.
  int stale = 0;
  for (int n : heard) stale += Ahead(resumedAt - 1, n) > 12;
  EXPECT_EQ(stale, 0) << "audio from before the sleep was played after the resume (resumed at second " << resumedAt
                      << ", first heard " << heard.front() << ")";
  EXPECT_EQ(t.Count("Unable to connect"), 0) << t.LogText();
  EXPECT_EQ(t.Count("Waiting "), 0) << t.LogText();
}

// Catches an outage that walks the stream list or counts failures, a return that waits
// for the watchdog, and rounds that do not space out or whose wait a return cannot end.
TEST(PlaybackRecovery, OutageWaitsForTheNetworkAndFailedRoundsBackOff) {
  StationSim sim;
  PlayerUnderTest t;
  BringUp(t, sim, {});
  if (HasFatalFailure()) return;
  const std::string playing = t.LastConnect();

  // The outage: the network goes, then the connection and every new one.
  t.standIn.Send("net 20");
  ASSERT_TRUE(Within(5000, [&] { return t.Count("The network is down.") == 1; })) << t.LogText();
  SimGet(sim.port, "/control/fault?path=/stream/mp3&kind=reset");
  SimGet(sim.port, "/control/fault?path=/stream/aac&kind=reset");
  SimGet(sim.port, "/control/drop");
  ASSERT_TRUE(Within(10000, [&] { return t.Count("Waiting for the network.") >= 1; })) << t.LogText();
  const int connectsInOutage = t.Count("Connecting to");
  // The listener sees why it is quiet.
  EXPECT_TRUE(Within(5000, [&] { return t.MediaTitle() == "Reconnecting"; })) << "media title: " << t.MediaTitle();
  std::this_thread::sleep_for(std::chrono::seconds(8));
  EXPECT_EQ(t.Count("Connecting to"), connectsInOutage) << "the player walked its list with no network";

  SimGet(sim.port, "/control/clear");
  t.standIn.Send("net 70");
  EXPECT_TRUE(Within(1500, [&] { return Listeners(sim.port) == 1; }))
      << "the network's return did not reconnect at once";
  ASSERT_TRUE(Within(10000, [&] { return t.Count("Playing.") >= 2; })) << t.LogText();
  EXPECT_EQ(t.LastConnect(), playing) << "the outage moved the player to another stream";
  EXPECT_TRUE(Within(5000, [&] { return t.MediaTitle() != "Reconnecting"; })) << "still reconnecting when playing";

  // Every stream fails: after each full round the wait doubles.
  SimGet(sim.port, "/control/fault?path=/stream/mp3&kind=404");
  SimGet(sim.port, "/control/fault?path=/stream/aac&kind=404");
  SimGet(sim.port, "/control/drop");
  ASSERT_TRUE(Within(60000, [&] { return t.Count("Waiting 4 s before the next round.") == 1; })) << t.LogText();
  ASSERT_TRUE(Within(60000, [&] { return t.Count("Waiting 8 s before the next round.") == 1; })) << t.LogText();
  std::vector<std::string> log = t.Log();
  const int two = FindLine(log, "Waiting 2 s before the next round.");
  const int four = FindLine(log, "Waiting 4 s before the next round.");
  EXPECT_GE(two, 0);
  EXPECT_GT(four, two);
  // Between two waits, one attempt on each stream of the list.
  int attempts = 0;
  for (int i = two + 1; i < four; ++i) attempts += log[i].rfind("Connecting to", 0) == 0;
  EXPECT_EQ(attempts, 2) << t.LogText();

  // The network's return ends the 8 s wait at once.
  SimGet(sim.port, "/control/clear");
  t.standIn.Send("net 20");
  t.standIn.Send("net 70");
  EXPECT_TRUE(Within(2500, [&] { return Listeners(sim.port) == 1; }))
      << "the round's wait outlasted the network's return";
  ASSERT_TRUE(Within(10000, [&] { return t.Count("Playing.") >= 3; })) << t.LogText();
  if (std::getenv("CORVALE_SHOW_LOG")) std::printf("%s", t.LogText().c_str());
}

// Catches a player that complains, or stops playing, on a system bus without logind or
// NetworkManager, or with no system bus at all.
TEST(PlaybackRecovery, WithoutLogindOrNetworkManagerNothingChanges) {
  struct Case {
    const char* what;
    bool noBus;
    const char* line;
  } cases[] = {
      {"bus without them", false,
       "Sleep not followed (no logind on the system bus), network state from the system's address changes."},
      {"no bus at all", true,
       "Sleep not followed (no logind on the system bus), network state from the system's address changes."},
  };
  for (const Case& c : cases) {
    StationSim sim;
    PlayerUnderTest t;
    BringUp(t, sim, {"--no-logind", "--no-network"}, c.noBus ? "unix:path=" + t.root.Path() + "no-bus" : "");
    if (HasFatalFailure()) return;
    EXPECT_EQ(t.Count(c.line), 1) << c.what << "\n" << t.LogText();
    const std::string errors = ReadFile(t.root.Path() + "stderr.txt");
    EXPECT_EQ(errors.find("DBus"), std::string::npos) << c.what << ": " << errors;
    EXPECT_EQ(errors.find("D-Bus"), std::string::npos) << c.what << ": " << errors;
  }
}

#endif
