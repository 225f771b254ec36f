// The JSON writer: the pretty-printed layout, numbers and escapes, the file writer, and
// the round trip of everything written.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <string>

#include "data/data.h"
#include "data_test_util.h"

using datatest::ReadFile;
using datatest::ScratchFolder;

namespace {

// Catches misaligned colons: "id" gets five spaces when "version" is the longest name.
TEST(JsonWriter, AlignsColonsOfAnObject) {
  JsonValue v(JsonKind::Object);
  v.SetMemberString("id", "x");
  v.SetMemberString("version", "5.4");
  EXPECT_EQ(ComposeJson(v), "{\r\n  \"id\"     : \"x\",\r\n  \"version\": \"5.4\"\r\n}");
  EXPECT_EQ(ComposeJson(v, 0), "{\"id\":\"x\",\"version\":\"5.4\"}");
}

// Catches wrong indentation of values nested in members and arrays.
TEST(JsonWriter, IndentsNestedValues) {
  auto doc = ParseJson(R"({"stream":[{"id":"a","bitrate":1}],"e":{},"f":[],"g":[1,[2]]})");
  ASSERT_NE(doc, nullptr);
  EXPECT_EQ(ComposeJson(doc->root),
            "{\r\n"
            "  \"stream\": [\r\n"
            "      {\r\n"
            "        \"id\"     : \"a\",\r\n"
            "        \"bitrate\": 1\r\n"
            "      }\r\n"
            "    ],\r\n"
            "  \"e\"     : {},\r\n"
            "  \"f\"     : [],\r\n"
            "  \"g\"     : [\r\n"
            "      1,\r\n"
            "      [\r\n"
            "        2\r\n"
            "      ]\r\n"
            "    ]\r\n"
            "}");
  EXPECT_EQ(ComposeJson(doc->root, 0), R"({"stream":[{"id":"a","bitrate":1}],"e":{},"f":[],"g":[1,[2]]})");
}

// Catches locale-dependent or over-long doubles, negative zero and non-finite output.
TEST(JsonWriter, WritesNumbers) {
  struct Case {
    double d;
    const char* text;
  } cases[] = {
      {0.5, "0.5"},
      {1.0, "1"},
      {0.1, "0.1"},
      {-0.0, "0"},
      {1.0 / 3.0, "0.3333333333333333"},
      {0.1 + 0.2, "0.30000000000000004"},  // "%.16g" would give 0.3, another double
      {1e300, "1e+300"},
      {-2.5e-7, "-2.5e-07"},
      {123456789012345678.0, "1.2345678901234568e+17"},
      {static_cast<double>(0.01f), "0.009999999776482582"},
      {std::numeric_limits<double>::quiet_NaN(), "null"},
      {std::numeric_limits<double>::infinity(), "null"},
      {-std::numeric_limits<double>::infinity(), "null"},
  };
  for (const Case& c : cases) {
    JsonValue v;
    v.SetDouble(c.d);
    EXPECT_EQ(ComposeJson(v), c.text) << c.d;
  }
  JsonValue i;
  i.SetInteger(INT64_MIN);
  EXPECT_EQ(ComposeJson(i), "-9223372036854775808");
  i.SetInteger(-5);
  EXPECT_EQ(ComposeJson(i), "-5");
}

// Catches missing or wrong escapes, and escaping of characters that must stay as they are.
TEST(JsonWriter, EscapesStrings) {
  JsonValue v;
  v.SetString(std::string("q\"b\\/\b\t\n\f\r\x01\x1f\x7f \xC3\xA9 \xF0\x9F\x8E\xB5"));
  EXPECT_EQ(ComposeJson(v), "\"q\\\"b\\\\/\\b\\t\\n\\f\\r\\u0001\\u001f\x7f \xC3\xA9 \xF0\x9F\x8E\xB5\"");
  JsonValue b;
  b.SetBool(true);
  EXPECT_EQ(ComposeJson(b), "true");
  b.SetBool(false);
  EXPECT_EQ(ComposeJson(b), "false");
  JsonValue n;
  EXPECT_EQ(ComposeJson(n), "null");
}

// Catches lone surrogates written as U+FFFD: two member names that differ only there
// read back as one name, and a member of the document is lost.
TEST(JsonWriter, LoneSurrogatesKeepTheirEscape) {
  auto doc = ParseJson(R"({"v\udfb5": 1, "v\udfb6": 2, "s": "x\ud83c"})");
  ASSERT_NE(doc, nullptr) << JsonErrorMessage();
  const std::string text = ComposeJson(doc->root, 0);
  EXPECT_EQ(text, R"({"v\udfb5":1,"v\udfb6":2,"s":"x\ud83c"})");
  auto again = ParseJson(text);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->root.Size(), 3u);
  EXPECT_EQ(again->root.MemberName16(1), u"v\xDFB6");
}

// Catches alignment counted in bytes instead of characters.
TEST(JsonWriter, AlignsByCharacters) {
  JsonValue v(JsonKind::Object);
  v.SetMemberInteger("\xC3\xA9", 1);  // one character, two bytes
  v.SetMemberInteger("ab", 2);
  EXPECT_EQ(ComposeJson(v), "{\r\n  \"\xC3\xA9\" : 1,\r\n  \"ab\": 2\r\n}");
}

// Catches a replaced member that moves or duplicates, and setters on the wrong kind.
TEST(JsonWriter, SetMemberReplacesInPlace) {
  JsonValue v(JsonKind::Object);
  v.SetMemberInteger("a", 1);
  JsonValue* child = v.SetMemberObject("b");
  ASSERT_NE(child, nullptr);
  child->SetMemberInteger("deep", 1);
  v.SetMemberString("a", "two");
  EXPECT_EQ(ComposeJson(v, 0), R"({"a":"two","b":{"deep":1}})");
  EXPECT_EQ(child->Member("deep")->GetInteger(), 1);  // earlier pointers stay valid
  JsonValue arr(JsonKind::Array);
  EXPECT_EQ(arr.SetMember("x", JsonKind::Null), nullptr);
  EXPECT_EQ(v.AddElement(JsonKind::Null), nullptr);
}

// Catches a destructor or writer that recurses per level (stack overflow on deep trees).
TEST(JsonWriter, DeepTreesAreWrittenAndFreedWithoutRecursion) {
  auto doc = std::make_unique<JsonDocument>();
  doc->root.SetArray();
  JsonValue* v = &doc->root;
  const int depth = 300000;
  for (int i = 0; i < depth; i++) v = v->AddElement(JsonKind::Array);
  std::string text = ComposeJson(doc->root, 0);
  EXPECT_EQ(text.size(), static_cast<size_t>(2 * (depth + 1)));
  doc.reset();
  SUCCEED();
}

// The player's documents, written and parsed back, keep every value and kind.
TEST(JsonWriter, RoundTripKeepsValues) {
  const char* files[] = {"settings_defaults.json", "settings_5_3.json", "settings_wrong_kinds.json",
                         "station.json",           "version.json",      "streams.json"};
  for (const char* name : files) {
    SCOPED_TRACE(name);
    auto first = LoadJsonFile(datatest::FixturePath(name));
    ASSERT_NE(first, nullptr) << JsonErrorMessage();
    std::string pretty = ComposeJson(first->root);
    auto second = ParseJson(pretty);
    ASSERT_NE(second, nullptr) << JsonErrorMessage() << " line " << JsonErrorLine();
    // Same text again means same structure, kinds, order and values.
    EXPECT_EQ(ComposeJson(second->root), pretty);
    EXPECT_EQ(ComposeJson(second->root, 0), ComposeJson(first->root, 0));
  }
  // Doubles survive the shortest "%.16g" form as the same float or double.
  for (float f : {0.01f, 0.25f, 0.7f, 1.0f, 0.123456f}) {
    JsonValue v(JsonKind::Object);
    v.SetMemberDouble("f", f);
    auto back = ParseJson(ComposeJson(v));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(static_cast<float>(GetJsonFloat(&back->root, "f", -1)), f);
  }
  JsonValue s(JsonKind::Object);
  s.SetMemberString("text", std::string("all\x01\x1f\"\\/ \xE2\x82\xAC\r\n\t"));
  auto back = ParseJson(ComposeJson(s));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(GetJsonString(&back->root, "text", ""), std::string("all\x01\x1f\"\\/ \xE2\x82\xAC\r\n\t"));
}

// Catches a file writer that loses the tail of its last 4096-byte block, or adds a BOM.
TEST(JsonFile, WritesEveryByte) {
  ScratchFolder dir;
  JsonDocument doc;
  doc.root.SetObject();
  JsonValue* list = doc.root.SetMemberArray("stream");
  for (int i = 0; i < 3000; i++) {
    JsonValue* o = list->AddElement(JsonKind::Object);
    o->SetMemberString("id", "entry " + std::to_string(i));
    o->SetMemberInteger("bitrate", i);
  }
  const std::string path = dir / "big.json";
  ASSERT_EQ(SaveJsonFile(doc, path), 1);
  std::string expected = ComposeJson(doc.root);
  EXPECT_GT(expected.size(), 3u * 4096u);
  EXPECT_EQ(ReadFile(path), expected);
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
  // Exactly one block long, and empty-object documents too.
  JsonDocument small;
  small.root.SetObject();
  ASSERT_EQ(SaveJsonFile(small, path), 1);
  EXPECT_EQ(ReadFile(path), "{}");
}

// Catches a save that truncates the old file before it knows the new one can be written.
TEST(JsonFile, FailedSaveLeavesOldFile) {
  ScratchFolder dir;
  const std::string path = dir / "settings.json";
  datatest::WriteFile(path, "old contents");
  std::filesystem::create_directory(path + ".tmp");  // the temporary file cannot be created
  JsonDocument doc;
  doc.root.SetObject();
  EXPECT_EQ(SaveJsonFile(doc, path), 0);
  EXPECT_EQ(ReadFile(path), "old contents");
  EXPECT_EQ(SaveJsonFile(doc, dir / "missing-folder/x.json"), 0);
  // A target that is a folder cannot be replaced; the temporary file is cleaned up.
  std::filesystem::create_directory(dir / "folder.json");
  std::filesystem::create_directory(dir / "folder.json/inner");
  EXPECT_EQ(SaveJsonFile(doc, dir / "folder.json"), 0);
  EXPECT_FALSE(std::filesystem::exists(dir / "folder.json.tmp"));
}

}  // namespace

// Catches a double written with a fixed 16 digits that reads back as another double
// (the one just above 1e23 was written 1e+23), and a form that would change the "%.16g"
// text of values that do round-trip (the settings file's text stays the same).
TEST(JsonWriter, DoublesAreShortestRoundTrip) {
  struct Case {
    double value;
    const char* text;
  } cases[] = {
      {std::nextafter(1e23, 1e24), "1.0000000000000001e+23"},
      {1e23, "9.999999999999999e+22"},  // its "%.16g" text round-trips and is kept
      {0.1, "0.1"},
      {0.7, "0.7"},
      {100000.0, "100000"},
      {0.0001, "0.0001"},
      {1.5e-7, "1.5e-07"},
      {5e-324, "4.940656458412465e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},  // "%.16g" would overflow on reading
      {0.30000000000000004, "0.30000000000000004"},
      {static_cast<double>(0.7f), "0.699999988079071"},
  };
  for (const Case& c : cases) {
    JsonValue v(JsonKind::Array);
    v.AddElement(JsonKind::Number)->SetDouble(c.value);
    std::string text = ComposeJson(v, 0);
    EXPECT_EQ(text, std::string("[") + c.text + "]") << c.text;
    auto back = ParseJson(text);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->root.Element(0)->GetDouble(), c.value) << c.text;
  }
}
