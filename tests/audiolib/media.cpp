#include "media.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

std::string CacheDir() {
  const char* build = std::getenv("CORVALE_BUILD_DIR");
  std::string dir = std::string(build && *build ? build : "/tmp") + "/test-media/";
  std::system(("mkdir -p '" + dir + "'").c_str());
  return dir;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

}  // namespace

std::string MediaBytes(Media kind) {
  const char* tone = "aevalsrc=0.5*sin(2*PI*440*t)|0.5*sin(2*PI*440*t):s=44100";
  const char* steps =
      "aevalsrc=if(lt(mod(t\\,4)\\,2)\\,0.5\\,0.1)*sin(2*PI*440*t)|if(lt(mod(t\\,4)\\,2)\\,0.5\\,0.1)*sin(2*PI*440*t):"
      "s=44100";
  std::string name, source, codec;
  switch (kind) {
    case Media::Mp3Tone:
      name = "tone.mp3";
      source = std::string(tone) + ":d=10";
      codec = "-c:a libmp3lame -b:a 128k -write_xing 0 -id3v2_version 0 -f mp3";
      break;
    case Media::Mp3Steps:
      name = "steps.mp3";
      source = std::string(steps) + ":d=8";
      codec = "-c:a libmp3lame -b:a 128k -write_xing 0 -id3v2_version 0 -f mp3";
      break;
    case Media::AacTone:
      name = "tone.aac";
      source = std::string(tone) + ":d=10";
      codec = "-c:a aac -b:a 128k -f adts";
      break;
    case Media::AacSurround:
      name = "surround.aac";
      source = "aevalsrc=0.5*sin(2*PI*440*t)|0|0|0|0|0:c=5.1:s=44100:d=10";
      codec = "-c:a aac -b:a 256k -f adts";
      break;
    case Media::OpusTone:
      name = "tone.opus";
      source = std::string(tone) + ":d=20";
      codec = "-c:a libopus -b:a 96k -f ogg";
      break;
  }
  const std::string path = CacheDir() + name;
  if (access(path.c_str(), R_OK) != 0) {
    // Made under a private name and renamed, so parallel test processes never read a
    // half-written file.
    const std::string tmp = path + "." + std::to_string(getpid());
    const std::string cmd = "ffmpeg -nostdin -v error -y -f lavfi -i \"" + source + "\" " + codec + " '" + tmp + "'";
    if (std::system(cmd.c_str()) != 0) return std::string();
    std::rename(tmp.c_str(), path.c_str());
  }
  return ReadFile(path);
}
