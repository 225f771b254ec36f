// Shared between the files of the data subsystem only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Settings reading, split so that LoadProgramData can run its own steps in between.
// ReadSettingsFile loads "settings.json" and reads every field (defaults when the file
// is missing or rejected). fileLoaded tells whether the file could be loaded at all;
// major and minor are the version the file declared (5.4 when there was none).
// Returns 1 when the file was accepted.
int ReadSettingsFile(int& fileLoaded, int64_t& major, int64_t& minor);
// Validation, saved copy, debug folder replacement and the upgrade save.
void FinishSettings(int64_t major, int64_t minor);

// Logs a line when debug logging is on.
void DataLog(std::string_view message);
