#include <gtest/gtest.h>

#include "platform/platform.h"

// Masks: each token zero-padded to two digits, letters in any case, other text copied.
TEST(Dates, FormatsEveryTokenOfTheMasksInUse) {
  int64_t d = MakeDate(2025, 12, 5, 21, 4, 3);
  EXPECT_EQ(FormatDate("%hh:%ii:%ss ", d), "21:04:03 ");
  EXPECT_EQ(FormatDate("Debug %yyyy-%mm-%dd %hh-%ii-%ss", d), "Debug 2025-12-05 21-04-03");
  EXPECT_EQ(FormatDate("%yyyy%mm%dd%hh%ii%ss", d), "20251205210403");
  EXPECT_EQ(FormatDate("%YYYY-%Mm-%dDT%HH:%iI:%SsZ", d), "2025-12-05T21:04:03Z");
  EXPECT_EQ(FormatDate("%yy/%mm", MakeDate(2007, 1, 1, 0, 0, 0)), "07/01");
  EXPECT_EQ(FormatDate("100% %x", d), "100% %x");
}

// The station documents' date form reads back to the same value; junk gives 0.
TEST(Dates, ParsesTheDocumentDateForm) {
  const char* mask = "%yyyy-%mm-%ddT%hh:%ii:%ssZ";
  EXPECT_EQ(ParseDate(mask, "2025-12-05T21:04:03Z"), MakeDate(2025, 12, 5, 21, 4, 3));
  EXPECT_EQ(ParseDate(mask, "1970-01-01T00:00:00Z"), 0);
  EXPECT_EQ(ParseDate(mask, "2025-13-05T21:04:03Z"), 0);
  EXPECT_EQ(ParseDate(mask, "2025-12-05 21:04:03"), 0);
  EXPECT_EQ(ParseDate(mask, ""), 0);
}

// The local date is UTC plus the zone's offset, so the two clocks agree.
TEST(Dates, NowIsUtcPlusTheZoneBias) {
  int64_t utc = static_cast<int64_t>(time(nullptr));
  int64_t local = DateNow();
  EXPECT_LE(std::llabs(local - TimeZoneBias() - utc), 1);
}
