// The player's binding to the audio library: the loader's version check, the error
// texts and the start-up configuration.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>

#include "playback/bass_api.h"
#include "playback/playback.h"
#include "portable.h"

namespace fs = std::filesystem;

namespace {

// A data folder holding a copy of the stand-in library of that version under the
// library's name. The folder's name is not ASCII, as a user's folder may not be: the
// loader must pass it on as UTF-8 (as UTF-16 on Windows).
std::string FolderWithVersion(const std::string& version) {
  const std::string dir = TempFile("corvale-bass-\xC3\xA9-" + version + "-" + std::to_string(ProcessId())) + "/";
  fs::create_directories(FsPath(dir));
  fs::copy_file(std::string(FAKE_BASS_PREFIX) + version + FAKE_BASS_SUFFIX, FsPath(dir + kAudioLibraryFile),
                fs::copy_options::overwrite_existing);
  return dir;
}

}  // namespace

// Catches a version check that accepts another major/minor version or an old 2.4.
TEST(AudioBinding, VersionCheckRefusesOtherVersions) {
  UnloadAudioLibrary();
  for (const char* version : {"02040900", "020409FF", "02050000", "02030000"}) {
    const std::string dir = FolderWithVersion(version);
    EXPECT_EQ(StartAudioLibrary(dir, "Corvale Player/5.4"), "BASS v2.4 needed!" + dir) << version;
    EXPECT_EQ(AudioLibraryLoaded(), 0) << version;
    EXPECT_EQ(gBass.BASS_GetVersion, nullptr);
    fs::remove_all(FsPath(dir));
  }
}

// Catches a check that demands more than 2.4.10.0, or a loader that loads twice.
TEST(AudioBinding, VersionCheckAcceptsTwoFourTen) {
  UnloadAudioLibrary();
  const std::string dir = FolderWithVersion("02040A00");
  EXPECT_EQ(LoadAudioLibrary(dir + kAudioLibraryFile), 1);
  EXPECT_EQ(gBass.BASS_GetVersion(), 0x02040A00u);
  EXPECT_EQ(LoadAudioLibrary(dir + kAudioLibraryFile), 0);  // one library per process
  UnloadAudioLibrary();
  EXPECT_EQ(gBass.BASS_GetVersion, nullptr);
  fs::remove_all(FsPath(dir));
}

// Catches a missing library that is not reported with the data folder.
TEST(AudioBinding, MissingLibraryNamesTheFolder) {
  UnloadAudioLibrary();
  const std::string dir = "/nonexistent/corvale/data/";
  EXPECT_EQ(StartAudioLibrary(dir, "x"), "BASS v2.4 needed!" + dir);
}

// Catches wrong texts or codes in the error table, and code 0 not asking the library.
TEST(AudioBinding, ErrorTexts) {
  if (!AudioLibraryLoaded()) {
    ASSERT_EQ(LoadAudioLibrary(DataDir() + kAudioLibraryFile), 1);
  }
  ASSERT_TRUE(gBass.BASS_SetConfig(BASS_CONFIG_BUFFER, 500));
  EXPECT_EQ(AudioErrorText(0), "BASS: OK! (error 0)");
  EXPECT_FALSE(gBass.BASS_SetConfig(12345, 1));
  EXPECT_EQ(AudioErrorText(0), "BASS: An illegal parameter was specified! (error 20)");
  EXPECT_EQ(AudioErrorText(10), "BASS: Unexpected! (error 10)");
  EXPECT_EQ(AudioErrorText(-1), "BASS: Unknown! (error -1)");
  EXPECT_EQ(AudioErrorText(41), "BASS: Unsupported file format! (error 41)");
  EXPECT_EQ(AudioErrorText(40), "BASS: Connection timed out! (error 40)");
}

// Catches a start-up sequence that fails on a working library or leaves the output
// closed, and add-ons that are not loaded from the data folder.
TEST(AudioBinding, StartUpConfiguresTheLibrary) {
  setenv("CORVALE_AUDIO_OUTPUT", "null", 1);
  if (!AudioLibraryLoaded()) {
    ASSERT_EQ(LoadAudioLibrary(DataDir() + kAudioLibraryFile), 1);
  }
  EXPECT_EQ(ConfigureAudioLibrary(DataDir(), "Corvale Player/5.4"), "");
  EXPECT_EQ(gPlayer.audioReady.load(), 1);
  EXPECT_EQ(gBass.BASS_GetConfig(BASS_CONFIG_NET_READTIMEOUT), 1000u);
  EXPECT_EQ(gBass.BASS_GetConfig(BASS_CONFIG_NET_BUFFER), 1000u);
  EXPECT_EQ(gBass.BASS_GetConfig(BASS_CONFIG_AAC_MP4), 1u);  // known only with the AAC add-on
  // Closing and opening the output again works, as the playback worker does after -1.
  EXPECT_EQ(SetAudioOutput(0), 0);
  EXPECT_EQ(SetAudioOutput(1), 1);
  // Opening an open output keeps it open and says so.
  EXPECT_EQ(SetAudioOutput(1), 1);
  EXPECT_EQ(SetAudioOutput(0), 0);
  EXPECT_FALSE(gBass.BASS_Free());  // really closed
}

// Catches an output failure reported as success (no sound device behind "default").
TEST(AudioBinding, UnopenableOutputIsReported) {
  setenv("CORVALE_AUDIO_OUTPUT", "file:/nonexistent-dir/x.wav", 1);
  if (!AudioLibraryLoaded()) {
    ASSERT_EQ(LoadAudioLibrary(DataDir() + kAudioLibraryFile), 1);
  }
  EXPECT_EQ(SetAudioOutput(1), 0);
  EXPECT_EQ(gPlayer.audioReady.load(), 0);
  EXPECT_EQ(AudioErrorText(0), "BASS: Can't find a free/valid driver! (error 3)");
  setenv("CORVALE_AUDIO_OUTPUT", "null", 1);
}

// Catches a wrong row in the table of global options: a value stored outside its limits,
// a flag kept as its raw value, the read-only float option made settable, an unknown
// option answered.
TEST(AudioOptions, LimitsAndKinds) {
  if (!AudioLibraryLoaded()) {
    ASSERT_EQ(LoadAudioLibrary(DataDir() + kAudioLibraryFile), 1);
  }
  struct Case {
    DWORD option, value, stored;
  } cases[] = {
      {BASS_CONFIG_BUFFER, 1, 10},          {BASS_CONFIG_BUFFER, 99999, 5000},
      {BASS_CONFIG_NET_BUFFER, 5, 100},     {BASS_CONFIG_NET_BUFFER, 70000, 60000},
      {BASS_CONFIG_NET_PREBUF, 250, 100},   {BASS_CONFIG_CURVE_VOL, 7, 1},
      {BASS_CONFIG_CURVE_VOL, 0, 0},        {BASS_CONFIG_NET_TIMEOUT, 123456, 123456},
      {BASS_CONFIG_VERIFY, 70000, 70000},   {BASS_CONFIG_UNICODE, 2, 1},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(gBass.BASS_SetConfig(c.option, c.value)) << c.option;
    EXPECT_EQ(gBass.BASS_GetConfig(c.option), c.stored) << c.option << " = " << c.value;
  }
  EXPECT_FALSE(gBass.BASS_SetConfig(BASS_CONFIG_FLOAT, 0));
  EXPECT_EQ(gBass.BASS_GetConfig(BASS_CONFIG_FLOAT), 1u);
  EXPECT_EQ(gBass.BASS_GetConfig(12345), DWORD(-1));
  // Back to the library's own values for the tests that follow.
  for (auto [option, value] : {std::pair<DWORD, DWORD>{BASS_CONFIG_BUFFER, 500}, {BASS_CONFIG_NET_BUFFER, 5000},
                               {BASS_CONFIG_NET_PREBUF, 75}, {BASS_CONFIG_NET_TIMEOUT, 5000},
                               {BASS_CONFIG_VERIFY, 16000}, {BASS_CONFIG_UNICODE, 0}})
    gBass.BASS_SetConfig(option, value);
}
