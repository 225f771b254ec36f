// The installer download after a Yes: where to save it, the download with its progress
// window, the SHA-2 checksum and the start of the verified file. A failed, cancelled or
// unverifiable download leaves no file behind, and nothing unverified is ever started.
#include <random>
#include <string>
#include <utility>

#include "base/text.h"
#include "core/core.h"
#include "data/data.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "update/update.h"
#include "update/update_internal.h"

DownloadProgressState gDownload;

namespace {

constexpr const char* kDownloaderCaption = "Corvale Player Downloader";
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

// Invisible characters make a name read as something it is not: "setup\u202Egpj.exe"
// shows as "setupexe.jpg". UTF-8 is decoded; invalid sequences, controls (C0, C1), line
// and paragraph separators and the format characters (directional marks, embeddings and
// isolates, zero-width and joining characters, the byte-order mark, tags) fail.
bool VisibleText(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    int extra = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : (lead & 0xF8) == 0xF0 ? 3 : -1;
    if (extra < 0 || i + size_t(extra) >= text.size()) return false;
    char32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
      unsigned char next = static_cast<unsigned char>(text[i + size_t(k)]);
      if ((next & 0xC0) != 0x80) return false;
      c = (c << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past Unicode are not UTF-8.
    static const char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (c < kLeast[extra] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return false;
    if (IsInvisibleCodePoint(c)) return false;
    i += size_t(extra) + 1;
  }
  return true;
}

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
    case kDownloadWriteFailed:
      return "Unable to write the downloaded file!";
    default:
      return "Unknown error!";
  }
}

int64_t DownloadProgress(int64_t total, int64_t doneBefore, int64_t length, const void*, void* user) {
  // The window's close (or the program's exit) ends the download at the next block, or
  // while it waits for one.
  if (gDownload.active.load() == 0 || ThreadStopRequested()) return -1;
  if (auto* fetch = static_cast<InstallerFetch*>(user)) {
    // Nothing larger than the limit is taken, announced or not, and nothing that cannot
    // fit the folder's disk.
    int64_t limit = gInstallerSizeLimit.load();
    if (total > limit || doneBefore + length > limit) {
      fetch->refusal = kTooLargeText;
      return -1;
    }
    int64_t free = doneBefore == 0 && total > 0 ? FreeDiskSpace(fetch->folder) : -1;
    if (free >= 0 && total > free) {
      fetch->refusal = kNoSpaceText;
      return -1;
    }
  }
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
  if (!VisibleText(name)) return "";
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

std::string VerifyInstaller(const std::string& path, const std::string& hashField, std::string* copy,
                            const std::string& copyName) {
  if (copy) copy->clear();
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
  // Hashed as it is copied where nobody else can write: the copy is what starts, so what
  // starts is what was checked, whatever happens to the file afterwards.
  std::string copied;
  std::string actual = copyName.empty() ? HashAndCopyFile(path, bits, &copied)
                                         : HashAndCopyFile(path, bits, copyName, &copied);
  // An unreadable file, anything but a regular file, or an empty digest never passes.
  if (actual.empty() || actual != expected) {
    if (!copied.empty()) DeletePrivateCopy(copied);
    return "Checksum mismatch on downloaded file!";
  }
  if (copy)
    *copy = copied;
  else
    DeletePrivateCopy(copied);
  return "";
}

namespace {

// A new name beside the target for the download in progress: the target itself (or an
// older file of that name) is replaced only by a complete, verified download.
std::string PartialName(const std::string& target) {
  std::random_device random;
  static const char kHex[] = "0123456789abcdef";
  std::string suffix;
  for (int i = 0; i < 4; ++i) {
    unsigned v = random();
    for (int j = 0; j < 4; ++j, v >>= 4) suffix += kHex[v & 15];
  }
  return target + ".part-" + suffix;
}

// The text for a failed download: what the callback refused, or the result's own text,
// a write failure on a full disk said as such.
std::string FailureText(int result, const InstallerFetch& fetch) {
  if (!fetch.refusal.empty()) return fetch.refusal;
  if (result == kDownloadWriteFailed) {
    int64_t free = FreeDiskSpace(fetch.folder);
    if (free >= 0 && free < (int64_t(1) << 20)) return kNoSpaceText;
  }
  return DownloadResultText(result);
}

}  // namespace

int DownloadInstaller(const VersionEntry& entry) {
  std::string name = InstallerFileName(entry.download);
  if (name.empty()) {
    if (Logging()) Log("Refused the installer file name of the download URL.");
    Warn("Invalid installer file name!");
    return 0;
  }
  std::string folder = gSettings.GetDownloadSavePath();
  if (folder.empty() || !FolderExists(folder)) {
    folder = GetKnownFolder(KnownFolder::kDownloads);
    gSettings.SetDownloadSavePath(folder);
  }
  if (!folder.empty() && !IsPathSeparator(folder.back())) folder += '/';
  std::string chosen = SaveFileRequester(kDownloaderCaption, folder + name, kInstallerFileFilter, 0);
  if (chosen.empty()) return 0;
  // Only the folder of the answer is taken; the file keeps the download's own name.
  folder = FolderOfPath(chosen);
  if (folder.empty()) return 0;
  gSettings.SetDownloadSavePath(folder);
  std::string target = folder + name;
  // Downloaded beside the target under a new name: on any failure only that file goes,
  // and a file already there under the installer's name is left as it was.
  std::string partial = PartialName(target);

  int opened = IsWindow(WinMain);
  if (opened) PostEvent(EventVersionCheckDone, WinMain, 0);
  gDownload.total.store(0);
  gDownload.done.store(0);
  gDownload.active.store(1);
  InstallerFetch fetch;
  fetch.folder = folder;
  int result = DownloadToFile(entry.download, gApp.userAgent, kChunkSize, partial, DownloadProgress, &fetch,
                              kTimeoutMs, gInstallerLowSpeedMs.load());
  if (Logging()) Log("Download result = " + std::to_string(result));
  // A window closed while the server was silent ends as a failed read: the user's close
  // is what happened, so it stays silent too.
  if (result != 0 && fetch.refusal.empty() && (gDownload.active.load() == 0 || ThreadStopRequested()))
    result = kDownloadAborted;
  if (result == kDownloadAborted && fetch.refusal.empty()) {
    DeleteFileAt(partial);
    CloseDownloaderWindow(opened);
    return 0;
  }
  if (result != 0) {
    DeleteFileAt(partial);
    Warn(FailureText(result, fetch));
    CloseDownloaderWindow(opened);
    return 0;
  }
  CloseDownloaderWindow(opened);
  std::string copy;
  std::string fault = VerifyInstaller(partial, entry.hash, &copy, name);
  if (!fault.empty()) {
    Warn(fault);
    DeleteFileAt(partial);
    return 0;
  }
  // Complete and verified: only now does it take the installer's name.
  if (!ReplaceFileDurably(partial, target)) {
    DeleteFileAt(partial);
    DeletePrivateCopy(copy);
    Warn(DownloadResultText(kDownloadWriteFailed));
    return 0;
  }
  if (!StartDownloadedFile(copy)) {
    if (Logging()) Log("Unable to start the installer.");
    Warn("Unable to start the installer!");
    return 0;
  }
  return 1;
}
