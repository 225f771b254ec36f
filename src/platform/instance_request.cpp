// The requests a second start sends to the running instance, one line each; the same
// on both systems, whatever carries them (a local socket, a named pipe).
#include <charconv>

#include "platform/platform.h"

std::string InstanceCommandRequest(int command) { return "command " + std::to_string(command) + "\n"; }

int ParseInstanceRequest(std::string_view text, int* command) {
  const size_t end = text.find('\n');
  if (end == std::string_view::npos) return InstanceRequestNone;  // cut short: not believed
  text = text.substr(0, end);
  if (text == "raise") return InstanceRequestRaise;
  constexpr std::string_view kCommand = "command ";
  if (text.substr(0, kCommand.size()) != kCommand) return InstanceRequestNone;
  text.remove_prefix(kCommand.size());
  int value = 0;
  auto [next, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || next != text.data() + text.size() || value < 1 || value > kMaxInstanceCommand)
    return InstanceRequestNone;
  if (command) *command = value;
  return InstanceRequestCommand;
}
