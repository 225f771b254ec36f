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

// The calendar arithmetic: leap years (2100 is none), dates before 1970, and fields out
// of range carrying over as timegm carries them.
TEST(Dates, CalendarArithmetic) {
  const char* mask = "%yyyy-%mm-%dd %hh:%ii:%ss";
  struct Case {
    int64_t date;
    const char* text;
  };
  const Case cases[] = {{MakeDate(2024, 2, 29, 12, 0, 0), "2024-02-29 12:00:00"},
                        {MakeDate(2100, 2, 29, 0, 0, 0), "2100-03-01 00:00:00"},
                        {MakeDate(2000, 2, 29, 0, 0, 0), "2000-02-29 00:00:00"},
                        {-1, "1969-12-31 23:59:59"},
                        {MakeDate(1900, 1, 1, 0, 0, 0), "1900-01-01 00:00:00"},
                        {MakeDate(2025, 13, 1, 0, 0, 0), "2026-01-01 00:00:00"},
                        {MakeDate(2025, 0, 1, 0, 0, 0), "2024-12-01 00:00:00"},
                        {MakeDate(2025, 3, 0, 24, 60, 60), "2025-03-01 01:01:00"},
                        {MakeDate(2038, 1, 19, 3, 14, 8), "2038-01-19 03:14:08"}};
  for (const Case& c : cases) EXPECT_EQ(FormatDate(mask, c.date), c.text);
  EXPECT_EQ(MakeDate(1970, 1, 1, 0, 0, 0), 0);
  EXPECT_EQ(MakeDate(2038, 1, 19, 3, 14, 8), int64_t(1) << 31);
  EXPECT_EQ(MakeDate(1900, 1, 1, 0, 0, 0), -2208988800);
}
