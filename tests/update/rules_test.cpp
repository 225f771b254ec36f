// The updater's rules on plain values: time stamps and version numbers, the version-list
// reader with its result codes, the installer's file name, the checksum field and the
// texts the user sees.
#include <gtest/gtest.h>

#include "update_test_util.h"

namespace {

const std::string kId = "{4c1a9e37-d2b5-11e1-8f3a-00a0c94b17d2}";

int Read(const std::string& body, VersionEntry& e) {
  return ReadVersionList(body, kId, "Corvale Productions", "Corvale Player", e);
}

}  // namespace

// Catches a comparison done on text or on the wrong fields of a time stamp.
TEST(UpdateRules, TimeStampValues) {
  struct Case {
    const char* stamp;
    int64_t value;
  } cases[] = {
      {"2025-12-05T21:24:52.003Z", 2025001205212452},
      {"2025-12-05T21:24:53Z", 2025001205212453},
      {"2025-1-5T1:2:3", 2025000105010203},
      {"2025-12-05", 2025001205000000},  // no time part
      {"", 0},
      {"x-y-zTa:b:c", 0},                                             // no leading digits anywhere
      {"99999999999999999999-01-01T00:00:00Z", 9000000000101000000},  // saturates, no overflow
  };
  for (const Case& c : cases) EXPECT_EQ(TimeStampValue(c.stamp), c.value) << c.stamp;
}

// Catches version fields compared as text ("5.10" must be newer than "5.4").
TEST(UpdateRules, VersionNumbersAreIntegers) {
  EXPECT_EQ(VersionNumberValue("5.4"), 0x50004);
  EXPECT_EQ(VersionNumberValue("5.10"), 5 * 65536 + 10);
  EXPECT_EQ(VersionNumberValue("6"), 6 * 65536);
  EXPECT_EQ(VersionNumberValue(""), 0);
  EXPECT_GT(VersionNumberValue("5.10"), VersionNumberValue("5.4"));
}

// Catches a wrong "newer" decision: either a later stamp or a higher number is enough.
TEST(UpdateRules, NewerReleaseDecision) {
  struct Case {
    const char* number;
    const char* date;
    int newer;
  } cases[] = {
      {"5.4", "2025-11-20T10:00:00.000Z", 0},  // same number, older date
      {"5.4", "2025-12-05T21:24:52.003Z", 0},  // the build itself
      {"5.5", "2025-11-20T10:00:00.000Z", 1},  // higher number, older date
      {"5.4", "2025-12-05T21:24:53.000Z", 1},  // one second after the build
      {"5.10", "2024-01-01T00:00:00Z", 1},
      {"5.3", "2026-01-01T00:00:00Z", 1},  // later date alone
      {"", "", 0},                         // nothing known (an empty version URL list)
  };
  for (const Case& c : cases) {
    VersionEntry e;
    e.number = c.number;
    e.date = c.date;
    EXPECT_EQ(IsNewerRelease(e), c.newer) << c.number << " " << c.date;
  }
}

// Catches wrong result codes for bodies that are not a usable version list.
TEST(UpdateRules, VersionListResultCodes) {
  struct Case {
    std::string body;
    int code;
  } cases[] = {
      {"", VersionListEmpty},
      {"abc", VersionListTooShort},
      {"\xEF\xBB\xBF", VersionListTooShort},
      {"{\"versionlist\": ", VersionListNotJson},
      {"\xEF\xBB\xBF{oops}", VersionListNotJson},
      {"null", VersionListNoRoot},
      {"[1, 2]", VersionListNoArray},
      {"{\"versionlist\": {}}", VersionListNoArray},
      {"{\"versionlist\": [{\"id\": \"{other}\", \"publisher\": \"Corvale Productions\", \"name\": \"Other\"}]}",
       VersionListNoEntry},
      {"{\"versionlist\": [1, \"x\", {\"id\": \"" + kId + "\"}]}", VersionListOk},
  };
  for (const Case& c : cases) {
    VersionEntry e;
    EXPECT_EQ(Read(c.body, e), c.code) << c.body;
  }
}

// Catches a case-sensitive id match, a missed publisher/name match, or the last match
// taken instead of the first.
TEST(UpdateRules, VersionListEntryMatching) {
  VersionEntry e;
  std::string upper = "{4C1A9E37-D2B5-11E1-8F3A-00A0C94B17D2}";
  ASSERT_EQ(Read("{\"versionlist\": [{\"id\": \"x\", \"number\": \"1.0\"}, {\"id\": \"" + upper +
                     "\", \"number\": \"5.5\"}, {\"id\": \"" + kId + "\", \"number\": \"5.6\"}]}",
                 e),
            0);
  EXPECT_EQ(e.number, "5.5");
  ASSERT_EQ(Read("{\"versionlist\": [{\"id\": \"y\", \"publisher\": \"Corvale Productions\", \"name\": \"Corvale "
                 "Player\", \"number\": \"5.7\"}]}",
                 e),
            0);
  EXPECT_EQ(e.number, "5.7");
  // Publisher and name compare exactly.
  EXPECT_EQ(Read("{\"versionlist\": [{\"id\": \"y\", \"publisher\": \"corvale productions\", \"name\": \"Corvale "
                 "Player\"}]}",
                 e),
            VersionListNoEntry);
}

// Catches fields taken from non-strings or empty strings, or the wrong "url" element.
TEST(UpdateRules, VersionListFields) {
  VersionEntry e;
  e.website = "stale";
  ASSERT_EQ(Read("\xEF\xBB\xBF{\"versionlist\": [{\"id\": \"" + kId +
                     "\", \"number\": 5.5, \"date\": \"2026-01-01T00:00:00Z\", \"hash\": \"sha-256:ab\", "
                     "\"website\": \"\", \"download\": \"http://h/x.run\", \"url\": [\"\", 3, \"http://h/v2\", "
                     "\"http://h/v3\"]}]}",
                 e),
            0);
  EXPECT_EQ(e.number, "");  // a number, not a string
  EXPECT_EQ(e.date, "2026-01-01T00:00:00Z");
  EXPECT_EQ(e.hash, "sha-256:ab");
  EXPECT_EQ(e.website, "");  // reset, and "" does not set it
  EXPECT_EQ(e.download, "http://h/x.run");
  EXPECT_EQ(e.url, "http://h/v2");
  ASSERT_EQ(Read("{\"versionlist\": [{\"id\": \"" + kId + "\", \"url\": \"http://h/one\"}]}", e), 0);
  EXPECT_EQ(e.url, "http://h/one");
}

// Catches a download URL that could name a file outside the chosen folder, a hidden
// file, something that reads as an option, or a name that reads as another one through
// invisible characters (direction overrides, zero-width and format characters).
TEST(UpdateRules, InstallerFileNames) {
  struct Case {
    const char* url;
    const char* name;
  } cases[] = {
      {"http://h/download/corvale-setup-5.5.run", "corvale-setup-5.5.run"},
      {"https://h/a/b/setup.AppImage?token=1#frag", "setup.AppImage"},
      {"http://h/download/corvale%2F..%2Fx.run", ""},  // ".." inside, even encoded
      {"http://h/download/..", ""},
      {"http://h/download/.bashrc", ""},
      {"http://h/download/-rf.run", ""},
      {"http://h/download/a\\b.run", ""},
      {"http://h/download/a\x01.run", ""},
      {"http://h/download/setup\u202Egpj.exe", ""},       // shows as "setupexe.jpg"
      {"http://h/download/setup\u2066x\u2069.run", ""},  // an isolate
      {"http://h/download/set\u200Bup.run", ""},          // zero width space
      {"http://h/download/\uFEFFsetup.run", ""},          // byte-order mark
      {"http://h/download/setup\xC2\x85.run", ""},        // a C1 control (NEL)
      {"http://h/download/setup\xC3\x28.run", ""},        // not UTF-8
      {"http://h/download/setup\xE0\x80\xAF.run", ""},    // overlong "/"
      {"http://h/download/M\u00FCller-5.5.run", "M\u00FCller-5.5.run"},
      {"http://h/download/", ""},
      {"http://h", ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(InstallerFileName(c.url), c.name) << c.url;
}

// Catches a wrong split of the checksum field (spaces, a second colon, no colon).
TEST(UpdateRules, ChecksumField) {
  struct Case {
    const char* field;
    const char* algorithm;
    const char* digest;
  } cases[] = {
      {"sha-256:abc", "sha-256", "abc"},
      {" sha-512 : def : extra", "sha-512", "def"},
      {"sha-256", "sha-256", ""},
      {"", "", ""},
      {":abc", "", "abc"},
  };
  for (const Case& c : cases) {
    std::string a, d;
    SplitChecksumField(c.field, &a, &d);
    EXPECT_EQ(a, c.algorithm) << c.field;
    EXPECT_EQ(d, c.digest) << c.field;
  }
}

// Catches a file started without a matching digest, an accepted upper-case algorithm or
// digest, or a wrong checksum text.
TEST(UpdateRules, VerifyInstallerTexts) {
  // The private copies the check makes go to a folder of this test.
  char run[] = "/tmp/corvale-verify-run-XXXXXX";
  ASSERT_NE(mkdtemp(run), nullptr);
  setenv("XDG_RUNTIME_DIR", run, 1);
  char tmpl[] = "/tmp/corvale-verify-XXXXXX";
  int fd = mkstemp(tmpl);
  ASSERT_GE(fd, 0);
  close(fd);
  std::string path = tmpl;
  WriteFile(path, "#!/bin/sh\nexit 0\n");
  std::string s256 = DataHashHex("#!/bin/sh\nexit 0\n", 256);
  std::string s512 = DataHashHex("#!/bin/sh\nexit 0\n", 512);
  std::string upper = s256;
  for (char& c : upper) c = char(toupper(c));
  struct Case {
    std::string field;
    std::string text;
  } cases[] = {
      {"sha-256:" + s256, ""},
      {"sha-512:" + s512, ""},
      {"sha-256 : " + s256 + " ", ""},
      {"sha-256:" + upper, "Checksum mismatch on downloaded file!"},
      {"sha-512:" + s256, "Checksum mismatch on downloaded file!"},
      {"sha-256", "Checksum mismatch on downloaded file!"},
      {"sha-256:", "Checksum mismatch on downloaded file!"},
      {"SHA-256:" + s256, "SHA-256 checksum calculation method not supported!"},
      {"md5:abc", "md5 checksum calculation method not supported!"},
      {"", "Checksum calculation method not specified!"},
      {":" + s256, "Checksum calculation method not specified!"},
  };
  for (const Case& c : cases) EXPECT_EQ(VerifyInstaller(path, c.field), c.text) << c.field;
  // A file that vanished never passes.
  unlink(path.c_str());
  EXPECT_EQ(VerifyInstaller(path, "sha-256:" + s256), "Checksum mismatch on downloaded file!");
  // No private copy is left behind by the checks above.
  EXPECT_TRUE(std::filesystem::is_empty(std::string(run) + "/corvale-player"));
  std::filesystem::remove_all(run);
  unsetenv("XDG_RUNTIME_DIR");
}

// Catches a wrong text for a download result code.
TEST(UpdateRules, DownloadResultTexts) {
  struct Case {
    int code;
    const char* text;
  } cases[] = {
      {0, "Download complete!"},
      {0x20000001, "Download aborted!"},
      {0x20000002, "Protocol not supported!"},
      {0x20000003, "Internet connection not available!"},
      {0x20000004, "Unable to connect to URL!"},
      {0x20000005, "Query failed!"},
      {0x20000006, "Unable to retrieve data!"},
      {0x20000007, "Unable to allocate buffer!"},
      {0x20000008, "Download failed!"},
      {0x20000009, "Memory size too small for data!"},
      {0x2000000A, "Unable to write the downloaded file!"},
      {0x2000000B, "Unknown error!"},
      {-1, "Unknown error!"},
  };
  for (const Case& c : cases) EXPECT_EQ(DownloadResultText(c.code), c.text) << c.code;
}

// Catches a wrong progress line or bar, above all without a Content-Length.
TEST(UpdateRules, DownloaderProgress) {
  EXPECT_EQ(DownloaderProgressText(0, 262144), "0 / 256 KiBi");
  EXPECT_EQ(DownloaderProgressText(132095, 262144), "128 / 256 KiBi");
  EXPECT_EQ(DownloaderProgressText(5000, 0), "4 / ? KiBi");
  EXPECT_EQ(DownloaderProgressValue(131072, 262144), 50);
  EXPECT_EQ(DownloaderProgressValue(1, 200), 1);  // 0.5 rounds up
  EXPECT_EQ(DownloaderProgressValue(5000, 0), 100);
}

// Catches a progress callback that keeps accepting blocks after the window was closed.
TEST(UpdateRules, ProgressCallbackStopsWhenInactive) {
  gDownload.active = 1;
  EXPECT_EQ(DownloadProgress(2048, 0, 1024, nullptr, nullptr), 1024);
  EXPECT_EQ(gDownload.total.load(), 2048);
  EXPECT_EQ(gDownload.done.load(), 1024);
  gDownload.active = 0;
  EXPECT_EQ(DownloadProgress(2048, 1024, 1024, nullptr, nullptr), -1);
  EXPECT_EQ(gDownload.done.load(), 1024);
}

// Catches a changed question text (the stderr lines of the integration tests rely on it).
TEST(UpdateRules, QuestionTexts) {
  VersionEntry e;
  e.number = "5.5";
  EXPECT_EQ(CheckFailedText("5.4"),
            "Unable to check for new version!\n\nThe current release is v5.4\n\nDo you wish to go to the website?");
  EXPECT_EQ(WebsiteQuestionText("5.4", e, 0),
            "No new version available!\n\nThe current release is v5.4\n\nDo you wish to go to the website?");
  EXPECT_EQ(WebsiteQuestionText("5.4", e, 1),
            "A new version of Corvale Player is available!\n\nThe current release is v5.4\n\nThe latest version is "
            "5.5\n\nDo you wish to go to the website?");
  EXPECT_EQ(DownloadQuestionText("5.4", e, 0),
            "No new version available!\n\nThe current release is v5.4\n\nDo you wish to re-download?");
  EXPECT_EQ(DownloadQuestionText("5.4", e, 1),
            "A new version of Corvale Player is available!\n\nThe current release is v5.4\n\nThe latest version is "
            "5.5\n\nDo you wish to update?");
  EXPECT_EQ(StoreNoticeText(1), "The Flatpak release is automatically updated by Flatpak");
  EXPECT_EQ(StoreNoticeText(2), "The Snap release is automatically updated by the Snap Store");
}
