// Operating-system services: folders, clocks and dates, the single-instance lock, HTTP,
// hashes and processes. Only this layer calls the system, libcurl and the crypto
// libraries directly. No Qt here. The Linux build's files lie in this folder, the Windows
// build's in win/; the files without system calls serve both.
//
// What the Windows build gives another meaning: paths are UTF-8 (UTF-16 at every call)
// and folders end with "\" where the Linux build's end with "/". Known folders are the
// shell's: per user 1 Start-menu programs, 2 Desktop, 3 the per-user program files,
// 4 roaming application data, 5 Documents, 6 Startup, 8 local application data,
// 9 Downloads; for all users 1 the common programs, 2 the public desktop, 3 Program
// Files, 4 and 8 ProgramData, 5 the public documents, 6 the common Startup, 9 the public
// downloads. The single instance is the mutex Local\<name> and the pipe
// \\.\pipe\<name>-<session>, which the window side polls. IsLinuxVersionAtLeast asks for
// the Windows (NT) version (6.1 = Windows 7); GetUiLanguage is Windows' interface
// language; RegisterApplicationRestart registers for restarts after an update (1 when
// registered); RunningInSandbox is 1 for a packaged program. The registry is the real
// one (RegistryFilePath names the root). Programs start through CreateProcessW with
// their arguments quoted for CommandLineToArgvW, a waited-for tool inside a job object
// that holds all it starts, a crash's status as a negative exit code; the shell's "open"
// stands in for xdg-open. HTTPS is checked against Windows' certificate store unless
// SSL_CERT_FILE names a PEM file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// --- Clocks and dates --------------------------------------------------------
// Milliseconds of CLOCK_MONOTONIC as an unsigned 32-bit value (wraps like timeGetTime).
uint32_t TimeGetTime();
// Date values: whole seconds since 1970-01-01 00:00:00 counted on the local wall clock.
int64_t DateNow();
// Local wall clock minus UTC in seconds (tm_gmtoff of now); add to a UTC value to get local.
int64_t TimeZoneBias();
// Replaces %yyyy %yy %mm %dd %hh %ii %ss (any letter case) by the date's fields, at
// least two digits, zero-padded; every other character is copied unchanged.
std::string FormatDate(std::string_view mask, int64_t date);
// Reads a text written with the same mask back into a date value; 0 when it does not fit.
int64_t ParseDate(std::string_view mask, std::string_view text);
// Builds a date value from its fields (no time-zone conversion).
int64_t MakeDate(int year, int month, int day, int hour, int minute, int second);

// --- Numbers in texts ------------------------------------------------------------
// A double with exactly `decimals` digits after a point ("%.*f"), whatever the user's
// locale says: files, logs and window texts always use a decimal point.
std::string FormatFixed(double value, int decimals);

// --- Loudness (EBU R128, ITU-R BS.1770) ----------------------------------------------
// A meter of the integrated loudness, loudness range and true peak of interleaved float
// frames. Its memory stays the same however long it measures. One thread at a time.
struct LoudnessMeter;
struct LoudnessFigures {
  double lufs;      // integrated loudness, LUFS
  double luRange;   // loudness range, LU (0 when too short to tell)
  double truePeak;  // dBTP, the largest of all channels
};
// rate 8000 .. 384000 Hz, channels 1 .. 8 (1: mono heard on two speakers); nullptr when
// the format is out of range or memory is short.
LoudnessMeter* CreateLoudnessMeter(int64_t rate, int64_t channels);
void FreeLoudnessMeter(LoudnessMeter* meter);
// The frames that follow come in another format: what was measured so far stays. 1, or
// 0 when the format is out of range (nothing changes) or the meter broke (it then
// measures nothing more and is to be freed).
int LoudnessMeterFormat(LoudnessMeter* meter, int64_t rate, int64_t channels);
// frameCount frames of the meter's channel count, interleaved. Samples must be finite.
int AddLoudnessFrames(LoudnessMeter* meter, const float* frames, size_t frameCount);
// 1 with the figures of everything added; 0 with all three NaN when nothing rose above
// the gate of -70 LUFS over a 400 ms block (silence, or too short).
int ReadLoudness(LoudnessMeter* meter, LoudnessFigures* figures);
int64_t LoudnessMeterFrames(const LoudnessMeter* meter);

// --- Folders -------------------------------------------------------------------
// The current user's folders the player asks for.
enum class KnownFolder : int {
  kUserConfig,  // the per-user settings' parent: $XDG_CONFIG_HOME (~/.config); roaming application data
  kUserData,    // $XDG_DATA_HOME (~/.local/share); the local application data
  kDocuments,   // XDG_DOCUMENTS_DIR of user-dirs.dirs (~/Documents); the shell's Documents
  kDownloads,   // XDG_DOWNLOAD_DIR (~/Downloads); the shell's Downloads
  kMusic,       // XDG_MUSIC_DIR (~/Music); the shell's Music
};
// The folder ending with "/" (with "\" on Windows). A missing folder is created; one that
// cannot be created gives "". On Linux the settings and data folders are made private.
std::string GetKnownFolder(KnownFolder kind);
// The player's own per-user data folder (the song log's database lives there), created
// when missing: KnownFolder::kUserData + "corvale-player/" ($XDG_DATA_HOME, default
// ~/.local/share); on Windows the local application data folder + "Corvale Player\". ""
// when it cannot be made.
std::string UserDataFolder();
bool FolderExists(const std::string& path);
bool FileExists(const std::string& path);
// Folder of the running executable, ending with "/".
std::string ExecutableFolder();
// 1 when path names the same file whatever the current folder is: "/..." on Linux; on
// Windows a drive path ("C:\..." or "C:/...") or a UNC path ("\\server\share..."), never
// a drive-relative "C:name" nor a rooted "\name", which depend on the current drive.
int IsAbsolutePath(std::string_view path);
// 1 for a character that ends a folder name in a path: "/" (and "\" on Windows).
int IsPathSeparator(char c);
// The path up to and including its last separator; "" when it has none.
std::string FolderOfPath(const std::string& path);

// --- What differs between the builds -----------------------------------------------
// The oldest system the player runs on (IsLinuxVersionAtLeast's major and minor) and the
// error text shown on an older one.
struct OldestSystem {
  int major, minor;
  const char* error;
};
extern const OldestSystem kOldestSystem;
// The save dialog's filter for a downloaded installer ("Name|*.a;*.b").
extern const char* const kInstallerFileFilter;
// The message box text when the desktop's opener of web pages cannot be started.
extern const char* const kBrowserStartError;

// --- HTTP fetch into memory ----------------------------------------------------------
// Result codes shared by the HTTP fetches (0 = success).
constexpr int kDownloadAborted = 0x20000001;         // the progress callback stopped it
constexpr int kDownloadBadProtocol = 0x20000002;     // not http:// or https://
constexpr int kDownloadNoInternet = 0x20000003;      // no session could be opened
constexpr int kDownloadOpenFailed = 0x20000004;      // cannot open the URL or file
constexpr int kDownloadStatusFailed = 0x20000005;    // no status from the server
constexpr int kDownloadStatusNot200 = 0x20000006;
constexpr int kDownloadNoMemory = 0x20000007;
constexpr int kDownloadReadFailed = 0x20000008;
constexpr int kDownloadTooLarge = 0x20000009;        // does not fit the buffer, or empty
constexpr int kDownloadWriteFailed = 0x2000000A;     // the received data could not be written
// Called before each block is stored: (announced total or 0, bytes received before this
// block, block size n, block, user); returning anything but n stores only that many
// bytes and ends the fetch with kDownloadAborted.
using DownloadCallback = int64_t (*)(int64_t total, int64_t received, int64_t count,
                                     const void* block, void* user);
// Fetches url (http or https, certificates checked, at most 8 redirects to http or
// https) into buffer. size: the capacity on entry, the bytes received on return.
// Blocks of at most chunkSize bytes; timeoutMs (0 = none) bounds the connect and every
// wait for data. Returns 0 or one of the result codes above.
int DownloadToMemory(const std::string& url, const std::string& userAgent, int64_t chunkSize,
                     void* buffer, int64_t& size, DownloadCallback callback, void* callbackUser,
                     int64_t timeoutMs);

// --- Application identity ----------------------------------------------------------
// Desktop file name (without ".desktop") and window class of the program.
inline constexpr const char* kApplicationId = "corvale-player";

// --- Single instance -----------------------------------------------------------------
// Releases the lock held from an earlier call, then takes an flock'ed lock file named by
// `name` in $XDG_RUNTIME_DIR (else the temp folder, per user). "" only releases: 0.
// Returns 1 when this process holds the lock, 2 when another process holds it, 0 on error.
int SingleInstanceLock(const std::string& name);
// Paths of the lock file and of the local socket of the running instance.
std::string InstanceLockPath(const std::string& name);
std::string InstanceSocketPath(const std::string& name);
// Second start: connects to the running instance's socket. Returns a handle (> 0) or 0
// when no instance listens (still starting, or none). value 0 gives 0 at once.
int FindInstanceWindow(const std::string& name, int value);
// Sends the raise request over the handle from FindInstanceWindow and closes it. 1 sent.
int ActivateWindow(int handle);
// Sends another request (a line, see InstanceCommandRequest) over the handle from
// FindInstanceWindow and closes it, without raising anything. 1 sent.
int SendInstanceRequest(int handle, const std::string& request);
// A menu command handed to the running instance ("command N\n"), N 1..kMaxInstanceCommand.
constexpr int kMaxInstanceCommand = 999;
std::string InstanceCommandRequest(int command);
// What one received line asks: raise the window, or a command (*command set). A line
// without its end, or anything else, is no request.
enum InstanceRequest : int { InstanceRequestNone = 0, InstanceRequestRaise = 1, InstanceRequestCommand = 2 };
int ParseInstanceRequest(std::string_view text, int* command);
// First instance: listens on the socket (non-blocking). Returns the descriptor or -1.
int InstanceListenerOpen(const std::string& name);
// Accepts the waiting connections and reads their requests; returns how many asked to
// raise the window; the commands asked for go to *commands in order (when given). Never
// blocks.
int InstanceListenerRead(int listener, std::vector<int>* commands = nullptr);
// Closes the listener and removes its socket file.
void InstanceListenerClose(int listener);

// --- The network's state ------------------------------------------------------------------
// 1 when an interface other than loopback is up with an address (Linux: getifaddrs; Windows:
// GetAdaptersAddresses), else 0.
int NetworkIsUp();
// Follows the system's address and route changes (Linux: a netlink route socket; Windows:
// NotifyAddrChange) on a thread of its own, and calls changed(up) there whenever
// NetworkIsUp's answer differs from the last one given (the first call gives the state at
// the start). 1 when the watch runs. One watch at a time; Stop joins its thread.
using NetworkChangeProc = void (*)(int up);
int StartNetworkWatch(NetworkChangeProc changed);
void StopNetworkWatch();

// --- Probes ----------------------------------------------------------------------------
// 1 when the running kernel is at least major.minor (uname), else 0.
int IsLinuxVersionAtLeast(int major, int minor);
// Parses a kernel release text ("6.1.0-13-amd64") into major and minor; 1 or 0.
int ParseKernelRelease(std::string_view release, int* major, int* minor);
// The user's interface language: ISO 639 code from LC_ALL, LC_MESSAGES, LANG (the first
// set and non-empty), the part before "_" (and before "." or "@"), lower case; "C" and
// "POSIX" give "".
std::string GetUiLanguage();
std::string UiLanguageFromLocale(std::string_view locale);
// Counterpart of the restart registration: nothing to register on Linux; returns 1 when
// a session manager (SESSION_MANAGER) is there to restart the program, else 0.
int RegisterApplicationRestart();
// Store-package test: 1 inside Flatpak, 2 inside Snap, 0 otherwise. Decided by where the
// running executable lies and by /.flatpak-info, never by inherited variables alone.
int RunningInSandbox();
// The rule behind it: the executable's real path, $SNAP ("" when unset) and whether
// /.flatpak-info exists. Snap only when the executable lies inside $SNAP.
int SandboxFromFacts(const std::string& executable, const std::string& snap, bool flatpakInfo);

// --- Files ------------------------------------------------------------------------------
// Buffered files: writes collect in a buffer of the default size (131072 bytes unless
// changed) and reach the disk when it fills, on flush and on close. Other processes may
// read the file while it is open. Handles are > 0; 0 is failure. Thread-safe per call;
// callers serialise their own records.
void SetFileBufferSize(size_t bytes);
size_t FileBufferSize();
// Creates (or truncates) the file for writing.
int CreateBufferedFile(const std::string& path);
// Opens for appending, creating it when missing.
int AppendBufferedFile(const std::string& path);
int WriteBufferedFile(int file, std::string_view data);
int FlushBufferedFile(int file);
int CloseBufferedFile(int file);
// Closes every open buffered file (teardown), writing their buffers.
void CloseAllBufferedFiles();
// Whole-file helpers. 1 or 0.
int ReadWholeFile(const std::string& path, std::string& out);
int WriteWholeFile(const std::string& path, std::string_view data);
// Puts a completely written temporary file in place of path so that a crash or a power
// cut leaves either the old or the new file: the temporary's data reach the disk
// (fsync) before the rename, and the folder's entry after it. 1 or 0 (temp is kept).
int ReplaceFileDurably(const std::string& temp, const std::string& path);
int CreateFolder(const std::string& path);  // one level, mode 0700 for per-user data
int DeleteFileAt(const std::string& path);
int64_t FileSize(const std::string& path);  // -1 when missing

// --- Hashes --------------------------------------------------------------------------------
// SHA-256 (bits 256) or SHA-512 (bits 512) of a file's contents as lower-case hex; "" on
// failure (unreadable file, other bit count).
std::string FileHashHex(const std::string& path, int bits);
std::string DataHashHex(std::string_view data, int bits);
// A downloaded installer is checked and started as one and the same content: the file at
// path (a regular file; a link, a FIFO or a device is refused) is read once through one
// descriptor, hashed (bits 256 or 512) and copied on the way into a new folder that only
// this user can write ($XDG_RUNTIME_DIR, else the user's cache folder), keeping its name.
// Returns the lower-case hex digest with the copy named in *copyPath; "" on any failure,
// leaving no copy. Copies made earlier are removed.
std::string HashAndCopyFile(const std::string& path, int bits, std::string* copyPath);
// The same with the copy named copyName (a plain file name): a file downloaded under a
// temporary name is started under its own.
std::string HashAndCopyFile(const std::string& path, int bits, const std::string& copyName, std::string* copyPath);
// Removes a copy made by HashAndCopyFile and its folder. 1 or 0.
int DeletePrivateCopy(const std::string& copyPath);
// Bytes free for this user in the folder's file system; -1 when unknown.
int64_t FreeDiskSpace(const std::string& folder);

// --- Processes ------------------------------------------------------------------------------
// Keeps the allocator to two memory arenas, before the first thread starts. Each new
// stream runs on new threads, and the allocator would otherwise give them fresh arenas
// until it reaches its limit (eight per core): the resident memory steps up by about a
// megabyte at each of the first reconnects.
void LimitMemoryArenas();
// Splits a Windows-style parameter text ("/find \"C:\\a b\\v.json\"") into arguments.
std::vector<std::string> SplitCommandLine(std::string_view text);
// The program's own arguments as UTF-8, the program first: on Windows read from the wide
// command line (main's argv is in the ANSI code page there); elsewhere argv as given.
std::vector<std::string> ProgramArguments(int argc, char** argv);
// Every program started here gets only the standard descriptors (input, output, error):
// nothing the player or its libraries opened reaches it. Programs not waited for are
// collected when they end, so none stays a zombie.
// Starts program with arguments (posix_spawn, PATH searched when it has no "/").
// wait = 1: waits and stores its exit code (128 + signal when killed). Returns 1 started, 0 not.
int RunProcess(const std::string& program, const std::vector<std::string>& args, int wait,
               int* exitCode);
// Opens a URL or file with the desktop's default program: $CORVALE_OPENER when set
// (tests), else xdg-open. Does not wait. 1 when the opener started.
int OpenWithShell(const std::string& target);

// --- Registry -----------------------------------------------------------------------------
// A small file-backed registry with typed values. Machine-wide file: $CORVALE_REGISTRY_SYSTEM
// or /etc/xdg/corvale-player/registry; per-user: $CORVALE_REGISTRY_USER or
// $XDG_CONFIG_HOME/corvale-player/registry. Text lines: "[Key\\Path]" then
// name=sz:text | name=dword:123 | name=qword:123 (keys compare without regard to case).
enum RegistryRoot : int { RegLocalMachine = 1, RegCurrentUser = 2 };
// name=expand_sz:text is the expandable-string type, kept apart from plain text.
enum RegistryType : int { RegNone = 0, RegSz = 1, RegExpandSz = 2, RegDword = 4, RegQword = 11 };
std::string RegistryFilePath(int root);
// Reads a value: returns its RegistryType (RegNone when the key or value is missing)
// and the value as text.
int RegistryQuery(int root, const std::string& key, const std::string& name, std::string* value);
// Writes (creates) a value; 1 or 0.
int RegistrySet(int root, const std::string& key, const std::string& name, int type,
                const std::string& value);

// --- Downloads into files and programs that must not hold the caller ------------------------
// Fetches url (http or https, the same session rules as DownloadToMemory) into filePath,
// which is created after the server answered 200 (an existing file is replaced; a link is
// never followed). The callback sees each block of at most chunkSize bytes as in
// DownloadToMemory; returning anything but n writes only that many bytes and ends with
// kDownloadAborted. timeoutMs bounds the connect and every wait for data. With
// lowSpeedMs > 0, a fetch that receives less than 1 KiB/s over that long ends (however
// long a steady one takes), so a server trickling bytes cannot hold it forever; while
// the fetch waits for data the callback is also called about once a second with count
// 0 and no block, and an answer other than 0 ends it with kDownloadAborted. A write
// failure is kDownloadWriteFailed, a low speed kDownloadReadFailed. The caller deletes
// the file after a failure.
int DownloadToFile(const std::string& url, const std::string& userAgent, int64_t chunkSize,
                   const std::string& filePath, DownloadCallback callback, void* userData, int64_t timeoutMs,
                   int64_t lowSpeedMs = 0);
// Starts program with an argument vector (never a shell line) in its own process group
// and waits at most timeoutMs for it. Returns 1 when it ended (exit code stored; -1 when
// a signal ended it), 2 when the time limit passed and the whole group was
// killed, 0 when it could not be started.
int RunProcessWait(const std::string& program, const std::vector<std::string>& args, int timeoutMs,
                   int* exitCode);
// The same, also ended (as by the time limit, returning 2) as soon as stopRequested()
// answers 1: a worker asked to stop at exit does not wait out the limit.
int RunProcessWait(const std::string& program, const std::vector<std::string>& args, int timeoutMs,
                   int* exitCode, int (*stopRequested)());
// Starts a downloaded file without waiting, by its name: only for a copy from
// HashAndCopyFile, whose folder nobody else can write, so what starts is what was
// hashed. A program (ELF or "#!" script) gets its owner's executable bit and is started
// with no arguments; anything else (a .deb, or a program that fails to start) goes to
// the desktop's opener. 1 started, 0 not.
int StartDownloadedFile(const std::string& path);

// --- Song store (SQLite) -------------------------------------------------------------------
// The song log's database: one row per heard title. Dates are UTC ISO 8601 texts
// ("2026-12-07T22:05:57Z"); levels are dBFS, loudness LUFS / LU / dBTP; a figure that was
// not measured is NaN here and NULL in the file. The schema version is PRAGMA
// user_version, moved up one step at a time when a writer opens an older file.
struct SongRow {
  int64_t id = 0;
  std::string started, ended;
  double seconds = 0.0;
  std::string artist, title, album, streamTitle, stationId, streamName, codec;
  int bitrate = 0;  // kbit/s
  double rms = 0.0, peak = 0.0, lufs = 0.0, luRange = 0.0, truePeak = 0.0;  // NaN when absent
  int favourite = 0;
};
constexpr int kSongStoreVersion = 3;
// Result codes of the store's routines.
enum SongStoreResult : int {
  SongStoreOk = 0,
  SongStoreError = 1,    // anything else (logged by the caller with the text)
  SongStoreFull = 2,     // disk full or an I/O error: the batch is lost
  SongStoreBusy = 3,     // another connection held the lock past the bounded wait
  SongStoreCorrupt = 4,  // not a database, damaged, or unreadable
  SongStoreMissing = 5,  // no database file (read-only opens)
};
struct SongStore;  // one connection; used by one thread at a time
// Opens the database file. writable = 1 creates it when missing, turns WAL on, checks it
// (quick_check) and migrates it to kSongStoreVersion; a file that fails (not a database,
// damaged, unreadable) is moved aside as "<path>.corrupt-YYYYMMDD-HHMMSS" with its -wal
// and -shm files and a new one is started; *note then tells what was done. writable = 0
// opens an existing file for reading only (never creates, migrates or moves anything).
// Every wait for another connection's lock is bounded (busyMs). nullptr on failure with
// the reason in *result and *note.
SongStore* SongStoreOpen(const std::string& path, int writable, int busyMs, int* result, std::string* note);
void SongStoreClose(SongStore* store);
// The file's schema version (user_version).
int SongStoreVersion(SongStore* store);
// Appends rows in one transaction; ids (when given) receive their row ids in order.
// Writers only. Returns a SongStoreResult; on failure nothing of the batch is kept.
int SongStoreAppend(SongStore* store, const std::vector<SongRow>& rows, std::vector<int64_t>* ids, std::string* error);
// Sets or clears the favourite flag of row id (one transaction). Writers only.
int SongStoreSetFavourite(SongStore* store, int64_t id, int favourite, std::string* error);
// Rows whose artist, title or album hold filter (case-insensitive; "" = all), only the
// favourites when favouritesOnly: how many, and a page of them newest first. -1 / 0 on
// failure.
int64_t SongStoreCount(SongStore* store, const std::string& filter, int favouritesOnly);
int SongStoreRows(SongStore* store, const std::string& filter, int favouritesOnly, int64_t offset, int64_t limit,
                  std::vector<SongRow>* rows);
// Every row oldest first, handed to visit one at a time (a visit returning 0 stops).
// Returns a SongStoreResult.
int SongStoreEach(SongStore* store, int (*visit)(const SongRow& row, void* user), void* user, std::string* error);
// The text the filter matches against: lower case for the scripts the store folds
// (ASCII, Latin-1, Latin Extended-A, Greek, Cyrillic); other characters unchanged.
std::string SongSearchFold(std::string_view text);
