// The settings file: the written layout, reading with its rejections and validation,
// the upgrade save and the change detection.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "data/data_internal.h"
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
// a loudness measure other than the two names taken as EBU R128 (wrong kinds and near
// names: EveryMemberOfTheWrongKindReadsAsMissing).
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
      {R"({"measure":"r128"})", 1, 1.0f, 0.5f, 1.0f, MeasureR128},
      {R"({"measure":"rms","preset":0})", 0, 1.0f, 0.5f, 1.0f, MeasureRms},
      {R"({"measure":"ebu"})", 1, 1.0f, 0.5f, 1.0f, MeasureRms},
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

// Catches fractions rounded instead of truncated, out-of-range positions wrapped instead
// of clamped, and sections of the wrong kind read as objects.
TEST_F(SettingsFile, FractionsRangesAndWrongSections) {
  InstallUser("settings_wrong_kinds.json", "settings.json");
  EXPECT_EQ(datatest::LoadResult(), 1);
  EXPECT_EQ(gSettings.bitrate, 96);
  EXPECT_EQ(gSettings.mainX, INT32_MAX);
  EXPECT_EQ(gSettings.mainY, INT32_MIN);
  EXPECT_EQ(gSettings.statsX, kNoPosition);  // "stats" is an array
  EXPECT_EQ(gSettings.infoW, 640);
  EXPECT_EQ(gSettings.infoH, 480);
  EXPECT_EQ(gSettings.infoState, 1);
  EXPECT_EQ(gSettings.infoX, kNoPosition);
  EXPECT_EQ(gSettings.debugShow, 0);  // "debug" is a string
  EXPECT_EQ(gSettings.debugX, kNoPosition);
}

// Catches a member of the wrong JSON kind read as a value ("7" as 7, true as 1, [7] as
// its element, a number as a choice's index), for every member of the file: each must
// read as it does when the member is missing.
TEST_F(SettingsFile, EveryMemberOfTheWrongKindReadsAsMissing) {
  const std::vector<std::string> notNumbers = {"\"7\"", "true", "false", "null", "[7]", "{}"};
  const std::vector<std::string> notTexts = {"5", "true", "null", "[\"a\"]", "{}"};
  const std::vector<std::string> notNames = {"1", "true", "[\"r128\"]", "{}", "\"R128\"", "\"r128 \""};
  auto load = [&](const std::string& members) {
    datatest::WriteFile(SettingsPath(), std::string("{\"program\": {\"id\": \"") + kProgramId +
                                            "\", \"version\": \"5.4\"}" + members + "}");
    ResetSettings();
    EXPECT_EQ(datatest::LoadResult(), 1);
  };
  MakeUserFolder();
  load("");
  std::vector<SettingValue> missing;
  for (const SettingMember& m : SettingMembers()) missing.push_back(GetSettingValue(m));
  size_t i = 0;
  for (const SettingMember& m : SettingMembers()) {
    const auto& bad = m.kind == SettingText ? notTexts : m.kind == SettingChoice ? notNames : notNumbers;
    for (const std::string& json : bad) {
      SCOPED_TRACE(std::string(m.section) + "." + m.name + " = " + json);
      load(std::string(", \"") + m.section + "\": {\"" + m.name + "\": " + json + "}");
      EXPECT_EQ(GetSettingValue(m), missing[i]);
    }
    i++;
  }
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
  EXPECT_EQ(gSettings.GetDebugSavePath(), GetKnownFolder(KnownFolder::kDocuments));
  EXPECT_FALSE(fs::exists(SettingsPath()));  // a missing file is not written at once
  ClearMemoryLog();
  ASSERT_EQ(SaveSettings(0, 0), 1);
  EXPECT_TRUE(Logged("Setting debug path changed."));
  auto doc = Written();
  ASSERT_NE(doc, nullptr);
  EXPECT_EQ(GetJsonString(GetJsonObject(&doc->root, "debug"), "savepath", "x"),
            GetKnownFolder(KnownFolder::kDocuments));

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
      {"\"record\": 7", "", 0},
  };
  const std::string music = GetKnownFolder(KnownFolder::kMusic);
  ASSERT_FALSE(music.empty());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record);
    ResetSettings();
    MakeUserFolder();
    datatest::WriteFile(SettingsPath(), std::string("{\"program\": {\"id\": \"") + kProgramId +
                                            "\", \"version\": \"5.4\"}" + (*c.record ? ", " : "") + c.record + "}");
    EXPECT_EQ(datatest::LoadResult(), 1);
    // The default ends with the separator the system's folder ends with.
    EXPECT_EQ(gSettings.GetRecordSavePath(),
              *c.savepath ? std::string(c.savepath) : music + "Corvale Player" + music.back());
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
  gSettings.SetRecordSavePath("/tmp/songs/");
  ClearMemoryLog();
  ASSERT_EQ(SaveSettings(0, 0), 1);
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"Setting record path changed.", "Settings saved."}));
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

// A value of its own for each member, none its default: catches a member that is not
// written, read back into another one, or missed by the change detection.
SettingValue OwnValue(const SettingMember& m, size_t i, const std::string& folder) {
  SettingValue v;
  switch (m.kind) {
    case SettingReal:
      v.real = 0.2f + 0.001f * static_cast<float>(i);
      break;
    case SettingText:  // a folder that exists, so start-up keeps it as the debug folder
      v.text = folder + "m" + std::to_string(i) + " \xE2\x82\xAC '/";
      std::filesystem::create_directories(datatest::FsPath(v.text));
      break;
    case SettingChoice:
    case SettingSwitch:
      v.number = 1;
      break;
    default:
      v.number = m.min < m.max ? static_cast<int64_t>(m.max) : -1000 - static_cast<int64_t>(i);
  }
  return v;
}

// Catches a member that a regular save misses when only it changed, or that does not
// come back from the file as it was written.
TEST_F(SettingsFile, RoundTripOfEveryMember) {
  EXPECT_EQ(datatest::LoadResult(), 0);
  ASSERT_EQ(SaveSettings(0, 0), 1);
  const auto members = SettingMembers();
  for (size_t i = 0; i < members.size(); i++) {
    SCOPED_TRACE(std::string(members[i].section) + "." + members[i].name);
    ASSERT_NE(OwnValue(members[i], i, root.path), GetSettingValue(members[i]));
    fs::remove(SettingsPath());
    SetSettingValue(members[i], OwnValue(members[i], i, root.path));
    ASSERT_EQ(SaveSettings(0, 0), 1);
    EXPECT_TRUE(fs::exists(SettingsPath()));
  }
  const std::string first = ReadFile(SettingsPath());
  ResetSettings();
  EXPECT_EQ(datatest::LoadResult(), 1);
  for (size_t i = 0; i < members.size(); i++) {
    SCOPED_TRACE(std::string(members[i].section) + "." + members[i].name);
    EXPECT_EQ(GetSettingValue(members[i]), OwnValue(members[i], i, root.path));
  }
  // Nothing changed since reading: no write, and a forced one gives the same bytes.
  fs::remove(SettingsPath());
  EXPECT_EQ(SaveSettings(0, 0), 1);
  EXPECT_FALSE(fs::exists(SettingsPath()));
  ASSERT_EQ(SaveSettings(0, 1), 1);
  EXPECT_EQ(ReadFile(SettingsPath()), first);
}

}  // namespace
