// The installer download after a Yes: where to save it, the download with its progress
// window, the SHA-2 checksum and the start of the verified file. A failed, cancelled or
// unverifiable download leaves no file behind, and nothing unverified is ever started.
#include <string>

#include "core/core.h"
#include "data/data.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "update/update.h"
#include "update/update_internal.h"

DownloadProgressState gDownload;

namespace {

constexpr const char* kDownloaderCaption = "Corvale Player Downloader";
constexpr const char* kInstallerFilter = "Program Installer|*.run;*.bin;*.AppImage;*.deb;*.sh";
constexpr int64_t kChunkSize = 1024;
constexpr int64_t kTimeoutMs = 10000;

std::string TrimSpaces(const std::string& text) {
  size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

// The close goes through the queue behind the open event, so a download that ends
// before its window appeared still closes it.
void CloseDownloaderWindow(int opened) {
  if (opened || IsWindow(WinDownloader)) PostEvent(EventCloseWindow, WinDownloader, 0);
}

void Warn(const std::string& text) { MessageBoxAsync(kDownloaderCaption, text, MbIconWarning, VersionCheckOwner()); }

}  // namespace

std::string DownloadResultText(int code) {
  switch (code) {
    case 0:
      return "Download complete!";
    case kDownloadAborted:
      return "Download aborted!";
    case kDownloadBadProtocol:
      return "Protocol not supported!";
    case kDownloadNoInternet:
      return "Internet connection not available!";
    case kDownloadOpenFailed:
      return "Unable to connect to URL!";
    case kDownloadStatusFailed:
      return "Query failed!";
    case kDownloadStatusNot200:
      return "Unable to retrieve data!";
    case kDownloadNoMemory:
      return "Unable to allocate buffer!";
    case kDownloadReadFailed:
      return "Download failed!";
    case kDownloadTooLarge:
      return "Memory size too small for data!";
    default:
      return "Unknown error!";
  }
}

int64_t DownloadProgress(int64_t total, int64_t doneBefore, int64_t length, const void*, void*) {
  // The window's close (or the program's exit) ends the download at the next block.
  if (gDownload.active.load() == 0 || ThreadStopRequested()) return 0;
  gDownload.total.store(total);
  gDownload.done.store(doneBefore + length);
  return length;
}

std::string InstallerFileName(const std::string& url) {
  std::string path = url;
  size_t cut = path.find_first_of("?#");
  if (cut != std::string::npos) path.resize(cut);
  size_t scheme = path.find("://");
  if (scheme != std::string::npos) {
    size_t slash = path.find('/', scheme + 3);
    path = slash == std::string::npos ? std::string() : path.substr(slash);
  }
  size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  // The name comes from a download: it must stay a plain name inside the chosen folder
  // and must not read as an option or a hidden file.
  if (name.empty() || name[0] == '.' || name[0] == '-') return "";
  if (name.find("..") != std::string::npos) return "";
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F || c == '/' || c == '\\') return "";
  return name;
}

void SplitChecksumField(const std::string& field, std::string* algorithm, std::string* digest) {
  size_t colon = field.find(':');
  *algorithm = TrimSpaces(field.substr(0, colon));
  if (colon == std::string::npos) {
    digest->clear();
    return;
  }
  std::string rest = field.substr(colon + 1);
  size_t second = rest.find(':');
  if (second != std::string::npos) rest.resize(second);
  *digest = TrimSpaces(rest);
}

std::string VerifyInstaller(const std::string& path, const std::string& hashField) {
  std::string algorithm, expected;
  SplitChecksumField(hashField, &algorithm, &expected);
  int bits = 0;
  if (algorithm == "sha-512")
    bits = 512;
  else if (algorithm == "sha-256")
    bits = 256;
  else if (algorithm.empty())
    return "Checksum calculation method not specified!";
  else
    return algorithm + " checksum calculation method not supported!";
  std::string actual = FileHashHex(path, bits);
  // An unreadable file or an empty digest never passes.
  if (actual.empty() || actual != expected) return "Checksum mismatch on downloaded file!";
  return "";
}

int DownloadInstaller(const VersionEntry& entry) {
  std::string name = InstallerFileName(entry.download);
  if (name.empty()) {
    if (Logging()) Log("Refused the installer file name of the download URL.");
    Warn("Invalid installer file name!");
    return 0;
  }
  std::string folder = gSettings.GetDownloadSavePath();
  if (folder.empty() || !FolderExists(folder)) {
    folder = GetKnownFolder(9, 0);
    gSettings.SetDownloadSavePath(folder);
  }
  if (!folder.empty() && folder.back() != '/') folder += '/';
  std::string chosen = SaveFileRequester(kDownloaderCaption, folder + name, kInstallerFilter, 0);
  if (chosen.empty()) return 0;
  // Only the folder of the answer is taken; the file keeps the download's own name.
  size_t slash = chosen.rfind('/');
  folder = slash == std::string::npos ? std::string() : chosen.substr(0, slash + 1);
  if (folder.empty()) return 0;
  gSettings.SetDownloadSavePath(folder);
  std::string target = folder + name;

  int opened = IsWindow(WinMain);
  if (opened) PostEvent(EventVersionCheckDone, WinMain, 0);
  gDownload.total.store(0);
  gDownload.done.store(0);
  gDownload.active.store(1);
  int result = DownloadToFile(entry.download, gApp.userAgent, kChunkSize, target, DownloadProgress, nullptr, kTimeoutMs,
                              gInstallerDeadlineMs.load());
  if (Logging()) Log("Download result = " + std::to_string(result));
  // A window closed while the server was silent ends as a failed read: the user's close
  // is what happened, so it stays silent too.
  if (result != 0 && (gDownload.active.load() == 0 || ThreadStopRequested())) result = kDownloadAborted;
  if (result == kDownloadAborted) {
    DeleteFileAt(target);
    CloseDownloaderWindow(opened);
    return 0;
  }
  if (result != 0) {
    DeleteFileAt(target);
    Warn(DownloadResultText(result));
    CloseDownloaderWindow(opened);
    return 0;
  }
  CloseDownloaderWindow(opened);
  std::string fault = VerifyInstaller(target, entry.hash);
  if (!fault.empty()) {
    Warn(fault);
    DeleteFileAt(target);
    return 0;
  }
  if (!StartDownloadedFile(target)) {
    if (Logging()) Log("Unable to start the installer.");
    Warn("Unable to start the installer!");
    return 0;
  }
  return 1;
}
