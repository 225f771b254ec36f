// The background version check: fetches the station's version list, picks this
// program's entry, compares it with the running build and asks the user what to do.
#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "core/core.h"
#include "data/data.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "ui/ui.h"
#include "update/update.h"
#include "update/update_internal.h"

namespace {

constexpr const char* kCheckCaption = "Corvale Player Version Check";
constexpr const char* kDownloaderCaption = "Corvale Player Downloader";
constexpr int64_t kVersionListSize = 65536;
constexpr int64_t kFetchTimeoutMs = 10000;

struct Deadline {
  std::chrono::steady_clock::time_point end;
};

// A version list that trickles in is given up at its deadline: the block is refused.
int64_t VersionListDeadline(int64_t, int64_t, int64_t count, const void*, void* user) {
  const Deadline* d = static_cast<const Deadline*>(user);
  return std::chrono::steady_clock::now() > d->end ? 0 : count;
}

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// The integer of a field's leading decimal digits, 0 without any; saturates far above
// any real date or version field.
int64_t LeadingNumber(std::string_view field) {
  int64_t value = 0;
  for (char c : field) {
    if (c < '0' || c > '9') break;
    value = std::min<int64_t>(value * 10 + (c - '0'), 9000000);
  }
  return value;
}

// The index-th field of text split at sep ("" when there are fewer).
std::string_view Field(std::string_view text, char sep, int index) {
  for (int i = 0; i < index; ++i) {
    size_t p = text.find(sep);
    if (p == std::string_view::npos) return std::string_view();
    text.remove_prefix(p + 1);
  }
  size_t p = text.find(sep);
  return p == std::string_view::npos ? text : text.substr(0, p);
}

void SetIfText(const JsonValue* entry, const char* member, std::string& field) {
  const JsonValue* v = entry->Member(member);
  if (v && v->IsString()) {
    std::string s = v->GetString();
    if (!s.empty()) field = s;
  }
}

// Clears the worker's slot when the check ends, whichever way it ends.
struct SlotGuard {
  int self = CurrentThread();
  ~SlotGuard() {
    int expected = self;
    if (self) gApp.versionCheckThread.compare_exchange_strong(expected, 0);
  }
};

void LogLine(const std::string& text) {
  if (Logging()) Log(text);
}

}  // namespace

// Written by SetUpdateLimits before a check starts; read by the workers; atomic.
std::atomic<int64_t> gVersionListDeadlineMs{60000};
// A steady download takes as long as it needs; less than 1 KiB/s over a minute ends it.
std::atomic<int64_t> gInstallerLowSpeedMs{60000};
std::atomic<int64_t> gInstallerSizeLimit{kInstallerSizeLimit};
std::atomic<int> gToolWaitMs{30000};

int ReadVersionList(std::string_view body, const std::string& identifier, const std::string& publisher,
                    const std::string& name, VersionEntry& entry) {
  if (body.empty()) return VersionListEmpty;
  if (body.size() < 4) return VersionListTooShort;
  if (body.substr(0, 3) == "\xEF\xBB\xBF") body.remove_prefix(3);
  if (body.empty()) return VersionListOnlyBom;
  std::unique_ptr<JsonDocument> doc = ParseJson(body);
  if (!doc) return VersionListNotJson;
  if (doc->root.IsNull()) return VersionListNoRoot;
  const JsonValue* list = GetJsonArray(&doc->root, "versionlist");
  if (!list) return VersionListNoArray;
  const JsonValue* match = nullptr;
  std::string wanted = Lower(identifier);
  for (size_t i = 0; i < list->Size() && !match; ++i) {
    const JsonValue* e = list->Element(i);
    if (!e || !e->IsObject()) continue;
    if (Lower(GetJsonString(e, "id", "")) == wanted ||
        (GetJsonString(e, "publisher", "") == publisher && GetJsonString(e, "name", "") == name))
      match = e;
  }
  if (!match) return VersionListNoEntry;
  entry = VersionEntry();
  SetIfText(match, "number", entry.number);
  SetIfText(match, "hash", entry.hash);
  SetIfText(match, "website", entry.website);
  SetIfText(match, "date", entry.date);
  SetIfText(match, "download", entry.download);
  const JsonValue* url = match->Member("url");
  if (url && url->IsArray()) {
    for (size_t i = 0; i < url->Size() && entry.url.empty(); ++i) entry.url = GetJsonArrayString(url, i);
  } else {
    SetIfText(match, "url", entry.url);
  }
  return VersionListOk;
}

int FetchVersionList(const std::string& userAgent, const std::string& url, const std::string& identifier,
                     const std::string& publisher, const std::string& name, VersionEntry& entry) {
  std::vector<char> buffer;
  try {
    buffer.resize(kVersionListSize);
  } catch (...) {
    return VersionListNoBuffer;
  }
  int64_t size = kVersionListSize;
  Deadline deadline{std::chrono::steady_clock::now() + std::chrono::milliseconds(gVersionListDeadlineMs.load())};
  int rc = DownloadToMemory(url, userAgent, 1024, buffer.data(), size, VersionListDeadline, &deadline, kFetchTimeoutMs);
  if (rc != 0) return VersionListFetchFailed;
  return ReadVersionList(std::string_view(buffer.data(), size_t(size)), identifier, publisher, name, entry);
}

int64_t TimeStampValue(std::string_view stamp) {
  size_t t = stamp.find('T');
  std::string_view date = t == std::string_view::npos ? stamp : stamp.substr(0, t);
  std::string_view time = t == std::string_view::npos ? std::string_view() : stamp.substr(t + 1);
  return LeadingNumber(Field(date, '-', 0)) * 1000000000000 + LeadingNumber(Field(date, '-', 1)) * 100000000 +
         LeadingNumber(Field(date, '-', 2)) * 1000000 + LeadingNumber(Field(time, ':', 0)) * 10000 +
         LeadingNumber(Field(time, ':', 1)) * 100 + LeadingNumber(Field(time, ':', 2));
}

int64_t VersionNumberValue(std::string_view number) {
  return LeadingNumber(Field(number, '.', 0)) * 65536 + LeadingNumber(Field(number, '.', 1));
}

int IsNewerRelease(const VersionEntry& entry) {
  return TimeStampValue(kBuildTimeStamp) < TimeStampValue(entry.date) ||
         kBuildVersionNumber < VersionNumberValue(entry.number);
}

std::string CheckFailedText(const std::string& version) {
  return "Unable to check for new version!\n\nThe current release is v" + version +
         "\n\nDo you wish to go to the website?";
}

namespace {
std::string Headline(const std::string& version, const VersionEntry& entry, int newer) {
  if (!newer) return "No new version available!\n\nThe current release is v" + version;
  return std::string("A new version of ") + kProgramName + " is available!\n\nThe current release is v" + version +
         "\n\nThe latest version is " + entry.number;
}
}  // namespace

std::string WebsiteQuestionText(const std::string& version, const VersionEntry& entry, int newer) {
  return Headline(version, entry, newer) + "\n\nDo you wish to go to the website?";
}

std::string DownloadQuestionText(const std::string& version, const VersionEntry& entry, int newer) {
  return Headline(version, entry, newer) + (newer ? "\n\nDo you wish to update?" : "\n\nDo you wish to re-download?");
}

std::string StoreNoticeText(int sandbox) {
  if (sandbox == 2) return "The Snap release is automatically updated by the Snap Store";
  return "The Flatpak release is automatically updated by Flatpak";
}

int VersionCheckOwner() {
  if (IsWindow(WinPrefs)) return WinPrefs;
  if (IsWindow(WinMain)) return WinMain;
  return 0;
}

void RunVersionCheck(int manual) {
  SlotGuard slot;
  // A store package is kept current by its store.
  if (int sandbox = RunningInSandbox()) {
    gSettings.versionCheck.store(0);
    MessageBoxAsync(kCheckCaption, StoreNoticeText(sandbox), MbIconInformation, 0);
    return;
  }
  // The external tool checks for us while it has this installation registered: a
  // registration still under way is waited for.
  while (PatchBeaconBusy() && !ThreadStopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (ThreadStopRequested()) return;
  if (gApp.toolRegistered.load() != 0) {
    if (manual) RunPatchBeaconTool(kToolCheck, gApp.dataFolder + "version.json");
    return;
  }
  VersionEntry entry;
  int result = 0;
  for (const std::string& url : gStation.versionUrls) {
    if (ThreadStopRequested()) return;
    LogLine("Versioncheck versionurl = " + url);
    entry = VersionEntry();
    result = FetchVersionList(gApp.userAgent, url, kProgramId, kPublisherName, kProgramName, entry);
    if (result == 0) break;
  }
  if (result != 0) entry = VersionEntry();
  LogLine("Versioncheck date = " + entry.date);
  LogLine("Versioncheck number = " + entry.number);
  LogLine("Versioncheck hash = " + entry.hash);
  LogLine("Versioncheck url = " + entry.url);
  LogLine("Versioncheck website = " + entry.website);
  LogLine("Versioncheck download = " + entry.download);
  if (ThreadStopRequested()) return;
  if (result != 0) {
    LogLine("Version_JSON_URL_Get = " + std::to_string(result));
    if (manual && MessageBoxSync(kCheckCaption, CheckFailedText(gApp.version), MbYesNo | MbIconQuestion,
                                 VersionCheckOwner()) == IdYes)
      OpenWebPage(gStation.website);
    return;
  }
  int newer = IsNewerRelease(entry);
  if (!newer && !manual) return;
  if (entry.download.empty()) {
    if (MessageBoxSync(kCheckCaption, WebsiteQuestionText(gApp.version, entry, newer), MbYesNo | MbIconQuestion,
                       VersionCheckOwner()) == IdYes)
      OpenWebPage(entry.website.empty() ? gStation.website : entry.website);
    return;
  }
  if (MessageBoxSync(kDownloaderCaption, DownloadQuestionText(gApp.version, entry, newer), MbYesNo | MbIconQuestion,
                     VersionCheckOwner()) != IdYes)
    return;
  if (ThreadStopRequested()) return;
  DownloadInstaller(entry);
}

int StartVersionCheck(int manual) {
  if (IsThread(gApp.versionCheckThread.load())) return 0;
  int thread = CreateThread(RunVersionCheck, manual ? 1 : 0);
  if (!thread) return 0;
  // A worker that ended before this store leaves a finished number: not running either.
  gApp.versionCheckThread.store(thread);
  return 1;
}

// The preferences window's "Update" button.
int StartManualVersionCheck() { return StartVersionCheck(1); }

// The preferences window's "Check For Updates" mark.
int VersionToolRegistration(int on) { return StartPatchBeaconUpdate(on); }

int StartAutomaticVersionCheck() {
  if (gSettings.versionCheck.load() == 0) return 0;
  return StartVersionCheck(0);
}

void SetUpdateLimits(int64_t versionListDeadlineMs, int64_t installerLowSpeedMs, int toolWaitMs,
                     int64_t installerSizeLimit) {
  gVersionListDeadlineMs.store(versionListDeadlineMs);
  gInstallerLowSpeedMs.store(installerLowSpeedMs);
  gToolWaitMs.store(toolWaitMs);
  gInstallerSizeLimit.store(installerSizeLimit);
}
