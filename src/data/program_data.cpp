// The installed station and version files, the per-user folder and the start-up
// routine that reads them together with the settings.
#include <filesystem>
#include <system_error>

#include "base/base.h"
#include "base/text.h"
#include "data/data.h"
#include "data/data_internal.h"

StationInfo gStation;

void DataLog(std::string_view message) {
  if (Logging()) Log(message);
}

void SplitVersion(std::string_view text, int64_t& major, int64_t& minor) {
  size_t dot = text.find('.');
  major = LeadingInteger(text.substr(0, dot));
  minor = 0;
  if (dot != std::string_view::npos) {
    std::string_view rest = text.substr(dot + 1);
    minor = LeadingInteger(rest.substr(0, rest.find('.')));
  }
}

// A member that is an array contributes its non-empty string elements in order; any
// other kind is read as one string and contributes it when non-empty.
static void AppendUrls(const JsonValue* parent, std::string_view name, std::vector<std::string>& list) {
  if (const JsonValue* array = GetJsonArray(parent, name)) {
    for (size_t i = 0; i < array->Size(); i++) {
      std::string url = GetJsonArrayString(array, i);
      if (!url.empty()) list.push_back(std::move(url));
    }
    return;
  }
  std::string url = GetJsonString(parent, name, "");
  if (!url.empty()) list.push_back(std::move(url));
}

static bool IsOwnRelease(const JsonValue* entry) {
  if (GetJsonString(entry, "id", "") != kProgramId) return false;
  if (GetJsonString(entry, "publisher", "") != "Corvale Productions") return false;
  if (GetJsonString(entry, "name", "") != kProgramName) return false;
  int64_t major = 0, minor = 0;
  SplitVersion(GetJsonString(entry, "version", ""), major, minor);
  return major == kVersionMajor && minor == kVersionMinor;
}

// Files of an earlier release in the per-user folder; never read.
static void DeleteLegacyFiles() {
  std::error_code ec;
  for (const char* name : {"settings.xml", "stream.m3u8", "stream.jspf"})
    std::filesystem::remove(Utf8Path(gApp.userFolder + name), ec);
}

static void CreateUserFolder() {
  namespace fs = std::filesystem;
  const std::string& folder = gApp.userFolder;
  if (folder.empty()) return;
  std::error_code ec;
  if (fs::is_directory(Utf8Path(folder), ec)) return;
  std::string path = folder;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  // The parent (the configuration folder) may not exist yet on a fresh system.
  fs::create_directories(Utf8Path(path), ec);
  if (ec) {
    DataLog("Failed to create folder: " + folder);
  } else if (!fs::is_directory(Utf8Path(folder), ec)) {
    DataLog("Unable to create folder: " + folder);
  }
}

std::string LoadProgramData(int* settingsAccepted) {
  if (settingsAccepted) *settingsAccepted = 0;
  if (gApp.dataFolder.empty()) return "Invalid program data path.";

  // The installed version file: where the version check looks for newer releases.
  {
    auto doc = LoadJsonFile(gApp.dataFolder + "version.json");
    if (!doc) return "Error loading version.json\r\n" + JsonErrorMessage();
    const JsonValue* list = GetJsonArray(&doc->root, "versionlist");
    if (!list) return "Missing array versionlist in version.json";
    gStation.versionUrls.clear();
    // The last matching entry wins; without a match the last entry is taken.
    const JsonValue* chosen = nullptr;
    for (size_t i = 0; i < list->Size(); i++) {
      if (IsOwnRelease(list->Element(i))) chosen = list->Element(i);
    }
    if (!chosen && list->Size() > 0) chosen = list->Element(list->Size() - 1);
    AppendUrls(chosen, "url", gStation.versionUrls);
  }

  // The installed station file.
  {
    auto doc = LoadJsonFile(gApp.dataFolder + "station.json");
    if (!doc) return "Error loading station.json\r\n" + JsonErrorMessage();
    gStation.name.clear();
    gStation.id.clear();
    gStation.website.clear();
    gStation.refreshInterval = 0;
    gStation.infoUrls.clear();
    const JsonValue* stations = GetJsonArray(&doc->root, "stationlist");
    if (stations && stations->Size() > 0) {
      const JsonValue* station = stations->Element(0);
      gStation.name = GetJsonString(station, "name", "");
      gStation.id = GetJsonString(station, "id", "");
      double seconds = GetJsonFloat(station, "refresh", 0.0);
      double ms = seconds * 1000.0;
      // Out-of-range values only need to fail the bounds check below.
      gStation.refreshInterval = (ms > 1e15 || ms < -1e15) ? -1 : static_cast<int64_t>(ms);
      gStation.website = GetJsonString(station, "website", "");
      AppendUrls(station, "info", gStation.infoUrls);
    }
    if (gStation.infoUrls.empty()) return "No stream info or backups found in station.json";
  }

  int fileLoaded = 0;
  int64_t major = kVersionMajor, minor = kVersionMinor;
  int accepted = ReadSettingsFile(fileLoaded, major, minor);
  if (!fileLoaded) {
    DeleteLegacyFiles();
    CreateUserFolder();
  }

  // One minute to one day, both bounds allowed; also the default when missing.
  if (gStation.refreshInterval < 60000 || gStation.refreshInterval > 86400000) gStation.refreshInterval = 3600000;

  FinishSettings(major, minor);
  if (settingsAccepted) *settingsAccepted = accepted;
  return "";
}
