// The JSON reader: accepted forms, value kinds, and the exact error reports that reach
// the log word for word.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <thread>

#include "data/data.h"

namespace {

struct ErrorCase {
  const char* name;
  std::string input;
  const char* message;
  int64_t line;
  int64_t position;
};

class JsonErrors : public ::testing::TestWithParam<ErrorCase> {};

// Catches wrong messages, off-by-one positions and miscounted line ends.
TEST_P(JsonErrors, ReportsMessageLineAndPosition) {
  const ErrorCase& c = GetParam();
  auto doc = ParseJson(c.input);
  EXPECT_EQ(doc, nullptr);
  EXPECT_EQ(JsonErrorMessage(), c.message);
  EXPECT_EQ(JsonErrorLine(), c.line);
  EXPECT_EQ(JsonErrorPosition(), c.position);
}

const char* const kChar = "Unexpected character";
const char* const kEscape = "Invalid escape sequence";
const char* const kNumber = "Invalid numeric value";
const char* const kName = "A member name (string) is expected";
const char* const kColon = "Expected a ':' character";
const char* const kEnd = "Unexpected end of input";
const char* const kMemory = "Out of memory";

INSTANTIATE_TEST_SUITE_P(
    Table, JsonErrors,
    ::testing::Values(
        ErrorCase{"empty", "", kEnd, 1, 1}, ErrorCase{"only_spaces", "   ", kEnd, 1, 3},
        ErrorCase{"byte_order_mark", "\xEF\xBB\xBF{}", kChar, 1, 1}, ErrorCase{"text_after_root", "{}x", kChar, 1, 3},
        ErrorCase{"second_root", "[1]]", kChar, 1, 4}, ErrorCase{"minus_letter", "-a", kNumber, 1, 2},
        ErrorCase{"minus_only", "-", kEnd, 1, 1}, ErrorCase{"point_at_end", "1.", kEnd, 1, 2},
        ErrorCase{"point_letter", "1.e5", kNumber, 1, 3}, ErrorCase{"exponent_at_end", "1e+", kEnd, 1, 3},
        ErrorCase{"exponent_letter", "1ex", kNumber, 1, 3}, ErrorCase{"plus_sign", "+1", kChar, 1, 1},
        ErrorCase{"leading_point", ".5", kChar, 1, 1}, ErrorCase{"digit_member", "{1:2}", kName, 1, 2},
        ErrorCase{"missing_colon", "{\"a\" 1}", kColon, 1, 6},
        ErrorCase{"trailing_comma_object", "{\"a\":1,}", kName, 1, 8},
        ErrorCase{"trailing_comma_array", "[1,]", kChar, 1, 4}, ErrorCase{"missing_comma", "[1 2]", kChar, 1, 4},
        ErrorCase{"missing_value", "{\"a\":}", kChar, 1, 6}, ErrorCase{"bad_escape", "\"abc\\x\"", kEscape, 1, 6},
        ErrorCase{"bad_hex", "\"\\u12G4\"", kEscape, 1, 6}, ErrorCase{"short_unicode_at_end", "\"\\u12", kEnd, 1, 5},
        ErrorCase{"escape_at_end", "\"\\", kEnd, 1, 2}, ErrorCase{"open_string", "\"abc", kEnd, 1, 4},
        ErrorCase{"short_literal", "tru", kEnd, 1, 3}, ErrorCase{"literal_case", "trUe", kChar, 1, 3},
        ErrorCase{"capital_literal", "True", kChar, 1, 1}, ErrorCase{"null_short", "nul", kEnd, 1, 3},
        ErrorCase{"single_quotes", "'a'", kChar, 1, 1}, ErrorCase{"control_char", std::string("\x01", 1), kChar, 1, 1},
        ErrorCase{"nul_byte", std::string("\0", 1), kChar, 1, 1}, ErrorCase{"open_array", "[", kEnd, 1, 1},
        ErrorCase{"open_object", "{", kEnd, 1, 1}, ErrorCase{"name_only", "{\"a\"", kEnd, 1, 4},
        ErrorCase{"colon_only", "{\"a\":", kEnd, 1, 5},
        // CR LF is one line end; the first character after it is position 1.
        ErrorCase{"crlf_once", "{\r\n\"a\":1,\r\n}", kName, 3, 1}, ErrorCase{"lf_lines", "[\n\n  x]", kChar, 3, 3},
        ErrorCase{"cr_lines", "[\r\r]x", kChar, 3, 2}, ErrorCase{"lf_cr_lf", "[\n\r\n x", kChar, 3, 2},
        // Positions count UTF-16 code units: the emoji is two.
        ErrorCase{"surrogate_pair_counts_two", "\"\xF0\x9F\x8E\xB5\" x", kChar, 1, 6},
        // Nesting deeper than the limit is refused before it can exhaust anything.
        ErrorCase{"too_deep", std::string(kJsonMaxDepth + 1, '['), kMemory, 1, kJsonMaxDepth + 1}),
    [](const ::testing::TestParamInfo<ErrorCase>& info) { return std::string(info.param.name); });

// Catches a parser that recurses per level (stack overflow under ASan) or hangs.
TEST(JsonReader, HostileNestingFailsCleanly) {
  for (const char* open : {"[", "{\"a\":", "[{\"b\":"}) {
    std::string deep;
    for (int i = 0; i < 100000; i++) deep += open;
    EXPECT_EQ(ParseJson(deep), nullptr);
    EXPECT_EQ(JsonErrorMessage(), "Out of memory");
  }
}

// Catches an off-by-one in the depth limit: the limit itself must still parse.
TEST(JsonReader, NestingUpToTheLimitParses) {
  std::string text = std::string(kJsonMaxDepth, '[') + std::string(kJsonMaxDepth, ']');
  auto doc = ParseJson(text);
  ASSERT_NE(doc, nullptr);
  const JsonValue* v = &doc->root;
  int depth = 0;
  while (v && v->IsArray()) {
    depth++;
    v = v->Element(0);
  }
  EXPECT_EQ(depth, kJsonMaxDepth);
}

// Catches integer/double confusion by written form and range.
TEST(JsonReader, NumbersKeepTheirWrittenKind) {
  struct Case {
    const char* text;
    bool integer;
    int64_t i;
    double d;
  } cases[] = {
      {"10", true, 10, 10.0},
      {"1.0", false, 1, 1.0},
      {"-0", true, 0, 0.0},
      {"1e2", false, 100, 100.0},
      {"2E-1", false, 0, 0.2},
      {"00012", true, 12, 12.0},  // leading zeros are not rejected
      {"-17.9", false, -17, -17.9},
      {"9223372036854775807", true, INT64_MAX, 9223372036854775807.0},
      {"-9223372036854775808", true, INT64_MIN, -9223372036854775808.0},
      {"9223372036854775808", false, INT64_MAX, 9223372036854775808.0},  // beyond 64 bits: a double
      {"1e-00011111111111", false, 0, 0.0},                              // exponent underflow, no hang
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto doc = ParseJson(c.text);
    ASSERT_NE(doc, nullptr);
    EXPECT_TRUE(doc->root.IsNumber());
    EXPECT_EQ(doc->root.IsInteger(), c.integer);
    EXPECT_EQ(doc->root.GetInteger(), c.i);
    EXPECT_DOUBLE_EQ(doc->root.GetDouble(), c.d);
  }
  auto big = ParseJson("1e400");
  ASSERT_NE(big, nullptr);
  EXPECT_TRUE(std::isinf(big->root.GetDouble()));
  EXPECT_EQ(big->root.GetInteger(), INT64_MAX);
  // A very long mantissa is read, not refused or slow.
  std::string longMantissa = "0." + std::string(100000, '3');
  auto lm = ParseJson(longMantissa);
  ASSERT_NE(lm, nullptr);
  EXPECT_NEAR(lm->root.GetDouble(), 1.0 / 3.0, 1e-15);
}

// Catches wrong escape decoding and UTF-8 / UTF-16 conversion faults.
TEST(JsonReader, StringsDecodeEscapesAndUtf8) {
  struct Case {
    const char* text;
    std::string utf8;
  } cases[] = {
      {R"("a\"b\\c\/d")", "a\"b\\c/d"},
      {R"("\b\f\n\r\t")", "\b\f\n\r\t"},
      {R"("\u00e9\u00C9")", "\xC3\xA9\xC3\x89"},
      {R"("\ud83c\udfb5")", "\xF0\x9F\x8E\xB5"},  // a surrogate pair joins
      {R"("\ud83cx")", "\xEF\xBF\xBDx"},          // a lone surrogate cannot be UTF-8
      {"\"tab\there\"", "tab\there"},             // raw control characters stay
      {"\"line\r\nend\"", "line\r\nend"},
      {"\"\xC3\xA9t\xC3\xA9\"", "\xC3\xA9t\xC3\xA9"},
      {"\"\xFF\xC3\"", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // invalid UTF-8 becomes U+FFFD
      {"\"\xED\xA0\x80\"", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // encoded surrogate is invalid
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto doc = ParseJson(c.text);
    ASSERT_NE(doc, nullptr) << JsonErrorMessage();
    EXPECT_TRUE(doc->root.IsString());
    EXPECT_EQ(doc->root.GetString(), c.utf8);
  }
  auto pair = ParseJson(R"("\ud83c\udfb5")");
  EXPECT_EQ(pair->root.GetString16().size(), 2u);  // held as two code units
}

// Catches empty containers parsed as null and literal mix-ups.
TEST(JsonReader, ContainersAndLiterals) {
  auto o = ParseJson("{}");
  ASSERT_NE(o, nullptr);
  EXPECT_TRUE(o->root.IsObject());
  EXPECT_EQ(o->root.Size(), 0u);
  auto a = ParseJson(" \t\r\n[] \t\r\n");
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(a->root.IsArray());
  EXPECT_EQ(a->root.Size(), 0u);
  auto l = ParseJson("[true,false,null,\"\",0]");
  ASSERT_NE(l, nullptr);
  ASSERT_EQ(l->root.Size(), 5u);
  EXPECT_TRUE(l->root.Element(0)->GetBool());
  EXPECT_TRUE(l->root.Element(1)->IsBoolean());
  EXPECT_FALSE(l->root.Element(1)->GetBool());
  EXPECT_TRUE(l->root.Element(2)->IsNull());
  EXPECT_TRUE(l->root.Element(3)->IsString());
  EXPECT_EQ(l->root.Element(5), nullptr);
}

// Catches lookups that ignore case rules, duplicates that are kept twice, and lost order.
TEST(JsonReader, MembersDuplicatesAndOrder) {
  auto doc = ParseJson(R"({"b":1,"a":2,"B":3,"b":4})");
  ASSERT_NE(doc, nullptr);
  const JsonValue& r = doc->root;
  ASSERT_EQ(r.Size(), 3u);
  EXPECT_EQ(r.MemberName(0), "b");
  EXPECT_EQ(r.MemberName(1), "a");
  EXPECT_EQ(r.MemberName(2), "B");
  EXPECT_EQ(r.Member("b")->GetInteger(), 4);  // the later duplicate wins
  EXPECT_EQ(r.Member("B")->GetInteger(), 3);
  EXPECT_EQ(r.Member("c"), nullptr);

  // Large objects use an index; it must agree with the member table, duplicates included.
  std::string big = "{";
  for (int i = 0; i < 5000; i++) big += "\"m" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  big += "\"m17\":-1}";
  auto bd = ParseJson(big);
  ASSERT_NE(bd, nullptr);
  EXPECT_EQ(bd->root.Size(), 5000u);
  EXPECT_EQ(bd->root.Member("m4999")->GetInteger(), 4999);
  EXPECT_EQ(bd->root.Member("m17")->GetInteger(), -1);
  EXPECT_EQ(bd->root.MemberName(17), "m17");
}

// Catches an error record that is not reset by the next parse, or shared between threads.
TEST(JsonReader, ErrorRecordIsPerThreadAndReset) {
  EXPECT_EQ(ParseJson("[x"), nullptr);
  EXPECT_EQ(JsonErrorMessage(), "Unexpected character");
  std::string other;
  int64_t otherLine = 0;
  std::thread t([&] {
    ParseJson("{\"a\" 1}");
    other = JsonErrorMessage();
    otherLine = JsonErrorLine();
  });
  t.join();
  EXPECT_EQ(other, "Expected a ':' character");
  EXPECT_EQ(otherLine, 1);
  EXPECT_EQ(JsonErrorMessage(), "Unexpected character");  // untouched by the other thread
  ASSERT_NE(ParseJson("[]"), nullptr);
  EXPECT_EQ(JsonErrorMessage(), "");
  EXPECT_EQ(JsonErrorLine(), -1);
  EXPECT_EQ(JsonErrorPosition(), -1);
}

// Catches a missing-file load that reports success or a stale message.
TEST(JsonReader, UnreadableFileFails) {
  EXPECT_EQ(LoadJsonFile("/nonexistent-folder-for-tests/x.json"), nullptr);
  EXPECT_EQ(JsonErrorMessage(), "Unable to read file");
}

// Catches getters that crash on a missing parent or accept the wrong kind.
TEST(JsonGetters, DefaultsForMissingAndWrongKinds) {
  auto doc = ParseJson(R"({"i":5,"d":2.75,"s":"x","t":true,"o":{"k":1},"a":["p",3,"q"],"n":null})");
  ASSERT_NE(doc, nullptr);
  const JsonValue* r = &doc->root;
  EXPECT_EQ(GetJsonInteger(r, "i", -1), 5);
  EXPECT_EQ(GetJsonInteger(r, "d", -1), 2);  // truncated toward zero
  EXPECT_EQ(GetJsonInteger(r, "s", -1), -1);
  EXPECT_EQ(GetJsonInteger(r, "t", -1), -1);
  EXPECT_EQ(GetJsonInteger(r, "n", -1), -1);
  EXPECT_EQ(GetJsonInteger(r, "missing", -1), -1);
  EXPECT_EQ(GetJsonInteger(nullptr, "i", -1), -1);
  EXPECT_DOUBLE_EQ(GetJsonFloat(r, "d", 0.0), 2.75);
  EXPECT_DOUBLE_EQ(GetJsonFloat(r, "i", 0.0), 5.0);
  EXPECT_DOUBLE_EQ(GetJsonFloat(r, "s", 9.5), 9.5);
  EXPECT_EQ(GetJsonString(r, "s", "def"), "x");
  EXPECT_EQ(GetJsonString(r, "i", "def"), "def");
  EXPECT_EQ(GetJsonString(nullptr, "s", "def"), "def");
  EXPECT_NE(GetJsonObject(r, "o"), nullptr);
  EXPECT_EQ(GetJsonObject(r, "a"), nullptr);
  EXPECT_EQ(GetJsonInteger(GetJsonObject(r, "o"), "k", 0), 1);
  EXPECT_EQ(GetJsonInteger(GetJsonObject(r, "missing"), "k", 7), 7);
  const JsonValue* a = GetJsonArray(r, "a");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(GetJsonArray(r, "o"), nullptr);
  EXPECT_EQ(GetJsonArrayString(a, 0), "p");
  EXPECT_EQ(GetJsonArrayString(a, 1), "");
  EXPECT_EQ(GetJsonArrayString(a, 9), "");
  EXPECT_EQ(GetJsonArrayString(nullptr, 0), "");
  // An empty name means the value itself.
  EXPECT_EQ(GetJsonInteger(r->Member("i"), "", 0), 5);
  EXPECT_EQ(GetJsonString(r->Member("s"), "", ""), "x");
  EXPECT_EQ(GetJsonObject(r, ""), r);
}

}  // namespace
