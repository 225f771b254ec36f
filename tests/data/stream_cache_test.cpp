// Stream arrays and the stream-list cache "streams.json" with its fallback to the
// installed station file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "data_env.h"

using datatest::DataEnv;
using datatest::ReadFile;
namespace fs = std::filesystem;

namespace {

std::vector<StreamEntry> TwoStreams() {
  return {{"High", "http://127.0.0.1:8000/high.mp3", "MP3", 320}, {"Low", "http://127.0.0.1:8000/low.aac", "AAC", 64}};
}

class StreamCache : public DataEnv {
 protected:
  void SetUp() override {
    DataEnv::SetUp();
    MakeUserFolder();
  }
  std::string CachePath() const { return userFolder + "streams.json"; }
};

// Catches invalid elements that become entries and fields read from the wrong kind.
TEST_F(StreamCache, ReadStreamArraySkipsInvalidElements) {
  auto doc = LoadJsonFile(datatest::FixturePath("streams.json"));
  ASSERT_NE(doc, nullptr);
  std::vector<StreamEntry> list = {{"stale", "http://stale/", "", 1}};
  EXPECT_EQ(ReadStreamArray(list, &doc->root), 3);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].id, "High");
  EXPECT_EQ(list[0].bitrate, 320);
  EXPECT_EQ(list[1].bitrate, 64);  // 64.9 truncated
  EXPECT_EQ(list[1].codec, "AAC");
  EXPECT_EQ(list[2].id, "");
  EXPECT_EQ(list[2].url, "http://127.0.0.1:8000/opus");
  EXPECT_EQ(list[2].bitrate, 0);  // "96" is a string
  EXPECT_EQ(list[2].codec, "");

  auto none = ParseJson(R"({"stream":{}})");
  ClearMemoryLog();
  EXPECT_EQ(ReadStreamArray(list, &none->root), 0);
  EXPECT_TRUE(list.empty());  // cleared even without an array
  EXPECT_TRUE(Logged("Streaminfo stream array not found."));
  EXPECT_EQ(ReadStreamArray(list, nullptr), 0);
}

// Catches the comparison that counts an entry as changed only when every field differs.
TEST_F(StreamCache, AnyChangedFieldIsANewList) {
  const auto base = TwoStreams();
  EXPECT_TRUE(StreamListsEqual(base, base));
  auto url = base;
  url[1].url = "http://127.0.0.1:8000/other.aac";
  auto bitrate = base;
  bitrate[1].bitrate = 96;
  auto codec = base;
  codec[0].codec = "Opus";
  auto shorter = base;
  shorter.pop_back();
  auto swapped = std::vector<StreamEntry>{base[1], base[0]};
  for (const auto* changed : {&url, &bitrate, &codec, &shorter, &swapped})
    EXPECT_FALSE(StreamListsEqual(base, *changed));
  // Catches an id-only change counted as a new list (which would rewrite the cache).
  auto id = base;
  id[0].id = "Highest";
  EXPECT_TRUE(StreamListsEqual(base, id));
}

// Catches a cache that is rewritten although current, or not rewritten when one field
// changed; and a layout other than the documented one.
TEST_F(StreamCache, SavesOnlyWhenTheListChanged) {
  auto list = TwoStreams();
  ClearMemoryLog();
  ASSERT_EQ(SaveStreamListCache(list), 1);
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"Creating backup of new playlist.", "Backup playlist saved."}));
  EXPECT_EQ(ReadFile(CachePath()),
            "{\r\n"
            "  \"stream\": [\r\n"
            "      {\r\n"
            "        \"id\"     : \"High\",\r\n"
            "        \"url\"    : \"http://127.0.0.1:8000/high.mp3\",\r\n"
            "        \"bitrate\": 320,\r\n"
            "        \"codec\"  : \"MP3\"\r\n"
            "      },\r\n"
            "      {\r\n"
            "        \"id\"     : \"Low\",\r\n"
            "        \"url\"    : \"http://127.0.0.1:8000/low.aac\",\r\n"
            "        \"bitrate\": 64,\r\n"
            "        \"codec\"  : \"AAC\"\r\n"
            "      }\r\n"
            "    ]\r\n"
            "}");

  // The same list again: the file is not touched.
  fs::remove(CachePath());
  datatest::WriteFile(CachePath(), ReadFile(datatest::FixturePath("streams.json")));
  std::vector<StreamEntry> fromFixture;
  ReadStreamArray(fromFixture, &LoadJsonFile(CachePath())->root);
  const std::string fixtureText = ReadFile(CachePath());
  ClearMemoryLog();
  ASSERT_EQ(SaveStreamListCache(fromFixture), 1);
  EXPECT_EQ(ReadFile(CachePath()), fixtureText);
  EXPECT_TRUE(LogLines().empty());

  // Only the codec of one entry differs: rewritten.
  fromFixture[1].codec = "HE-AAC";
  ASSERT_EQ(SaveStreamListCache(fromFixture), 1);
  std::vector<StreamEntry> back;
  ReadStreamArray(back, &LoadJsonFile(CachePath())->root);
  EXPECT_TRUE(StreamListsEqual(back, fromFixture));

  // A different number of entries: rewritten.
  fromFixture.pop_back();
  ASSERT_EQ(SaveStreamListCache(fromFixture), 1);
  ReadStreamArray(back, &LoadJsonFile(CachePath())->root);
  EXPECT_EQ(back.size(), fromFixture.size());
}

// Catches a failed cache write that damages the old file or reports success.
TEST_F(StreamCache, FailedSaveKeepsOldCache) {
  ASSERT_EQ(SaveStreamListCache(TwoStreams()), 1);
  const std::string before = ReadFile(CachePath());
  auto changed = TwoStreams();
  changed[0].bitrate = 128;
  fs::create_directory(CachePath() + ".tmp");
  ClearMemoryLog();
  EXPECT_EQ(SaveStreamListCache(changed), 0);
  EXPECT_TRUE(Logged("Failed to save JSON settings."));
  EXPECT_EQ(ReadFile(CachePath()), before);
}

// Catches a fallback order other than cache first, then the station file.
TEST_F(StreamCache, FallbackOrder) {
  InstallDefaults();
  // No cache: the station's own list.
  std::vector<StreamEntry> list;
  ClearMemoryLog();
  EXPECT_EQ(LoadStreamListCache(list), 1);
  EXPECT_EQ(list[0].url, "http://127.0.0.1:4/backup.mp3");
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"Loading cached streamlist.", "Loading backup streamlist."}));

  // A cache: used, the station file is not read.
  ASSERT_EQ(SaveStreamListCache(TwoStreams()), 1);
  list.clear();
  ClearMemoryLog();
  EXPECT_EQ(LoadStreamListCache(list), 2);
  EXPECT_TRUE(StreamListsEqual(list, TwoStreams()));
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"Loading cached streamlist."}));

  // A cache with an empty array: on to the station file.
  datatest::WriteFile(CachePath(), R"({"stream":[]})");
  EXPECT_EQ(LoadStreamListCache(list), 1);
  EXPECT_EQ(list[0].id, "Backup");

  // Neither file loads: an earlier list is kept.
  fs::remove(CachePath());
  fs::remove(dataFolder + "station.json");
  list = TwoStreams();
  EXPECT_EQ(LoadStreamListCache(list), 2);
}

}  // namespace
