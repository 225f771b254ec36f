// Replays the inputs the JSON fuzz target found (tests/data/fixtures/fuzz/) with the
// target's own checks, so a fault it once reached cannot come back unnoticed.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "data/data.h"
#include "data_test_util.h"

namespace {

// Catches crashes, error records left unset, and documents that do not survive being
// written and read back.
TEST(JsonFuzzRegression, EveryKeptInputParsesOrFailsCleanly) {
  const std::filesystem::path dir = datatest::FixturePath("fuzz");
  int inputs = 0, parsed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    const std::string bytes = datatest::ReadFile(entry.path().string());
    SCOPED_TRACE(entry.path().filename().string());
    inputs++;
    auto doc = ParseJson(bytes.data(), bytes.size());
    if (!doc) {
      EXPECT_FALSE(JsonErrorMessage().empty());
      EXPECT_GE(JsonErrorLine(), 1);
      EXPECT_GE(JsonErrorPosition(), 1);
      continue;
    }
    parsed++;
    const std::string compact = ComposeJson(doc->root, 0);
    auto again = ParseJson(compact);
    ASSERT_NE(again, nullptr) << JsonErrorMessage();
    EXPECT_EQ(ComposeJson(again->root, 0), compact);
    auto third = ParseJson(ComposeJson(doc->root, 1));
    ASSERT_NE(third, nullptr) << JsonErrorMessage();
    EXPECT_EQ(ComposeJson(third->root, 0), compact);
  }
  EXPECT_GE(inputs, 100);
  EXPECT_GT(parsed, 0);
}

}  // namespace
