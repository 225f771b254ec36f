// The desktop's sound server: a PulseAudio server of the test's own with a null sink
// plays the station simulator's stream through the real audio library and the player's
// worker; parec records the sink's monitor, so the test hears what the desktop would.
// The server is then killed mid-stream and brought back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "playback/bass_api.h"
#include "playback_test_util.h"
#include "runtime/runtime.h"
#include "station_sim_fixture.h"

extern char** environ;

using namespace playtest;

namespace {

constexpr int kRate = 48000;  // the null sink and the recording run at the mixer's rate

// Starts a child with the environment changed by `overrides` ("NAME=value"); its output
// goes to outPath.
pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& overrides,
            const std::string& outPath) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const std::string& o : overrides)
      replaced = replaced || entry.compare(0, o.find('=') + 1, o, 0, o.find('=') + 1) == 0;
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), overrides.begin(), overrides.end());
  std::vector<char*> envp, argv;
  for (std::string& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> a = args;
  for (std::string& s : a) argv.push_back(s.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&fa, 2, (outPath + ".err").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  return pid;
}

void Reap(pid_t& pid, int signal) {
  if (pid <= 0) return;
  kill(pid, signal);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

// The output of a short command run with the test's environment (PULSE_SERVER set).
std::string Command(const std::string& command) {
  std::string out;
  if (FILE* p = popen((command + " 2>&1").c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

// A PulseAudio server as the test's user, in its own runtime folder, with a null sink
// "capture" and an anonymous socket.
class PulseServer {
 public:
  explicit PulseServer(const std::string& folder) : folder_(folder) {
    std::filesystem::create_directories(folder_ + "run/pulse");
    std::filesystem::create_directories(folder_ + "home");
    std::filesystem::permissions(folder_ + "run", std::filesystem::perms::owner_all);
    WriteFile(folder_ + "pulse.pa",
              "load-module module-null-sink sink_name=capture rate=48000 channels=2\n"
              "load-module module-native-protocol-unix auth-anonymous=1 socket=" +
                  Socket() + "\nset-default-sink capture\n");
  }
  ~PulseServer() { Kill(); }
  std::string Socket() const { return folder_ + "run/pulse/native"; }

  // "" when it answers, else why not.
  std::string Start() {
    if (access("/usr/bin/pulseaudio", X_OK) != 0 || access("/usr/bin/parec", X_OK) != 0)
      return "pulseaudio and pulseaudio-utils are not installed (scripts/install-deps.sh installs them)";
    // As root the server only warns; --system=false keeps it a per-user server.
    pid_ = Spawn({"pulseaudio", "--daemonize=no", "--system=false", "-n", "-F", folder_ + "pulse.pa",
                  "--exit-idle-time=-1", "--use-pid-file=no", "--log-target=stderr"},
                 {"XDG_RUNTIME_DIR=" + folder_ + "run", "PULSE_RUNTIME_PATH=" + folder_ + "run/pulse",
                  "HOME=" + folder_ + "home"},
                 folder_ + "server.log");
    if (pid_ <= 0) return "cannot start pulseaudio";
    for (int i = 0; i < 100; ++i) {
      if (Command("pactl info").find("Default Sink: capture") != std::string::npos) return "";
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return "pulseaudio ended at once: " + ReadFile(folder_ + "server.log.err");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    Kill();
    return "pulseaudio did not answer: " + ReadFile(folder_ + "server.log.err");
  }
  // The server goes away as a crashed one does.
  void Kill() {
    Reap(pid_, SIGKILL);
    std::filesystem::remove(Socket());
  }

 private:
  std::string folder_;
  pid_t pid_ = -1;
};

// Records the null sink's monitor as stereo float frames.
std::vector<float> Record(const std::string& path, int ms) {
  pid_t pid = Spawn(
      {"parec", "-d", "capture.monitor", "--format=float32le", "--rate=48000", "--channels=2", "--latency-msec=20"}, {},
      path);
  if (pid <= 0) return {};
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  Reap(pid, SIGTERM);
  const std::string bytes = ReadFile(path);
  std::vector<float> frames(bytes.size() / (2 * sizeof(float)) * 2);
  std::memcpy(frames.data(), bytes.data(), frames.size() * sizeof(float));
  return frames;
}

// RMS referred to a full-scale sine, as the station states loudness; -200 for silence.
double Level(const std::vector<float>& s) {
  double sum = 0.0;
  for (float v : s) sum += double(v) * v;
  const double ms = s.empty() ? 0.0 : sum / double(s.size());
  return ms > 0.0 ? 20.0 * std::log10(std::sqrt(2.0 * ms)) : -200.0;
}

int CountLines(LogCapture& log, const std::string& line) {
  int n = 0;
  for (const std::string& l : log.Lines()) n += l == line;
  return n;
}

bool HasLineStarting(LogCapture& log, const std::string& start, int from) {
  std::vector<std::string> lines = log.Lines();
  for (size_t i = size_t(from); i < lines.size(); ++i)
    if (lines[i].compare(0, start.size(), start) == 0) return true;
  return false;
}

void WaitForWorker() {
  for (int i = 0; i < 3000 && (gPlayer.connecting.load() != 0 || IsThread(gPlayer.workerThread.load())); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace

class PulseOutput : public PlayerEnv {
 protected:
  static void SetUpTestSuite() {
    folder_ = new ScratchFolder;
    server_ = new PulseServer(folder_->Path());
    sim_ = new StationSim;
    // One long title, so the level measured is of one piece of music.
    if (!sim_->Start({"--title-seconds", "60", "--no-tls"})) error_ = "station-sim: " + sim_->startError;
    setenv("PULSE_SERVER", ("unix:" + server_->Socket()).c_str(), 1);
    if (error_.empty()) skip_ = server_->Start();
    if (error_.empty() && !AudioLibraryLoaded() && !LoadAudioLibrary(std::string(TEST_DATA_DIR) + kAudioLibraryFile))
      error_ = "cannot load the audio library from " TEST_DATA_DIR;
  }
  static void TearDownTestSuite() {
    StopStream();
    WaitForWorker();
    SetAudioOutput(0);
    unsetenv("PULSE_SERVER");
    setenv("CORVALE_AUDIO_OUTPUT", "null", 1);
    delete sim_;
    delete server_;
    delete folder_;
  }

  void SetUp() override {
    ASSERT_EQ(error_, "");
    if (!skip_.empty()) GTEST_SKIP() << skip_;
    gStation.infoUrls = {sim_->Url("/info.json?streams=opus,vorbis")};
  }
  void TearDown() override {
    StopStream();
    WaitForWorker();
  }

  // Opens the output as the player does at start-up (whatever was open before is closed).
  std::string OpenOutput(const char* output) {
    if (output)
      setenv("CORVALE_AUDIO_OUTPUT", output, 1);
    else
      unsetenv("CORVALE_AUDIO_OUTPUT");
    if (gBass.BASS_Free) gBass.BASS_Free();
    gPlayer.audioReady = 0;
    return ConfigureAudioLibrary(TEST_DATA_DIR, "Corvale Player/5.4");
  }

  // Starts the worker and waits for the given count of "Playing." lines.
  bool WaitPlaying(LogCapture& log, int count, bool watchdog) {
    for (int i = 0; i < 600; ++i) {
      if (CountLines(log, "Playing.") >= count) return true;
      // The main loop's reconnect timer, at its own pace.
      if (watchdog && i % 30 == 0) WatchdogTick();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  // The level of what the sink plays must be the station's loudness at the volume.
  void ExpectStationLevel(float volume, const std::string& tag) {
    const std::vector<float> heard = Record(folder_->Path() + tag + ".raw", 3000);
    ASSERT_GT(heard.size(), size_t(kRate)) << "parec recorded nothing";
    SimResponse stats = SimGet(sim_->port, "/control/stats");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(stats.body, m, std::regex("\"loudness\": (-?[0-9.]+)"))) << stats.body;
    const double expected = std::stod(m[1]) + 20.0 * std::log10(double(volume));
    RecordProperty(tag + "_level", std::to_string(Level(heard)));
    RecordProperty(tag + "_expected", std::to_string(expected));
    EXPECT_NEAR(Level(heard), expected, 2.0);
  }

  static ScratchFolder* folder_;
  static PulseServer* server_;
  static StationSim* sim_;
  static std::string error_, skip_;
  ScratchPlayerFolders folders_;
};

ScratchFolder* PulseOutput::folder_ = nullptr;
PulseServer* PulseOutput::server_ = nullptr;
StationSim* PulseOutput::sim_ = nullptr;
std::string PulseOutput::error_, PulseOutput::skip_;

// Catches a default output that ignores a running sound server, a stream the desktop's
// mixer cannot name (application, icon, role), a buffer far from the ~100 ms asked for,
// and sound that reaches the server at another level than the volume says.
TEST_F(PulseOutput, DefaultOutputPlaysThroughTheServerByName) {
  ASSERT_EQ(OpenOutput(nullptr), "");
  LogCapture log;
  StreamInfoWorker(kStreamInfoStartup);
  StartPlaybackWorker(WorkerStart::kReconnectCurrent);
  // The simulator encodes a codec's first stream on demand: a slow first attempt is
  // retried by the watchdog, as in the player.
  ASSERT_TRUE(WaitPlaying(log, 1, true)) << ::testing::PrintToString(log.Lines());
  const float volume = 0.5f;
  SetVolume(volume, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));

  const std::string inputs = Command("pactl list sink-inputs");
  RecordProperty("sink_inputs", inputs);
  for (const char* property : {"application.name = \"Corvale Player\"", "media.name = \"Corvale Player\"",
                               "application.icon_name = \"corvale-player\"", "media.role = \"music\""})
    EXPECT_NE(inputs.find(property), std::string::npos) << property << "\n" << inputs;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(inputs, m, std::regex("Buffer Latency: ([0-9]+) usec"))) << inputs;
  const long bufferUs = std::stol(m[1]);
  EXPECT_GT(bufferUs, 20000);
  EXPECT_LT(bufferUs, 400000);

  ExpectStationLevel(volume, "default");
}

// Catches a vanished server that goes unnoticed (no device failure, the player silent
// for good), and an output that is never reopened once the server is back.
TEST_F(PulseOutput, ServerLossFailsTheDeviceAndTheWatchdogReconnects) {
  ASSERT_EQ(OpenOutput("pulse"), "");
  LogCapture log;
  StreamInfoWorker(kStreamInfoStartup);
  StartPlaybackWorker(WorkerStart::kReconnectCurrent);
  ASSERT_TRUE(WaitPlaying(log, 1, true)) << ::testing::PrintToString(log.Lines());
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  const int before = int(log.Lines().size());

  server_->Kill();
  // Only the device-failure sync can start this attempt: the watchdog is not run here.
  bool failed = false;
  for (int i = 0; i < 200 && !failed; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    failed = HasLineStarting(log, "Unable to connect, ", before);
  }
  ASSERT_TRUE(failed) << "no connection attempt after the server went away";
  EXPECT_TRUE(HasLineStarting(log, "Connecting to ", before));
  WaitForWorker();
  EXPECT_EQ(gPlayer.audioReady.load(), 0) << "the output claims to be open without a server";

  ASSERT_EQ(server_->Start(), "");
  ASSERT_TRUE(WaitPlaying(log, 2, true)) << "no playback after the server came back";
  EXPECT_EQ(gPlayer.audioReady.load(), 1);
  SetVolume(1.0f, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_NE(Command("pactl list sink-inputs").find("application.name = \"Corvale Player\""), std::string::npos);
  ExpectStationLevel(1.0f, "after");
}
