// The version check and updater: the background check against the station's version
// list, the installer download with its progress window and checksum test, and the
// registration with the external version-check tool (PatchBeacon).
// This header is the whole surface of the subsystem for the others.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

// --- Identity of the running build ---------------------------------------------------
// Release time stamp of this build, compared with a version list's "date".
inline constexpr const char* kBuildTimeStamp = "2025-12-05T21:24:52.003Z";
inline constexpr const char* kPublisherName = "Corvale Productions";
// Major x 65536 + minor of this build (5.4).
constexpr int64_t kBuildVersionNumber = 0x50004;

// --- Version check ---------------------------------------------------------------------
// One release entry of a version list; every field "" until a non-empty string sets it.
// Owned by the check's worker.
struct VersionEntry {
  std::string number;    // "number": major.minor of the latest release
  std::string url;       // "url": a further version-list URL (logged only)
  std::string hash;      // "hash": "<algorithm>:<hex digest>" of the installer
  std::string website;   // "website"
  std::string date;      // "date": release time stamp
  std::string download;  // "download": installer URL, "" when there is nothing to download
};

// FetchVersionList result codes (0 = success).
enum VersionListResult : int {
  VersionListOk = 0,
  VersionListNoBuffer = 1,
  VersionListFetchFailed = 2,
  VersionListEmpty = 3,
  VersionListTooShort = 4,  // fewer than 4 bytes
  VersionListOnlyBom = 5,
  VersionListNotJson = 6,
  VersionListNoRoot = 7,
  VersionListNoArray = 8,  // no "versionlist" array
  VersionListNoEntry = 9,  // no entry for this program
};

// Fetches one version-list URL (idle time-out 10 s, overall deadline VersionListDeadlineMs)
// and fills entry from the first entry whose "id" equals identifier without regard to
// case, or else whose "publisher" and "name" equal the given ones exactly.
int FetchVersionList(const std::string& userAgent, const std::string& url, const std::string& identifier,
                     const std::string& publisher, const std::string& name, VersionEntry& entry);
// The same on a received body (BOM, JSON and entry rules), for the codes 3 to 9.
int ReadVersionList(std::string_view body, const std::string& identifier, const std::string& publisher,
                    const std::string& name, VersionEntry& entry);
// Comparable value of a time stamp "YYYY-MM-DDThh:mm:ss...": year x 10^12 + month x 10^8
// + day x 10^6 + hour x 10^4 + minute x 100 + second; each field is its leading digits.
int64_t TimeStampValue(std::string_view stamp);
// "major.minor" as major x 65536 + minor, the fields as integers ("5.10" > "5.4").
int64_t VersionNumberValue(std::string_view number);
// 1 when the entry is a newer release than this build (later time stamp or higher number).
int IsNewerRelease(const VersionEntry& entry);

// The question texts of the check (version text as "5.4").
std::string CheckFailedText(const std::string& version);
std::string WebsiteQuestionText(const std::string& version, const VersionEntry& entry, int newer);
std::string DownloadQuestionText(const std::string& version, const VersionEntry& entry, int newer);
// The notice of a packaged run: sandbox 1 Flatpak, 2 Snap.
std::string StoreNoticeText(int sandbox);
// The owner of the check's boxes: the preferences window when open, else the main
// window when it exists, else none.
int VersionCheckOwner();

// The worker: manual = 1 when the user asked, 0 for the automatic check. Clears
// gApp.versionCheckThread itself on every path.
void RunVersionCheck(int manual);
// Starts RunVersionCheck as a thread when the slot holds no running check (start-up,
// the 7-day timer, the preferences "Update" button). 1 started, 0 not.
int StartVersionCheck(int manual);
// The automatic starter: only when Settings versioncheck is on.
int StartAutomaticVersionCheck();

// The largest installer the player downloads.
constexpr int64_t kInstallerSizeLimit = int64_t(2) << 30;  // 2 GiB
// Limits of the fetches; tests shorten them. installerLowSpeedMs: an installer download
// that receives less than 1 KiB/s over this long ends.
void SetUpdateLimits(int64_t versionListDeadlineMs, int64_t installerLowSpeedMs, int toolWaitMs,
                     int64_t installerSizeLimit = kInstallerSizeLimit);

// --- Installer download ----------------------------------------------------------------
// Shared between the worker (its progress callback) and the main thread's window.
struct DownloadProgressState {
  std::atomic<int64_t> active{0};  // 0 makes the next block abort the download
  std::atomic<int64_t> total{0};   // Content-Length announced, 0 when none
  std::atomic<int64_t> done{0};    // bytes received so far
};
extern DownloadProgressState gDownload;

// Texts of the download result codes ("Download complete!", ...; "Unknown error!").
std::string DownloadResultText(int code);
// What the installer download's callback is handed: the folder it fills, and what it
// refused (a text to show; "" when it refused nothing).
struct InstallerFetch {
  std::string folder;
  std::string refusal;
};
// The progress callback of the installer download: stores total and done and accepts
// the block while gDownload.active is set (and the worker was not asked to stop); -1
// stops the download. With an InstallerFetch as user it refuses an announced length
// over the size limit or the folder's free space, and stops at the limit without one.
int64_t DownloadProgress(int64_t total, int64_t doneBefore, int64_t length, const void* block, void* user);
// The texts of the size refusals.
inline constexpr const char* kNoSpaceText = "Not enough free disk space for the download!";
inline constexpr const char* kTooLargeText = "The download is larger than 2 GiB!";
// The installer's file name: the last segment of the URL's path (query and fragment cut
// off). "" when the name is unsafe: empty, "..", a leading "." or "-", a path separator
// or a control character.
std::string InstallerFileName(const std::string& url);
// Splits "algorithm:digest[:...]" into its two trimmed parts.
void SplitChecksumField(const std::string& field, std::string* algorithm, std::string* digest);
// Verifies the file against the entry's hash field: "" on a pass, else the text to show
// ("Checksum mismatch on downloaded file!", "Checksum calculation method not specified!",
// "<algorithm> checksum calculation method not supported!"). The file is hashed as it is
// copied into a private folder (HashAndCopyFile) under copyName ("" keeps the file's own
// name); on a pass *copy names that copy, the one to start, which is otherwise removed
// (and always without copy).
std::string VerifyInstaller(const std::string& path, const std::string& hashField, std::string* copy = nullptr,
                            const std::string& copyName = "");
// The worker's steps after a Yes: folder, save dialog, download with the progress
// window, checksum, start. Every failure deletes the file. Returns 1 when the installer
// was started.
int DownloadInstaller(const VersionEntry& entry);

// --- Downloader window (window 5) ---------------------------------------------------------
// show 1 + layout 1 opens (if needed) and lays it out; show 1 + layout 0 refreshes the
// bar and the "KiBi" text; show 0 ends the download (active = 0) and closes it.
int DownloaderWindow(int show, int layout);
// The progress line the open window shows now ("" when closed). Main thread only.
std::string DownloaderWindowText();
// The progress text: done/1024 " / " total/1024 " KiBi", or done/1024 " / ? KiBi".
std::string DownloaderProgressText(int64_t done, int64_t total);
// The bar's value 0..100 (100 when the total is unknown).
int DownloaderProgressValue(int64_t done, int64_t total);

// --- External version-check tool (PatchBeacon) ---------------------------------------------
inline constexpr const char* kPatchBeaconKey = "Software\\PatchBeacon";
// The four options as the tool's parameter text begins ("/find \"" ...).
inline constexpr const char* kToolFind = "/find \"";
inline constexpr const char* kToolCheck = "/check \"";
inline constexpr const char* kToolAdd = "/add \"";
inline constexpr const char* kToolRemove = "/remove \"";
// The tool's location: "Exe" (plain string type) under the machine's "Software\PatchBeacon";
// "" when missing, empty, of another type or not an absolute path.
std::string PatchBeaconExecutable();
// Runs the tool with the option and the version file as an argument vector and returns
// its exit code; -1 when it is not installed, cannot be started, died from a signal or
// did not end within the wait limit (30 s; it is then killed).
int RunPatchBeaconTool(const std::string& option, const std::string& versionFile);
// Start-up: finds, adds or removes the registration of gApp.dataFolder + "version.json",
// sets gApp.toolRegistered and logs "PBT find = <n>.". Returns find. Waits for the tool.
int RegisterWithPatchBeacon();
// The same steps without touching gApp: *registered says whether the tool now has the
// file. Any thread.
int FindOrAddPatchBeaconRegistration(int* registered);
// The tool may take its wait limit (30 s) twice, so the windows never wait for it: the
// registrations run on a worker (gApp.toolThread) whose answer comes back through the
// event queue, to window 1 as EventToolAnswer with object = the request and data = the
// answer, and is applied by HandleToolAnswer on the main thread.
constexpr int EventToolAnswer = 0x10007;
enum ToolRequest : int { ToolStartup = 1, ToolMarkOn = 2, ToolMarkOff = 3 };
// Start-up: its answer sets gApp.toolRegistered, logs "PBT find = <n>." and then starts
// the automatic version check (which must know whether the tool checks for us).
// 1 when the worker started; without one the answer is applied at once.
int StartPatchBeaconRegistration();
// The preferences' "Check For Updates" mark, told to the tool in the background. 1
// started, 0 when another registration is still running.
int StartPatchBeaconUpdate(int on);
void HandleToolAnswer(int request, int answer);
// 1 from the start of a registration until its answer has been applied.
int PatchBeaconBusy();
// The preferences' "Check For Updates" mark: on registers (/find, then /add when not
// registered), off unregisters (/remove). Returns 0 on success, else the tool's code or -1.
int UpdatePatchBeaconRegistration(int on);
