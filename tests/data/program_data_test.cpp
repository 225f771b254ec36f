// LoadProgramData: the installed version and station files, their fatal faults, the
// refresh bounds and the per-user folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "data_env.h"

using datatest::DataEnv;
namespace fs = std::filesystem;

namespace {

class ProgramData : public DataEnv {};

// Catches a wrong pick of the version entry, URL lists with empty strings, or a second
// station read instead of the first.
TEST_F(ProgramData, ReadsVersionAndStation) {
  InstallDefaults();
  EXPECT_EQ(datatest::LoadResult(), 0);  // no settings file yet: defaults
  EXPECT_EQ(gStation.name, "Test Radio");
  EXPECT_EQ(gStation.id, "testradio");
  EXPECT_EQ(gStation.website, "https://radio.example.test/");
  EXPECT_EQ(gStation.refreshInterval, 120000);
  EXPECT_EQ(gStation.infoUrls,
            (std::vector<std::string>{"http://127.0.0.1:1/info.json", "http://127.0.0.1:2/info.json"}));
  // The matching 5.4 entry wins over the later 4.9 entry.
  EXPECT_EQ(gStation.versionUrls,
            (std::vector<std::string>{"https://updates.example.test/a.json", "https://updates.example.test/b.json"}));
}

// Catches a walk that stops at the first entry or ignores a "url" given as one string.
TEST_F(ProgramData, VersionListMatching) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> urls;
  };
  const std::string own =
      R"("id":"{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}","publisher":"Corvale Productions","name":"Corvale Player")";
  const Case cases[] = {
      {"no_match_takes_last",
       datatest::ReadFile(datatest::FixturePath("version_nomatch.json")),
       {"https://last.example.test/v.json"}},
      {"last_match_wins",
       "{\"versionlist\":[{" + own + ",\"version\":\"5.4\",\"url\":\"u1\"},{" + own +
           ",\"version\":\"5.4.9\",\"url\":[\"u2\",7,\"u3\"]},{\"version\":\"5.4\",\"url\":\"u4\"}]}",
       {"u2", "u3"}},
      {"other_publisher_is_no_match",
       "{\"versionlist\":[{\"id\":\"{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}\",\"publisher\":\"Other\",\"name\":"
       "\"Corvale "
       "Player\",\"version\":\"5.4\",\"url\":\"u1\"},{\"url\":\"\"}]}",
       {}},
      {"empty_list", "{\"versionlist\":[]}", {}},
      {"url_missing", "{\"versionlist\":[{" + own + ",\"version\":\"5.4\"}]}", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InstallData("station.json", "station.json");
    InstallDataText("version.json", c.text);
    gStation = StationInfo();
    EXPECT_EQ(datatest::LoadResult(), 0);
    EXPECT_EQ(gStation.versionUrls, c.urls);
  }
}

// Catches refresh bounds that exclude 60 s or 24 h, or accept a non-number.
TEST_F(ProgramData, RefreshIntervalBoundsAndInfoForms) {
  struct Case {
    const char* station;
    int64_t refresh;
    size_t infoCount;
  } cases[] = {
      {R"({"stationlist":[{"refresh":59,"info":"a"}]})", 3600000, 1},
      {R"({"stationlist":[{"refresh":60,"info":"a"}]})", 60000, 1},
      {R"({"stationlist":[{"refresh":86400,"info":"a"}]})", 86400000, 1},
      {R"({"stationlist":[{"refresh":86401,"info":"a"}]})", 3600000, 1},
      {R"({"stationlist":[{"info":"a"}]})", 3600000, 1},
      {R"({"stationlist":[{"refresh":"600","info":"a"}]})", 3600000, 1},
      {R"({"stationlist":[{"refresh":-600,"info":"a"}]})", 3600000, 1},
      {R"({"stationlist":[{"refresh":1e300,"info":"a"}]})", 3600000, 1},
      {R"({"stationlist":[{"refresh":90.5,"info":"a"}]})", 90500, 1},
      {R"({"stationlist":[{"refresh":600,"info":["a","","b",1,"c"]}]})", 600000, 3},
      {R"({"stationlist":[{"refresh":600,"info":"a"},{"refresh":60,"info":["x","y"]}]})", 600000, 1},
  };
  InstallData("version.json", "version.json");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.station);
    InstallDataText("station.json", c.station);
    gStation = StationInfo();
    EXPECT_EQ(datatest::LoadResult(), 0);
    EXPECT_EQ(gStation.refreshInterval, c.refresh);
    EXPECT_EQ(gStation.infoUrls.size(), c.infoCount);
  }
}

// Catches a wrong fatal text, a missing error box, or a start that goes on to write
// settings after a fault in the installed files.
TEST_F(ProgramData, FatalFaultsShowTheBoxAndSaveNothing) {
  struct Case {
    const char* name;
    const char* version;  // fixture, text, or nullptr for none
    std::string versionText;
    std::string stationText;
    const char* text;
  };
  const std::string goodStation = datatest::ReadFile(datatest::FixturePath("station.json"));
  const std::string goodVersion = datatest::ReadFile(datatest::FixturePath("version.json"));
  const std::string broken = datatest::ReadFile(datatest::FixturePath("station_broken.json"));
  const Case cases[] = {
      {"version_missing", nullptr, "", goodStation, "Error loading version.json\r\nUnable to read file"},
      {"version_bom", "version_bom.json", "", goodStation, "Error loading version.json\r\nUnexpected character"},
      {"version_not_json", "", "versionlist", goodStation, "Error loading version.json\r\nUnexpected character"},
      {"no_versionlist", "", "{\"versions\":[]}", goodStation, "Missing array versionlist in version.json"},
      {"versionlist_object", "", "{\"versionlist\":{}}", goodStation, "Missing array versionlist in version.json"},
      {"station_broken", "", goodVersion, broken, "Error loading station.json\r\nUnexpected end of input"},
      {"station_empty", "", goodVersion, "", "Error loading station.json\r\nUnexpected end of input"},
      {"no_info", "", goodVersion, R"({"stationlist":[{"name":"x"}]})",
       "No stream info or backups found in station.json"},
      {"info_all_empty", "", goodVersion, R"({"stationlist":[{"info":["",""]}]})",
       "No stream info or backups found in station.json"},
      {"stationlist_empty", "", goodVersion, R"({"stationlist":[],"stream":[]})",
       "No stream info or backups found in station.json"},
      {"info_in_second_only", "", goodVersion, R"({"stationlist":[{},{"info":"a"}]})",
       "No stream info or backups found in station.json"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dataFolder);
    fs::create_directories(dataFolder);
    if (c.version && *c.version)
      InstallData(c.version, "version.json");
    else if (c.version)
      InstallDataText("version.json", c.versionText);
    InstallDataText("station.json", c.stationText);

    std::string fault;
    EXPECT_EQ(datatest::LoadResult(&fault), -1);
    EXPECT_EQ(fault.substr(0, std::string(c.text).size()), c.text);
    EXPECT_FALSE(fs::exists(userFolder)) << "nothing may be saved after a fatal fault";
  }
  gApp.dataFolder = "";
  std::string fault;
  EXPECT_EQ(datatest::LoadResult(&fault), -1);
  EXPECT_EQ(fault, "Invalid program data path.");
}

// Catches legacy files left behind, or deleted although settings.json loaded.
TEST_F(ProgramData, LegacyFilesAndUserFolder) {
  InstallDefaults();
  // Folder missing, parents included: created.
  EXPECT_EQ(datatest::LoadResult(), 0);
  EXPECT_TRUE(fs::is_directory(userFolder));

  for (const char* name : {"settings.xml", "stream.m3u8", "stream.jspf"}) datatest::WriteFile(userFolder + name, "old");
  EXPECT_EQ(datatest::LoadResult(), 0);  // still no settings.json: legacy files go
  for (const char* name : {"settings.xml", "stream.m3u8", "stream.jspf"}) EXPECT_FALSE(fs::exists(userFolder + name));

  for (const char* name : {"settings.xml", "stream.m3u8", "stream.jspf"}) datatest::WriteFile(userFolder + name, "old");
  ASSERT_EQ(SaveSettings(0, 1), 1);
  EXPECT_EQ(datatest::LoadResult(), 1);  // a present settings.json leaves them alone
  for (const char* name : {"settings.xml", "stream.m3u8", "stream.jspf"}) EXPECT_TRUE(fs::exists(userFolder + name));
}

// Catches a folder failure that is fatal or silent.
TEST_F(ProgramData, UncreatableUserFolderIsLogged) {
  InstallDefaults();
  // A file where the configuration folder should be makes creation fail.
  datatest::WriteFile(root.path + "config", "not a folder");
  EXPECT_EQ(datatest::LoadResult(), 0);
  EXPECT_TRUE(Logged("Failed to create folder: " + userFolder));
  EXPECT_EQ(gStation.name, "Test Radio");
}

// Catches paths handed to the C and C++ libraries as narrow strings: Windows reads those
// in the ANSI code page, so a user whose name (and so whose folders) has letters beyond
// it could neither start the player nor keep settings or the stream list.
TEST_F(ProgramData, FoldersNamedBeyondAscii) {
  for (const char* name : {"Zo\u00eb", "\u0414\u0430\u0440\u044c\u044f", "\u674e \U0001f4fb"}) {
    SCOPED_TRACE(name);
    dataFolder = root.path + name + "/data/";
    userFolder = root.path + name + "/config/" + kProgramId + "/";
    fs::create_directories(datatest::FsPath(dataFolder));
    gApp.dataFolder = dataFolder;
    gApp.userFolder = userFolder;
    ResetSettings();
    InstallDefaults();
    EXPECT_EQ(datatest::LoadResult(), 0);
    EXPECT_EQ(gStation.name, "Test Radio");
    EXPECT_TRUE(fs::is_directory(datatest::FsPath(userFolder)));
    gSettings.preset = 2;
    ASSERT_EQ(SaveSettings(0, 1), 1);
    ResetSettings();
    EXPECT_EQ(datatest::LoadResult(), 1);
    EXPECT_EQ(gSettings.preset, 2);
    const std::vector<StreamEntry> saved = {{"a", "http://127.0.0.1:1/a", "mp3", 128}};
    ASSERT_EQ(SaveStreamListCache(saved), 1);
    std::vector<StreamEntry> loaded;
    EXPECT_EQ(LoadStreamListCache(loaded), 1);
    EXPECT_TRUE(StreamListsEqual(loaded, saved));
  }
}

// Catches a version splitter that misreads missing or non-numeric fields.
TEST(SplitVersionText, Fields) {
  struct Case {
    const char* text;
    int64_t major, minor;
  } cases[] = {{"5.4", 5, 4}, {"5", 5, 0},   {"", 0, 0},        {"5.40.1", 5, 40}, {"x.4", 0, 4},
               {"6.0", 6, 0}, {"4.9", 4, 9}, {"5.3beta", 5, 3}, {".7", 0, 7},      {"10.11.12", 10, 11}};
  for (const auto& c : cases) {
    int64_t major = -1, minor = -1;
    SplitVersion(c.text, major, minor);
    EXPECT_EQ(major, c.major) << c.text;
    EXPECT_EQ(minor, c.minor) << c.text;
  }
}

}  // namespace
