#include "media.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

const char* FileName(Media kind) {
  switch (kind) {
    case Media::Mp3Tone:
      return "tone.mp3";
    case Media::Mp3Steps:
      return "steps.mp3";
    case Media::AacTone:
      return "tone.aac";
    case Media::AacSurround:
      return "surround.aac";
    case Media::OpusTone:
      return "tone.opus";
  }
  return "";
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

}  // namespace

std::string MediaBytes(Media kind) {
  const std::string name = FileName(kind);
#ifdef _WIN32
  // Wine cannot run ffmpeg and wait for it: the files were made on the Linux side.
  const char* dir = std::getenv("CORVALE_TEST_MEDIA_DIR");
  if (!dir || !*dir) return std::string();
  return ReadFile(std::string(dir) + "/" + name);
#else
  const char* build = std::getenv("CORVALE_BUILD_DIR");
  const std::string dir = std::string(build && *build ? build : "/tmp") + "/test-media";
  const std::string cmd = std::string("sh '") + MAKE_MEDIA_SCRIPT + "' '" + dir + "' " + name;
  if (std::system(cmd.c_str()) != 0) return std::string();
  return ReadFile(dir + "/" + name);
#endif
}
