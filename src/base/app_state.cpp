// The program-wide record and the version strings built from the build constants.
#include <cstdio>

#include "base/base.h"

AppState gApp;

void BuildVersionStrings() {
  gApp.version = std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%d.%04d.%04d.%05d", kBuildStamp[0], kBuildStamp[1], kBuildStamp[2],
                kBuildStamp[3]);
  gApp.versionLong = gApp.version + " (build " + stamp + ")";
}
