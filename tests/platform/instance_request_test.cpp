// The requests a second start hands to the running instance: the line format, and a
// command carried over the real channel (a local socket, on Windows a named pipe).
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace {

struct RequestCase {
  const char* text;
  int kind;
  int command;
};

}  // namespace

// Each row catches a line read as something it does not say.
TEST(InstanceRequest, ParseTable) {
  const RequestCase cases[] = {
      {"raise\n", InstanceRequestRaise, 0},  // the first start's raise stays what it was
      {"command 17\n", InstanceRequestCommand, 17},
      {"command 999\n", InstanceRequestCommand, 999},
      {"command 17", InstanceRequestNone, 0},  // cut short: no line end, not believed
      {"raise", InstanceRequestNone, 0},
      {"command 0\n", InstanceRequestNone, 0},     // below the range
      {"command 1000\n", InstanceRequestNone, 0},  // above it
      {"command -5\n", InstanceRequestNone, 0},
      {"command 17x\n", InstanceRequestNone, 0},  // trailing junk
      {"command  17\n", InstanceRequestNone, 0},
      {"command 99999999999999999999\n", InstanceRequestNone, 0},  // overflow
      {"Command 17\n", InstanceRequestNone, 0},
      {"\n", InstanceRequestNone, 0},
  };
  for (const RequestCase& c : cases) {
    int command = 0;
    EXPECT_EQ(ParseInstanceRequest(c.text, &command), c.kind) << c.text;
    if (c.kind == InstanceRequestCommand) EXPECT_EQ(command, c.command) << c.text;
  }
  EXPECT_EQ(InstanceCommandRequest(17), "command 17\n");
}

// Catches a command that is lost on the way, counted as a raise, or that raises the
// window: two starts, one with a command and one with a raise, reach the listener.
TEST(InstanceRequest, CommandReachesTheListener) {
  const std::string name =
      "corvale-test-handover-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
  const int listener = InstanceListenerOpen(name);
  ASSERT_GE(listener, 0);
  const int first = FindInstanceWindow(name, 1);
  ASSERT_GT(first, 0);
  EXPECT_EQ(SendInstanceRequest(first, InstanceCommandRequest(17)), 1);
  const int second = FindInstanceWindow(name, 1);
  ASSERT_GT(second, 0);
  EXPECT_EQ(ActivateWindow(second), 1);
  std::vector<int> commands;
  int raises = 0;
  for (int i = 0; i < 100 && (commands.empty() || raises == 0); ++i) {
    raises += InstanceListenerRead(listener, &commands);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(raises, 1);
  EXPECT_EQ(commands, std::vector<int>{17});
  InstanceListenerClose(listener);
  // Nobody listens any more: a start finds no instance to hand over to.
  EXPECT_EQ(FindInstanceWindow(name, 1), 0);
}
