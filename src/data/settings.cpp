// The settings file: defaults, reading with its rejections and validation, and the
// change-detecting writer.
#include <cstring>
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

// The fixed-size fields as plain values, in declaration order: what the change
// detection compares, field by field (padding bytes are not part of the values).
struct SettingsBlock {
  int64_t versionCheck, streamInfo, artwork, trayIcon, bitrate, preset;
  float preset1, preset2;
  int64_t muted, hotkey;
  int64_t measure;
  int32_t mainX, mainY;
  int64_t mainSticky;
  int64_t statsState;
  int32_t statsX, statsY;
  int64_t infoState;
  int32_t infoX, infoY, infoW, infoH;
  int32_t songLogX, songLogY, songLogW, songLogH;
  int32_t prefsX, prefsY;
  int32_t debugX, debugY, debugShow;
  int64_t recordAll;
  bool operator==(const SettingsBlock&) const = default;
};

struct SettingsStrings {
  std::string codec, downloadSavePath, debugSavePath, recordSavePath;
};

SettingsBlock DefaultBlock() {
  SettingsBlock b;
  std::memset(&b, 0, sizeof b);
  b.versionCheck = 1;
  b.streamInfo = 1;
  b.artwork = 1;
  b.trayIcon = 1;
  b.bitrate = 0;
  b.preset = 1;
  b.preset1 = 1.0f;
  b.preset2 = 0.5f;
  b.muted = 0;
  b.hotkey = 0;
  b.measure = MeasureRms;
  b.mainX = b.mainY = kNoPosition;
  b.mainSticky = 0;
  b.statsState = 0;
  b.statsX = b.statsY = kNoPosition;
  b.infoState = 0;
  b.infoX = b.infoY = kNoPosition;
  b.infoW = b.infoH = 0;
  b.songLogX = b.songLogY = kNoPosition;
  b.songLogW = b.songLogH = 0;
  b.prefsX = b.prefsY = kNoPosition;
  b.debugX = b.debugY = kNoPosition;
  b.debugShow = 0;
  b.recordAll = 0;
  return b;
}

SettingsBlock TakeBlock() {
  const Settings& s = gSettings;
  SettingsBlock b;
  std::memset(&b, 0, sizeof b);
  b.versionCheck = s.versionCheck;
  b.streamInfo = s.streamInfo;
  b.artwork = s.artwork;
  b.trayIcon = s.trayIcon;
  b.bitrate = s.bitrate;
  b.preset = s.preset;
  b.preset1 = s.preset1;
  b.preset2 = s.preset2;
  b.muted = s.muted;
  b.hotkey = s.hotkey;
  b.measure = s.measure;
  b.mainX = s.mainX;
  b.mainY = s.mainY;
  b.mainSticky = s.mainSticky;
  b.statsState = s.statsState;
  b.statsX = s.statsX;
  b.statsY = s.statsY;
  b.infoState = s.infoState;
  b.infoX = s.infoX;
  b.infoY = s.infoY;
  b.infoW = s.infoW;
  b.infoH = s.infoH;
  b.songLogX = s.songLogX;
  b.songLogY = s.songLogY;
  b.songLogW = s.songLogW;
  b.songLogH = s.songLogH;
  b.prefsX = s.prefsX;
  b.prefsY = s.prefsY;
  b.debugX = s.debugX;
  b.debugY = s.debugY;
  b.debugShow = s.debugShow;
  b.recordAll = s.recordAll;
  return b;
}

void PutBlock(const SettingsBlock& b) {
  Settings& s = gSettings;
  s.versionCheck = b.versionCheck;
  s.streamInfo = b.streamInfo;
  s.artwork = b.artwork;
  s.trayIcon = b.trayIcon;
  s.bitrate = b.bitrate;
  s.preset = b.preset;
  s.preset1 = b.preset1;
  s.preset2 = b.preset2;
  s.muted = b.muted;
  s.hotkey = b.hotkey;
  s.measure = b.measure;
  s.mainX = b.mainX;
  s.mainY = b.mainY;
  s.mainSticky = b.mainSticky;
  s.statsState = b.statsState;
  s.statsX = b.statsX;
  s.statsY = b.statsY;
  s.infoState = b.infoState;
  s.infoX = b.infoX;
  s.infoY = b.infoY;
  s.infoW = b.infoW;
  s.infoH = b.infoH;
  s.songLogX = b.songLogX;
  s.songLogY = b.songLogY;
  s.songLogW = b.songLogW;
  s.songLogH = b.songLogH;
  s.prefsX = b.prefsX;
  s.prefsY = b.prefsY;
  s.debugX = b.debugX;
  s.debugY = b.debugY;
  s.debugShow = b.debugShow;
  s.recordAll = b.recordAll;
}

SettingsStrings TakeStrings() {
  std::lock_guard<std::mutex> g(gSettings.stringLock);
  return {gSettings.codec, gSettings.downloadSavePath, gSettings.debugSavePath, gSettings.recordSavePath};
}

// The values as last read or written; SaveSettings compares against them. Main thread.
SettingsBlock gSavedBlock = DefaultBlock();
SettingsStrings gSavedStrings;

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

// The file names the measure; only the two known names count, anything else is "rms".
const char* MeasureText(int64_t measure) { return measure == MeasureR128 ? "r128" : "rms"; }
int64_t MeasureFromText(const std::string& text) { return text == "r128" ? MeasureR128 : MeasureRms; }

float ClampPreset(float v) {
  if (!(v >= 0.01f)) v = 0.01f;  // NaN included
  if (v > 1.0f) v = 1.0f;
  return v;
}

}  // namespace

void ResetSettings() {
  PutBlock(DefaultBlock());
  {
    std::lock_guard<std::mutex> g(gSettings.stringLock);
    gSettings.codec.clear();
    gSettings.downloadSavePath.clear();
    gSettings.debugSavePath.clear();
    gSettings.recordSavePath.clear();
  }
  gSavedBlock = DefaultBlock();
  gSavedStrings = SettingsStrings();
  gKeptDocument.reset();
}

std::string DefaultRecordSavePath() {
  std::string music = GetKnownFolder(kFolderMusic, 0);
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
  const SettingsBlock d = DefaultBlock();
  const JsonValue* player = GetJsonObject(root, "player");
  const JsonValue* volume = GetJsonObject(root, "volume");
  const JsonValue* main = GetJsonObject(root, "main");
  const JsonValue* stats = GetJsonObject(root, "stats");
  const JsonValue* info = GetJsonObject(root, "info");
  const JsonValue* songLog = GetJsonObject(root, "songlog");
  const JsonValue* prefs = GetJsonObject(root, "prefs");
  const JsonValue* download = GetJsonObject(root, "download");
  const JsonValue* debug = GetJsonObject(root, "debug");
  const JsonValue* record = GetJsonObject(root, "record");

  SettingsBlock b;
  std::memset(&b, 0, sizeof b);
  b.versionCheck = GetJsonInteger(player, "versioncheck", d.versionCheck);
  b.streamInfo = GetJsonInteger(player, "streaminfo", d.streamInfo);
  b.trayIcon = GetJsonInteger(player, "trayicon", d.trayIcon);
  b.artwork = GetJsonInteger(player, "artwork", d.artwork);
  b.bitrate = GetJsonInteger(player, "bitrate", d.bitrate);
  b.muted = GetJsonInteger(volume, "muted", d.muted);
  b.preset = GetJsonInteger(volume, "preset", d.preset);
  b.preset1 = ReadFloat(volume, "preset1", d.preset1);
  b.preset2 = ReadFloat(volume, "preset2", d.preset2);
  b.hotkey = GetJsonInteger(volume, "hotkey", d.hotkey);
  b.measure = MeasureFromText(GetJsonString(volume, "measure", MeasureText(d.measure)));
  b.mainX = ReadInt32(main, "x", d.mainX);
  b.mainY = ReadInt32(main, "y", d.mainY);
  b.mainSticky = GetJsonInteger(main, "sticky", d.mainSticky);
  b.statsX = ReadInt32(stats, "x", d.statsX);
  b.statsY = ReadInt32(stats, "y", d.statsY);
  b.statsState = GetJsonInteger(stats, "state", d.statsState);
  b.infoX = ReadInt32(info, "x", d.infoX);
  b.infoY = ReadInt32(info, "y", d.infoY);
  b.infoW = ReadInt32(info, "w", d.infoW);
  b.infoH = ReadInt32(info, "h", d.infoH);
  b.infoState = GetJsonInteger(info, "state", d.infoState);
  b.songLogX = ReadInt32(songLog, "x", d.songLogX);
  b.songLogY = ReadInt32(songLog, "y", d.songLogY);
  b.songLogW = ReadInt32(songLog, "w", d.songLogW);
  b.songLogH = ReadInt32(songLog, "h", d.songLogH);
  b.prefsX = ReadInt32(prefs, "x", d.prefsX);
  b.prefsY = ReadInt32(prefs, "y", d.prefsY);
  b.debugX = ReadInt32(debug, "x", d.debugX);
  b.debugY = ReadInt32(debug, "y", d.debugY);
  b.debugShow = ReadInt32(debug, "show", d.debugShow);
  // Anything but 1 leaves recording off: a stray value never fills the disk.
  b.recordAll = GetJsonInteger(record, "all", d.recordAll) == 1 ? 1 : 0;
  PutBlock(b);
  {
    std::string codec = GetJsonString(player, "codec", "");
    std::string downloadPath = GetJsonString(download, "savepath", "");
    std::string debugPath = GetJsonString(debug, "savepath", "");
    std::string recordPath = GetJsonString(record, "savepath", "");
    std::lock_guard<std::mutex> g(gSettings.stringLock);
    gSettings.codec = std::move(codec);
    gSettings.downloadSavePath = std::move(downloadPath);
    gSettings.debugSavePath = std::move(debugPath);
    gSettings.recordSavePath = std::move(recordPath);
  }
  return accepted;
}

void FinishSettings(int64_t major, int64_t minor) {
  Settings& s = gSettings;
  int64_t mode = s.preset;
  if (mode < 0) s.preset = 0;
  if (mode > 2) s.preset = 2;
  s.preset1 = ClampPreset(s.preset1);
  s.preset2 = ClampPreset(s.preset2);

  gSavedBlock = TakeBlock();
  gSavedStrings = TakeStrings();

  // After the saved copy was taken, so the first regular save writes the folder.
  std::string debugPath = s.GetDebugSavePath();
  std::error_code ec;
  if (debugPath.empty() || !std::filesystem::is_directory(Utf8Path(debugPath), ec))
    s.SetDebugSavePath(GetKnownFolder(5, 0));
  // The songs' folder is made when the first song is saved, so an unused default is
  // never created; an empty value means the default.
  if (s.GetRecordSavePath().empty()) s.SetRecordSavePath(DefaultRecordSavePath());

  if (major < 5 || (major == 5 && minor < 4)) SaveSettings(kFreeDocument, kSaveAlways);
}

int SaveSettings(int keep, int force) {
  const SettingsBlock block = TakeBlock();
  const SettingsStrings strings = TakeStrings();

  if (!force) {
    bool changed = false;
    if (!(block == gSavedBlock)) {
      changed = true;
      DataLog("Setting values changed.");
    }
    if (strings.codec != gSavedStrings.codec) {
      changed = true;
      DataLog("Setting codec changed.");
    }
    if (strings.downloadSavePath != gSavedStrings.downloadSavePath) {
      changed = true;
      DataLog("Setting downloader path changed.");
    }
    if (strings.debugSavePath != gSavedStrings.debugSavePath) {
      changed = true;
      DataLog("Setting debug path changed.");
    }
    if (strings.recordSavePath != gSavedStrings.recordSavePath) {
      changed = true;
      DataLog("Setting record path changed.");
    }
    if (!changed) return 1;
  }

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
  auto integer = [&](JsonValue* obj, const char* name, int64_t value, const char* message) {
    if (ok) need(obj->SetMemberInteger(name, value), message);
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
  if (JsonValue* o = object("player", "Invalid JSON object player.")) {
    integer(o, "versioncheck", block.versionCheck, "Invalid JSON member player versioncheck.");
    integer(o, "streaminfo", block.streamInfo, "Invalid JSON member player streaminfo.");
    integer(o, "trayicon", block.trayIcon, "Invalid JSON member player trayicon.");
    integer(o, "artwork", block.artwork, "Invalid JSON member player artwork.");
    integer(o, "bitrate", block.bitrate, "Invalid JSON member player bitrate.");
    text(o, "codec", strings.codec, "Invalid JSON member player codec.");
  }
  if (JsonValue* o = object("volume", "Invalid JSON object volume.")) {
    integer(o, "muted", block.muted, "Invalid JSON member volume muted.");
    integer(o, "preset", block.preset, "Invalid JSON member volume mode.");
    if (ok) need(o->SetMemberDouble("preset1", block.preset1), "Invalid JSON member volume preset1.");
    if (ok) need(o->SetMemberDouble("preset2", block.preset2), "Invalid JSON member volume preset2.");
    integer(o, "hotkey", block.hotkey, "Invalid JSON member volume hotkey.");
    text(o, "measure", MeasureText(block.measure), "Invalid JSON member volume measure.");
  }
  if (JsonValue* o = object("main", "Invalid JSON object main.")) {
    integer(o, "x", block.mainX, "Invalid JSON member main x.");
    integer(o, "y", block.mainY, "Invalid JSON member main y.");
    integer(o, "sticky", block.mainSticky, "Invalid JSON member main sticky.");
  }
  if (JsonValue* o = object("stats", "Invalid JSON object stats.")) {
    integer(o, "x", block.statsX, "Invalid JSON member stats x.");
    integer(o, "y", block.statsY, "Invalid JSON member stats y.");
    integer(o, "state", block.statsState, "Invalid JSON member stats state.");
  }
  if (JsonValue* o = object("info", "Invalid JSON object info.")) {
    integer(o, "x", block.infoX, "Invalid JSON member info x.");
    integer(o, "y", block.infoY, "Invalid JSON member info y.");
    integer(o, "w", block.infoW, "Invalid JSON member info w.");
    integer(o, "h", block.infoH, "Invalid JSON member info h.");
    integer(o, "state", block.infoState, "Invalid JSON member info state.");
  }
  if (JsonValue* o = object("prefs", "Invalid JSON object prefs.")) {
    integer(o, "x", block.prefsX, "Invalid JSON member prefs x.");
    integer(o, "y", block.prefsY, "Invalid JSON member prefs y.");
  }
  if (JsonValue* o = object("download", "Invalid JSON object download.")) {
    text(o, "savepath", strings.downloadSavePath, "Invalid JSON member download savepath.");
  }
  if (JsonValue* o = object("debug", "Invalid JSON object debug.")) {
    integer(o, "x", block.debugX, "Invalid JSON member debug x.");
    integer(o, "y", block.debugY, "Invalid JSON member debug y.");
    integer(o, "show", block.debugShow, "Invalid JSON member debug show.");
    text(o, "savepath", strings.debugSavePath, "Invalid JSON member debug savepath.");
  }
  if (JsonValue* o = object("songlog", "Invalid JSON object songlog.")) {
    integer(o, "x", block.songLogX, "Invalid JSON member songlog x.");
    integer(o, "y", block.songLogY, "Invalid JSON member songlog y.");
    integer(o, "w", block.songLogW, "Invalid JSON member songlog w.");
    integer(o, "h", block.songLogH, "Invalid JSON member songlog h.");
  }
  if (JsonValue* o = object("record", "Invalid JSON object record.")) {
    text(o, "savepath", strings.recordSavePath, "Invalid JSON member record savepath.");
    integer(o, "all", block.recordAll, "Invalid JSON member record all.");
  }
  if (!ok) return 0;

  if (gApp.userFolder.empty() || !SaveJsonFile(*doc, gApp.userFolder + "settings.json", 1)) {
    DataLog("Failed to save JSON settings.");
    return 0;
  }
  // Only a written file moves the saved copy forward, so a failed save is retried by
  // the next regular one. A forced write leaves it where it was.
  if (!force) {
    gSavedBlock = block;
    gSavedStrings = strings;
  }
  DataLog("Settings saved.");
  if (keep) gKeptDocument = std::move(doc);
  return 1;
}
