// Windows of the Win32 runtime. The Windows build opens none yet: the layers below the
// windows (playback, data, platform) ask only whether a window is there to be told.
#include "runtime/runtime.h"

int IsWindow(int window) { return 0; }
