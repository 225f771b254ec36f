// The settings file: defaults, reading with its rejections and validation, and the
// change-detecting writer.
#include <algorithm>
#include <array>
#include <filesystem>
#include <limits>
#include <new>
#include <system_error>

#include "base/base.h"
#include "base/text.h"
#include "data/data.h"
#include "data/data_internal.h"
#include "platform/platform.h"

Settings gSettings;

std::string Settings::GetCodec() const {
  std::lock_guard<std::mutex> g(stringLock);
  return codec;
}
void Settings::SetCodec(const std::string& value) {
  std::lock_guard<std::mutex> g(stringLock);
  codec = value;
}
std::string Settings::GetDownloadSavePath() const {
  std::lock_guard<std::mutex> g(stringLock);
  return downloadSavePath;
}
void Settings::SetDownloadSavePath(const std::string& value) {
  std::lock_guard<std::mutex> g(stringLock);
  downloadSavePath = value;
}
std::string Settings::GetDebugSavePath() const {
  std::lock_guard<std::mutex> g(stringLock);
  return debugSavePath;
}
void Settings::SetDebugSavePath(const std::string& value) {
  std::lock_guard<std::mutex> g(stringLock);
  debugSavePath = value;
}
std::string Settings::GetRecordSavePath() const {
  std::lock_guard<std::mutex> g(stringLock);
  return recordSavePath;
}
void Settings::SetRecordSavePath(const std::string& value) {
  std::lock_guard<std::mutex> g(stringLock);
  recordSavePath = value;
}

namespace {

constexpr const char* kMeasureNames[] = {"rms", "r128"};  // by LoudnessMeasure

// One builder per kind, so that a row names only what its kind uses.
constexpr SettingMember Integer(const char* section, const char* name, std::atomic<int64_t> Settings::*field,
                                double def, double min = 0, double max = 0, const char* faultName = nullptr) {
  return {section, name, SettingInteger, def, min, max, field, {}, {}, {}, {}, nullptr, faultName};
}
constexpr SettingMember Int32(const char* section, const char* name, std::atomic<int32_t> Settings::*field,
                              double def) {
  return {section, name, SettingInt32, def, 0, 0, {}, field};
}
constexpr SettingMember Real(const char* section, const char* name, std::atomic<float> Settings::*field, double def,
                             double min, double max) {
  return {section, name, SettingReal, def, min, max, {}, {}, field};
}
constexpr SettingMember Text(const char* section, const char* name, std::string Settings::*field,
                             const char* changeLog) {
  return {section, name, SettingText, 0, 0, 0, {}, {}, {}, field, {}, changeLog};
}
constexpr SettingMember Choice(const char* section, const char* name, std::atomic<int64_t> Settings::*field, double def,
                               std::span<const char* const> choices) {
  return {section, name, SettingChoice, def, 0, 0, field, {}, {}, {}, choices};
}
constexpr SettingMember Switch(const char* section, const char* name, std::atomic<int64_t> Settings::*field) {
  return {section, name, SettingSwitch, 0, 0, 0, field};
}

constexpr double kNoPos = kNoPosition;

// The settings file's members in its order; a member is one row here and one field of
// Settings.
constexpr SettingMember kSettingMembers[] = {
    Integer("player", "versioncheck", &Settings::versionCheck, 1),
    Integer("player", "streaminfo", &Settings::streamInfo, 1),
    Integer("player", "trayicon", &Settings::trayIcon, 1),
    Integer("player", "artwork", &Settings::artwork, 1),
    Integer("player", "bitrate", &Settings::bitrate, 0),
    Text("player", "codec", &Settings::codec, "Setting codec changed."),
    Integer("volume", "muted", &Settings::muted, 0),
    Integer("volume", "preset", &Settings::preset, VolumePreset1, VolumeAuto, VolumePreset2,
            "mode"),  // "volume mode" in the fault
    Real("volume", "preset1", &Settings::preset1, 1.0, 0.01, 1.0),
    Real("volume", "preset2", &Settings::preset2, 0.5, 0.01, 1.0),
    Integer("volume", "hotkey", &Settings::hotkey, 0),
    Choice("volume", "measure", &Settings::measure, MeasureRms, kMeasureNames),
    Int32("main", "x", &Settings::mainX, kNoPos),
    Int32("main", "y", &Settings::mainY, kNoPos),
    Integer("main", "sticky", &Settings::mainSticky, 0),
    Int32("stats", "x", &Settings::statsX, kNoPos),
    Int32("stats", "y", &Settings::statsY, kNoPos),
    Integer("stats", "state", &Settings::statsState, 0),
    Int32("info", "x", &Settings::infoX, kNoPos),
    Int32("info", "y", &Settings::infoY, kNoPos),
    Int32("info", "w", &Settings::infoW, 0),
    Int32("info", "h", &Settings::infoH, 0),
    Integer("info", "state", &Settings::infoState, 0),
    Int32("prefs", "x", &Settings::prefsX, kNoPos),
    Int32("prefs", "y", &Settings::prefsY, kNoPos),
    Text("download", "savepath", &Settings::downloadSavePath, "Setting downloader path changed."),
    Int32("debug", "x", &Settings::debugX, kNoPos),
    Int32("debug", "y", &Settings::debugY, kNoPos),
    Int32("debug", "show", &Settings::debugShow, 0),
    Text("debug", "savepath", &Settings::debugSavePath, "Setting debug path changed."),
    Int32("songlog", "x", &Settings::songLogX, kNoPos),
    Int32("songlog", "y", &Settings::songLogY, kNoPos),
    Int32("songlog", "w", &Settings::songLogW, 0),
    Int32("songlog", "h", &Settings::songLogH, 0),
    Text("record", "savepath", &Settings::recordSavePath, "Setting record path changed."),
    Switch("record", "all", &Settings::recordAll),
};

constexpr size_t kMemberCount = std::size(kSettingMembers);
using SettingValues = std::array<SettingValue, kMemberCount>;

SettingValue DefaultValue(const SettingMember& m) {
  SettingValue v;
  v.number = static_cast<int64_t>(m.def);
  v.real = static_cast<float>(m.def);
  return v;
}

SettingValues DefaultValues() {
  SettingValues values;
  for (size_t i = 0; i < kMemberCount; i++) values[i] = DefaultValue(kSettingMembers[i]);
  return values;
}

SettingValues TakeValues() {
  SettingValues values;
  for (size_t i = 0; i < kMemberCount; i++) values[i] = GetSettingValue(kSettingMembers[i]);
  return values;
}

void StoreValue(Settings& s, const SettingMember& m, const SettingValue& v) {
  switch (m.kind) {
    case SettingInt32:
      (s.*m.int32).store(static_cast<int32_t>(v.number));
      break;
    case SettingReal:
      (s.*m.real).store(v.real);
      break;
    case SettingText: {
      std::lock_guard<std::mutex> g(s.stringLock);
      s.*m.text = v.text;
      break;
    }
    default:
      (s.*m.integer).store(v.number);
      break;
  }
}

void PutValues(const SettingValues& values) {
  for (size_t i = 0; i < kMemberCount; i++) StoreValue(gSettings, kSettingMembers[i], values[i]);
}

// The values as last read or written; SaveSettings compares against them. Main thread.
SettingValues gSavedValues = DefaultValues();

// The document of a save asked to keep it.
std::unique_ptr<JsonDocument> gKeptDocument;

int32_t ReadInt32(const JsonValue* parent, std::string_view name, int32_t def) {
  int64_t v = GetJsonInteger(parent, name, def);
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

float ReadFloat(const JsonValue* parent, std::string_view name, float def) {
  double d = GetJsonFloat(parent, name, def);
  // Beyond the float range the value only has to fail the clamp the same way.
  if (d > std::numeric_limits<float>::max()) return std::numeric_limits<float>::infinity();
  if (d < -std::numeric_limits<float>::max()) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(d);
}

const char* ChoiceName(const SettingMember& m, int64_t index) {
  if (index < 0 || index >= static_cast<int64_t>(m.choices.size())) index = static_cast<int64_t>(m.def);
  return m.choices[static_cast<size_t>(index)];
}

SettingValue ReadMember(const JsonValue* section, const SettingMember& m) {
  SettingValue v = DefaultValue(m);
  const bool ranged = m.min < m.max;
  switch (m.kind) {
    case SettingInteger:
      v.number = GetJsonInteger(section, m.name, v.number);
      if (ranged) v.number = std::clamp(v.number, static_cast<int64_t>(m.min), static_cast<int64_t>(m.max));
      break;
    case SettingInt32:
      v.number = ReadInt32(section, m.name, static_cast<int32_t>(v.number));
      break;
    case SettingReal:
      v.real = ReadFloat(section, m.name, v.real);
      if (ranged) {
        if (!(v.real >= static_cast<float>(m.min))) v.real = static_cast<float>(m.min);  // NaN included
        if (v.real > static_cast<float>(m.max)) v.real = static_cast<float>(m.max);
      }
      break;
    case SettingText:
      v.text = GetJsonString(section, m.name, "");
      break;
    case SettingChoice: {
      const std::string name = GetJsonString(section, m.name, ChoiceName(m, v.number));
      for (size_t i = 0; i < m.choices.size(); i++)
        if (name == m.choices[i]) v.number = static_cast<int64_t>(i);
      break;
    }
    case SettingSwitch:
      v.number = GetJsonInteger(section, m.name, v.number) == 1 ? 1 : 0;
      break;
  }
  return v;
}

// Adds the member to its section object; nullptr when the document could not take it.
JsonValue* WriteMember(JsonValue* section, const SettingMember& m, const SettingValue& v) {
  switch (m.kind) {
    case SettingReal:
      return section->SetMemberDouble(m.name, v.real);
    case SettingText:
      return section->SetMemberString(m.name, v.text);
    case SettingChoice:
      return section->SetMemberString(m.name, ChoiceName(m, v.number));
    default:
      return section->SetMemberInteger(m.name, v.number);
  }
}

// Logs what changed since the saved copy; returns whether anything did.
bool LogChanges(const SettingValues& values) {
  bool numbers = false;
  for (size_t i = 0; i < kMemberCount; i++)
    if (kSettingMembers[i].kind != SettingText && !(values[i] == gSavedValues[i])) numbers = true;
  if (numbers) DataLog("Setting values changed.");
  bool texts = false;
  for (size_t i = 0; i < kMemberCount; i++) {
    if (kSettingMembers[i].kind == SettingText && values[i].text != gSavedValues[i].text) {
      DataLog(kSettingMembers[i].changeLog);
      texts = true;
    }
  }
  return numbers || texts;
}

}  // namespace

Settings::Settings() {
  for (const SettingMember& m : kSettingMembers) StoreValue(*this, m, DefaultValue(m));
}

std::span<const SettingMember> SettingMembers() { return kSettingMembers; }

SettingValue GetSettingValue(const SettingMember& m) {
  const Settings& s = gSettings;
  SettingValue v;
  switch (m.kind) {
    case SettingInt32:
      v.number = (s.*m.int32).load();
      break;
    case SettingReal:
      v.real = (s.*m.real).load();
      break;
    case SettingText: {
      std::lock_guard<std::mutex> g(s.stringLock);
      v.text = s.*m.text;
      break;
    }
    default:
      v.number = (s.*m.integer).load();
      break;
  }
  return v;
}

void SetSettingValue(const SettingMember& m, const SettingValue& v) { StoreValue(gSettings, m, v); }

void ResetSettings() {
  PutValues(DefaultValues());
  gSavedValues = DefaultValues();
  gKeptDocument.reset();
}

std::string DefaultRecordSavePath() {
  std::string music = GetKnownFolder(KnownFolder::kMusic);
  if (music.empty()) return std::string();
  return music + kProgramName + music.back();
}

int NextVolumeMode(int64_t mode) {
  if (mode == VolumePreset1) return VolumePreset2;
  if (mode == VolumePreset2) return VolumeAuto;
  return VolumePreset1;
}

float SettingsVolumeFactor() {
  int64_t mode = gSettings.preset;
  if (mode == VolumePreset1) return gSettings.preset1;
  if (mode == VolumePreset2) return gSettings.preset2;
  return 1.0f;
}

int ReadSettingsFile(int& fileLoaded, int64_t& major, int64_t& minor) {
  fileLoaded = 0;
  major = kVersionMajor;
  minor = kVersionMinor;
  // Without a per-user folder there is no settings file (never one in the current folder).
  std::unique_ptr<JsonDocument> doc;
  if (!gApp.userFolder.empty()) doc = LoadJsonFile(gApp.userFolder + "settings.json");
  const JsonValue* root = nullptr;
  int accepted = 0;
  if (doc) {
    fileLoaded = 1;
    const JsonValue* program = GetJsonObject(&doc->root, "program");
    if (!program) {
      DataLog("Missing object program in settings.json");
    } else if (GetJsonString(program, "id", "") != kProgramId) {
      DataLog("Unknown UUID in settings.json");
    } else {
      SplitVersion(GetJsonString(program, "version", ""), major, minor);
      if (major != 5) {
        DataLog("Unsupported version in settings.json");
      } else {
        root = &doc->root;
        accepted = 1;
      }
    }
  }

  // A rejected file reads as if every object were missing: all defaults.
  for (const SettingMember& m : kSettingMembers) SetSettingValue(m, ReadMember(GetJsonObject(root, m.section), m));
  return accepted;
}

void FinishSettings(int64_t major, int64_t minor) {
  Settings& s = gSettings;
  gSavedValues = TakeValues();

  // After the saved copy was taken, so the first regular save writes the folder.
  std::string debugPath = s.GetDebugSavePath();
  std::error_code ec;
  if (debugPath.empty() || !std::filesystem::is_directory(Utf8Path(debugPath), ec))
    s.SetDebugSavePath(GetKnownFolder(KnownFolder::kDocuments));
  // The songs' folder is made when the first song is saved, so an unused default is
  // never created; an empty value means the default.
  if (s.GetRecordSavePath().empty()) s.SetRecordSavePath(DefaultRecordSavePath());

  if (major < 5 || (major == 5 && minor < 4)) SaveSettings(kFreeDocument, kSaveAlways);
}

int SaveSettings(int keep, int force) {
  const SettingValues values = TakeValues();
  if (!force && !LogChanges(values)) return 1;

  std::unique_ptr<JsonDocument> doc;
  try {
    doc = std::make_unique<JsonDocument>();
    doc->root.SetObject();
  } catch (const std::bad_alloc&) {
    DataLog("Unable to create JSON settings.");
    return 0;
  }

  // Each part in the order of the file; a part that cannot be added ends the save.
  bool ok = true;
  auto need = [&ok](JsonValue* v, const char* message) {
    if (ok && !v) {
      DataLog(message);
      ok = false;
    }
    return ok ? v : nullptr;
  };
  auto text = [&](JsonValue* obj, const char* name, const std::string& value, const char* message) {
    if (ok) need(obj->SetMemberString(name, value), message);
  };
  auto object = [&](const char* name, const char* message) {
    return ok ? need(doc->root.SetMemberObject(name), message) : nullptr;
  };

  const std::string version = std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor);
  if (JsonValue* o = object("program", "Invalid JSON object program.")) {
    text(o, "id", kProgramId, "Invalid JSON member program id.");
    text(o, "version", version, "Invalid JSON member program version.");
    text(o, "title", kProgramName, "Invalid JSON member program title.");
    text(o, "publisher", "Corvale Productions", "Invalid JSON member program publisher.");
  }
  JsonValue* section = nullptr;
  for (size_t i = 0; i < kMemberCount && ok; i++) {
    const SettingMember& m = kSettingMembers[i];
    const std::string where = m.section;
    if (i == 0 || where != kSettingMembers[i - 1].section)
      section = object(m.section, ("Invalid JSON object " + where + ".").c_str());
    if (section) {
      const std::string fault = "Invalid JSON member " + where + " " + (m.faultName ? m.faultName : m.name) + ".";
      need(WriteMember(section, m, values[i]), fault.c_str());
    }
  }
  if (!ok) return 0;

  if (gApp.userFolder.empty() || !SaveJsonFile(*doc, gApp.userFolder + "settings.json", 1)) {
    DataLog("Failed to save JSON settings.");
    return 0;
  }
  // Only a written file moves the saved copy forward, so a failed save is retried by
  // the next regular one. A forced write leaves it where it was.
  if (!force) gSavedValues = values;
  DataLog("Settings saved.");
  if (keep) gKeptDocument = std::move(doc);
  return 1;
}
