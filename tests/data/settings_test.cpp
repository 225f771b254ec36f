// The settings file: the written layout, reading with its rejections and validation,
// the upgrade save and the change detection.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "data_env.h"
#include "platform/platform.h"
#include "playback/playback.h"

using datatest::DataEnv;
using datatest::ReadFile;
namespace fs = std::filesystem;

namespace {

class SettingsFile : public DataEnv {
 protected:
  void SetUp() override {
    DataEnv::SetUp();
    InstallDefaults();
  }
  std::string SettingsPath() const { return userFolder + "settings.json"; }
  std::unique_ptr<JsonDocument> Written() const { return LoadJsonFile(SettingsPath()); }
};

// The defaults as written, byte for byte against the reviewed file.
TEST_F(SettingsFile, DefaultsMatchTheReviewedFile) {
  MakeUserFolder();
  ASSERT_EQ(SaveSettings(0, 1), 1);
  EXPECT_EQ(ReadFile(SettingsPath()), ReadFile(datatest::FixturePath("settings_defaults.json")));
}

// Catches validation skipped, done in the wrong order, or applied to the wrong field, and
// a loudness measure other than the two names (or not a string) taken as EBU R128.
TEST_F(SettingsFile, ValidationOfVolumeFields) {
  struct Case {
    const char* volume;
    int64_t preset;
    float preset1, preset2;
    float factor;
    int64_t measure = MeasureRms;
  } cases[] = {
      {R"({"preset1":0,"preset2":1.5})", 1, 0.01f, 1.0f, 0.01f},
      {R"({"preset":7,"preset1":0.3,"preset2":0.2})", 2, 0.3f, 0.2f, 0.2f},
      {R"({"preset":-1,"preset1":-5,"preset2":0.009})", 0, 0.01f, 0.01f, 1.0f},
      {R"({"preset":0,"preset1":1e300,"preset2":-1e300})", 0, 1.0f, 0.01f, 1.0f},
      {R"({"preset":2.9,"preset1":0.01,"preset2":1})", 2, 0.01f, 1.0f, 1.0f},
      {R"({"preset":"2","preset1":"0.5","preset2":true})", 1, 1.0f, 0.5f, 1.0f},
      {R"({"measure":"r128"})", 1, 1.0f, 0.5f, 1.0f, MeasureR128},
      {R"({"measure":"rms","preset":0})", 0, 1.0f, 0.5f, 1.0f, MeasureRms},
      {R"({"measure":"R128"})", 1, 1.0f, 0.5f, 1.0f, MeasureRms},
      {R"({"measure":"r128 "})", 1, 1.0f, 0.5f, 1.0f, MeasureRms},
      {R"({"measure":"ebu"})", 1, 1.0f, 0.5f, 1.0f, MeasureRms},
      {R"({"measure":1})", 1, 1.0f, 0.5f, 1.0f, MeasureRms},
      {R"({"measure":["r128"]})", 1, 1.0f, 0.5f, 1.0f, MeasureRms},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.volume);
    MakeUserFolder();
    datatest::WriteFile(SettingsPath(), std::string(R"({"program":{"id":"{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}",)") +
                                            R"("version":"5.4"},"volume":)" + c.volume + "}");
    ResetSettings();
    EXPECT_EQ(datatest::LoadResult(), 1);
    EXPECT_EQ(gSettings.preset, c.preset);
    EXPECT_EQ(gSettings.preset1, c.preset1);
    EXPECT_EQ(gSettings.preset2, c.preset2);
    EXPECT_EQ(SettingsVolumeFactor(), c.factor);
    EXPECT_EQ(gSettings.measure, c.measure);
  }
}

// Catches members of the wrong kind read as values (true as 1, "0" as 0) and
// out-of-range positions wrapped instead of clamped.
TEST_F(SettingsFile, WrongKindsReadAsDefaults) {
  InstallUser("settings_wrong_kinds.json", "settings.json");
  EXPECT_EQ(datatest::LoadResult(), 1);
  EXPECT_EQ(gSettings.versionCheck, 1);  // "0" is a string
  EXPECT_EQ(gSettings.streamInfo, 1);    // true is not a number
  EXPECT_EQ(gSettings.trayIcon, 1);
  EXPECT_EQ(gSettings.artwork, 1);
  EXPECT_EQ(gSettings.bitrate, 96);  // a fraction truncates
  EXPECT_EQ(gSettings.GetCodec(), "");
  EXPECT_EQ(gSettings.muted, 0);
  EXPECT_EQ(gSettings.preset, 2);
  EXPECT_EQ(gSettings.preset1, 0.01f);
  EXPECT_EQ(gSettings.preset2, 1.0f);
  EXPECT_EQ(gSettings.hotkey, 0);
  EXPECT_EQ(gSettings.measure, MeasureRms);  // 1 is a number, not the name "r128"
  EXPECT_EQ(gSettings.mainX, INT32_MAX);
  EXPECT_EQ(gSettings.mainY, INT32_MIN);
  EXPECT_EQ(gSettings.mainSticky, 0);
  EXPECT_EQ(gSettings.statsX, kNoPosition);  // "stats" is an array
  EXPECT_EQ(gSettings.infoW, 640);
  EXPECT_EQ(gSettings.infoH, 480);
  EXPECT_EQ(gSettings.infoState, 1);
  EXPECT_EQ(gSettings.infoX, kNoPosition);
  EXPECT_EQ(gSettings.debugShow, 0);  // "debug" is a string
  EXPECT_EQ(gSettings.debugX, kNoPosition);
}

// Catches an older file that is not upgraded, or upgraded with lost values.
TEST_F(SettingsFile, Version53IsReadAndRewritten) {
  InstallUser("settings_5_3.json", "settings.json");
  EXPECT_EQ(datatest::LoadResult(), 1);
  EXPECT_EQ(gSettings.versionCheck, 0);
  EXPECT_EQ(gSettings.bitrate, 192);
  EXPECT_EQ(gSettings.GetCodec(), "AAC");
  EXPECT_EQ(gSettings.muted, 1);
  EXPECT_EQ(gSettings.preset, 2);
  EXPECT_EQ(gSettings.mainX, 100);
  EXPECT_EQ(gSettings.mainSticky, 1);
  EXPECT_EQ(SettingsVolumeFactor(), 0.25f);
  auto doc = Written();
  ASSERT_NE(doc, nullptr);
  const JsonValue* program = GetJsonObject(&doc->root, "program");
  EXPECT_EQ(GetJsonString(program, "version", ""), "5.4");
  EXPECT_EQ(GetJsonString(program, "title", ""), "Corvale Player");
  EXPECT_EQ(GetJsonString(GetJsonObject(&doc->root, "player"), "codec", ""), "AAC");
  EXPECT_EQ(GetJsonInteger(GetJsonObject(&doc->root, "main"), "y", 0), 200);
  EXPECT_EQ(static_cast<float>(GetJsonFloat(GetJsonObject(&doc->root, "volume"), "preset1", 0)), 0.8f);
  EXPECT_EQ(GetJsonInteger(GetJsonObject(&doc->root, "volume"), "hotkey", -1), 0);  // now written
}

// Catches the three rejections not logged, their values used, or the file rewritten
// when it must be left alone.
TEST_F(SettingsFile, RejectedFiles) {
  struct Case {
    const char* fixture;
    const char* log;
    bool replaced;
  } cases[] = {
      {"settings_4_9.json", "Unsupported version in settings.json", true},
      {"settings_6_0.json", "Unsupported version in settings.json", false},
      {"settings_unknown_uuid.json", "Unknown UUID in settings.json", false},
      {"settings_no_program.json", "Missing object program in settings.json", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fixture);
    InstallUser(c.fixture, "settings.json");
    const std::string before = ReadFile(SettingsPath());
    ResetSettings();
    gSettings.bitrate = 777;  // must be put back to the default
    ClearMemoryLog();
    EXPECT_EQ(datatest::LoadResult(), 0);
    EXPECT_TRUE(Logged(c.log));
    EXPECT_EQ(gSettings.versionCheck, 1);
    EXPECT_EQ(gSettings.bitrate, 0);
    EXPECT_EQ(gSettings.GetCodec(), "");
    EXPECT_EQ(gSettings.mainX, kNoPosition);
    if (c.replaced) {
      auto doc = Written();
      ASSERT_NE(doc, nullptr);
      EXPECT_EQ(GetJsonString(GetJsonObject(&doc->root, "program"), "version", ""), "5.4");
      EXPECT_EQ(GetJsonInteger(GetJsonObject(&doc->root, "player"), "bitrate", -1), 0);
      EXPECT_EQ(GetJsonString(GetJsonObject(&doc->root, "player"), "codec", "x"), "");
    } else {
      EXPECT_EQ(ReadFile(SettingsPath()), before);
    }
  }
}

// Catches a replaced debug folder that is never written, or an existing one replaced.
TEST_F(SettingsFile, DebugSavePathReplacement) {
  EXPECT_EQ(datatest::LoadResult(), 0);
  EXPECT_EQ(gSettings.GetDebugSavePath(), GetKnownFolder(5, 0));
  EXPECT_FALSE(fs::exists(SettingsPath()));  // a missing file is not written at once
  ClearMemoryLog();
  ASSERT_EQ(SaveSettings(0, 0), 1);
  EXPECT_TRUE(Logged("Setting debug path changed."));
  auto doc = Written();
  ASSERT_NE(doc, nullptr);
  EXPECT_EQ(GetJsonString(GetJsonObject(&doc->root, "debug"), "savepath", "x"), GetKnownFolder(5, 0));

  // An existing folder stays.
  gSettings.SetDebugSavePath(root.path);
  ASSERT_EQ(SaveSettings(0, 0), 1);
  ResetSettings();
  EXPECT_EQ(datatest::LoadResult(), 1);
  EXPECT_EQ(gSettings.GetDebugSavePath(), root.path);
}

// Catches a songs' folder that is not defaulted to the Music folder when missing or
// empty, and a recording switch that takes any value but 1 as on (a stray value must
// never fill the disk).
TEST_F(SettingsFile, RecordSection) {
  struct Case {
    const char* record;
    const char* savepath;  // "" = the default
    int64_t all;
  } cases[] = {
      {"", "", 0},
      {"\"record\": {\"savepath\": \"/srv/songs/\", \"all\": 1}", "/srv/songs/", 1},
      {"\"record\": {\"savepath\": \"\", \"all\": 2}", "", 0},
      {"\"record\": {\"all\": -1}", "", 0},
      {"\"record\": {\"all\": \"1\"}", "", 0},
      {"\"record\": 7", "", 0},
  };
  const std::string music = GetKnownFolder(kFolderMusic, 0);
  ASSERT_FALSE(music.empty());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record);
    ResetSettings();
    MakeUserFolder();
    datatest::WriteFile(SettingsPath(), std::string("{\"program\": {\"id\": \"") + kProgramId +
                                            "\", \"version\": \"5.4\"}" + (*c.record ? ", " : "") + c.record + "}");
    EXPECT_EQ(datatest::LoadResult(), 1);
    // The default ends with the separator the system's folder ends with.
    EXPECT_EQ(gSettings.GetRecordSavePath(), *c.savepath ? std::string(c.savepath) : music + "Corvale Player" + music.back());
    EXPECT_EQ(gSettings.recordAll, c.all);
  }
}

// Catches a save without changes that writes anyway.
TEST_F(SettingsFile, TwoSavesWithoutChangesWriteOnce) {
  EXPECT_EQ(datatest::LoadResult(), 0);
  ASSERT_EQ(SaveSettings(0, 0), 1);
  ASSERT_TRUE(fs::exists(SettingsPath()));
  fs::remove(SettingsPath());
  ClearMemoryLog();
  EXPECT_EQ(SaveSettings(0, 0), 1);
  EXPECT_FALSE(fs::exists(SettingsPath()));
  EXPECT_TRUE(LogLines().empty());
}

// Catches change detection that misses one kind of change or writes twice.
TEST_F(SettingsFile, MovedWindowAndCodecLogBothWriteOnce) {
  EXPECT_EQ(datatest::LoadResult(), 0);
  ASSERT_EQ(SaveSettings(0, 0), 1);
  gSettings.mainX = 300;
  gSettings.SetCodec("Opus");
  ClearMemoryLog();
  ASSERT_EQ(SaveSettings(0, 0), 1);
  EXPECT_EQ(LogLines(),
            (std::vector<std::string>{"Setting values changed.", "Setting codec changed.", "Settings saved."}));
  auto doc = Written();
  ASSERT_NE(doc, nullptr);
  EXPECT_EQ(GetJsonInteger(GetJsonObject(&doc->root, "main"), "x", 0), 300);
  EXPECT_EQ(GetJsonString(GetJsonObject(&doc->root, "player"), "codec", ""), "Opus");
  gSettings.SetDownloadSavePath("/tmp/");
  ClearMemoryLog();
  ASSERT_EQ(SaveSettings(0, 0), 1);
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"Setting downloader path changed.", "Settings saved."}));
  // The menu's even-loudness switch alone is a change too.
  gSettings.measure = MeasureR128;
  ClearMemoryLog();
  ASSERT_EQ(SaveSettings(0, 0), 1);
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"Setting values changed.", "Settings saved."}));
  doc = Written();
  ASSERT_NE(doc, nullptr);
  EXPECT_EQ(GetJsonString(GetJsonObject(&doc->root, "volume"), "measure", ""), "r128");
}

// Catches a failed save that advances the saved copy, so the change would never be
// written (and a failed write that damages the old file).
TEST_F(SettingsFile, FailedSaveIsRetried) {
  EXPECT_EQ(datatest::LoadResult(), 0);
  ASSERT_EQ(SaveSettings(0, 0), 1);
  const std::string before = ReadFile(SettingsPath());
  gSettings.statsX = 42;
  fs::create_directory(SettingsPath() + ".tmp");  // blocks the write
  ClearMemoryLog();
  EXPECT_EQ(SaveSettings(0, 0), 0);
  EXPECT_TRUE(Logged("Failed to save JSON settings."));
  EXPECT_EQ(ReadFile(SettingsPath()), before);
  fs::remove(SettingsPath() + ".tmp");
  ClearMemoryLog();
  EXPECT_EQ(SaveSettings(0, 0), 1);
  EXPECT_TRUE(Logged("Setting values changed."));
  auto doc = Written();
  ASSERT_NE(doc, nullptr);
  EXPECT_EQ(GetJsonInteger(GetJsonObject(&doc->root, "stats"), "x", 0), 42);
}

// Catches a forced write that moves the saved copy (the next regular save must still
// write the differences it found before).
TEST_F(SettingsFile, ForcedWriteLeavesSavedCopy) {
  EXPECT_EQ(datatest::LoadResult(), 0);
  ASSERT_EQ(SaveSettings(0, 0), 1);
  gSettings.hotkey = 1;
  ASSERT_EQ(SaveSettings(0, 1), 1);
  fs::remove(SettingsPath());
  ClearMemoryLog();
  ASSERT_EQ(SaveSettings(0, 0), 1);
  EXPECT_TRUE(Logged("Setting values changed."));
  EXPECT_TRUE(fs::exists(SettingsPath()));
}

// Catches a player without a per-user folder that reads or writes "settings.json" in
// whatever the current folder happens to be.
TEST_F(SettingsFile, NoUserFolderNoFile) {
  const fs::path previous = fs::current_path();
  fs::current_path(root.path);
  gApp.userFolder = "";
  datatest::WriteFile(root.path + "settings.json",
                      R"({"program":{"id":"{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}","version":"5.4"},"main":{"x":1}})");
  EXPECT_EQ(datatest::LoadResult(), 0);
  EXPECT_EQ(gSettings.mainX, kNoPosition);
  gSettings.mainX = 5;
  EXPECT_EQ(SaveSettings(0, 0), 0);
  EXPECT_TRUE(Logged("Failed to save JSON settings."));
  EXPECT_EQ(SaveStreamListCache({{"a", "http://127.0.0.1/a", "MP3", 1}}), 0);
  EXPECT_FALSE(fs::exists(root.path + "streams.json"));
  fs::current_path(previous);
}

// Every field written and read back gives the same value.
TEST_F(SettingsFile, RoundTripOfEveryField) {
  MakeUserFolder();
  Settings& s = gSettings;
  s.versionCheck = 0, s.streamInfo = 0, s.artwork = 0, s.trayIcon = 0, s.bitrate = 256;
  s.preset = 0, s.preset1 = 0.7f, s.preset2 = 0.123f, s.muted = 1, s.hotkey = 1, s.measure = MeasureR128;
  s.mainX = -5, s.mainY = 6, s.mainSticky = 1, s.statsState = 1, s.statsX = 7, s.statsY = 8;
  s.infoState = 1, s.infoX = 9, s.infoY = 10, s.infoW = 500, s.infoH = 400;
  s.prefsX = 11, s.prefsY = 12, s.debugX = 13, s.debugY = 14, s.debugShow = 1;
  s.songLogX = 15, s.songLogY = -16, s.songLogW = 700, s.songLogH = 450;
  s.SetCodec("HE-AAC \xE2\x82\xAC \"q\"");
  s.SetDownloadSavePath("/home/someone/Downloads/");
  s.SetDebugSavePath(root.path);
  s.SetRecordSavePath("/home/someone/Music/Songs \xC3\xA9/");
  s.recordAll = 1;
  ASSERT_EQ(SaveSettings(0, 1), 1);
  const std::string first = ReadFile(SettingsPath());
  ResetSettings();
  EXPECT_EQ(datatest::LoadResult(), 1);
  EXPECT_EQ(s.versionCheck, 0);
  EXPECT_EQ(s.streamInfo, 0);
  EXPECT_EQ(s.artwork, 0);
  EXPECT_EQ(s.trayIcon, 0);
  EXPECT_EQ(s.bitrate, 256);
  EXPECT_EQ(s.preset, 0);
  EXPECT_EQ(s.preset1, 0.7f);
  EXPECT_EQ(s.preset2, 0.123f);
  EXPECT_EQ(s.muted, 1);
  EXPECT_EQ(s.hotkey, 1);
  EXPECT_EQ(s.measure, MeasureR128);
  EXPECT_EQ(s.mainX, -5);
  EXPECT_EQ(s.mainY, 6);
  EXPECT_EQ(s.mainSticky, 1);
  EXPECT_EQ(s.statsState, 1);
  EXPECT_EQ(s.statsX, 7);
  EXPECT_EQ(s.statsY, 8);
  EXPECT_EQ(s.infoState, 1);
  EXPECT_EQ(s.infoX, 9);
  EXPECT_EQ(s.infoY, 10);
  EXPECT_EQ(s.infoW, 500);
  EXPECT_EQ(s.infoH, 400);
  EXPECT_EQ(s.prefsX, 11);
  EXPECT_EQ(s.prefsY, 12);
  EXPECT_EQ(s.debugX, 13);
  EXPECT_EQ(s.debugY, 14);
  EXPECT_EQ(s.debugShow, 1);
  EXPECT_EQ(s.songLogX, 15);
  EXPECT_EQ(s.songLogY, -16);
  EXPECT_EQ(s.songLogW, 700);
  EXPECT_EQ(s.songLogH, 450);
  EXPECT_EQ(s.GetCodec(), "HE-AAC \xE2\x82\xAC \"q\"");
  EXPECT_EQ(s.GetDownloadSavePath(), "/home/someone/Downloads/");
  EXPECT_EQ(s.GetDebugSavePath(), root.path);
  EXPECT_EQ(s.GetRecordSavePath(), "/home/someone/Music/Songs \xC3\xA9/");
  EXPECT_EQ(s.recordAll, 1);
  // Nothing changed since reading: no write, and a forced one gives the same bytes.
  fs::remove(SettingsPath());
  EXPECT_EQ(SaveSettings(0, 0), 1);
  EXPECT_FALSE(fs::exists(SettingsPath()));
  ASSERT_EQ(SaveSettings(0, 1), 1);
  EXPECT_EQ(ReadFile(SettingsPath()), first);
}

}  // namespace
