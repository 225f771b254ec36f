// Shared between the files of the updater only.
#pragma once

#include <atomic>
#include <cstdint>

// Limits of the fetches and of the wait on the external tool (SetUpdateLimits).
extern std::atomic<int64_t> gVersionListDeadlineMs;  // a whole version list
extern std::atomic<int64_t> gInstallerLowSpeedMs;    // the installer's lowest-speed window
extern std::atomic<int64_t> gInstallerSizeLimit;     // the largest installer taken, bytes
extern std::atomic<int> gToolWaitMs;                 // one run of the external tool
