// The environment calls of the tests on every system: on Windows, setenv and unsetenv
// act on the C library's environment, which the player and the audio library read.
#pragma once

#include <cstdlib>

#ifdef _WIN32
// An empty value removes the variable there, as unsetenv does.
inline int setenv(const char* name, const char* value, int overwrite) {
  if (!overwrite && std::getenv(name)) return 0;
  return _putenv_s(name, value);
}
inline int unsetenv(const char* name) { return _putenv_s(name, ""); }
#endif
