// "Love This Song" in the shared menu: the command reaches the song log through the main
// window's menu handler and the check mark follows the title playing now.
#include <cmath>

#include "tray_support.h"

// Catches the command marking nothing, a second choice that does not clear the mark, and
// a mark that outlives its title (the next title starts unmarked).
TEST_F(TrayTest, LoveThisSongFollowsTheTitlePlayingNow) {
  SongLogShutdown();
  ASSERT_EQ(BuildTrayMenu(kCreateMenu), 1);
  // No title yet: nothing to mark.
  DispatchEvent(EventMenu, WinMain, MenuLoveSong, 0);
  EXPECT_EQ(GetMenuItemState(kTrayMenu, MenuLoveSong), 0);
  EXPECT_EQ(SongLogFavouriteNow(), 0);
  SongRow one;
  one.title = "One";
  SongLogTitleStarted(one, 0);
  const int expected[] = {1, 0, 1};
  for (int mark : expected) {
    DispatchEvent(EventMenu, WinMain, MenuLoveSong, 0);
    EXPECT_EQ(SongLogFavouriteNow(), mark);
    EXPECT_EQ(GetMenuItemState(kTrayMenu, MenuLoveSong), mark);
  }
  SongRow two;
  two.title = "Two";
  SongLogTitleStarted(two, 0);
  // The marks are set afresh whenever the menu is shown.
  ASSERT_EQ(BuildTrayMenu(kCreateMenu), 1);
  EXPECT_EQ(GetMenuItemState(kTrayMenu, MenuLoveSong), 0);
  SongLogTitleEnded(0, NAN, NAN, NAN, NAN, NAN);
}
