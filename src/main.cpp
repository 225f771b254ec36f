// Corvale Player: the executable only hands over to the core.
#include <string>
#include <vector>

#include "core/core.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  // UTF-8 on every system: a station URL or path may hold any letter.
  std::vector<std::string> args = ProgramArguments(argc, argv);
  std::vector<char*> pointers;
  for (std::string& a : args) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  return PlayerMain(static_cast<int>(args.size()), pointers.data());
}
