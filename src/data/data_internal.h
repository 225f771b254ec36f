// Shared between the files of the data subsystem only.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "data/data.h"

// Settings reading, split so that LoadProgramData can run its own steps in between.
// ReadSettingsFile loads "settings.json" and reads every field (defaults when the file
// is missing or rejected). fileLoaded tells whether the file could be loaded at all;
// major and minor are the version the file declared (5.4 when there was none).
// Returns 1 when the file was accepted.
int ReadSettingsFile(int& fileLoaded, int64_t& major, int64_t& minor);
// Saved copy, debug and songs' folder defaults and the upgrade save.
void FinishSettings(int64_t major, int64_t minor);

// How a member of "settings.json" is read, written and kept in gSettings.
enum SettingKind : int {
  SettingInteger,  // a number, fractions truncated (int64 field)
  SettingInt32,    // a number clamped to the int32 range (int32 field): positions, sizes
  SettingReal,     // a number (float field); beyond the float range it reads as infinite
  SettingText,     // a string (string field under stringLock); default ""
  SettingChoice,   // one of the names in choices (int64 field: the name's index)
  SettingSwitch,   // 1 is on and anything else off, so a stray value never switches on
};

// One member of the settings file. Integers and reals outside min .. max (when
// min < max) are clamped after reading, NaN to min; a choice that names none reads as
// the default.
struct SettingMember {
  const char* section;
  const char* name;
  SettingKind kind;
  double def;
  double min, max;
  std::atomic<int64_t> Settings::*integer;  // Integer, Choice and Switch
  std::atomic<int32_t> Settings::*int32;
  std::atomic<float> Settings::*real;
  std::string Settings::*text;
  std::span<const char* const> choices;
  const char* changeLog;  // Text: the save's log line when it changed
  const char* faultName;  // the name in the writer's fault text when it is not name
};

// The members in the file's order; a section's members follow each other.
std::span<const SettingMember> SettingMembers();

// One member's value in gSettings.
struct SettingValue {
  int64_t number = 0;  // Integer, Int32, Choice, Switch
  float real = 0;      // Real
  std::string text;    // Text
  bool operator==(const SettingValue&) const = default;
};
SettingValue GetSettingValue(const SettingMember& m);
void SetSettingValue(const SettingMember& m, const SettingValue& v);

// Logs a line when debug logging is on.
void DataLog(std::string_view message);
